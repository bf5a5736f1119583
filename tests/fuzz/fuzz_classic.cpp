// libFuzzer target: the classic command line and, for tiny sweeps, the whole
// run.  The input is the arguments separated by NUL bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/cli.hpp"
#include "run/run.hpp"

namespace {

class Quiet : public chainmelt::Reporter {
 public:
  void Progress(const char*) override {}
  void Diagnostic(const char*) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back().push_back(static_cast<char>(data[i]));
    }
  }
  chainmelt::RunSpec spec;
  const chainmelt::CliResult r = chainmelt::ParseCommandLine(args, spec);
  if (r.action == chainmelt::CliAction::kError && r.message.find('\n') != std::string::npos)
    __builtin_trap();  // every refusal is one line
  if (r.action != chainmelt::CliAction::kRun) return 0;
  // Runs short enough for a fuzzer: a few sweep points, no simplex search.
  const double points = (spec.T_max - spec.T_min) / spec.dT;
  if (spec.task == "crit" || !(points <= 2) || (spec.task == "size" && spec.model.n0 != 1))
    return 0;
  chainmelt::TableSink sink;
  Quiet quiet;
  chainmelt::Execute(spec, sink, quiet);
  return 0;
}
