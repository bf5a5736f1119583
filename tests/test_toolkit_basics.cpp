#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "numeric/arrays.hpp"
#include "numeric/fatal.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {
namespace {

constexpr std::int32_t kMask = 123459876;

// The worked values from the seed, then the factorised step against
// 16807 * s mod (2^31 - 1) formed in 64 bits, over enough draws to pass many
// states where the step folds a negative value back into range.
TEST(Ran0, MatchesTheCongruenceBitForBit) {
  double scale;
  const std::uint64_t bits = 0x3E00000000200000ull;
  std::memcpy(&scale, &bits, sizeof scale);
  std::int32_t idum = kSeed;
  EXPECT_EQ(ran0(&idum), 521924543.0 * scale);
  EXPECT_EQ(idum, 406861467);
  EXPECT_NEAR(ran0(&idum), 0.7741990750, 1e-10);
  EXPECT_NEAR(ran0(&idum), 0.9638528596, 1e-10);

  idum = kSeed;
  std::int64_t s = kSeed ^ kMask;
  for (int i = 0; i < 20000; ++i) {
    s = 16807 * s % 2147483647;
    ASSERT_EQ(ran0(&idum), static_cast<double>(s) * scale) << "draw " << i;
    ASSERT_EQ(idum, static_cast<std::int32_t>(s) ^ kMask) << "draw " << i;
  }

  // A scrambled state of 0 is a fixed point that yields 0.
  idum = kMask;
  EXPECT_EQ(ran0(&idum), 0.0);
  EXPECT_EQ(ran0(&idum), 0.0);
  EXPECT_EQ(idum, kMask);
}

TEST(Arrays, IndexRangesAndContiguousRowMajorMatrix) {
  Vector v(1, 3);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(v[i], 0.0);
  v[1] = 1.0;
  v[3] = 3.0;
  EXPECT_EQ(v[1] + v[3], 4.0);
  Vector empty(1, 0);
  EXPECT_EQ(empty.hi(), 0);

  IVector iv(1, 8);
  iv[8] = 8;
  EXPECT_EQ(iv[8], 8);

  Matrix m(1, 3, 1, 2);
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 2; ++j) EXPECT_EQ(m[i][j], 0.0);
  m[2][1] = 7.0;
  m[3][2] = 9.0;
  ASSERT_EQ(m.block().size(), 7u);
  EXPECT_EQ(m.block()[3], 7.0);  // spare slot, then [1][1], [1][2], [2][1]
  EXPECT_EQ(m.block()[6], 9.0);

  // Bounds other than 1 are honoured too.
  Matrix z(0, 1, 2, 3);
  z[1][2] = 5.0;
  EXPECT_EQ(z.block()[3], 5.0);
}

TEST(Fatal, VornerrorRaisesAndReportsThreeLines) {
  try {
    vornerror("Too many iterations in frprmn");
    FAIL() << "vornerror returned";
  } catch (const FatalError& e) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    ReportFatal(f, e.what());
    std::rewind(f);
    char buf[256] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    EXPECT_EQ(std::string(buf, n),
              "Vorn run-time error...\nToo many iterations in frprmn\n...now exiting to system...\n");
  }
}

}  // namespace
}  // namespace chainmelt
