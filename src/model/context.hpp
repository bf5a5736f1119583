// Where a run's results and messages go.
//
// The tasks and the searches never format results or open files: each
// record is handed over as its fields in layout order (doubles; integer
// fields such as iter hold whole numbers), and progress lines and the
// one-line diagnostics of points without a record go through the same
// context.  The run layer (src/run) decides what becomes of them: the
// classic "output.out" bytes, TSV, CSV, JSON Lines, a table in memory.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace chainmelt {

class RunContext {
 public:
  virtual ~RunContext() = default;

  // A complete record of n fields.  After Partial, v holds the whole record
  // (the part given before included).
  virtual void Record(const double* v, std::size_t n) = 0;
  // The first n fields of the record that follows (task size knows its
  // peak before its half-height point).
  virtual void Partial(const double* v, std::size_t n) = 0;
  // The record begun with Partial ends with only its first n fields.
  virtual void Truncated(const double* v, std::size_t n) = 0;

  // One progress line or one diagnostic line, without its newline.
  virtual void ProgressLine(const char* text) = 0;
  virtual void DiagnosticLine(const char* text) = 0;

  // A diagnostic that says a record may not be what it claims to be; the
  // run counts them.
  virtual void WarningLine(const char* text) { DiagnosticLine(text); }

  // Called between units of long work that hands over nothing (the blocks
  // of an equilibrium curve); may throw to end the run (an interrupt).
  virtual void Poll() {}

  // A sweep point begins: its progress line (format with the sweep value and
  // the task's name, "T = %f Task: %s") is formatted only where it will be
  // shown; elsewhere PointSkipped() stands for it.
  void PointProgress(const char* format, double v, const char* task)
      __attribute__((format(printf, 2, 0))) {
    if (!PointLineWanted()) {
      PointSkipped();
      return;
    }
    Progress(format, v, task);
  }
  virtual bool PointLineWanted() { return true; }
  virtual void PointSkipped() {}

  // printf-style forms of the three; a line longer than the buffer is cut.
  void Progress(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    std::va_list ap;
    va_start(ap, format);
    Format(format, ap, false);
    va_end(ap);
  }
  void Diagnostic(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    std::va_list ap;
    va_start(ap, format);
    Format(format, ap, 1);
    va_end(ap);
  }
  void Warning(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    std::va_list ap;
    va_start(ap, format);
    Format(format, ap, 2);
    va_end(ap);
  }

 private:
  void Format(const char* format, std::va_list ap, int kind) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, ap);
    if (kind == 2) {
      WarningLine(line);
    } else if (kind == 1) {
      DiagnosticLine(line);
    } else {
      ProgressLine(line);
    }
  }
};

}  // namespace chainmelt
