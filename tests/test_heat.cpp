#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e_util.hpp"
#include "search/search.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {
namespace {

using testing::Fields;
using testing::Lines;

// Records of one run of the program; `args` is the command line as one text.
std::vector<std::string> Records(const std::string& args) {
  testing::TempDir dir;
  const testing::RunResult r = testing::RunChainmelt(Fields(args), dir.path().string());
  EXPECT_EQ(r.status, 0) << r.err;
  return Lines(testing::ReadFile(dir.file("output.out")));
}

// Sets up a run state that writes its records to a scratch file.
void Prepare(RunState& rs, int n0, std::FILE* out) {
  rs.n0 = n0;
  rs.Allocate();
  rs.out_ptr = out;
}

std::string Written(std::FILE* f) {
  std::string s;
  std::fflush(f);
  std::rewind(f);
  for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) s.push_back(static_cast<char>(c));
  return s;
}

TEST(TaskHeat, MeanFieldSecondDifferenceAndItsBound) {
  RunState rs;
  std::FILE* out = std::tmpfile();
  Prepare(rs, 1, out);
  rs.para.w = -600;
  rs.para.dH = 2400;
  rs.para.dS = 2100.0 / 314;
  rs.T_min = 310;
  rs.dT = 1;
  double F[3];
  for (int k = 0; k < 3; ++k) {
    rs.T = 310 + k;
    TaskHeat(rs);
    F[k] = rs.fret0;
    EXPECT_EQ(Written(out).empty(), k < 2);
  }
  const std::vector<std::string> f = Fields(Written(out));  // T z Theta p1 heat/T fret iter
  std::fclose(out);
  ASSERT_EQ(f.size(), 7u);
  EXPECT_EQ(f[0], "312.000000");
  EXPECT_NEAR(std::stod(f[4]), -(311.0 * 311.0) * (F[2] + F[0] - 2 * F[1]) / 312, 1e-6);
  EXPECT_EQ(rs.alt2, F[1]);
  // Sweeping dH at T = 300: the bound T_min + 2 dT holds at every point or none.
  const std::string tail = " 0 0 0 0 0 0 0 0 0 0 ";
  EXPECT_EQ(Records("pa heat 1 300 -600 0 1 6.7 0 0" + tail + "100 104 1 H").size(), 5u);
  EXPECT_EQ(Records("pa heat 1 300 -600 0 1 6.7 0 0" + tail + "2400 2404 1 H").size(), 0u);
}

// Energy part of the free energy at p0 (the constant e2 conc of n0 = 4 left out).
double Energy(const RunState& rs) {
  const Para& a = rs.para;
  const StateVec& p = rs.p0;
  if (rs.n0 == 8) return a.dH * p[1] + (a.dH + a.dH2) * p[2] + 3 * a.w * (p[3] + p[4] + 2 * p[8]);
  const int k = rs.n0 == 5 ? 1 : 0;  // n0 = 5 has the component fraction as p2
  double u = a.dH * p[1] + k * a.e2 * p[2] + 3 * a.w * p[2 + k];
  if (rs.n0 > 2) u += 6 * a.w3 * p[3 + k] + 3 * a.w2 * p[4 + k];
  return u;
}

TEST(TaskHeat, PairVariantsMatchTheDerivativeOfTheEquilibriumEnergy) {
  for (int n0 : {2, 4, 5, 8}) {
    SCOPED_TRACE(n0);
    RunState rs;
    std::FILE* out = std::tmpfile();
    Prepare(rs, n0, out);
    rs.para = {-150, -50, 2550, 2100.0 / 314, 0, 0, n0 == 5 ? 600.0 : 0, 40, -600, -1.5,
               0,    0.1, 0.3,  0,            0, 0, "T"};
    const double T = n0 == 2 || n0 == 5 ? 300 : 328, h = 0.25;
    double u[2];
    for (int s = 0; s < 2; ++s) {
      rs.T = T + (s ? h : -h);
      StepOrderCont(rs);
      u[s] = Energy(rs);
    }
    rs.T = T;
    TaskHeat(rs);
    const std::vector<std::string> f = Fields(Written(out));
    std::fclose(out);
    ASSERT_EQ(f.size(), static_cast<std::size_t>(n0 + 4));
    EXPECT_EQ(f[0], std::to_string(T));
    const double slope = (u[1] - u[0]) / (2 * h);
    EXPECT_GT(slope, 0.5);
    EXPECT_NEAR(std::stod(f[1]), slope, 0.03 * slope);
  }
}

TEST(TaskHeat, AreaOverAContinuousTransitionIsTheEnergyChange) {
  const std::string model = "pa heat 2 314 -150 0 2550 6.687898 0 0 0 0 0 0 0 0 0 0 0 0 ";
  const std::vector<std::string> lines = Records(model + "250 400 1 T");
  ASSERT_EQ(lines.size(), 151u);
  double area = 0, c_prev = 0, u_first = 0, u = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::vector<std::string> f = Fields(lines[i]);  // T C p1 p2 fret iter
    const double c = std::stod(f[1]);
    u = 2550 * std::stod(f[2]) - 450 * std::stod(f[3]);
    if (i == 0) u_first = u;
    if (i > 0) area += 0.5 * (c + c_prev);
    c_prev = c;
  }
  EXPECT_GT(u - u_first, 0.85 * 2100);  // nearly the whole transition
  EXPECT_NEAR(area, u - u_first, 0.02 * (u - u_first));
  const std::vector<std::string> h = Records(model + "2500 2502 1 H");
  ASSERT_EQ(h.size(), 3u);
  EXPECT_EQ(Fields(h[2])[0], "2502.000000");
}

}  // namespace
}  // namespace chainmelt
