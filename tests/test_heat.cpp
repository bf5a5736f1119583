#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_util.hpp"
#include "model/run_state.hpp"
#include "search/search.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {
namespace {

using testing::Fields;
using testing::Lines;
using testing::ReadFile;
using testing::RunChainmelt;
using testing::TempDir;

// The 24 command-line arguments, with named fields.
struct Cmd {
  std::string task = "heat";
  int n0 = 2;
  double T = 300;
  Para para;
  double T_min = 0, T_max = 0, dT = 1;
  std::vector<std::string> Args() const {
    auto f = [](double v) {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", v);
      return std::string(buf);
    };
    const Para& p = para;
    return {"pa", task, std::to_string(n0), f(T), f(p.w), f(p.w2), f(p.dH), f(p.dS), f(p.Tm),
            f(p.dHcal), f(p.e2), f(p.w3), f(p.dH2), f(p.dS2), f(p.zsave), f(p.conc), f(p.conc2),
            f(p.z), f(p.nu), f(p.mode), f(T_min), f(T_max), f(dT), p.sweep.empty() ? "T" : p.sweep};
  }
};

// Run state writing its records to a scratch file.
struct HeatRun {
  RunState rs;
  std::FILE* out = std::tmpfile();
  std::FILE* con = std::tmpfile();
  explicit HeatRun(int n0, const Para& para) {
    rs.n0 = n0;
    rs.para = para;
    rs.Allocate();
    rs.out_ptr = out;
    rs.con = con;
  }
  ~HeatRun() {
    std::fclose(out);
    std::fclose(con);
  }
  HeatRun(const HeatRun&) = delete;
  HeatRun& operator=(const HeatRun&) = delete;
  std::string Out() const {
    std::fflush(out);
    std::rewind(out);
    std::string s;
    for (int c; (c = std::fgetc(out)) != EOF;) s.push_back(static_cast<char>(c));
    std::fseek(out, 0, SEEK_END);
    return s;
  }
};

// One lipid, melting at 314 with a cooperativity well below the critical one.
Para PairLipid() {
  Para p;
  p.w = -150;
  p.dH = 2550;
  p.dS = 2100.0 / 314.0;
  return p;
}

// Energy part of the free energy at the state p0 (the constant e2*conc of
// n0 = 4 left out).
double Energy(const RunState& rs) {
  const Para& a = rs.para;
  const StateVec& p = rs.p0;
  switch (rs.n0) {
    case 2: return a.dH * p[1] + 3 * a.w * p[2];
    case 4: return a.dH * p[1] + 3 * a.w * p[2] + 6 * a.w3 * p[3] + 3 * a.w2 * p[4];
    case 5: return a.e2 * p[2] + a.dH * p[1] + 3 * a.w * p[3] + 6 * a.w3 * p[4] + 3 * a.w2 * p[5];
    case 8: return a.dH * p[1] + (a.dH + a.dH2) * p[2] + 3 * a.w * (p[3] + p[4] + 2 * p[8]);
  }
  return 0;
}

TEST(TaskHeat, MeanFieldSecondDifferenceOverTheHistory) {
  Para para;
  para.w = -600;
  para.dH = 2400;
  para.dS = 2100.0 / 314.0;
  HeatRun run(1, para);
  RunState& rs = run.rs;
  rs.T_min = 310;
  rs.dT = 1;
  double F[3];
  for (int k = 0; k < 3; ++k) {
    rs.T = rs.T_min + k;
    TaskHeat(rs);
    F[k] = rs.fret0;
    if (k < 2) {
      EXPECT_EQ(run.Out(), "") << "record at point " << k + 1;
    }
  }
  const std::vector<std::string> lines = Lines(run.Out());
  ASSERT_EQ(lines.size(), 1u);
  const std::vector<std::string> f = Fields(lines[0]);
  ASSERT_EQ(f.size(), 7u);  // T, z, Theta, p1, heat/T, fret, iter
  EXPECT_EQ(f[0], "312.000000");
  const double heat = -(311.0 * 311.0 / 1.0) * (F[2] + F[0] - 2 * F[1]);
  EXPECT_NEAR(std::stod(f[4]), heat / 312.0, 1e-6);
  EXPECT_GT(heat, 0.0);
  EXPECT_NEAR(std::stod(f[5]), F[2], 1e-6);
  EXPECT_EQ(lines[0].back(), ' ');
  EXPECT_EQ(rs.alt1, F[2]);
  EXPECT_EQ(rs.alt2, F[1]);
}

TEST(TaskHeat, EnthalpySweepBoundHoldsForAllPointsOrNone) {
  Cmd c;
  c.n0 = 1;
  c.para.w = -600;
  c.para.dH = 1;  // replaced by the sweep
  c.para.dS = 2100.0 / 314.0;
  c.para.sweep = "H";
  c.dT = 1;
  // T stays at 300: compared against dH_min + 2 dT it passes everywhere or nowhere.
  for (double hmin : {100.0, 2400.0}) {
    TempDir dir;
    c.T_min = hmin;
    c.T_max = hmin + 4;
    const auto r = RunChainmelt(c.Args(), dir.path().string());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = Lines(ReadFile(dir.file("output.out")));
    EXPECT_EQ(lines.size(), hmin < 300 ? 5u : 0u);
    for (const auto& l : lines) EXPECT_EQ(Fields(l)[0], "300.000000");
  }
}

TEST(TaskHeat, PairVariantsAgreeWithEnergyDerivative) {
  struct Case {
    int n0;
    double T;
    Para para;
  };
  std::vector<Case> cases;
  cases.push_back({2, 300, PairLipid()});
  Para p4 = PairLipid();
  p4.conc = 0.1;
  p4.w2 = -50;
  p4.w3 = 40;
  cases.push_back({4, 325, p4});
  Para p5 = p4;
  p5.e2 = 600;
  cases.push_back({5, 300, p5});
  Para p8 = PairLipid();
  p8.conc2 = 0.3;
  p8.dH2 = -600;
  p8.dS2 = -1.5;
  cases.push_back({8, 330, p8});
  for (const Case& k : cases) {
    SCOPED_TRACE("n0 = " + std::to_string(k.n0));
    HeatRun run(k.n0, k.para);
    RunState& rs = run.rs;
    const double h = 0.25;
    rs.T = k.T - h;
    StepOrderCont(rs);
    const double u_lo = Energy(rs);
    rs.T = k.T + h;
    StepOrderCont(rs);
    const double u_hi = Energy(rs);
    rs.T = k.T;
    TaskHeat(rs);
    const std::vector<std::string> lines = Lines(run.Out());
    ASSERT_EQ(lines.size(), 1u);
    const std::vector<std::string> f = Fields(lines[0]);
    ASSERT_EQ(f.size(), static_cast<std::size_t>(2 + k.n0 + 2));
    EXPECT_EQ(f[0], std::to_string(k.T));
    const double c = std::stod(f[1]);
    const double slope = (u_hi - u_lo) / (2 * h);
    EXPECT_GT(c, 0.0);
    EXPECT_NEAR(c, slope, 0.03 * slope);
  }
}

// Over a sweep across a continuous transition the heat capacity integrates
// to the change of the equilibrium energy.
TEST(TaskHeat, AreaUnderCurveIsEnergyChange) {
  Cmd c;
  c.para = PairLipid();
  c.T_min = 250;
  c.T_max = 400;
  c.dT = 1;
  TempDir dir;
  const auto r = RunChainmelt(c.Args(), dir.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = Lines(ReadFile(dir.file("output.out")));
  ASSERT_EQ(lines.size(), 151u);
  double area = 0, prev_c = 0, u_first = 0, u_last = 0, cmax = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::vector<std::string> f = Fields(lines[i]);
    ASSERT_EQ(f.size(), 6u);
    const double cv = std::stod(f[1]);
    const double u = c.para.dH * std::stod(f[2]) + 3 * c.para.w * std::stod(f[3]);
    if (i == 0) u_first = u;
    if (i > 0) area += 0.5 * (cv + prev_c) * c.dT;
    prev_c = cv;
    u_last = u;
    cmax = std::max(cmax, cv);
  }
  EXPECT_GT(u_last - u_first, 0.85 * (c.para.dH + 3 * c.para.w));  // nearly all melted
  EXPECT_NEAR(area, u_last - u_first, 0.02 * (u_last - u_first));
  EXPECT_GT(cmax, 10 * prev_c);  // a peak, not a plateau

  // The enthalpy sweep puts dH in the first column.
  c.para.sweep = "H";
  c.T = 314;
  c.T_min = 2500;
  c.T_max = 2502;
  TempDir dir2;
  ASSERT_EQ(RunChainmelt(c.Args(), dir2.path().string()).status, 0);
  const std::vector<std::string> hl = Lines(ReadFile(dir2.file("output.out")));
  ASSERT_EQ(hl.size(), 3u);
  EXPECT_EQ(Fields(hl[0])[0], "2500.000000");
  EXPECT_EQ(Fields(hl[2])[0], "2502.000000");
}

}  // namespace
}  // namespace chainmelt
