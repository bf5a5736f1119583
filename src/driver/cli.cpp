#include "driver/cli.hpp"


namespace chainmelt {

bool IsClassicForm(const std::vector<std::string>& args) {
  if (args.size() != static_cast<std::size_t>(kNumClassicArgs)) return false;
  for (const auto& a : args)
    if (a.rfind("--", 0) == 0) return false;
  return true;
}

CliResult ParseCommandLine(const std::vector<std::string>& args, RunSpec& spec) {
  CliResult r;
  spec.search = SearchMode::kClassic;  // the only search of the classic form
  spec.classic_form = true;
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
  if (args.size() != static_cast<std::size_t>(kNumClassicArgs)) {
    r.message = "expected " + std::to_string(kNumClassicArgs) + " arguments, got " +
                std::to_string(args.size()) + " (see 'chainmelt --help')";
    return r;
  }

  auto reject = [&](const FieldDef& field, const std::string& expected) {
    r.message = "argument " + std::to_string(field.position) + " (" + field.name +
                "): expected " + expected + ", got " + Shown(args[field.position - 1]);
    return r;
  };

  // In the order of the arguments: the task, the variant, the numbers, the
  // sweep selector.
  for (const FieldDef& field : Fields()) {
    if (field.position < 1) continue;
    const std::string expected = SetFieldFromText(spec, field, args[field.position - 1]);
    if (!expected.empty()) return reject(field, expected);
  }
  if (auto refusal = DeriveAndCheck(spec)) return reject(*refusal->field, refusal->expected);

  r.action = CliAction::kRun;
  return r;
}

std::string UnknownSubcommand(const std::vector<std::string>& args) {
  if (args.empty() || args.size() == static_cast<std::size_t>(kNumClassicArgs)) return "";
  const std::string& word = args[0];
  // Options (--help), the usual first word "-" of a classic line, and a
  // classic line of the wrong length (a task name second) are not meant as
  // subcommands.
  if (word.empty() || word[0] == '-') return "";
  if (args.size() >= 2 && IsTaskName(args[1])) return "";
  const std::vector<std::string> subcommands = {"run", "batch"};
  return "unknown subcommand " + Shown(word) + DidYouMean(word, subcommands) +
         "; the subcommands are run and batch, and the classic form takes " +
         std::to_string(kNumClassicArgs) + " arguments (see 'chainmelt --help')";
}

std::string UsageText() {
  return R"(Usage: chainmelt approx task n0 T w w2 dH dS Tm dHcal e2 w3 dH2 dS2 zsave
                 conc conc2 z nu mode T_min T_max dT sweep
       chainmelt run [FILE.toml] [--FIELD VALUE]... [--T-sweep MIN:MAX:STEP]
                 [--search equilibrium|robust|classic] [--set KEY=VALUE]...
                 [-o PATH] [--format classic|tsv|csv|jsonl]
       chainmelt run --help
       chainmelt --help | -h
       chainmelt --version

Computes the chain-melting (gel to fluid) transition of a lipid membrane in a
lattice model with the pair (quasi-chemical) approximation.  At every point of
a sweep over the temperature T (or over the enthalpy dH) the free energy is
minimised by conjugate gradients from reproducible random starts, and the task
writes its records to output.out in the working directory.  output.out is
emptied at the start; output1.out and output2.out are created empty.  One
progress line per sweep point goes to standard output.

Energies and temperatures share one unit (Boltzmann constant 1).  One warning
line on standard error (output.out unchanged) when dH and dHcal are both 0
(nothing melts) and when every temperature is below 150 while Tm or an
energy is on the kelvin scale (degrees Celsius given by mistake).

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

Example of the classic form (equilibrium states of the pair model from 300
to 330 in steps of 0.5, dH and dS derived from dHcal = 4400 and Tm = 314;
conc = 0.21 starts the fluid-rich searches at a fluid fraction of 0.59):
  chainmelt - phase 2 300 -250 0 0 0 314 4400 0 0 0 0 0 0.21 0 0 0 0 300 330 0.5 T

The named form takes every field above as an option of its own name (or a key
of a TOML parameter file), writes its records with named columns to -o PATH
(default: standard output) as TSV (default), CSV (its parameters and units in
PATH.meta.json beside it), JSON Lines or the classic bytes, and its progress
to standard error (a bar on a terminal, otherwise a line every 5 s at most).  It finds the equilibrium by
default (--search equilibrium: phase and heat as one tracked curve, coexist
and crit on the same tracking); --search classic runs the searches described
above, which this form always uses.  A result file is written
under a temporary name and renamed into place when the run is complete; after
a fatal error the completed records are kept in PATH.partial.

Example of the named form (the heat-capacity curve of a DPPC-like membrane
from 290 to 340 K, end point included):
  chainmelt run --task heat --n0 2 --Tm 314 --dHcal 2200 --w -240 \
      --T-sweep 290:340:0.5 -o curve.tsv
)";
}

}  // namespace chainmelt
