#include "driver/named.hpp"

#include <CLI/CLI.hpp>
#include <map>

namespace chainmelt {

namespace {

constexpr const char* kNamedFooter = R"(
Every field of the classic command line is an option of its own name (and a
key of a parameter file); unset numbers are 0, as in the classic form.
--T-sweep MIN:MAX:STEP and --dH-sweep MIN:MAX:STEP visit MIN + k*STEP up to
and including MAX (the first sweeps T, the second dH at the fixed --T; dH is
then not derived: give --dS, or --Tm and --dHcal).
Settings are applied in this order: the file, the options, --set.
The default search is the equilibrium: one tracked curve for phase and heat
(with the latent heat of a first-order transition), the robust search on the
same tracking for coexist and crit; "equilibrium" and "robust" mean the same
for every task.  --search classic runs the program's own searches and, with
--format classic, gives the records of the 24-argument form byte for byte.

Example (the heat-capacity curve of a DPPC-like membrane, as TSV on
standard output):
  chainmelt run --task heat --n0 2 --Tm 314 --dHcal 2200 --w -240 \
      --T-sweep 290:340:0.5
  chainmelt run examples/heat-n2.toml --set w=-250 --format csv -o curve.csv
)";

}  // namespace

std::string ExtraWordMessage(const std::string& word, const std::vector<std::string>& options,
                             const std::string& command, const std::string& positionals) {
  if (word.size() > 1 && word[0] == '-') {
    const std::string name = word.substr(0, word.find('='));
    return "unknown option " + name + DidYouMean(name, options) + "; see '" + command +
           " --help'";
  }
  return "unexpected argument " + Shown(word) + " (" + positionals +
         "; options start with --)";
}

NamedAction ParseNamed(const std::vector<std::string>& args, NamedRun& run, std::string& message) {
  CLI::App app("Runs one calculation, its parameters given by name.", "chainmelt run");
  app.footer(kNamedFooter);
  std::string file, format = "tsv", t_sweep, dh_sweep;
  std::vector<std::string> sets;
  app.add_option("file", file, "parameter file (TOML) with the fields as keys");
  std::map<std::string, std::string> given;
  std::vector<std::pair<const FieldDef*, CLI::Option*>> options;
  std::vector<std::string> option_names = {"--T-sweep", "--dH-sweep", "--set", "--output",
                                           "--format", "--help"};
  for (const FieldDef& f : Fields()) {
    if (f.position == 1) continue;  // the ignored word of the classic form
    auto* opt = app.add_option("--" + std::string(f.name), given[f.name], f.help);
    options.emplace_back(&f, opt);
    option_names.push_back("--" + std::string(f.name));
  }
  auto* t_opt = app.add_option("--T-sweep", t_sweep, "MIN:MAX:STEP: sweep T, end point included");
  auto* h_opt = app.add_option("--dH-sweep", dh_sweep, "MIN:MAX:STEP: sweep dH at the fixed T");
  app.add_option("--set", sets, "KEY=VALUE: overrides a value of the file (repeatable)");
  app.add_option("-o,--output", run.output, "result file ('-': standard output)");
  app.add_option("--format", format,
                 "classic, tsv (default), csv (with PATH.meta.json) or jsonl");

  // Words no option takes are named here, with the option a misspelt one
  // most likely meant.
  app.allow_extras();
  std::vector<std::string> argv_words = args;
  std::reverse(argv_words.begin(), argv_words.end());  // CLI11 takes them last first
  try {
    app.parse(argv_words);
    const std::vector<std::string> extras = app.remaining();
    if (!extras.empty()) {
      message = ExtraWordMessage(extras.front(), option_names, "chainmelt run",
                                 "one parameter file at most");
      return NamedAction::kError;
    }
  } catch (const CLI::CallForHelp&) {
    message = app.help();
    return NamedAction::kHelp;
  } catch (const CLI::ParseError& e) {
    message = e.what();
    for (char& c : message)
      if (c == '\n') c = ' ';
    return NamedAction::kError;
  }

  if (format == "classic") {
    run.format = OutputFormat::kClassic;
  } else if (format == "tsv") {
    run.format = OutputFormat::kTsv;
  } else if (format == "csv") {
    run.format = OutputFormat::kCsv;
  } else if (format == "jsonl") {
    run.format = OutputFormat::kJsonl;
  } else {
    message = "--format: expected classic, tsv, csv or jsonl, got " + Shown(format);
    return NamedAction::kError;
  }

  RunSpec& spec = run.spec;
  if (!file.empty() && !ReadParameterFile(file, spec, run.sources, message))
    return NamedAction::kError;
  for (const auto& [f, opt] : options) {
    if (opt->count() == 0) continue;
    if (!ApplySetting(f->name, given[f->name], "--" + std::string(f->name), spec, run.sources,
                      message))
      return NamedAction::kError;
    if (f->type == FieldType::kThreads) run.threads_given = true;
  }
  if (t_opt->count() && h_opt->count()) {
    message = "--T-sweep and --dH-sweep: expected one of the two, got both";
    return NamedAction::kError;
  }
  if (t_opt->count() && !ApplySetting("T-sweep", t_sweep, "--T-sweep", spec, run.sources, message))
    return NamedAction::kError;
  if (h_opt->count() && !ApplySetting("dH-sweep", dh_sweep, "--dH-sweep", spec, run.sources, message))
    return NamedAction::kError;
  for (const std::string& s : sets) {
    const std::size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0) {
      message = "--set: expected KEY=VALUE, got " + Shown(s);
      return NamedAction::kError;
    }
    const std::string key = s.substr(0, eq);
    if (!ApplySetting(key, s.substr(eq + 1), "--set " + key, spec, run.sources, message))
      return NamedAction::kError;
    if (key == "threads") run.threads_given = true;
  }
  if (spec.task.empty()) {
    message = "--task: expected one of the tasks size, heat, crit, phase, coexist (not given)";
    return NamedAction::kError;
  }
  if (spec.model.n0 == 0) {
    message = "--n0: expected one of the model variants 1, 2, 4, 5, 8 (not given)";
    return NamedAction::kError;
  }

  const std::string unused = UnusedFields(spec);
  if (auto refusal = DeriveAndCheck(spec)) {
    message = NamedRefusal(spec, run.sources, *refusal);
    return NamedAction::kError;
  }
  std::size_t from = 0;
  while (from < unused.size()) {
    std::size_t to = unused.find(", ", from);
    if (to == std::string::npos) to = unused.size();
    const std::string name = unused.substr(from, to - from);
    run.warnings.push_back("warning: " + name + " is given but not read by task " + spec.task +
                           " with n0 = " + std::to_string(spec.model.n0) +
                           (IsAltMode(spec.model.para) ? " in mode 42.1" : ""));
    from = to + 2;
  }
  return NamedAction::kRun;
}

}  // namespace chainmelt
