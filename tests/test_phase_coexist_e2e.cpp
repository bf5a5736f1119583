// The "phase" and "coexist" tasks through the real binary.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_util.hpp"

namespace chainmelt::testing {
namespace {

// A sweep through the melting of a one-component membrane (Tm = 314 K), then
// one point of each other variant: 1 + n0 + 2 fields per record.
TEST(PhaseE2E, MembraneMeltsOnceAtTmAndRecordsCarryEveryVariable) {
  const char* melt = "pa phase 2 314 -300 0 0 0 314 2165 0 0 0 0 0 0.21 0 0 0 0 310 318 2 T";
  const Calc a(melt);
  ASSERT_EQ(a.r.status, 0) << a.r.err;
  ASSERT_EQ(a.records.size(), 5u);
  int switches = 0;
  for (std::size_t k = 0; k < a.records.size(); ++k) {
    const auto f = Fields(a.records[k]);
    ASSERT_EQ(f.size(), 5u);  // T, p1, p2, free energy, iter
    EXPECT_EQ(a.records[k].back(), ' ');
    EXPECT_EQ(std::stod(f[1]) > 0.5, std::stod(f[0]) > 314.0) << a.records[k];
    if (k > 0 && (std::stod(f[1]) > 0.5) != (std::stod(Fields(a.records[k - 1])[1]) > 0.5))
      ++switches;
  }
  EXPECT_EQ(switches, 1);
  const Calc again(melt);  // same command line, same bytes
  EXPECT_EQ(ReadFile(again.dir.file("output.out")), ReadFile(a.dir.file("output.out")));

  for (const char* line : {"pa phase 1 3 -4 0 30 8 0 0 0 0 0 0 0 0.1 0 0 0 0 3 3 1 T",
                           "pa phase 4 3 -4 0 30 8 0 0 0 0 0 0 0 0.1 0 0 0 0 3 3 1 T",
                           "pa phase 5 3 -4 0 30 8 0 0 0 0 0 0 0 0.4 0 0 0 0 3 3 1 T",
                           "pa phase 8 3 -4 0 30 8 0 0 0 2 0.5 0 0 0.5 0.3 0 0 0 3 3 1 T"}) {
    const Calc c(line);
    ASSERT_EQ(c.r.status, 0) << c.r.err;
    ASSERT_EQ(c.records.size(), 1u) << line;
    EXPECT_EQ(Fields(c.records[0]).size(), 1u + std::stoul(Fields(line)[2]) + 2u) << line;
  }
}

TEST(CoexistE2E, RecordAtASignChangeAndReasonWithoutOne) {
  const Calc a("pa coexist 4 3 -4 0 30 8 0 0 0 0 0 0 0 0.1 0 0 0 0 3 3 1 T");
  ASSERT_EQ(a.r.status, 0) << a.r.err;
  ASSERT_EQ(a.records.size(), 1u);
  const auto f = Fields(a.records[0]);
  ASSERT_EQ(f.size(), 2u + 2u * 4u + 4u);
  EXPECT_EQ(f[11], f[13]);  // iter twice
  EXPECT_EQ(a.r.err, "");

  // The estimate lies 8 above the crossing of this mean-field model; the
  // search widens toward it but gives up after seven expansions.
  const Calc b("pa coexist 1 3 -40 0 30 8 0 0 0 -1144 0 0 0 -0.1 0 0 0 0 3 3 1 T");
  ASSERT_EQ(b.r.status, 0) << b.r.err;
  EXPECT_TRUE(b.records.empty());
  EXPECT_EQ(b.r.out, "T = 3.000000 Task: coexist\n");
  const auto err = Lines(b.r.err);
  ASSERT_EQ(err.size(), 1u);
  EXPECT_EQ(err[0].rfind("coexist at T = 3.000000: no record, no sign change", 0), 0u) << err[0];
  std::istringstream in(err[0].substr(err[0].find("from ") + 5));
  double lo = 0, hi = 0;
  std::string to;
  in >> lo >> to >> hi;
  EXPECT_NEAR(hi - lo, 0.02 * 2.6 * 2.6 * 2.6 * 2.6 * 2.6 * 2.6 * 2.6, 1e-5);  // nine searches
}

TEST(SearchE2E, UnreachableStartsStopAtOnceWithTheirReason) {
  const auto t0 = std::chrono::steady_clock::now();
  // n0 = 2 needs conc > 0.2 for its fluid-rich starts.
  const Calc a("pa phase 2 3 -4 0 30 8 0 0 0 0 0 0 0 0 0 0 0 0 3 4 1 T");
  // n0 = 1 draws nothing for a phase start: 0.8 - 0.9 can never become feasible.
  const Calc b("pa coexist 1 3 -4 0 30 8 0 0 0 0 0 0 0 0.9 0 0 0 0 3 4 1 T");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  for (const Calc* c : {&a, &b}) {
    EXPECT_EQ(c->r.status, 1);
    EXPECT_TRUE(c->records.empty());
    EXPECT_EQ(Lines(c->r.out).size(), 1u);  // the first point only
    const auto err = Lines(c->r.err);
    ASSERT_EQ(err.size(), 3u) << c->r.err;
    EXPECT_EQ(err[0], "Vorn run-time error...");
    EXPECT_EQ(err[2], "...now exiting to system...");
  }
  EXPECT_EQ(Lines(a.r.err)[1],
            "StepOrderDiscont (fluid-rich family, start 0.8 - conc = 0.800000, n0 = 2): 1000000 "
            "start states in a row were infeasible; choose conc (argument 16) with 0.2 < conc < 0.8");
  EXPECT_NE(Lines(b.r.err)[1].find("start 0.8 - conc = -0.100000, n0 = 1): the start state is "
                                   "infeasible and has no random part"),
            std::string::npos);
}

}  // namespace
}  // namespace chainmelt::testing
