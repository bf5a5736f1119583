// Provisional entry: reads the 24 arguments without validation and runs the
// sweep.  The full command-line handling replaces it.
#include "driver/driver.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "model/run_state.hpp"
#include "numeric/fatal.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {

namespace {
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;
}  // namespace

int Main(int argc, char** argv) {
  if (argc != 25) {
    std::fprintf(stderr, "chainmelt: expected 24 arguments, got %d\n", argc - 1);
    return 2;
  }
  RunState rs;
  double* fields[] = {&rs.para.w,  &rs.para.w2,    &rs.para.dH,  &rs.para.dS, &rs.para.Tm,
                      &rs.para.dHcal, &rs.para.e2, &rs.para.w3,  &rs.para.dH2, &rs.para.dS2,
                      &rs.para.zsave, &rs.para.conc, &rs.para.conc2, &rs.para.z, &rs.para.nu,
                      &rs.para.mode};
  rs.approx = argv[1];
  rs.task = argv[2];
  rs.n0 = std::atoi(argv[3]);
  rs.T = std::atof(argv[4]);
  for (int i = 0; i < 16; ++i) *fields[i] = std::atof(argv[5 + i]);
  rs.T_min = std::atof(argv[21]);
  rs.T_max = std::atof(argv[22]);
  rs.dT = std::atof(argv[23]);
  rs.para.sweep = argv[24];
  if (rs.para.dH == 0) {
    const double b = rs.n0 == 1 ? 0.5 : 3.0;
    rs.para.dH = rs.para.dHcal - b * rs.para.w;
    rs.para.dS = rs.para.dHcal / rs.para.Tm;
  }
  File out(std::fopen("output.out", "w"));
  File out1(std::fopen("output1.out", "w"));
  File out2(std::fopen("output2.out", "w"));
  if (!out) {
    std::printf("ERROR opening file output.out \n");
    return 1;
  }
  rs.out_ptr = out.get();
  rs.Allocate();
  try {
    for (double v = rs.T_min; v <= rs.T_max; v = v + rs.dT) {
      if (IsEnthalpySweep(rs.para)) {
        rs.para.dH = v;
        std::fprintf(rs.con, "H = %f Task: %s\n", v, rs.task.c_str());
      } else {
        rs.T = v;
        std::fprintf(rs.con, "T = %f Task: %s\n", v, rs.task.c_str());
      }
      if (rs.task == "size") { TaskSize(rs); break; }
      if (rs.task == "heat") TaskHeat(rs);
      if (rs.task == "crit") { TaskCrit(rs); break; }
      if (rs.task == "phase") TaskPhase(rs);
      if (rs.task == "coexist") TaskCoexist(rs);
    }
  } catch (const FatalError& e) {
    std::fflush(nullptr);
    ReportFatal(stderr, e.what());
    return 1;
  }
  return 0;
}

}  // namespace chainmelt
