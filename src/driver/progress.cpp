#include "driver/progress.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace chainmelt {

namespace {

constexpr int kBarWidth = 24;
// A line of the engine that is not a sweep point: the Monte Carlo reports
// its sweeps before the records of its temperatures.
constexpr char kStagePrefix[] = "Monte Carlo: ";

double SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

ProgressReporter::ProgressReporter(std::FILE* out, bool terminal, std::size_t total,
                                   double interval, Clock clock)
    : out_(out), terminal_(terminal), total_(total), interval_(interval),
      clock_(clock ? std::move(clock) : Clock(SteadySeconds)) {
  start_ = last_ = clock_();
}

std::string ProgressReporter::Summary() const {
  char buf[160];
  std::string of = total_ > 0 ? "/" + std::to_string(total_) : "";
  std::snprintf(buf, sizeof buf, "%zu%s points done", done_, of.c_str());
  std::string s = buf;
  if (!at_.empty()) s += " (" + at_ + ")";
  if (!stage_.empty()) s += ", " + stage_;
  std::snprintf(buf, sizeof buf, ", %.1f s", clock_() - start_);
  return s + buf;
}

void ProgressReporter::Draw(double now) {
  last_ = now;
  if (!terminal_) {
    std::fprintf(out_, "chainmelt: %s\n", Summary().c_str());
    std::fflush(out_);
    return;
  }
  std::string bar;
  if (total_ > 0) {
    const std::size_t filled =
        std::min<std::size_t>(kBarWidth, done_ * static_cast<std::size_t>(kBarWidth) / total_);
    bar = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, ' ') + "] ";
  }
  std::fprintf(out_, "\r\033[Kchainmelt: %s%s", bar.c_str(), Summary().c_str());
  std::fflush(out_);
  bar_shown_ = true;
}

void ProgressReporter::ClearBar() {
  if (!bar_shown_) return;
  std::fputs("\r\033[K", out_);
  bar_shown_ = false;
}

void ProgressReporter::Progress(const char* line) {
  if (std::strncmp(line, kStagePrefix, sizeof kStagePrefix - 1) == 0) {
    stage_ = line + sizeof kStagePrefix - 1;
  } else {
    ++done_;
    stage_.clear();
    at_ = line;
    if (const auto cut = at_.find(" Task:"); cut != std::string::npos) at_.resize(cut);
  }
  const double now = clock_();
  if (now - last_ >= (terminal_ ? kTerminalRedraw : interval_)) Draw(now);
}

bool ProgressReporter::PointLineWanted() {
  return clock_() - last_ >= (terminal_ ? kTerminalRedraw : interval_);
}

void ProgressReporter::PointSkipped() {
  ++done_;
  stage_.clear();
}

void ProgressReporter::Diagnostic(const char* line) {
  ClearBar();
  std::fprintf(out_, "%s\n", line);
  if (terminal_) std::fflush(out_);
}

void ProgressReporter::Finish() {
  if (terminal_) {
    ClearBar();
    std::fflush(out_);
    return;
  }
  if (clock_() - start_ >= interval_) {
    at_.clear();
    stage_.clear();
    Draw(clock_());
  }
}

}  // namespace chainmelt
