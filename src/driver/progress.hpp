// The progress of a named run as a person sees it: on a terminal one bar,
// redrawn in place; otherwise at most one line every few seconds (and one
// when a run that long ends), so that a log or a pipe gets a handful of
// lines rather than one per sweep point.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

#include "run/run.hpp"

namespace chainmelt {

class ProgressReporter : public Reporter {
 public:
  // Seconds since some fixed moment.
  using Clock = std::function<double()>;
  // `total`: the sweep points expected, 0 when not known.  `terminal`: draw
  // a bar (lines in place) rather than lines.  `clock` defaults to the
  // steady clock.
  ProgressReporter(std::FILE* out, bool terminal, std::size_t total, double interval = 5.0,
                   Clock clock = {});
  void Progress(const char* line) override;
  void Diagnostic(const char* line) override;
  // A point's line is only wanted when it would be drawn; a skipped one is
  // counted all the same.
  bool PointLineWanted() override;
  void PointSkipped() override;
  // The end of the run: the bar is cleared; a run that lasted an interval
  // or more says how far it came.
  void Finish();

  static constexpr double kTerminalRedraw = 0.1;  // seconds between redraws of the bar

 private:
  std::string Summary() const;
  void Draw(double now);
  void ClearBar();

  std::FILE* out_;
  bool terminal_;
  std::size_t total_;
  double interval_;
  Clock clock_;
  double start_ = 0, last_ = 0;
  std::size_t done_ = 0;
  std::string at_;      // the sweep value of the latest point ("T = 300.500000")
  std::string stage_;   // the latest line that is not a point (the Monte Carlo's sweeps)
  bool bar_shown_ = false;
};

}  // namespace chainmelt
