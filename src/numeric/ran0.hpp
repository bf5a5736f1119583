// Minimal-standard uniform generator (multiplier 16807, modulus 2^31 - 1),
// state stored XOR-scrambled.  The program seeds it once with 123.
#pragma once

#include <cstdint>

namespace chainmelt {

inline constexpr std::int32_t kSeed = 123;

// Advances *idum by one step and returns a value in [0, 1).
double ran0(std::int32_t* idum);

}  // namespace chainmelt
