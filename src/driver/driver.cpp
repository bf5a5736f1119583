#include "driver/driver.hpp"

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "driver/cli.hpp"
#include "numeric/fatal.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

bool CloseChecked(std::FILE* file) {
  if (file == nullptr) return true;
  const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
  return std::fclose(file) == 0 && flushed;
}

void RunSweep(RunState& rs) {
  for (double v = rs.T_min; v <= rs.T_max; v = v + rs.dT) {
    if (IsEnthalpySweep(rs.para)) {
      rs.para.dH = v;
      std::fprintf(rs.con, "H = %f Task: %s\n", v, rs.task.c_str());
    } else {
      rs.T = v;
      std::fprintf(rs.con, "T = %f Task: %s\n", v, rs.task.c_str());
    }
    if (rs.task == "size") {
      TaskSize(rs);
      return;
    }
    if (rs.task == "heat") TaskHeat(rs);
    if (rs.task == "crit") {
      TaskCrit(rs);
      return;
    }
    if (rs.task == "phase") TaskPhase(rs);
    if (rs.task == "coexist") TaskCoexist(rs);
  }
}

int Main(int argc, char** argv) {
  std::vector<std::string> args;
  args.reserve(argc > 1 ? static_cast<std::size_t>(argc - 1) : 0);
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

  // Everything is checked before any file is opened, so a rejected command
  // line leaves the working directory as it was.
  RunState rs;
  const CliResult cli = ParseCommandLine(args, rs);
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

  File out(std::fopen("output.out", "w"));
  File out1(std::fopen("output1.out", "w"));
  File out2(std::fopen("output2.out", "w"));
  if (!out) {
    std::printf("ERROR opening file output.out \n");
    return 1;
  }
  // Line-buffered: every completed record reaches the file at once, so an
  // interrupted run keeps what it finished.
  std::setvbuf(out.get(), nullptr, _IOLBF, BUFSIZ);
  rs.out_ptr = out.get();

  try {
    rs.Allocate();
    RunSweep(rs);
  } catch (const FatalError& e) {
    std::fflush(nullptr);
    ReportFatal(stderr, e.what());
    return 1;
  }

  rs.out_ptr = nullptr;
  if (!CloseChecked(out.release())) {
    std::fflush(stdout);
    std::fprintf(stderr, "chainmelt: error writing output.out\n");
    return 1;
  }
  return 0;
}

}  // namespace chainmelt
