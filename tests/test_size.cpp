#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_util.hpp"

namespace chainmelt {
namespace {

using testing::Fields;

const char kHeader[] =
    "# nu, z, cmax, T, Theta, p, fret, iter, c1/2, T, Theta, p, fret, iter, dT1/2 ";

// Mean-field lipid (n0 = 1) with dS = 2200/314 and dH = 2200 - w/2, a ligand
// of activity z preferring gel by dH2 per fluid chain it covers, and the inner
// sweep `range`.  Returns the lines of output.out; standard output in *con.
std::vector<std::string> Size(const std::string& n0, const std::string& w_dH, const std::string& z,
                              const std::string& dH2, const std::string& range,
                              std::string* con = nullptr) {
  testing::TempDir dir;
  const testing::RunResult r = testing::RunChainmelt(
      Fields("pa size " + n0 + " 300 " + w_dH + " 7.0063694 0 0 0 0 " + dH2 + " 0 0 0 0 " + z +
             " 0 0 " + range + " T"),
      dir.path().string());
  EXPECT_EQ(r.status, 0) << r.err;
  if (con) *con = r.out;
  return testing::Lines(testing::ReadFile(dir.file("output.out")));
}

TEST(TaskSize, RecordsHeadersAndProgress) {
  std::string con;
  EXPECT_TRUE(Size("2", "-150 0 2650", "1", "30", "300 306 2", &con).empty());
  EXPECT_EQ(testing::Lines(con).size(), 21u);
  EXPECT_NE(con.find("\npara.nu = -1.000000 Task: size\n"), std::string::npos);
  EXPECT_NE(con.find("\npara.nu = 18.000000 Task: size\n"), std::string::npos);

  const std::vector<std::string> l = Size("1", "-1000 0 2700", "1", "30", "290 370 2");
  ASSERT_EQ(l.size(), 40u);
  for (int k = 0; k < 20; ++k) {
    const std::vector<std::string> f = Fields(l[2 * k]);
    ASSERT_EQ(f.size(), 15u) << l[2 * k];
    EXPECT_EQ(l[2 * k + 1], kHeader);
    EXPECT_EQ(std::stod(f[0]), k - 1);
    EXPECT_EQ(f[1], k == 0 ? "0.000000" : "1.000000");  // z^(nu+1); none for nu = -1
    EXPECT_LT(std::stod(f[8]), 0.5 * std::stod(f[2]));
    EXPECT_NEAR(std::stod(f[14]), 2 * (std::stod(f[9]) - std::stod(f[3])), 1e-6);
    // A gel-binding ligand stabilises the gel, the more so the larger it is.
    if (k > 1) {
      EXPECT_GE(std::stod(f[3]), std::stod(Fields(l[2 * k - 2])[3]));
    }
  }
}

TEST(TaskSize, PeakAndHalfHeightEdgeCases) {
  // No ligand, coarse steps on the falling flank: peak and half height both
  // at the fourth point.
  const std::vector<std::string> flank = Size("1", "-1150 0 2775", "0", "0", "310 340 10");
  ASSERT_EQ(flank.size(), 40u);
  for (const std::string& line : flank) {
    if (line == kHeader) continue;
    const std::vector<std::string> f = Fields(line);
    ASSERT_EQ(f.size(), 15u);
    EXPECT_EQ(f[3], "340.000000");
    EXPECT_EQ(f[14], "0.000000");
  }
  // The sweep ends past the peak but before half height: each size's peak
  // record ends its own line.
  const std::vector<std::string> peaks = Size("1", "-1000 0 2700", "0", "0", "300 320 1");
  ASSERT_EQ(peaks.size(), 20u);
  for (int k = 0; k < 20; ++k) EXPECT_EQ(Fields(peaks[k]).size(), 8u) << peaks[k];
  // Deep in the gel the heat values are the scatter of the minima, of either
  // sign; a negative one is no half height without a recorded peak.
  const std::vector<std::string> gel = Size("1", "-600 0 2500", "1", "30", "60 120 5");
  EXPECT_GE(gel.size(), 20u);
  for (std::size_t i = 0; i < gel.size(); ++i) {
    const std::size_t n = Fields(gel[i]).size();
    if (gel[i] == kHeader) {
      EXPECT_TRUE(i > 0 && Fields(gel[i - 1]).size() == 15u);
    } else {
      EXPECT_TRUE(n == 8 || n == 15) << gel[i];
    }
  }
}

}  // namespace
}  // namespace chainmelt
