// The generator's first draw, LU decomposition and the downhill simplex.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "null_context.hpp"
#include "numeric/amoeba.hpp"
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

TEST(Toolkit, Ran0WorkedDrawAndLuDecomposition) {
  std::int32_t idum = kSeed;
  EXPECT_NEAR(ran0(&idum), 0.2430400547, 1e-10);  // the worked first draw

  IVector indx(1, 3);
  double d = 0;
  // Equal scaled candidates: the later row becomes the pivot.
  Matrix a = Make(2, {1, 0, 1, 1});
  ludcmp(a, 2, indx, d);
  EXPECT_EQ(indx[1], 2);
  EXPECT_EQ(d, -1.0);
  EXPECT_EQ(a.block(), std::vector<double>({0, 1, 1, 1, -1}));

  // Singular without a zero row: the zero pivot is replaced, no error.
  Matrix s = Make(2, {1, 1, 1, 1});
  ludcmp(s, 2, indx, d);
  EXPECT_EQ(s[2][2], 1e-20);
  // A column whose candidates are all NaN keeps the pivot on the diagonal
  // instead of exchanging with an undefined row.
  Matrix q = Make(2, {NAN, 1, NAN, 1});
  ludcmp(q, 2, indx, d);
  EXPECT_EQ(indx[1], 1);
  EXPECT_EQ(d, 1.0);
  Matrix zero_row = Make(2, {1, 2, 0, 0});
  try {
    ludcmp(zero_row, 2, indx, d);
    ADD_FAILURE() << "no error for a zero row";
  } catch (const FatalError& err) {
    EXPECT_STREQ(err.what(), "Singular matrix in routine ludcmp");
  }
}

using Objective = std::function<double(const Vector&)>;

// amoeba from the simplex (x1, x2), (x1 + step, x2), (x1, x2 + step), with
// its progress lines dropped; returns the charged count.
int Minimise(Matrix& p, Vector& y, const Objective& f, double x1, double x2, double step) {
  Vector x(1, 2);
  for (int i = 1; i <= 3; ++i) {
    p[i][1] = x[1] = x1 + (i == 2 ? step : 0);
    p[i][2] = x[2] = x2 + (i == 3 ? step : 0);
    y[i] = f(x);
  }
  int nfunk = -1;
  testing::NullContext quiet;
  amoeba(p, y, 2, 1e-10, f, &nfunk, quiet);
  return nfunk;
}

TEST(Amoeba, ConvergesCountsEveryCallAndRunsOutOfBudget) {
  // Rosenbrock's valley from the usual start; the three starting values are
  // not charged.
  int calls = -3;
  const Objective rosen = [&](const Vector& x) {
    return ++calls, 1 + std::pow(1 - x[1], 2) + 100 * std::pow(x[2] - x[1] * x[1], 2);
  };
  Matrix p(1, 3, 1, 2);
  Vector y(1, 3);
  EXPECT_EQ(Minimise(p, y, rosen, -1.2, 1, 0.1), calls);
  EXPECT_NEAR(p[1][1], 1, 2e-3);
  EXPECT_NEAR(p[1][2], 1, 2e-3);
  EXPECT_TRUE(y[1] <= y[2] && y[1] <= y[3]);

  // Values of exactly 0 leave the spread undefined and the simplex unmoved.
  try {
    Minimise(p, y, [](const Vector&) { return 0.0; }, 1, 1, 1);
    ADD_FAILURE() << "no fatal error";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "NMAX exceeded");
  }
}

}  // namespace
}  // namespace chainmelt
