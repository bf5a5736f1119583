#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_util.hpp"

namespace chainmelt {
namespace {

using testing::Fields;
using testing::Lines;
using testing::ReadFile;
using testing::RunChainmelt;
using testing::TempDir;

const char kHeader[] =
    "# nu, z, cmax, T, Theta, p, fret, iter, c1/2, T, Theta, p, fret, iter, dT1/2 ";

struct SizeRun {
  int status = -1;
  std::string out;      // standard output
  std::string records;  // output.out
};

// Mean-field lipid melting near 314: dS = 2200/314 and dH = 2200 - w/2, so
// that the all-fluid lattice lies 2200 above the all-gel one.  The ligand
// prefers gel chains by dH2 for every fluid chain it covers.
SizeRun RunSize(int n0, double w, double z, double dH2, double tmin, double tmax, double dt) {
  char buf[8][40];
  const double v[] = {w, z, dH2, tmin, tmax, dt, 2200.0 / 314.0, 2200.0 - 0.5 * w};
  for (int i = 0; i < 8; ++i) std::snprintf(buf[i], sizeof buf[i], "%.17g", v[i]);
  const std::vector<std::string> args = {
      "pa", "size", std::to_string(n0), "300", buf[0], "0", buf[7], buf[6], "0", "0", "0", "0",
      buf[2], "0", "0", "0", "0", buf[1], "0", "0", buf[3], buf[4], buf[5], "T"};
  TempDir dir;
  const auto r = RunChainmelt(args, dir.path().string());
  return {r.status, r.out, ReadFile(dir.file("output.out"))};
}

double Num(const std::string& s) { return std::stod(s); }

TEST(TaskSize, PairVariantWritesNothingButTwentyProgressLines) {
  const SizeRun r = RunSize(2, -150, 1, 60, 300, 306, 2);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.records, "");
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 21u);
  EXPECT_EQ(lines[0], "T = 300.000000 Task: size");
  EXPECT_EQ(lines[1], "para.nu = -1.000000 Task: size");
  EXPECT_EQ(lines[20], "para.nu = 18.000000 Task: size");
}

TEST(TaskSize, LigandRunWritesCompleteLinesEachFollowedByHeader) {
  const SizeRun r = RunSize(1, -1000, 1, 30, 290, 370, 2);
  ASSERT_EQ(r.status, 0);
  const std::vector<std::string> lines = Lines(r.records);
  ASSERT_EQ(lines.size(), 40u);
  double last_peak_T = 0;
  for (int k = 0; k < 20; ++k) {
    SCOPED_TRACE("nu = " + std::to_string(k - 1));
    EXPECT_EQ(lines[2 * k + 1], kHeader);
    const std::vector<std::string> f = Fields(lines[2 * k]);
    ASSERT_EQ(f.size(), 15u);
    EXPECT_EQ(Num(f[0]), k - 1);
    EXPECT_EQ(f[1], k == 0 ? "0.000000" : "1.000000");  // z^(nu+1), none for nu = -1
    const double cmax = Num(f[2]), tpeak = Num(f[3]), chalf = Num(f[8]), thalf = Num(f[9]);
    EXPECT_GT(cmax, 0.0);
    EXPECT_GE(tpeak, 290.0 + 3 * 2.0);
    EXPECT_LT(chalf, 0.5 * cmax);
    EXPECT_NEAR(Num(f[14]), 2 * (thalf - tpeak), 1e-6);
    if (k == 0) {
      EXPECT_EQ(f[4], "0.000000");  // no ligand, no coverage
    } else {
      EXPECT_GT(Num(f[4]), 0.0);
    }
    // Gel-binding ligands stabilise the gel: the peak moves up with ligand size.
    if (k > 1) {
      EXPECT_GE(tpeak, last_peak_T);
    }
    last_peak_T = tpeak;
  }
  EXPECT_EQ(r.records.substr(r.records.size() - 2), " \n");
}

TEST(TaskSize, PeakAndHalfHeightAtTheSamePointGiveWidthZero) {
  // No ligand (z = 0 for every size) and a coarse sweep on the falling flank:
  // the heat drops below half between two points right at the fourth point.
  const SizeRun r = RunSize(1, -1150, 0, 0, 310, 340, 10);
  ASSERT_EQ(r.status, 0);
  const std::vector<std::string> lines = Lines(r.records);
  ASSERT_EQ(lines.size(), 40u);
  for (int k = 0; k < 20; ++k) {
    const std::vector<std::string> f = Fields(lines[2 * k]);
    ASSERT_EQ(f.size(), 15u);
    EXPECT_EQ(f[3], "340.000000");
    EXPECT_EQ(f[9], "340.000000");
    EXPECT_EQ(f[14], "0.000000");
    EXPECT_EQ(lines[2 * k + 1], kHeader);
  }
}

TEST(TaskSize, SweepEndingBeforeHalfHeightEndsThePeakLine) {
  // No ligand, and the sweep stops just past the peak: every size gets its
  // peak record on a line of its own, without half-height part and header.
  const SizeRun r = RunSize(1, -1000, 0, 0, 300, 320, 1);
  ASSERT_EQ(r.status, 0);
  const std::vector<std::string> lines = Lines(r.records);
  ASSERT_EQ(lines.size(), 20u);
  for (int k = 0; k < 20; ++k) {
    const std::vector<std::string> f = Fields(lines[k]);
    ASSERT_EQ(f.size(), 8u) << lines[k];
    EXPECT_EQ(Num(f[0]), k - 1);
  }
}

TEST(TaskSize, HalfHeightIsOnlyLookedForAfterAPeak) {
  // Deep in the gel the heat values are only the scatter of the minimised
  // free energies, of either sign; a negative one must not be taken for the
  // half-height point of a peak that was never recorded.
  const SizeRun r = RunSize(1, -600, 1, 30, 60, 120, 5);
  ASSERT_EQ(r.status, 0);
  const std::vector<std::string> lines = Lines(r.records);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == kHeader) {
      ASSERT_GT(i, 0u);
      EXPECT_EQ(Fields(lines[i - 1]).size(), 15u);
      continue;
    }
    const std::vector<std::string> f = Fields(lines[i]);
    ASSERT_TRUE(f.size() == 8u || f.size() == 15u) << lines[i];
    const double nu = Num(f[0]);
    EXPECT_TRUE(nu >= -1 && nu <= 18 && nu == std::floor(nu)) << lines[i];
    EXPECT_GE(Num(f[3]), 60.0 + 3 * 5.0);  // a real peak temperature
    if (f.size() == 15u) {
      EXPECT_GE(Num(f[9]), Num(f[3]));
      EXPECT_LT(Num(f[14]), 2 * Num(f[9]) - 1.0);  // not 2*T from a missing peak
    }
  }
  EXPECT_GE(lines.size(), 20u);
}

}  // namespace
}  // namespace chainmelt
