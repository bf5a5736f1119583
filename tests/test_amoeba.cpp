#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

#include "numeric/amoeba.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {
namespace {

using Objective = std::function<double(const Vector&)>;

std::string ReadBack(std::FILE* f) {
  std::string s;
  std::rewind(f);
  for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) s.push_back(static_cast<char>(c));
  std::fclose(f);
  return s;
}

// amoeba from the simplex (x1, x2), (x1 + step, x2), (x1, x2 + step); returns
// the charged count and the text written to the progress and diagnostics streams.
int Minimise(Matrix& p, Vector& y, const Objective& f, double x1, double x2, double step,
             double ftol, std::string* con = nullptr, std::string* diag = nullptr) {
  Vector x(1, 2);
  for (int i = 1; i <= 3; ++i) {
    p[i][1] = x[1] = x1 + (i == 2 ? step : 0);
    p[i][2] = x[2] = x2 + (i == 3 ? step : 0);
    y[i] = f(x);
  }
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  int nfunk = -1;
  try {
    amoeba(p, y, 2, ftol, f, &nfunk, out, err);
  } catch (...) {
    std::fclose(out), std::fclose(err);
    throw;
  }
  const std::string o = ReadBack(out), e = ReadBack(err);
  if (con) *con = o;
  if (diag) *diag = e;
  return nfunk;
}

TEST(Amoeba, QuadraticAndRosenbrockConvergeAndCountEveryCall) {
  int calls = 0;
  const Objective quad = [&](const Vector& x) {
    return ++calls, 1 + std::pow(x[1] - 3, 2) + 4 * std::pow(x[2] + 2, 2) + (x[1] - 3) * (x[2] + 2);
  };
  const Objective rosen = [&](const Vector& x) {
    return ++calls, 1 + std::pow(1 - x[1], 2) + 100 * std::pow(x[2] - x[1] * x[1], 2);
  };
  const double c[2][5] = {{0, 0, 1, 3, -2}, {-1.2, 1, 0.1, 1, 1}};  // start, step, minimum
  for (int k = 0; k < 2; ++k) {
    Matrix p(1, 3, 1, 2);
    Vector y(1, 3);
    std::string diag;
    calls = -3;  // the three starting values are not charged
    EXPECT_EQ(Minimise(p, y, k ? rosen : quad, c[k][0], c[k][1], c[k][2], 1e-10, nullptr, &diag),
              calls);
    EXPECT_NEAR(p[1][1], c[k][3], 2e-3);
    EXPECT_NEAR(p[1][2], c[k][4], 2e-3);
    EXPECT_TRUE(y[1] <= y[2] && y[1] <= y[3] && diag.empty());
  }
}

TEST(Amoeba, EqualValuesStopAtOnceAndZerosExhaustTheBudget) {
  Matrix p(1, 3, 1, 2);
  Vector y(1, 3);
  std::string con;
  EXPECT_EQ(Minimise(p, y, [](const Vector&) { return 2.5; }, 10, 100, 5, 0.1, &con), 0);
  EXPECT_EQ(con, "1 amoeba det 2.500000 2.500000 2.500000\n"
                 "2 amoeba T   100.000000 100.000000 105.000000\n");
  EXPECT_EQ(p[1][2], 105);  // the last of equal values counts as the best
  EXPECT_EQ(p[3][2], 100);
  // Values of exactly 0 leave the spread undefined and the simplex unmoved.
  try {
    Minimise(p, y, [](const Vector&) { return 0.0; }, 1, 1, 1, 0.1);
    ADD_FAILURE() << "no fatal error";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "NMAX exceeded");
  }
}

TEST(Amoeba, ObjectiveScatteringAroundZeroStopsOnCollapse) {
  // A bowl with its bottom at 0 at (3750, 280) plus seeded noise of random
  // sign spread over six decades: the relative tolerance is practically
  // never met near the bottom.
  std::int32_t idum = kSeed;
  const Objective noisy = [&](const Vector& x) {
    const double a = (x[1] - 3750) / 100, b = (x[2] - 280) / 10;
    const double sign = ran0(&idum) < 0.5 ? -1 : 1;
    return 1e-3 * (a * a + b * b) + sign * 1e-3 * std::pow(10.0, -6 * ran0(&idum));
  };
  Matrix p(1, 3, 1, 2);
  Vector y(1, 3);
  std::string diag;
  const int nfunk = Minimise(p, y, noisy, 3700, 250, 100, 0.1, nullptr, &diag);
  EXPECT_LT(nfunk, 1000);
  EXPECT_NEAR(p[1][1], 3750, 10);
  EXPECT_NEAR(p[1][2], 280, 1);
  EXPECT_EQ(diag.rfind("amoeba: simplex collapsed at (", 0), 0u) << diag;
  EXPECT_NE(diag.find(" after " + std::to_string(nfunk) + " evaluations"), std::string::npos);
  EXPECT_EQ(diag.find('\n'), diag.size() - 1);
  for (int i = 2; i <= 3; ++i)
    for (int j = 1; j <= 2; ++j) EXPECT_LE(std::fabs(p[i][j] - p[1][j]), 1e-10 * std::fabs(p[1][j]));
}

}  // namespace
}  // namespace chainmelt
