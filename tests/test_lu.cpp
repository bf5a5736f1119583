#include <gtest/gtest.h>

#include <cmath>

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
    Vector b(1, 3);
    b[j] = 1;
    lubksb(id, 3, indx, b);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(b[i], i == j ? 1.0 : 0.0);
  }
  // Equal scaled candidates: the later row becomes the pivot.
  Matrix a = Make(2, {1, 0, 1, 1});
  ludcmp(a, 2, indx, d);
  EXPECT_EQ(indx[1], 2);
  EXPECT_EQ(indx[2], 2);
  EXPECT_EQ(d, -1.0);
  EXPECT_EQ(a.block(), std::vector<double>({0, 1, 1, 1, -1}));
  // Solving with the factors gives the columns of the inverse [[1, 0], [-1, 1]].
  Vector e(1, 2);
  e[1] = 1;
  lubksb(a, 2, indx, e);
  EXPECT_EQ(e[1], 1.0);
  EXPECT_EQ(e[2], -1.0);
}

TEST(Lu, DegenerateMatrices) {
  IVector indx(1, 2);
  double d = 0;
  // Singular without a zero row: the zero pivot is replaced, no error.
  Matrix s = Make(2, {1, 1, 1, 1});
  ludcmp(s, 2, indx, d);
  EXPECT_EQ(s[2][2], 1e-20);

  Matrix z = Make(2, {1, 2, 0, 0});
  try {
    ludcmp(z, 2, indx, d);
    ADD_FAILURE() << "no error for a zero row";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "Singular matrix in routine ludcmp");
  }
  // A column whose candidates are all NaN keeps the pivot on the diagonal
  // instead of exchanging with an undefined row.
  Matrix q = Make(2, {NAN, 1, NAN, 1});
  ludcmp(q, 2, indx, d);
  EXPECT_EQ(indx[1], 1);
  EXPECT_EQ(indx[2], 2);
  EXPECT_EQ(d, 1.0);
}

}  // namespace
}  // namespace chainmelt
