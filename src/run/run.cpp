#include "run/run.hpp"

#include <atomic>
#include <cmath>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "model/run_state.hpp"
#include "numeric/fatal.hpp"
#include "search/advice.hpp"
#include "tasks/lattice.hpp"
#include "tasks/record.hpp"
#include "tasks/registry.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {

namespace {

constexpr char kClassicLowestMinimumAdvice[] =
    " (chainmelt run, the named form, finds the lowest minimum by default)";

// The run context the tasks see: records to the sink (those with a field
// that is not finite become a diagnostic instead), lines to the reporter.
class SinkContext : public RunContext {
 public:
  SinkContext(RecordSink& sink, Reporter& reporter, const Layout& layout, RunSummary& summary,
              bool classic_form)
      : sink_(sink), reporter_(reporter), layout_(layout), summary_(summary),
        classic_form_(classic_form) {}

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
  bool PointLineWanted() override { return reporter_.PointLineWanted(); }
  void PointSkipped() override { reporter_.PointSkipped(); }
  void Poll() override { reporter_.Poll(); }
  void DiagnosticLine(const char* text) override { reporter_.Diagnostic(text); }
  void WarningLine(const char* text) override {
    ++summary_.warnings;
    if (classic_form_) {
      // The classic command line has no --search: its advice names the
      // form that finds the lowest minimum.
      const std::string_view line(text), advice(kLowestMinimumAdvice);
      if (line.size() >= advice.size() && line.substr(line.size() - advice.size()) == advice) {
        const std::string worded = std::string(line.substr(0, line.size() - advice.size())) +
                                   kClassicLowestMinimumAdvice;
        return reporter_.Diagnostic(worded.c_str());
      }
    }
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
  const bool classic_form_;
  bool dropping_ = false;  // the record begun with Partial is being dropped
};

// Sets T (or para.dH for the selector "H") to the sweep value, prints the
// progress line and runs the task.  Returns false when the task ends the
// sweep (a task that runs once, at the first point).
bool SweepPoint(RunState& rs, const TaskDef& def, Task& task, double v) {
  if (IsEnthalpySweep(rs.para)) {
    rs.para.dH = v;
    rs.ctx->PointProgress("H = %f Task: %s", v, rs.task.c_str());
  } else {
    rs.T = v;
    rs.ctx->PointProgress("T = %f Task: %s", v, rs.task.c_str());
  }
  task.Run(rs);
  return !def.once;
}

// The sweep values in order: the classic accumulated values, or MIN + k*STEP
// for k = 0 ... round((MAX - MIN)/STEP), or the explicit list of values in
// its order.  `visit` returns false to stop.
template <class Visit>
void ForEachSweepValue(const RunSpec& spec, Visit&& visit) {
  if (!spec.values.empty()) {
    for (const double v : spec.values)
      if (!visit(v)) return;
    return;
  }
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

// One sweep point of the parallel sweep: where its generator starts, what
// its search handed over and found, and the fatal error that ended it.
struct Point {
  double v = 0;
  std::int32_t idum = 0;
  PointBuffer out;
  PointResult result;
  std::exception_ptr fatal;
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

// A concurrent task (phase, heat) with its points searched at once,
// every result the same to the last bit as the plain loop's.  The points
// share nothing but the random generator and the task's history: a first
// pass that only draws gives each point the generator state the plain loop
// would start it from; each point is then searched on its own copy of the
// run state with its own task object, and what it hands over is replayed in
// sweep order, where the task finishes the point on its history (heat forms
// its records there, exactly as the plain loop does).  Blocks of points
// bound the memory of a long sweep.
void ParallelSweep(RunState& rs, const RunSpec& spec, const TaskDef& def, Task& task) {
  constexpr std::size_t kBlock = 1024;
  RunState scout = rs;  // advances the generator through the draws alone
  PointBuffer scout_out;
  scout.ctx = &scout_out;
  std::vector<Point> block;
  std::exception_ptr draw_failure;

  auto run_block = [&] {
    // A point whose draws failed is the last; it ends the run after its
    // progress line, as in the plain loop.
    const std::size_t searched = block.size() - (draw_failure ? 1 : 0);
    ParallelFor(searched, spec.threads, [&](std::size_t k) {
      Point& pt = block[k];
      RunState local = rs;
      local.ctx = &pt.out;
      local.idum = pt.idum;
      SetSweepValue(local, pt.v);
      try {
        pt.result = def.make(local)->Search(local);
      } catch (const FatalError&) {
        pt.fatal = std::current_exception();
      }
    });
    for (std::size_t k = 0; k < block.size(); ++k) {
      Point& pt = block[k];
      SetSweepValue(rs, pt.v);
      rs.ctx->PointProgress(IsEnthalpySweep(rs.para) ? "H = %f Task: %s" : "T = %f Task: %s",
                            pt.v, rs.task.c_str());
      if (k == searched) std::rethrow_exception(draw_failure);
      pt.out.ReplayInto(*rs.ctx);
      if (pt.fatal) std::rethrow_exception(pt.fatal);
      task.Finish(rs, pt.result);
    }
    block.clear();
  };

  ForEachSweepValue(spec, [&](double v) {
    Point pt;
    pt.v = v;
    pt.idum = scout.idum;
    SetSweepValue(scout, v);
    try {
      task.Draws(scout);
    } catch (const FatalError&) {
      draw_failure = std::current_exception();
    }
    block.push_back(std::move(pt));
    if (draw_failure) return false;
    if (block.size() == kBlock) run_block();
    return true;
  });
  if (!block.empty()) run_block();
}


// The sweep of a run with its task, made once: a task that takes the whole
// sweep in one call gets it (with the run's threads), a concurrent task on
// more than one thread runs in parallel, everything else in the plain loop.
void Sweep(RunState& rs, const RunSpec& spec, const TaskDef& def) {
  const std::unique_ptr<Task> task =
      spec.method == Method::kMonteCarlo ? MakeLatticeTask(rs, LatticeSettings(spec)) : def.make(rs);
  if (task->TakesWholeSweep(rs)) {
    std::vector<double> xs;
    ForEachSweepValue(spec, [&xs](double v) {
      xs.push_back(v);
      return true;
    });
    task->RunSweep(rs, xs, spec.threads, [&](std::size_t k) {
      SetSweepValue(rs, xs[k]);
      rs.ctx->PointProgress(IsEnthalpySweep(rs.para) ? "H = %f Task: %s" : "T = %f Task: %s",
                            xs[k], rs.task.c_str());
    });
    return;
  }
  if (spec.threads > 1 && def.concurrent) {
    ParallelSweep(rs, spec, def, *task);
    return;
  }
  ForEachSweepValue(spec, [&](double v) { return SweepPoint(rs, def, *task, v); });
}

// A field of the classic command line as its messages name it.
std::string ClassicFieldName(const std::string& name) {
  const FieldDef* f = FindField(name);
  if (f == nullptr || f->position == 0) return name;
  return name + " (argument " + std::to_string(f->position) + ")";
}

}  // namespace

lattice::Settings LatticeSettings(const RunSpec& spec) {
  lattice::Settings s;
  s.L = spec.lattice.L;
  s.sweeps = spec.lattice.sweeps;
  s.equilibration = spec.lattice.equilibration;
  s.seed = spec.lattice.seed;
  s.blocks = kLatticeBlocks;
  return s;
}

void StreamReporter::Progress(const char* line) {
  if (progress_ != nullptr) std::fprintf(progress_, "%s\n", line);
}

void StreamReporter::Diagnostic(const char* line) {
  if (diagnostics_ != nullptr) std::fprintf(diagnostics_, "%s\n", line);
}

std::size_t SweepPoints(const RunSpec& spec) {
  const TaskDef* def = FindTask(spec.task);
  if (def == nullptr || def->once) return 0;
  if (!spec.values.empty()) return spec.values.size();
  if (spec.exact_sweep) {
    const double steps = std::round((spec.T_max - spec.T_min) / spec.dT);
    return steps >= 0 ? static_cast<std::size_t>(steps) + 1 : 0;
  }
  std::size_t n = 0;
  ForEachSweepValue(spec, [&n](double) {
    ++n;
    return true;
  });
  return n;
}

RunSummary Execute(const RunSpec& spec, RecordSink& sink, Reporter& reporter) {
  RunSummary summary;
  const Layout layout = LayoutFor(spec);
  SinkContext ctx(sink, reporter, layout, summary, spec.classic_form);
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
  for (const std::string& line : spec.warnings) reporter.Diagnostic(line.c_str());
  const TaskDef* def = FindTask(spec.task);
  try {
    if (def == nullptr) vornerror("no task " + Shown(spec.task));
    Sweep(rs, spec, *def);
  } catch (const NoFeasibleStartError& e) {
    summary.fatal = true;
    summary.message = e.head() + Worded(e.advice(), ClassicFieldName);
    summary.named_message = e.what();
  } catch (const FatalError& e) {
    summary.fatal = true;
    summary.message = summary.named_message = e.what();
  }
  return summary;
}

}  // namespace chainmelt
