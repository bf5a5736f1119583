#include "run/run.hpp"

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "model/run_state.hpp"
#include "numeric/fatal.hpp"
#include "search/search.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {

namespace {

// The run context the tasks see: records to the sink (those with a field
// that is not finite become a diagnostic instead), lines to the reporter.
class SinkContext : public RunContext {
 public:
  SinkContext(RecordSink& sink, Reporter& reporter, const Layout& layout, RunSummary& summary)
      : sink_(sink), reporter_(reporter), layout_(layout), summary_(summary) {}

  void Record(const double* v, std::size_t n) override {
    if (dropping_ || !Finite(v, n)) return Drop(v, n);
    sink_.Record(v, n);
    ++summary_.records;
  }
  void Partial(const double* v, std::size_t n) override {
    if (!Finite(v, n)) {
      dropping_ = true;
      return;
    }
    sink_.Partial(v, n);
  }
  void Truncated(const double* v, std::size_t n) override {
    if (dropping_ || !Finite(v, n)) return Drop(v, n);
    sink_.Truncated(v, n);
    ++summary_.records;
  }
  void ProgressLine(const char* text) override { reporter_.Progress(text); }
  void DiagnosticLine(const char* text) override { reporter_.Diagnostic(text); }
  void WarningLine(const char* text) override {
    ++summary_.warnings;
    reporter_.Diagnostic(text);
  }

 private:
  static bool Finite(const double* v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
      if (!std::isfinite(v[i])) return false;
    return true;
  }

  // A record with a field that is not a finite number is no result.
  void Drop(const double* v, std::size_t n) {
    dropping_ = false;
    ++summary_.nonfinite;
    std::size_t bad = 0;
    while (bad < n && std::isfinite(v[bad])) ++bad;
    const auto& cols = layout_.columns;
    const char* first = cols.empty() ? "field 1" : cols[0].name.c_str();
    const char* name = bad < cols.size() ? cols[bad].name.c_str() : "a field";
    Diagnostic("record at %s = %f not written: %s = %f is not a finite number", first,
               n ? v[0] : 0.0, name, bad < n ? v[bad] : 0.0);
  }

  RecordSink& sink_;
  Reporter& reporter_;
  const Layout& layout_;
  RunSummary& summary_;
  bool dropping_ = false;  // the record begun with Partial is being dropped
};

// Sets T (or para.dH for the selector "H") to the sweep value, prints the
// progress line and calls the task.  Returns false when the task ends the
// sweep ("size" and "crit" run once, at the first point).
bool SweepPoint(RunState& rs, double v) {
  if (IsEnthalpySweep(rs.para)) {
    rs.para.dH = v;
    rs.ctx->Progress("H = %f Task: %s", v, rs.task.c_str());
  } else {
    rs.T = v;
    rs.ctx->Progress("T = %f Task: %s", v, rs.task.c_str());
  }
  if (rs.task == "size") {
    TaskSize(rs);
    return false;
  }
  if (rs.task == "heat") TaskHeat(rs);
  if (rs.task == "crit") {
    TaskCrit(rs);
    return false;
  }
  if (rs.task == "phase") TaskPhase(rs);
  if (rs.task == "coexist") TaskCoexist(rs);
  return true;
}

// The sweep values in order: the classic accumulated values, or MIN + k*STEP
// for k = 0 ... round((MAX - MIN)/STEP).  `visit` returns false to stop.
template <class Visit>
void ForEachSweepValue(const RunSpec& spec, Visit&& visit) {
  if (spec.exact_sweep) {
    const double steps = std::round((spec.T_max - spec.T_min) / spec.dT);
    for (double k = 0; k <= steps; k += 1.0)
      if (!visit(spec.T_min + k * spec.dT)) return;
    return;
  }
  // The classic sweep: the value is accumulated, v = v + dT, while v <= T_max.
  for (double v = spec.T_min; v <= spec.T_max; v = v + spec.dT)
    if (!visit(v)) return;
}

// What one sweep point handed to its context, kept to be replayed in sweep
// order.
class PointBuffer : public RunContext {
 public:
  void Record(const double* v, std::size_t n) override { Add(Kind::kRecord, v, n); }
  void Partial(const double* v, std::size_t n) override { Add(Kind::kPartial, v, n); }
  void Truncated(const double* v, std::size_t n) override { Add(Kind::kTruncated, v, n); }
  void ProgressLine(const char* text) override { Add(Kind::kProgress, nullptr, 0, text); }
  void DiagnosticLine(const char* text) override { Add(Kind::kDiagnostic, nullptr, 0, text); }
  void WarningLine(const char* text) override { Add(Kind::kWarning, nullptr, 0, text); }

  void ReplayInto(RunContext& ctx) const {
    for (const Event& e : events_) {
      switch (e.kind) {
        case Kind::kRecord:
          ctx.Record(e.values.data(), e.values.size());
          break;
        case Kind::kPartial:
          ctx.Partial(e.values.data(), e.values.size());
          break;
        case Kind::kTruncated:
          ctx.Truncated(e.values.data(), e.values.size());
          break;
        case Kind::kProgress:
          ctx.ProgressLine(e.text.c_str());
          break;
        case Kind::kDiagnostic:
          ctx.DiagnosticLine(e.text.c_str());
          break;
        case Kind::kWarning:
          ctx.WarningLine(e.text.c_str());
          break;
      }
    }
  }

 private:
  enum class Kind { kRecord, kPartial, kTruncated, kProgress, kDiagnostic, kWarning };
  struct Event {
    Kind kind;
    std::vector<double> values;
    std::string text;
  };
  void Add(Kind kind, const double* v, std::size_t n, const char* text = "") {
    events_.push_back({kind, std::vector<double>(v, v + n), text});
  }
  std::vector<Event> events_;
};

// One sweep point of the parallel sweep: where its generator starts, and
// what its search and task left.
struct Point {
  double v = 0;
  std::int32_t idum = 0;
  PointBuffer out;
  bool fatal = false;
  std::string message;
  StateVec p0;  // heat: what the search left
  double fret0 = 0, U = 0;
  int iter = 0, branch = 0, minima = 0;
};

void SetSweepValue(RunState& rs, double v) {
  if (IsEnthalpySweep(rs.para)) {
    rs.para.dH = v;
  } else {
    rs.T = v;
  }
}

// Runs fn(k) for k = 0 ... n-1 on `threads` threads.
template <class Fn>
void ParallelFor(std::size_t n, int threads, Fn&& fn) {
  if (n == 0) return;
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t k = next++; k < n; k = next++) fn(k);
  };
  std::vector<std::thread> pool;
  const std::size_t extra = std::min<std::size_t>(n, static_cast<std::size_t>(threads)) - 1;
  for (std::size_t t = 0; t < extra; ++t) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();
}

// "phase" and "heat" with their points minimised concurrently, every result
// the same to the last bit as the plain loop's.  The points share nothing
// but the random generator (and, for heat with n0 = 1, the free-energy
// history of its second difference): a first pass that only draws gives
// each point the generator state the plain loop would start it from; each
// point is then searched on its own copy of the run state, and what it
// hands over is replayed in sweep order (heat with n0 = 1 forms its records
// there, from the minimised states, exactly as the plain loop does).
// Blocks of points bound the memory of a long sweep.
void ParallelSweep(RunState& rs, const RunSpec& spec) {
  constexpr std::size_t kBlock = 1024;
  const bool phase = rs.task == "phase";
  const bool heat = rs.task == "heat";
  RunState scout = rs;  // advances the generator through the draws alone
  PointBuffer scout_out;
  scout.ctx = &scout_out;
  std::vector<Point> block;
  bool draw_failed = false;
  std::string draw_message;

  auto run_block = [&] {
    // A point whose draws failed is the last; it ends the run after its
    // progress line, as in the plain loop.
    const std::size_t searched = block.size() - (draw_failed ? 1 : 0);
    ParallelFor(searched, spec.threads, [&](std::size_t k) {
      Point& pt = block[k];
      RunState local = rs;
      local.ctx = &pt.out;
      local.idum = pt.idum;
      SetSweepValue(local, pt.v);
      try {
        if (phase) {
          TaskPhase(local);
        } else {
          HeatSearch(local);
          pt.p0 = local.p0;
          pt.fret0 = local.fret0;
          pt.iter = local.iter;
          pt.branch = local.branch;
          pt.minima = local.minima;
          pt.U = local.U;
        }
      } catch (const FatalError& e) {
        pt.fatal = true;
        pt.message = e.what();
      }
    });
    for (std::size_t k = 0; k < block.size(); ++k) {
      Point& pt = block[k];
      SetSweepValue(rs, pt.v);
      rs.ctx->Progress(IsEnthalpySweep(rs.para) ? "H = %f Task: %s" : "T = %f Task: %s", pt.v,
                       rs.task.c_str());
      if (k == searched) vornerror(draw_message);
      pt.out.ReplayInto(*rs.ctx);
      if (pt.fatal) vornerror(pt.message);
      if (heat) {
        rs.p0 = pt.p0;
        rs.fret0 = pt.fret0;
        rs.iter = pt.iter;
        rs.branch = pt.branch;
        rs.minima = pt.minima;
        rs.U = pt.U;
        TaskHeatAfterSearch(rs);
      }
    }
    block.clear();
  };

  ForEachSweepValue(spec, [&](double v) {
    Point pt;
    pt.v = v;
    pt.idum = scout.idum;
    SetSweepValue(scout, v);
    try {
      // The equilibrium search draws nothing.
      if (rs.equilibrium) {
      } else if (phase) {
        StepOrderDiscontDraws(scout);
      } else {
        StepOrderContDraws(scout);
      }
    } catch (const FatalError& e) {
      draw_failed = true;
      draw_message = e.what();
    }
    block.push_back(std::move(pt));
    if (draw_failed) return false;
    if (block.size() == kBlock) run_block();
    return true;
  });
  if (!block.empty()) run_block();
}

// "coexist" stays sequential: the trial enthalpies of a point depend on the
// free energies found at its earlier trials, so its draws are not known
// before the searches.  "size" and "crit" run once, and each evaluation of
// their inner loops depends on the previous ones (the heat history of
// "size", the simplex of "crit").
void Sweep(RunState& rs, const RunSpec& spec) {
  if (spec.threads > 1 && (spec.task == "phase" || spec.task == "heat")) {
    ParallelSweep(rs, spec);
    return;
  }
  ForEachSweepValue(spec, [&rs](double v) { return SweepPoint(rs, v); });
}

}  // namespace

void StreamReporter::Progress(const char* line) {
  if (progress_ != nullptr) std::fprintf(progress_, "%s\n", line);
}

void StreamReporter::Diagnostic(const char* line) {
  if (diagnostics_ != nullptr) std::fprintf(diagnostics_, "%s\n", line);
}

RunSummary Execute(const RunSpec& spec, RecordSink& sink, Reporter& reporter) {
  RunSummary summary;
  const Layout layout = LayoutFor(spec);
  SinkContext ctx(sink, reporter, layout, summary);
  RunState rs;
  static_cast<Model&>(rs) = spec.model;
  rs.T_min = spec.T_min;
  rs.T_max = spec.T_max;
  rs.dT = spec.dT;
  rs.approx = spec.approx;
  rs.task = spec.task;
  rs.ctx = &ctx;
  rs.equilibrium = spec.search != SearchMode::kClassic;
  sink.Begin(spec, layout);
  try {
    rs.Allocate();
    Sweep(rs, spec);
  } catch (const FatalError& e) {
    summary.fatal = true;
    summary.message = e.what();
  }
  return summary;
}

}  // namespace chainmelt
