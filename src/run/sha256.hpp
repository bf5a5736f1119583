// SHA-256 of a byte string, for the checksum a metadata file keeps of the
// table it describes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace chainmelt {

class Sha256 {
 public:
  Sha256();
  void Update(std::string_view bytes);
  // The digest as 64 lower-case hexadecimal digits; the object is spent.
  std::string HexDigest();

 private:
  void Block(const unsigned char* p);
  std::uint32_t h_[8];
  unsigned char buf_[64];
  std::size_t used_ = 0;
  std::uint64_t length_ = 0;  // bytes so far
};

inline std::string Sha256Hex(std::string_view bytes) {
  Sha256 s;
  s.Update(bytes);
  return s.HexDigest();
}

}  // namespace chainmelt
