// The lattice engine's mechanics: refusals, the kernel's bookkeeping against a
// count of its own, reproducibility across threads and orders, interruption,
// and the error analysis on series with known statistics.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "lattice/analysis.hpp"
#include "lattice/kernel.hpp"
#include "lattice/lattice.hpp"
#include "model_util.hpp"

namespace chainmelt::lattice {
namespace {

using testing::PairModel;

// The DPPC-like example with dH and dS derived from dHcal = 2200, Tm = 314.
Model Dppc() { return PairModel(-240, 2200 + 720, 2200.0 / 314); }

// Settings of the given size, otherwise the defaults.
Settings Sized(int L, long equilibration, long sweeps, std::uint64_t seed = 1) {
  Settings s;
  s.L = L, s.equilibration = equilibration, s.sweeps = sweeps, s.seed = seed;
  return s;
}

std::string RefusalOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(Lattice, RefusesWhatItCannotSimulate) {
  Settings s;
  s.sweeps = 100;
  s.equilibration = 0;
  for (int L : {0, 3, 4, 64, 100, 3003}) {
    s.L = L;
    const std::string why = RefusalOf([&] { Simulate(Dppc(), {300}, s); });
    EXPECT_NE(why.find("L must be a multiple of 3"), std::string::npos) << L << ": " << why;
    EXPECT_NE(why.find(std::to_string(L)), std::string::npos) << why;
  }
  s.L = 6;
  EXPECT_EQ(CheckSettings(s), "");
  s.sweeps = 10;  // fewer than the 32 blocks
  EXPECT_NE(CheckSettings(s).find("sweeps"), std::string::npos);
  s.sweeps = 100;
  s.threads = 0;
  EXPECT_NE(CheckSettings(s).find("threads"), std::string::npos);
  s.threads = 1;
  s.equilibration = -1;
  EXPECT_NE(CheckSettings(s).find("equilibration"), std::string::npos);
  s.equilibration = 0;

  Model m = Dppc();
  m.n0 = 4;
  EXPECT_NE(RefusalOf([&] { Simulate(m, {300}, s); }).find("n0 = 2"), std::string::npos);
  m = Dppc();
  m.para.mode = kAltMode;
  EXPECT_NE(RefusalOf([&] { Simulate(m, {300}, s); }).find("mode"), std::string::npos);
  m = Dppc();
  m.para.w = std::nan("");
  EXPECT_NE(RefusalOf([&] { Simulate(m, {300}, s); }).find("w must be finite"), std::string::npos);
  for (double T : {0.0, -5.0, std::nan(""), HUGE_VAL})
    EXPECT_NE(RefusalOf([&] { Simulate(Dppc(), {300, T}, s); }).find("temperature"), std::string::npos) << T;
  EXPECT_NE(RefusalOf([&] { Simulate(Dppc(), {}, s); }).find("at least one"), std::string::npos);
  EXPECT_NE(RefusalOf([&] { Snapshot(Dppc(), 300, 10, 1, 5); }).find("L must"), std::string::npos);
  EXPECT_NE(RefusalOf([&] { Snapshot(Dppc(), -1, 12, 1, 5); }).find("T must"), std::string::npos);
}

// The counts the sweep keeps up to date equal a count made here with the
// neighbours of the snapshot's documented geometry, at every sublattice
// layout (L = 6, 9, 12: segments of even and odd length) and both updates.
TEST(Lattice, SweepKeepsItsCountsAndTheSnapshotGeometry) {
  for (int L : {6, 9, 12, 21}) {
    for (Update up : {Update::kMetropolis, Update::kHeatBath}) {
      Lattice lat(L);
      Rng rng(7, 3);
      for (int y = 0; y < L; ++y)
        for (int x = 0; x < L; ++x) lat.Set(x, y, static_cast<std::uint8_t>(rng.Next() >> 63));
      std::int64_t nf = 0, nff = 0;
      lat.Count(nf, nff);
      const Table t = MakeTable({0.3, 0.0, -1.0}, 1.5, up);
      for (int k = 0; k < 20; ++k) lat.Sweep(t, rng, nf, nff);
      std::int64_t f = 0, ff2 = 0;  // ff2 counts every pair twice
      const int dx[6] = {1, -1, 0, 0, 1, -1}, dy[6] = {0, 0, 1, -1, -1, 1};
      for (int y = 0; y < L; ++y)
        for (int x = 0; x < L; ++x) {
          const int n = lat.Get(x, y);
          f += n;
          for (int k = 0; k < 6; ++k) ff2 += n * lat.Get((x + dx[k] + L) % L, (y + dy[k] + L) % L);
        }
      EXPECT_EQ(nf, f) << L;
      EXPECT_EQ(2 * nff, ff2) << L;
      EXPECT_GT(f, 0);
      EXPECT_LT(f, static_cast<std::int64_t>(L) * L);
    }
  }
}

// Entries are probabilities of ending fluid, scaled to 2^32; the extremes are
// exactly 0 and 2^32 so that certain moves are certain.
TEST(Lattice, AcceptanceTables) {
  const Couplings c{1.0, 0.5, -0.25};
  const double T = 0.8;
  const Table mb = MakeTable(c, T, Update::kMetropolis), hb = MakeTable(c, T, Update::kHeatBath);
  for (int k = 0; k <= 6; ++k) {
    const double q = std::exp(-(c.dH + c.w * k) / T + c.dS);  // fluid over gel
    EXPECT_NEAR(static_cast<double>(hb.p[k]) / 0x1p32, q / (1 + q), 1e-9);
    EXPECT_EQ(hb.p[k], hb.p[7 + k]);
    EXPECT_NEAR(static_cast<double>(mb.p[k]) / 0x1p32, std::min(1.0, q), 1e-9);
    EXPECT_NEAR(1 - static_cast<double>(mb.p[7 + k]) / 0x1p32, std::min(1.0, 1 / q), 1e-9);
  }
  const Table frozen = MakeTable({1e6, 0, 0}, 1, Update::kHeatBath);
  const Table molten = MakeTable({-1e6, 0, 0}, 1, Update::kMetropolis);
  for (int i = 0; i < 14; ++i) {
    EXPECT_EQ(frozen.p[i], 0u);
    EXPECT_EQ(molten.p[i], 1ULL << 32);
  }
}

void ExpectSamePoints(const Result& a, const Result& b) {
  ASSERT_EQ(a.points.size(), b.points.size());
  for (std::size_t i = 0; i < a.points.size(); ++i) {
    for (double Point::*f : {&Point::T, &Point::U, &Point::U_err, &Point::Cp, &Point::Cp_err,
                             &Point::x_f, &Point::y_ff, &Point::tau_E})
      EXPECT_EQ(a.points[i].*f, b.points[i].*f) << i;
  }
  EXPECT_EQ(a.exchange_rate, b.exchange_rate);
}

// A seed gives the same numbers at 1, 2 and 3 threads and whatever the order
// of the temperatures; another seed gives others.
TEST(Lattice, ReproducibleAtAnyThreadCountAndOrder) {
  Settings s = Sized(12, 100, 400, 2026);
  const std::vector<double> T = {300, 306, 312, 318, 324};
  const Result one = Simulate(Dppc(), T, s);
  s.threads = 2;
  const Result two = Simulate(Dppc(), T, s);
  s.threads = 3;
  const Result three = Simulate(Dppc(), T, s);
  ExpectSamePoints(one, two);
  ExpectSamePoints(one, three);
  EXPECT_EQ(one.exchange_rate.size(), 4u);

  const Result shuffled = Simulate(Dppc(), {312, 324, 300, 318, 306}, s);
  const int map[5] = {2, 4, 0, 3, 1};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(shuffled.points[static_cast<std::size_t>(i)].Cp, one.points[static_cast<std::size_t>(map[i])].Cp);
    EXPECT_EQ(shuffled.points[static_cast<std::size_t>(i)].x_f, one.points[static_cast<std::size_t>(map[i])].x_f);
  }

  s.seed = 2027;
  const Result other = Simulate(Dppc(), T, s);
  EXPECT_NE(other.points[2].U, one.points[2].U);

  // Rounds of 7 sweeps between exchanges (not dividing the 500 sweeps).
  s.exchange_every = 7;
  s.threads = 1;
  const Result rounds1 = Simulate(Dppc(), T, s);
  s.threads = 2;
  const Result rounds2 = Simulate(Dppc(), T, s);
  ExpectSamePoints(rounds1, rounds2);
  EXPECT_EQ(rounds2.sweeps_done, 500);
  EXPECT_NE(rounds1.points[2].U, other.points[2].U);

  const auto a = Snapshot(Dppc(), 310, 12, 5, 50), b = Snapshot(Dppc(), 310, 12, 5, 50);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.size(), 144u);
  EXPECT_NE(a, Snapshot(Dppc(), 310, 12, 6, 50));
  // 1 is fluid: gel well below the transition, fluid well above.
  auto fluid = [](const std::vector<std::uint8_t>& v) {
    long n = 0;
    for (auto b : v) n += b;
    return static_cast<double>(n) / static_cast<double>(v.size());
  };
  EXPECT_LT(fluid(Snapshot(Dppc(), 270, 30, 1, 200)), 0.1);
  EXPECT_GT(fluid(Snapshot(Dppc(), 370, 30, 1, 200)), 0.9);
}

// Stop is polled between sweeps on the calling thread; progress comes at the
// interval asked for; a stopped run says so and keeps what it measured.
TEST(Lattice, StopsWhenAskedAndReportsProgress) {
  Settings s = Sized(12, 20, 1000);
  s.threads = 2;
  std::vector<long> heard;
  long polls = 0;
  Control c;
  c.progress_every = 25;
  c.progress = [&](long done, long total) {
    heard.push_back(done);
    EXPECT_EQ(total, 1020);
  };
  c.stop = [&] { return ++polls == 120; };
  const Result r = Simulate(Dppc(), {300, 310}, s, c);
  EXPECT_TRUE(r.interrupted);
  EXPECT_FALSE(r.reliable);
  EXPECT_EQ(r.sweeps_done, 120);
  EXPECT_EQ(heard, (std::vector<long>{25, 50, 75, 100}));
  ASSERT_EQ(r.points.size(), 2u);
  EXPECT_EQ(r.points[0].samples, 100);

  polls = 0;
  c.stop = [&] { return ++polls == 10; };  // within the equilibration
  const Result early = Simulate(Dppc(), {300, 310}, s, c);
  EXPECT_TRUE(early.interrupted);
  EXPECT_TRUE(early.points.empty());

  c.stop = [] () -> bool { throw std::runtime_error("interrupted by the user"); };
  EXPECT_THROW(Simulate(Dppc(), {300, 310}, s, c), std::runtime_error);

  // A flag set from elsewhere (here: by the progress callback) stops it too.
  std::atomic<bool> flag{false};
  Control f;
  f.stop_flag = &flag;
  f.progress_every = 30;
  f.progress = [&](long done, long) { flag = done >= 60; };
  const Result flagged = Simulate(Dppc(), {300, 310}, s, f);
  EXPECT_TRUE(flagged.interrupted);
  EXPECT_EQ(flagged.sweeps_done, 60);

  polls = 0;
  c.stop = [&] { return ++polls == 3; };
  EXPECT_THROW(Snapshot(Dppc(), 310, 12, 1, 10, Update::kMetropolis, c), Interrupted);
  EXPECT_EQ(polls, 3);

  c = Control{};
  heard.clear();
  c.progress_every = 400;
  c.progress = [&](long done, long) { heard.push_back(done); };
  const Result full = Simulate(Dppc(), {300}, s, c);
  EXPECT_FALSE(full.interrupted);
  EXPECT_EQ(heard, (std::vector<long>{400, 800, 1020}));
  EXPECT_TRUE(full.exchange_rate.empty());
}

// AR(1) series x_{t+1} = a x_t + noise: tau = (1 + a) / (2 (1 - a)) and the
// error of the mean sqrt(2 tau var / n).
TEST(LatticeAnalysis, AutocorrelationTimeAndBlockErrors) {
  Rng rng(11, 0);
  auto gauss = [&] {
    const double u1 = 1 - rng.Uniform(), u2 = rng.Uniform();
    return std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307179586 * u2);
  };
  for (double a : {0.0, 0.5, 0.9}) {
    const std::size_t n = 200000;
    std::vector<double> x(n);
    double v = 0;
    for (auto& e : x) e = v = a * v + std::sqrt(1 - a * a) * gauss();
    const double tau = (1 + a) / (2 * (1 - a));
    const Autocorrelation ac = IntegratedTime(x);
    EXPECT_TRUE(ac.closed);
    EXPECT_NEAR(ac.tau, tau, 0.1 * tau + 0.05) << a;
    const Estimate m = MeanOf(x, 32);
    EXPECT_NEAR(m.err, std::sqrt(2 * tau / static_cast<double>(n)), 0.3 * std::sqrt(2 * tau / static_cast<double>(n))) << a;
    const Estimate var = VarianceOf(x, 32);
    EXPECT_NEAR(var.value, 1.0, 5 * var.err) << a;
  }
  // Far more correlated than the window can follow: flagged.
  std::vector<double> walk(4000);
  double v = 0;
  for (auto& e : walk) e = v += gauss();
  EXPECT_FALSE(IntegratedTime(walk).closed);
  EXPECT_EQ(IntegratedTime(std::vector<double>(100, 3.0)).tau, 0.5);
  EXPECT_TRUE(std::isnan(MeanOf(std::vector<double>(10, 1.0), 32).err));
}

}  // namespace
}  // namespace chainmelt::lattice
