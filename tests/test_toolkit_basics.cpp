#include <gtest/gtest.h>

#include "numeric/arrays.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {
namespace {

TEST(Ran0, FirstDrawsFromTheSeed) {
  std::int32_t idum = kSeed;
  EXPECT_NEAR(ran0(&idum), 0.2430400547, 1e-10);
  EXPECT_EQ(idum, 406861467);
  EXPECT_NEAR(ran0(&idum), 0.7741990750, 1e-10);
  EXPECT_NEAR(ran0(&idum), 0.9638528596, 1e-10);
}

TEST(Arrays, MatrixRowsAreContiguousRowMajor) {
  Matrix m(1, 3, 1, 2);
  m[2][1] = 7.0;
  EXPECT_EQ(m.block()[3], 7.0);  // spare slot, then [1][1], [1][2], [2][1]
  Vector v(1, 0);
  EXPECT_EQ(v.hi(), 0);
}

}  // namespace
}  // namespace chainmelt
