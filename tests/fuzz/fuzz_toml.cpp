// libFuzzer target: the parameter-file reader and the checks after it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "run/params_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  chainmelt::RunSpec spec;
  chainmelt::Sources sources;
  std::string error;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!chainmelt::ReadParameterText(text, "fuzz.toml", spec, sources, error)) {
    if (error.find('\n') != std::string::npos) __builtin_trap();  // one line
    return 0;
  }
  if (auto refusal = chainmelt::DeriveAndCheck(spec)) {
    const std::string m = chainmelt::NamedRefusal(spec, sources, *refusal);
    if (m.find('\n') != std::string::npos) __builtin_trap();
  }
  return 0;
}
