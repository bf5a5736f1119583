// The sweep kernel of the lattice engine: storage of one configuration, its
// random stream and the acceptance tables.
#pragma once

#include <cstdint>
#include <vector>

#include "lattice/lattice.hpp"

namespace chainmelt::lattice {

// SplitMix64: expands a seed into the states of the streams.
inline std::uint64_t SplitMix64(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// xoshiro256**: the random stream of one replica (and of the exchanges).
struct Rng {
  std::uint64_t s[4];

  // The stream `stream` of seed `seed`: distinct streams start from states
  // SplitMix64 derives from distinct (seed, stream) pairs.
  Rng(std::uint64_t seed, std::uint64_t stream) {
    std::uint64_t x = seed ^ (0xd1b54a32d192ed03ULL * (stream + 1));
    std::uint64_t y = SplitMix64(x) ^ stream;
    for (auto& v : s) v = SplitMix64(y);
  }
  static std::uint64_t Rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::uint64_t Next() {
    const std::uint64_t result = Rotl(s[1] * 5, 7) * 9;
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = Rotl(s[3], 45);
    return result;
  }
  // Uniform in [0, 1) with 53 bits.
  double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
};

// Probability that a site is fluid after its update, times 2^32 (0 ... 2^32),
// indexed by old state * 7 + fluid neighbours.  A site becomes fluid when a
// 32-bit uniform integer is below the entry.
struct Table {
  std::uint64_t p[14];
};

Table MakeTable(const Couplings& c, double T, Update update);

// One configuration on the L x L lattice.  Site (x, y), x = 3j + r, is stored
// in the segment of row y and residue r at position j; every segment has one
// ghost cell at each end (copies of its last and first site) so that the
// neighbours of a sublattice are six whole segments shifted by at most one.
class Lattice {
 public:
  explicit Lattice(int L);  // L checked by the caller

  int L() const { return L_; }
  long Sites() const { return static_cast<long>(L_) * L_; }
  std::uint8_t Get(int x, int y) const { return *Seg(y, x % 3, x / 3); }
  void Set(int x, int y, std::uint8_t v);
  // Fluid sites and fluid-fluid pairs, counted afresh.
  void Count(std::int64_t& nf, std::int64_t& nff) const;

  // One sweep: the three sublattices in turn, every site once.  nf and nff are
  // kept up to date.
  void Sweep(const Table& t, Rng& rng, std::int64_t& nf, std::int64_t& nff);

 private:
  std::uint8_t* Seg(int y, int r, int j = 0) { return &s_[Offset(y, r) + j]; }
  const std::uint8_t* Seg(int y, int r, int j = 0) const { return &s_[Offset(y, r) + j]; }
  std::size_t Offset(int y, int r) const {
    return static_cast<std::size_t>(y * 3 + r) * static_cast<std::size_t>(stride_) + 1;
  }

  int L_, M_, stride_;
  std::vector<std::uint8_t> s_;
};

}  // namespace chainmelt::lattice
