#include "driver/driver.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/batch.hpp"
#include "driver/cli.hpp"
#include "driver/named.hpp"
#include "driver/output.hpp"
#include "driver/progress.hpp"
#include "numeric/fatal.hpp"
#include "run/run.hpp"

namespace chainmelt {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The closing summary of a completed run and its exit status: records that
// were not written because a field was not finite make the run a failure.
int Finish(const RunSummary& summary) {
  if (summary.warnings > 0) {
    std::fprintf(stderr, "chainmelt: %zu warning(s) about records that may not be what they claim "
                         "(see above)\n",
                 summary.warnings);
  }
  if (summary.nonfinite > 0) {
    std::fprintf(stderr,
                 "chainmelt: %zu record(s) had a field that is not a finite number and were not "
                 "written\n",
                 summary.nonfinite);
    return 1;
  }
  return 0;
}

// The 24 positional arguments: results to output.out in the working
// directory, progress lines on standard output.
int RunClassic(const std::vector<std::string>& args) {
  // Everything is checked before any file is opened, so a refused command
  // line leaves the working directory as it was.
  RunSpec spec;
  const CliResult cli = ParseCommandLine(args, spec);
  switch (cli.action) {
    case CliAction::kHelp:
      std::fputs(UsageText().c_str(), stdout);
      return 0;
    case CliAction::kVersion:
      std::printf("chainmelt %s\n", CHAINMELT_VERSION);
      return 0;
    case CliAction::kError:
      std::fprintf(stderr, "chainmelt: %s\n", cli.message.c_str());
      return 2;
    case CliAction::kRun:
      break;
  }
  // The classic form is sequential unless asked otherwise.
  if (const char* env = std::getenv("CHAINMELT_THREADS"); env != nullptr && *env != '\0') {
    const FieldDef& threads = *FindField("threads");
    if (const std::string expected = SetFieldFromText(spec, threads, env); !expected.empty()) {
      std::fprintf(stderr, "chainmelt: CHAINMELT_THREADS: expected %s, got %s\n",
                   expected.c_str(), Shown(env).c_str());
      return 2;
    }
  }

  std::string reason;
  File out(OpenForWriting("output.out", reason));
  if (!out) {
    std::printf("ERROR opening file output.out \n");
    std::fflush(stdout);
    std::fprintf(stderr, "chainmelt: cannot open output.out: %s\n", reason.c_str());
    return 1;
  }
  // Created empty and never written; made only once output.out is open, so a
  // failed start leaves them as they were.
  File out1(std::fopen("output1.out", "w"));
  File out2(std::fopen("output2.out", "w"));
  // Line-buffered: every completed record reaches the file at once, so an
  // interrupted run keeps what it finished.
  std::setvbuf(out.get(), nullptr, _IOLBF, BUFSIZ);

  ClassicSink sink(out.get(), "output.out");
  StreamReporter reporter(stdout, stderr);
  RunSummary summary;
  try {
    summary = Execute(spec, sink, reporter);
  } catch (const OutputError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "chainmelt: %s\n", e.what());
    return 1;
  }
  if (summary.fatal) {
    std::fflush(nullptr);
    ReportFatal(stderr, summary.message);
    return 1;
  }
  errno = 0;
  if (!CloseChecked(out.release())) {
    const int error = errno;
    std::fflush(stdout);
    std::fprintf(stderr, "chainmelt: %s\n", WriteError("output.out", error).c_str());
    return 1;
  }
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "chainmelt: %s\n", WriteError("standard output", errno).c_str());
    return 1;
  }
  return Finish(summary);
}

// chainmelt run ...: results to -o PATH (written under a temporary name and
// renamed into place when complete) in the chosen format, progress on
// standard error.
int RunNamed(const std::vector<std::string>& args) {
  NamedRun run;
  std::string message;
  switch (ParseNamed(args, run, message)) {
    case NamedAction::kHelp:
      std::fputs(message.c_str(), stdout);
      return 0;
    case NamedAction::kError:
      std::fprintf(stderr, "chainmelt: %s\n", message.c_str());
      return 2;
    case NamedAction::kRun:
      break;
  }
  for (const auto& w : run.warnings) std::fprintf(stderr, "chainmelt: %s\n", w.c_str());
  if (!run.threads_given) {
    run.spec.threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  }

  SafeOutput output(run.output);
  std::string reason;
  if (!output.Open(reason)) {
    std::fprintf(stderr, "chainmelt: -o %s: cannot create the result file: %s\n",
                 run.output.c_str(), reason.c_str());
    return 1;
  }
  std::unique_ptr<RecordSink> sink;
  switch (run.format) {
    case OutputFormat::kClassic:
      sink = std::make_unique<ClassicSink>(output.file(), run.output);
      break;
    case OutputFormat::kTsv:
      sink = std::make_unique<TextSink>(output.file(), run.output, TextFormat::kTsv);
      break;
    case OutputFormat::kCsv:
      sink = std::make_unique<TextSink>(output.file(), run.output, TextFormat::kCsv);
      break;
    case OutputFormat::kJsonl:
      sink = std::make_unique<TextSink>(output.file(), run.output, TextFormat::kJsonl);
      break;
  }
  ProgressReporter reporter(stderr, ::isatty(STDERR_FILENO) == 1, SweepPoints(run.spec));
  RunSummary summary;
  try {
    summary = Execute(run.spec, *sink, reporter);
  } catch (const OutputError& e) {
    reporter.Finish();
    std::fprintf(stderr, "chainmelt: %s\n", e.what());
    return 1;
  }
  reporter.Finish();
  if (summary.fatal) {
    ReportFatal(stderr, summary.named_message);
    const std::string kept = output.KeepPartial();
    if (!kept.empty()) {
      std::fprintf(stderr, "chainmelt: the %zu record(s) completed before it are in %s\n",
                   summary.records, kept.c_str());
    }
    return 1;
  }
  if (!output.Commit(reason)) {
    std::fprintf(stderr, "chainmelt: %s\n", reason.c_str());
    return 1;
  }
  // A CSV table keeps its parameters and units beside it (after the table:
  // a run stopped in between leaves metadata whose checksum does not match).
  if (run.format == OutputFormat::kCsv && !output.direct() &&
      !WriteCsvMetadata(run.output, run.spec, reason)) {
    std::fprintf(stderr, "chainmelt: %s\n", reason.c_str());
    return 1;
  }
  return Finish(summary);
}

}  // namespace

int Main(int argc, char** argv) {
  std::vector<std::string> args;
  args.reserve(argc > 1 ? static_cast<std::size_t>(argc - 1) : 0);
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  if (!IsClassicForm(args) && !args.empty() && args[0] == "run") {
    return RunNamed(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  if (!IsClassicForm(args) && !args.empty() && args[0] == "batch") {
    return RunBatch(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  if (const std::string unknown = UnknownSubcommand(args); !unknown.empty()) {
    std::fprintf(stderr, "chainmelt: %s\n", unknown.c_str());
    return 2;
  }
  return RunClassic(args);
}

}  // namespace chainmelt
