#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "numeric/fatal.hpp"
#include "numeric/lu.hpp"

namespace chainmelt {
namespace {

Matrix Make(int n, std::initializer_list<double> rows) {
  Matrix a(1, n, 1, n);
  auto it = rows.begin();
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) a[i][j] = *it++;
  return a;
}

TEST(Lu, SmallExamples) {
  IVector indx(1, 3);
  double d = 0;
  Matrix id = Make(3, {1, 0, 0, 0, 1, 0, 0, 0, 1});
  ludcmp(id, 3, indx, d);
  EXPECT_EQ(d, 1.0);
  for (int j = 1; j <= 3; ++j) {
    EXPECT_EQ(indx[j], j);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(id[i][j], i == j ? 1.0 : 0.0);
    Vector b(1, 3);
    b[j] = 1;
    lubksb(id, 3, indx, b);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(b[i], i == j ? 1.0 : 0.0);
  }

  // Equal scaled candidates: the later row becomes the pivot.
  IVector ix(1, 2);
  Matrix a = Make(2, {1, 0, 1, 1});
  ludcmp(a, 2, ix, d);
  EXPECT_EQ(ix[1], 2);
  EXPECT_EQ(ix[2], 2);
  EXPECT_EQ(d, -1.0);
  EXPECT_EQ(a[1][1], 1.0);
  EXPECT_EQ(a[1][2], 1.0);
  EXPECT_EQ(a[2][1], 1.0);
  EXPECT_EQ(a[2][2], -1.0);
  EXPECT_EQ(d * a[1][1] * a[2][2], 1.0);

  // Singular without a zero row: the zero pivot is replaced, no error.
  Matrix s = Make(2, {1, 1, 1, 1});
  ludcmp(s, 2, ix, d);
  EXPECT_EQ(s[2][2], 1e-20);
}

TEST(Lu, ZeroRowIsFatal) {
  IVector indx(1, 2);
  double d = 0;
  Matrix a = Make(2, {1, 2, 0, 0});
  try {
    ludcmp(a, 2, indx, d);
    FAIL() << "no error for a zero row";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "Singular matrix in routine ludcmp");
  }
}

// A column whose candidates are all NaN keeps the pivot on the diagonal
// instead of exchanging with an undefined row.
TEST(Lu, NanColumnKeepsDiagonalPivot) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  IVector indx(1, 2);
  double d = 0;
  Matrix a = Make(2, {nan, 1, nan, 1});
  ludcmp(a, 2, indx, d);
  EXPECT_EQ(indx[1], 1);
  EXPECT_EQ(indx[2], 2);
  EXPECT_EQ(d, 1.0);
}

TEST(Lu, SolvesRandomSystems) {
  std::mt19937 gen(20240611);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int n = 1; n <= 8; ++n) {
    for (int rep = 0; rep < 20; ++rep) {
      Matrix a(1, n, 1, n), lu(1, n, 1, n);
      for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) lu[i][j] = a[i][j] = u(gen);
      Vector x(1, n), b(1, n);
      for (int i = 1; i <= n; ++i) x[i] = u(gen);
      for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) b[i] += a[i][j] * x[j];
      IVector indx(1, n);
      double d = 0;
      ludcmp(lu, n, indx, d);
      lubksb(lu, n, indx, b);
      for (int i = 1; i <= n; ++i) EXPECT_NEAR(b[i], x[i], 1e-9) << n << " " << i;
    }
  }
}

}  // namespace
}  // namespace chainmelt
