#include "driver/cli.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace chainmelt {

namespace {

constexpr const char* kArgNames[kNumArgs + 1] = {
    "",   "approx", "task",  "n0",    "T",  "w",  "w2",   "dH",    "dS",
    "Tm", "dHcal",  "e2",    "w3",    "dH2", "dS2", "zsave", "conc", "conc2",
    "z",  "nu",     "mode",  "T_min", "T_max", "dT", "sweep"};

// An argument as it appears in a message: quoted, control characters escaped
// and long texts cut short, so that the message stays one readable line.
std::string Shown(const std::string& text) {
  constexpr std::size_t kMaxShown = 60;
  std::string r = "'";
  for (std::size_t i = 0; i < text.size() && i < kMaxShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      r += "\\n";
    } else if (c == '\t') {
      r += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(c));
      r += buf;
    } else {
      r += static_cast<char>(c);
    }
  }
  if (text.size() > kMaxShown) return r + "...' (" + std::to_string(text.size()) + " characters)";
  return r + "'";
}

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The first blank-delimited word of an argument (empty if there is none).
std::string FirstWord(const std::string& text) {
  std::size_t b = 0;
  while (b < text.size() && IsSpace(text[b])) ++b;
  std::size_t e = b;
  while (e < text.size() && !IsSpace(text[e])) ++e;
  return text.substr(b, e - b);
}

// True when nothing but blanks follows `end`.
bool OnlyBlanks(const char* end) {
  while (*end != '\0' && IsSpace(*end)) ++end;
  return *end == '\0';
}

enum class Conversion { kOk, kNotANumber, kNotFinite };

// The whole argument must be one number; values that overflow, underflow or
// are infinite or NaN are refused rather than replaced.
Conversion ToDouble(const std::string& text, double& value) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  value = std::strtod(begin, &end);
  const bool range_error = errno == ERANGE;
  if (end == begin || !OnlyBlanks(end)) return Conversion::kNotANumber;
  if (range_error || !std::isfinite(value)) return Conversion::kNotFinite;
  return Conversion::kOk;
}

bool ToVariant(const std::string& text, int& n0) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(begin, &end, 10);
  if (end == begin || !OnlyBlanks(end) || errno == ERANGE) return false;
  if (v != 1 && v != 2 && v != 4 && v != 5 && v != 8) return false;
  n0 = static_cast<int>(v);
  return true;
}

bool IsTaskName(const std::string& task) {
  return task == "size" || task == "heat" || task == "crit" || task == "phase" ||
         task == "coexist";
}

}  // namespace

const char* ArgName(int position) {
  return position >= 1 && position <= kNumArgs ? kArgNames[position] : "";
}

CliResult ParseCommandLine(const std::vector<std::string>& args, RunState& rs) {
  CliResult r;
  if (args.size() == 1) {
    if (args[0] == "--help" || args[0] == "-h") {
      r.action = CliAction::kHelp;
      return r;
    }
    if (args[0] == "--version") {
      r.action = CliAction::kVersion;
      return r;
    }
  }
  if (args.size() != static_cast<std::size_t>(kNumArgs)) {
    r.message = "expected " + std::to_string(kNumArgs) + " arguments, got " +
                std::to_string(args.size()) + " (see 'chainmelt --help')";
    return r;
  }

  auto arg = [&args](int position) -> const std::string& { return args[position - 1]; };
  auto reject = [&](int position, const std::string& expected) {
    r.message = "argument " + std::to_string(position) + " (" + kArgNames[position] +
                "): expected " + expected + ", got " + Shown(arg(position));
    return r;
  };

  rs.approx = FirstWord(arg(1));
  rs.task = FirstWord(arg(2));
  if (!IsTaskName(rs.task)) return reject(2, "one of the tasks size, heat, crit, phase, coexist");
  if (!ToVariant(arg(3), rs.n0)) return reject(3, "one of the model variants 1, 2, 4, 5, 8");

  Para& p = rs.para;
  double* const numbers[kNumArgs + 1] = {
      nullptr,  nullptr, nullptr,  nullptr, &rs.T,    &p.w,    &p.w2,     &p.dH,    &p.dS,
      &p.Tm,    &p.dHcal, &p.e2,   &p.w3,   &p.dH2,   &p.dS2,  &p.zsave,  &p.conc,  &p.conc2,
      &p.z,     &p.nu,   &p.mode,  &rs.T_min, &rs.T_max, &rs.dT, nullptr};
  for (int position = 4; position <= 23; ++position) {
    switch (ToDouble(arg(position), *numbers[position])) {
      case Conversion::kOk:
        break;
      case Conversion::kNotANumber:
        return reject(position, "a number");
      case Conversion::kNotFinite:
        return reject(position, "a finite number within the range of a double");
    }
  }
  p.sweep = FirstWord(arg(24));

  // dH given as 0 asks for dH and dS from the calorimetric enthalpy and the
  // transition temperature.
  if (p.dH == 0) {
    const double b = rs.n0 == 1 ? 0.5 : 3;
    p.dH = p.dHcal - b * p.w;
    p.dS = p.dHcal / p.Tm;
    if (p.Tm == 0) return reject(9, "a non-zero value when dH (argument 7) is 0, as dS = dHcal / Tm");
    if (!std::isfinite(p.dS)) return reject(9, "a value for which dS = dHcal / Tm is finite");
    if (!std::isfinite(p.dH)) return reject(10, "a value for which dH = dHcal - b*w is finite");
  }

  if (IsAltMode(p) && rs.n0 != 2) {
    return reject(20, "a value other than 42.1 with n0 = " + std::to_string(rs.n0) +
                          " (42.1 selects the alternative mode, which needs n0 = 2)");
  }
  if (rs.task == "crit" && rs.n0 == 1) {
    return reject(3, "2, 4, 5 or 8 for task crit (the mean-field model n0 = 1 has no Hessian)");
  }
  if (rs.task == "coexist" && p.conc == 1) {
    return reject(16, "a value other than 1 for task coexist (its estimate divides by 1 - conc)");
  }

  // The sweep must visit at least one point and reach its end.
  if (!(rs.T_min <= rs.T_max)) return reject(22, "a value not below T_min (argument 21)");
  if (!(rs.dT > 0)) return reject(23, "a positive step");
  if (rs.T_min + rs.dT == rs.T_min || rs.T_max + rs.dT == rs.T_max) {
    return reject(23, "a step large enough to change T_min and T_max when added to them");
  }

  // Every temperature the run uses must be positive.
  if (IsEnthalpySweep(p)) {
    if (!(rs.T > 0)) return reject(4, "a positive temperature (the sweep is in dH at this T)");
    if (rs.task == "size" && !(rs.T_min > 0)) {
      return reject(21, "a positive temperature (task size sweeps T from T_min)");
    }
  } else if (!(rs.T_min > 0)) {
    return reject(21, "a positive temperature (the sweep is in T)");
  }

  r.action = CliAction::kRun;
  return r;
}

std::string UsageText() {
  return R"(Usage: chainmelt approx task n0 T w w2 dH dS Tm dHcal e2 w3 dH2 dS2 zsave
                 conc conc2 z nu mode T_min T_max dT sweep
       chainmelt --help | -h
       chainmelt --version

Computes the chain-melting (gel to fluid) transition of a lipid membrane in a
lattice model with the pair (quasi-chemical) approximation.  At every point of
a sweep over the temperature T (or over the enthalpy dH) the free energy is
minimised by conjugate gradients from reproducible random starts, and the task
writes its records to output.out in the working directory.  output.out is
emptied at the start; output1.out and output2.out are created empty.  One
progress line per sweep point goes to standard output.

Energies and temperatures share one unit (Boltzmann constant 1).

Arguments (all 24, in this order):
   1 approx  any word; ignored
   2 task    size, heat, crit, phase or coexist (see Tasks)
   3 n0      model variant 1, 2, 4, 5 or 8 (see Variants)
   4 T       temperature (> 0) when the sweep is in dH; otherwise replaced by
             the sweep value
   5 w       fluid-fluid nearest-neighbour interaction energy
   6 w2      interaction energy between second-component molecules (n0 4, 5)
   7 dH      melting enthalpy of one chain; 0 derives dH = dHcal - b*w
             (b = 0.5 for n0 = 1, 3 otherwise) and dS = dHcal / Tm
   8 dS      melting entropy of one chain (replaced when dH is 0)
   9 Tm      transition temperature; used only when dH is 0, then non-zero
  10 dHcal   calorimetric transition enthalpy; used only when dH is 0
  11 e2      energy per unit fraction of the second component (n0 4, 5)
  12 w3      fluid-chain/second-component interaction energy (n0 4, 5)
  13 dH2     binding enthalpy per fluid chain under a ligand (n0 1, mode
             42.1); extra melting enthalpy of population B (n0 8)
  14 dS2     entropy counterpart of dH2
  15 zsave   accepted and ignored (working slot of task size)
  16 conc    fraction of the second component (n0 4); not 1 for task
             coexist; task crit works at 0.01
  17 conc2   fraction of population B (n0 8); coefficient of the linear term
             in mode 42.1
  18 z       ligand activity (n0 1)
  19 nu      ligand size: a ligand covers nu + 1 chains (n0 1)
  20 mode    42.1 selects the alternative mode (n0 2 only); any other
             value the standard model
  21 T_min   first sweep value; a positive temperature when the sweep is in T
  22 T_max   last sweep value, inclusive; not below T_min
  23 dT      sweep step (> 0; values are accumulated); also the temperature
             step of the finite differences of tasks heat and size
  24 sweep   H sweeps dH from T_min to T_max at the fixed T; any other word
             sweeps T

Arguments 3 to 23 must be finite numbers written out in full (n0 a whole
number); nothing is silently read as 0.

Tasks:
  phase    the equilibrium state at every sweep point: the lower of a
           gel-rich and a fluid-rich minimum
  coexist  at every sweep point, the dH at which gel and fluid phases have
           equal free energy
  heat     the heat-capacity curve over the sweep
  size     height, position, coverage and half-width of the heat-capacity
           peak for ligand sizes nu = -1 to 18; sweeps T from T_min to T_max
           itself, runs once
  crit     the critical point, where the Hessian determinant of the free
           energy is smallest in the (dH, T) plane; starts at the first
           sweep point, runs once; needs n0 other than 1

Variants (n0 is also the number of state variables):
  1  mean field, optionally with ligand binding (z, nu, dH2, dS2)
  2  pair approximation, one lipid
  4  pair approximation, lipid with a second component at fraction conc
  5  as 4, with the fraction of the second component a variable
  8  two lipid populations A and B that melt differently; B at fraction conc2
  Alternative mode (mode 42.1, n0 2): the mean-field ligand model with the
  ligand activity as the second variable.

Exit status:
  0  complete run
  1  output.out cannot be created or written, or a fatal numerical error
     (records completed before it stay in output.out)
  2  invalid command line: one line on standard error names the argument,
     and no file is created or changed

Example (equilibrium states of the pair model from 300 to 330 in steps of
0.5, dH and dS derived from dHcal = 4400 and Tm = 314):
  chainmelt - phase 2 300 -250 0 0 0 314 4400 0 0 0 0 0 0 0 0 0 0 300 330 0.5 T
)";
}

}  // namespace chainmelt
