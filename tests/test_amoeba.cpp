#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "numeric/amoeba.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {
namespace {

// A scratch stream that can be read back as text.
class Capture {
 public:
  Capture() : f_(std::tmpfile()) {}
  ~Capture() { std::fclose(f_); }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  std::FILE* get() const { return f_; }
  std::string Text() const {
    std::fflush(f_);
    std::rewind(f_);
    std::string s;
    for (int c; (c = std::fgetc(f_)) != EOF;) s.push_back(static_cast<char>(c));
    return s;
  }

 private:
  std::FILE* f_;
};

int CountLines(const std::string& s, const std::string& prefix) {
  int n = 0;
  for (std::size_t pos = 0; (pos = s.find(prefix, pos)) != std::string::npos; ++pos)
    if (pos == 0 || s[pos - 1] == '\n') ++n;
  return n;
}

// Sets the three vertices of a two-variable simplex and their values.
template <class F>
void Start(Matrix& p, Vector& y, F& f, double x1, double x2, double step) {
  const double v[3][2] = {{x1, x2}, {x1 + step, x2}, {x1, x2 + step}};
  Vector x(1, 2);
  for (int i = 1; i <= 3; ++i) {
    p[i][1] = x[1] = v[i - 1][0];
    p[i][2] = x[2] = v[i - 1][1];
    y[i] = f(static_cast<const Vector&>(x));
  }
}

TEST(Amoeba, QuadraticAndRosenbrockConvergeWithBestInRowOne) {
  int calls = 0;
  auto quad = [&calls](const Vector& x) {
    ++calls;
    const double a = x[1] - 3.0, b = x[2] + 2.0;
    return 1.0 + a * a + 4.0 * b * b + a * b;
  };
  Matrix p(1, 3, 1, 2);
  Vector y(1, 3);
  Start(p, y, quad, 0.0, 0.0, 1.0);
  calls = 0;
  Capture con, diag;
  int nfunk = -1;
  amoeba(p, y, 2, 1e-12, quad, &nfunk, con.get(), diag.get());
  EXPECT_NEAR(p[1][1], 3.0, 1e-4);
  EXPECT_NEAR(p[1][2], -2.0, 1e-4);
  for (int i = 2; i <= 3; ++i) EXPECT_LE(y[1], y[i]);
  // The charged count is the number of calls actually made.
  EXPECT_EQ(nfunk, calls);
  Vector best(1, 2);
  best[1] = p[1][1];
  best[2] = p[1][2];
  EXPECT_EQ(y[1], quad(best));  // values stay those of their rows
  EXPECT_TRUE(diag.Text().empty());
  const std::string out = con.Text();
  EXPECT_EQ(CountLines(out, "1 amoeba det "), CountLines(out, "2 amoeba T   "));
  EXPECT_GT(CountLines(out, "1 amoeba det "), 10);

  calls = 0;
  auto rosen = [&calls](const Vector& x) {
    ++calls;
    const double a = 1.0 - x[1], b = x[2] - x[1] * x[1];
    return 1.0 + a * a + 100.0 * b * b;
  };
  Start(p, y, rosen, -1.2, 1.0, 0.1);
  calls = 0;
  amoeba(p, y, 2, 1e-10, rosen, &nfunk, con.get(), diag.get());
  EXPECT_NEAR(p[1][1], 1.0, 1e-3);
  EXPECT_NEAR(p[1][2], 1.0, 2e-3);
  EXPECT_EQ(nfunk, calls);
  for (int i = 2; i <= 3; ++i) EXPECT_LE(y[1], y[i]);
  EXPECT_TRUE(diag.Text().empty());
}

TEST(Amoeba, AllEqualValuesStopInFirstPassWithLastVertexFirst) {
  int calls = 0;
  auto flat = [&calls](const Vector&) { return ++calls, 2.5; };
  Matrix p(1, 3, 1, 2);
  Vector y(1, 3);
  for (int i = 1; i <= 3; ++i) {
    p[i][1] = 10.0 * i;
    p[i][2] = 100.0 * i;
    y[i] = 2.5;
  }
  Capture con, diag;
  int nfunk = -1;
  amoeba(p, y, 2, 0.1, flat, &nfunk, con.get(), diag.get());
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(nfunk, 0);
  EXPECT_EQ(con.Text(),
            "1 amoeba det 2.500000 2.500000 2.500000\n"
            "2 amoeba T   100.000000 200.000000 300.000000\n");
  EXPECT_EQ(p[1][1], 30.0);
  EXPECT_EQ(p[1][2], 300.0);
  EXPECT_EQ(p[3][1], 10.0);
  EXPECT_EQ(p[3][2], 100.0);
}

TEST(Amoeba, ExhaustedBudgetIsFatal) {
  // Values of exactly 0 make the spread undefined, and the simplex never moves.
  auto zero = [](const Vector&) { return 0.0; };
  Matrix p(1, 3, 1, 2);
  Vector y(1, 3);
  Start(p, y, zero, 1.0, 1.0, 1.0);
  Capture con, diag;
  int nfunk = 0;
  try {
    amoeba(p, y, 2, 0.1, zero, &nfunk, con.get(), diag.get());
    FAIL() << "no fatal error";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "NMAX exceeded");
  }
  EXPECT_EQ(nfunk, kAmoebaNmax);
  EXPECT_EQ(CountLines(con.Text(), "1 amoeba det "), kAmoebaNmax / 2 + 1);
}

TEST(Amoeba, NoisyObjectiveStopsOnCollapseLongBeforeBudget) {
  // A bowl with its bottom at 0 at (3750, 280) plus seeded noise of random
  // sign and a magnitude spread over six decades: near the bottom the values
  // scatter around 0 and practically never agree to the relative tolerance.
  std::int32_t idum = kSeed;
  auto noisy = [&idum](const Vector& x) {
    const double a = (x[1] - 3750.0) / 100.0, b = (x[2] - 280.0) / 10.0;
    const double sign = ran0(&idum) < 0.5 ? -1.0 : 1.0;
    return 1e-3 * (a * a + b * b) + sign * 1e-3 * std::pow(10.0, -6.0 * ran0(&idum));
  };
  Matrix p(1, 3, 1, 2);
  Vector y(1, 3);
  Start(p, y, noisy, 3700.0, 250.0, 100.0);
  Capture con, diag;
  int nfunk = 0;
  amoeba(p, y, 2, 0.1, noisy, &nfunk, con.get(), diag.get());
  EXPECT_LT(nfunk, 1000);
  EXPECT_NEAR(p[1][1], 3750.0, 10.0);
  EXPECT_NEAR(p[1][2], 280.0, 1.0);
  const std::string err = diag.Text();
  EXPECT_EQ(err.find("amoeba: simplex collapsed at ("), 0u) << err;
  EXPECT_NE(err.find("after " + std::to_string(nfunk) + " evaluations"), std::string::npos);
  EXPECT_EQ(CountLines(err, "amoeba:"), 1);
  for (int i = 2; i <= 3; ++i)
    for (int j = 1; j <= 2; ++j)
      EXPECT_LE(std::fabs(p[i][j] - p[1][j]), kAmoebaCollapse * std::fabs(p[1][j]));
  for (int i = 2; i <= 3; ++i) EXPECT_LE(y[1], y[i]);
}

}  // namespace
}  // namespace chainmelt
