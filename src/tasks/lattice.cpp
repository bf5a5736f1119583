#include "tasks/lattice.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "numeric/fatal.hpp"
#include "tasks/names.hpp"

namespace chainmelt {

namespace {

// Progress lines of a simulation at most this far apart (they are also where
// an interactive caller hears Ctrl-C).
constexpr std::chrono::milliseconds kProgressInterval{1000};
// The engine reports every so many sweeps; the lines are thinned by time.
constexpr long kProgressSweeps = 5;

// heat: T, Cp, its error, the state with errors, U, the autocorrelation
// times and whether the point's errors can be trusted.  phase: the same
// without Cp.  There is no F: a simulation does not measure free energies.
void LatticeRecord(RecordBuf& r, bool heat, const lattice::Point& p) {
  r.Add("T", kUnitTemperature, p.T);
  if (heat) r.Add("Cp", kUnitBoltzmann, p.Cp).Add("Cp_err", kUnitBoltzmann, p.Cp_err);
  r.Add("x_f", kUnitOne, p.x_f).Add("x_f_err", kUnitOne, p.x_f_err);
  r.Add("y_ff", kUnitOne, p.y_ff).Add("y_ff_err", kUnitOne, p.y_ff_err);
  r.Add("U", kUnitEnergy, p.U).Add("U_err", kUnitEnergy, p.U_err);
  r.Add("tau_E", kUnitOne, p.tau_E).Add("tau_Nf", kUnitOne, p.tau_Nf);
  r.Int("reliable", p.reliable ? 1 : 0);
}

class LatticeTask : public Task {
 public:
  LatticeTask(const RunState& rs, const lattice::Settings& s)
      : heat_(rs.task == kTaskHeat), settings_(s) {}

  void Run(RunState& rs) override {
    // A single point (the run calls RunSweep for a whole sweep).
    RunSweep(rs, {rs.T}, settings_.threads, [](std::size_t) {});
  }
  bool TakesWholeSweep(const RunState&) const override { return true; }

  void RunSweep(RunState& rs, const std::vector<double>& xs, int threads,
                const std::function<void(std::size_t)>& at_point) override {
    lattice::Settings s = settings_;
    s.threads = std::max(1, threads);
    const char* task = heat_ ? kTaskHeat : kTaskPhase;
    using Clock = std::chrono::steady_clock;
    Clock::time_point next = Clock::now() + kProgressInterval;
    lattice::Control control;
    control.progress_every = kProgressSweeps;
    control.progress = [&](long done, long total) {
      const Clock::time_point now = Clock::now();
      if (now < next && done < total) return;
      next = now + kProgressInterval;
      rs.ctx->Progress("Monte Carlo: sweep %ld of %ld (%s, L = %d, %zu temperatures)", done,
                       total, done <= s.equilibration ? "equilibration" : "measurement", s.L,
                       xs.size());
    };
    // An interrupt of the caller (Ctrl-C in Python) is heard between rounds of
    // sweeps, not only at the progress lines.
    control.stop = [&rs] {
      rs.ctx->Poll();
      return false;
    };
    lattice::Result res;
    try {
      res = lattice::Simulate(rs, xs, s, control);
    } catch (const std::invalid_argument& e) {
      vornerror(std::string("montecarlo: ") + e.what());
    }
    for (std::size_t k = 0; k < xs.size() && k < res.points.size(); ++k) {
      at_point(k);
      const lattice::Point& p = res.points[k];
      RecordBuf r;
      LatticeRecord(r, heat_, p);
      Emit(rs, r);
      if (!p.reliable) {
        rs.ctx->Warning("%s at T = %f: the Monte Carlo errors are not reliable: a block of the "
                        "error analysis is shorter than 10 autocorrelation times (tau_E = %.3g, "
                        "tau_Nf = %.3g sweeps); give more --sweeps",
                        task, p.T, p.tau_E, p.tau_Nf);
      }
    }
    // The lowest exchange rate tells whether the replicas travelled.
    const auto& rate = res.exchange_rate;
    if (!rate.empty()) {
      const std::size_t i = static_cast<std::size_t>(
          std::min_element(rate.begin(), rate.end()) - rate.begin());
      rs.ctx->Diagnostic("montecarlo: L = %d, %ld sweeps per replica; lowest exchange rate "
                         "%.3f, between T = %f and T = %f",
                         s.L, res.sweeps_done, rate[i], res.exchange_T[i],
                         res.exchange_T[i + 1]);
    }
  }

 private:
  bool heat_;
  lattice::Settings settings_;
};

}  // namespace

RecordLayout LatticeLayout(std::string_view task) {
  const bool heat = task == kTaskHeat;
  RecordLayout l{heat ? "heat-montecarlo" : "phase-montecarlo", {}, 0};
  RecordBuf r(&l.columns);
  LatticeRecord(r, heat, lattice::Point{});
  return l;
}

std::unique_ptr<Task> MakeLatticeTask(const RunState& rs, const lattice::Settings& settings) {
  return std::make_unique<LatticeTask>(rs, settings);
}

}  // namespace chainmelt
