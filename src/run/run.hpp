// One run as a library call: a run description in, records to a sink and
// messages to a reporter out.  No file names, no process-wide state: any
// number of runs may execute at once, each on its own sink and reporter.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "lattice/lattice.hpp"
#include "run/layout.hpp"
#include "run/sinks.hpp"
#include "run/spec.hpp"

namespace chainmelt {

// Progress lines and one-line diagnostics of a run, without newlines.
class Reporter {
 public:
  virtual ~Reporter() = default;
  virtual void Progress(const char* line) = 0;
  virtual void Diagnostic(const char* line) = 0;
  // Between units of work: may throw to end the run (an interrupt).
  virtual void Poll() {}
  // Whether the next sweep point's progress line would be shown; where not,
  // the run calls PointSkipped() instead of formatting it.
  virtual bool PointLineWanted() { return true; }
  virtual void PointSkipped() {}
};

// Writes each line with a newline to one of two streams (either may be null
// to drop its lines).
class StreamReporter : public Reporter {
 public:
  StreamReporter(std::FILE* progress, std::FILE* diagnostics)
      : progress_(progress), diagnostics_(diagnostics) {}
  void Progress(const char* line) override;
  void Diagnostic(const char* line) override;

 private:
  std::FILE* progress_;
  std::FILE* diagnostics_;
};

struct RunSummary {
  std::size_t records = 0;  // records handed to the sink
  // Records with a field that is not a finite number: reported as a
  // diagnostic and not handed to the sink.
  std::size_t nonfinite = 0;
  // Records that may not be the equilibrium state (a warning each).
  std::size_t warnings = 0;
  bool fatal = false;  // a fatal numerical condition ended the run
  // Its message, with fields as the classic command line names them
  // ("conc (argument 16)"), and with fields named alone ("conc"), for the
  // named form and Python.
  std::string message;
  std::string named_message;
  bool ok() const { return !fatal && nonfinite == 0; }
};

// The sweep points the run of `spec` visits (its progress lines), or 0 for a
// task that runs once at the first point and for a task that is not known.
std::size_t SweepPoints(const RunSpec& spec);

// Runs the task of `spec` over its sweep.  spec must have passed
// DeriveAndCheck.  A fatal numerical condition ends the run and is returned
// in the summary (the records completed before it have reached the sink);
// an OutputError of the sink is passed on.
RunSummary Execute(const RunSpec& spec, RecordSink& sink, Reporter& reporter);

// The settings of the Monte Carlo method of `spec` (L, sweeps, equilibration,
// seed and the blocks of the error analysis; one thread, no curve).
lattice::Settings LatticeSettings(const RunSpec& spec);

}  // namespace chainmelt
