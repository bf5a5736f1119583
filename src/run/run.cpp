#include "run/run.hpp"

#include <cmath>

#include "model/run_state.hpp"
#include "numeric/fatal.hpp"
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

void Sweep(RunState& rs, const RunSpec& spec) {
  if (spec.exact_sweep) {
    // MIN + k*STEP for k = 0 ... round((MAX - MIN)/STEP): the end is a point.
    const double steps = std::round((spec.T_max - spec.T_min) / spec.dT);
    for (double k = 0; k <= steps; k += 1.0)
      if (!SweepPoint(rs, spec.T_min + k * spec.dT)) return;
    return;
  }
  // The classic sweep: the value is accumulated, v = v + dT, while v <= T_max.
  for (double v = spec.T_min; v <= spec.T_max; v = v + spec.dT)
    if (!SweepPoint(rs, v)) return;
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
