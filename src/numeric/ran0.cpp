#include "numeric/ran0.hpp"

namespace chainmelt {

namespace {
constexpr std::int32_t kA = 16807;
constexpr std::int32_t kM = 2147483647;
constexpr std::int32_t kQ = 127773;
constexpr std::int32_t kR = 2836;
constexpr std::int32_t kMask = 123459876;
constexpr double kAm = 1.0 / kM;  // the double nearest to 1/2147483647
}  // namespace

double ran0(std::int32_t* idum) {
  std::int32_t s = *idum ^ kMask;
  const std::int32_t k = s / kQ;
  s = kA * (s - k * kQ) - kR * k;
  if (s < 0) s += kM;
  const double result = kAm * s;
  *idum = s ^ kMask;
  return result;
}

}  // namespace chainmelt
