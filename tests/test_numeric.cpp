// Generator, arrays, fatal errors, LU decomposition and the Hessian-based
// observables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "model/model.hpp"
#include "numeric/fatal.hpp"
#include "numeric/lu.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {
namespace {

Matrix Make(int n, std::initializer_list<double> rows) {
  Matrix a(1, n, 1, n);
  auto it = rows.begin();
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) a[i][j] = *it++;
  return a;
}

// The worked values from the seed, then every step against 16807 * s mod
// (2^31 - 1) formed in 64 bits, over enough draws to pass many states where
// the factorised step folds a negative value back into range.
TEST(Toolkit, Ran0MatchesTheCongruenceBitForBit) {
  constexpr std::int32_t kMask = 123459876;
  double scale;
  const std::uint64_t bits = 0x3E00000000200000ull;  // 1 / (2^31 - 1)
  std::memcpy(&scale, &bits, sizeof scale);
  std::int32_t idum = kSeed;
  EXPECT_NEAR(ran0(&idum), 0.2430400547, 1e-10);
  EXPECT_NEAR(ran0(&idum), 0.7741990750, 1e-10);
  EXPECT_NEAR(ran0(&idum), 0.9638528596, 1e-10);
  idum = kSeed;
  std::int64_t s = kSeed ^ kMask;
  for (int i = 0; i < 20000; ++i) {
    s = 16807 * s % 2147483647;
    ASSERT_EQ(ran0(&idum), static_cast<double>(s) * scale) << "draw " << i;
    ASSERT_EQ(idum, static_cast<std::int32_t>(s) ^ kMask) << "draw " << i;
  }
  idum = kMask;  // a scrambled state of 0 is a fixed point that yields 0
  EXPECT_EQ(ran0(&idum), 0.0);
  EXPECT_EQ(idum, kMask);
}

TEST(Toolkit, ArraysAndFatalErrors) {
  Vector v(1, 3);
  v[3] = 3.0;
  EXPECT_EQ(v[1] + v[3], 3.0);  // cleared at allocation
  EXPECT_EQ(Vector(1, 0).hi(), 0);
  Matrix m(1, 3, 1, 2);
  m[2][1] = 7.0;
  m[3][2] = 9.0;
  // One contiguous row-major block, spare slot first.
  EXPECT_EQ(m.block(), std::vector<double>({0, 0, 0, 7, 0, 0, 9}));
  Matrix z(0, 1, 2, 3);  // bounds other than 1 are honoured too
  z[1][2] = 5.0;
  EXPECT_EQ(z.block()[3], 5.0);

  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* f = open_memstream(&text, &size);
  try {
    vornerror("Too many iterations in frprmn");
    ADD_FAILURE() << "vornerror returned";
  } catch (const FatalError& e) {
    ReportFatal(f, e.what());
  }
  std::fclose(f);
  EXPECT_EQ(std::string(text, size),
            "Vorn run-time error...\nToo many iterations in frprmn\n...now exiting to system...\n");
  std::free(text);
}

TEST(Toolkit, LuDecomposition) {
  IVector indx(1, 3);
  double d = 0;
  Matrix id = Make(3, {1, 0, 0, 0, 1, 0, 0, 0, 1});
  ludcmp(id, 3, indx, d);
  EXPECT_EQ(d, 1.0);
  for (int j = 1; j <= 3; ++j) {
    EXPECT_EQ(indx[j], j);
    Vector b(1, 3);
    b[j] = 1;
    lubksb(id, 3, indx, b);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(b[i], i == j ? 1.0 : 0.0);
  }
  // Equal scaled candidates: the later row becomes the pivot.  Solving with
  // the factors gives a column of the inverse [[1, 0], [-1, 1]].
  Matrix a = Make(2, {1, 0, 1, 1});
  ludcmp(a, 2, indx, d);
  EXPECT_EQ(indx[1], 2);
  EXPECT_EQ(indx[2], 2);
  EXPECT_EQ(d, -1.0);
  EXPECT_EQ(a.block(), std::vector<double>({0, 1, 1, 1, -1}));
  Vector e(1, 2);
  e[1] = 1;
  lubksb(a, 2, indx, e);
  EXPECT_EQ(e[1], 1.0);
  EXPECT_EQ(e[2], -1.0);

  // Singular without a zero row: the zero pivot is replaced, no error.
  Matrix s = Make(2, {1, 1, 1, 1});
  ludcmp(s, 2, indx, d);
  EXPECT_EQ(s[2][2], 1e-20);
  Matrix zero_row = Make(2, {1, 2, 0, 0});
  try {
    ludcmp(zero_row, 2, indx, d);
    ADD_FAILURE() << "no error for a zero row";
  } catch (const FatalError& err) {
    EXPECT_STREQ(err.what(), "Singular matrix in routine ludcmp");
  }
  // A column whose candidates are all NaN keeps the pivot on the diagonal
  // instead of exchanging with an undefined row.
  Matrix q = Make(2, {NAN, 1, NAN, 1});
  ludcmp(q, 2, indx, d);
  EXPECT_EQ(indx[1], 1);
  EXPECT_EQ(indx[2], 2);
  EXPECT_EQ(d, 1.0);
}

TEST(Toolkit, HessianDeterminantInverseAndHeatCapacity) {
  Model m{2, 300, {}};
  m.para.dH = 36;
  m.para.w = 2;
  StateVec p;
  p[1] = 0.5;
  p[2] = 0.25;
  Matrix hes(1, 2, 1, 2), inv(1, 2, 1, 2);
  IVector indx(1, 8);
  HesseCalc(m, p, 2, hes);
  EXPECT_EQ(hes.block(), std::vector<double>({0, 15600, -14400, -14400, 14400}));
  double det = 0;
  DetCalc(2, hes, indx, det);
  EXPECT_NEAR(det, 1728.0, 1e-9);
  HesseCalc(m, p, 2, hes);
  HesseInv(hes, inv, 2, indx);
  const double want[] = {1.0 / 1200, 1.0 / 1200, 1.0 / 1200, 13.0 / 14400};
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(inv.block()[k + 1], want[k], 1e-15) << k;
  EXPECT_NEAR(HeatCalc(m, 2, inv), 589.0 / 120000, 1e-15);

  // The product 1e320 would overflow; scaled per factor it is 1e320 / 1e64.
  Matrix d(1, 8, 1, 8);
  for (int i = 1; i <= 8; ++i) d[i][i] = 1e40;
  DetCalc(8, d, indx, det);
  EXPECT_NEAR(det / 1e256, 1.0, 1e-12);
  Matrix swap = Make(2, {0, 100, 100, 0});  // one row exchange: negative
  DetCalc(2, swap, indx, det);
  EXPECT_EQ(det, -1.0);

  // Identity inverse: the squared energy coefficients; components 5 to 7
  // carry no energy, so their rows and columns do not count.
  m.T = 250, m.para = Para{};
  m.para.dH = 3.5, m.para.w = -0.7, m.para.dH2 = 0.9, m.para.dS = 11;
  Matrix id(1, 8, 1, 8);
  for (int i = 1; i <= 8; ++i) id[i][i] = 1;
  EXPECT_NEAR(HeatCalc(m, 2, id), (3.5 * 3.5 + 9 * 0.49) / 250, 1e-14);
  for (int k = 5; k <= 7; ++k)
    for (int j = 1; j <= 8; ++j) id[k][j] = id[j][k] = 1e3 * k + j;
  EXPECT_NEAR(HeatCalc(m, 8, id), (3.5 * 3.5 + 4.4 * 4.4 + 54 * 0.49) / 250, 1e-14);
  EXPECT_EQ(HeatCalc(m, 1, id), 0.0);
  EXPECT_EQ(HeatCalc(m, 3, id), 0.0);
}

}  // namespace
}  // namespace chainmelt
