// The named-option form and parameter files through the real binary: the
// same records as the classic form, every output format read back, the
// refusals, and result files that are replaced only by complete ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "driver/progress.hpp"
#include "e2e_util.hpp"
#include "run/sha256.hpp"

namespace chainmelt::testing {
namespace {

namespace fs = std::filesystem;

const char* const kNames[] = {"approx", "task", "n0", "T", "w", "w2", "dH", "dS",
                              "Tm", "dHcal", "e2", "w3", "dH2", "dS2", "zsave", "conc",
                              "conc2", "z", "nu", "mode", "T_min", "T_max", "dT", "sweep"};

fs::path Source(const std::string& rel) { return fs::path(CHAINMELT_SOURCE_DIR) / rel; }

std::vector<fs::path> GoldenCases() {
  std::vector<fs::path> cases;
  for (const auto& e : fs::directory_iterator(Source("tests/golden")))
    if (fs::exists(e.path() / "args")) cases.push_back(e.path());
  std::sort(cases.begin(), cases.end());
  return cases;
}

// The classic arguments as named options (every field but the ignored word),
// with the classic search (the named form's default is the equilibrium).
std::vector<std::string> AsOptions(const std::vector<std::string>& classic) {
  std::vector<std::string> a = {"run", "--search", "classic"};
  for (std::size_t i = 1; i < classic.size(); ++i) {
    a.push_back("--" + std::string(kNames[i]));
    a.push_back(classic[i]);
  }
  return a;
}

// Every golden run given by name, and every shipped example as its TOML
// file, writes the golden output.out byte for byte with --format classic.
TEST(NamedForm, OptionsAndParameterFilesGiveTheClassicBytes) {
  for (const fs::path& dir : GoldenCases()) {
    SCOPED_TRACE(dir.filename().string());
    const std::string golden = ReadFile((dir / "output.out").string());
    TempDir tmp;
    const RunResult r = RunChainmelt(With(AsOptions(Fields(ReadFile((dir / "args").string()))),
                                          {"--format", "classic", "-o", "r.out"}),
                                     tmp.path().string());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ReadFile(tmp.file("r.out")) == golden);
    const std::string name = dir.filename().string();
    if (name.rfind("example-", 0) != 0) continue;
    const std::string toml = Source("examples/" + name.substr(8) + ".toml").string();
    const RunResult t = RunChainmelt(
        {"run", toml, "--search", "classic", "--format", "classic", "-o", "t.out"},
        tmp.path().string());
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_TRUE(ReadFile(tmp.file("t.out")) == golden);
    // A shipped parameter file sets nothing its task and variant do not read.
    EXPECT_EQ(t.err.find("warning"), std::string::npos) << t.err;
  }
}

// A value of a text table printed as the classic form prints it.
std::string Classic(const std::string& text, bool integer) {
  char buf[64];
  if (integer) {
    std::snprintf(buf, sizeof buf, "%i", std::stoi(text));
  } else {
    std::snprintf(buf, sizeof buf, "%f", std::stod(text));
  }
  return buf;
}

// The records of a TSV, CSV or JSON Lines file as classic fields.
std::vector<std::vector<std::string>> ReadBack(const std::string& text, const std::string& format) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> names;
  for (const std::string& line : Lines(text)) {
    if (format == "tsv" && line[0] == '#') continue;
    std::vector<std::string> values;
    if (format == "jsonl") {
      if (line.find("\"parameters\"") != std::string::npos) continue;
      for (const std::string& kv : Split(line.substr(1, line.size() - 2), ',')) {
        const std::string key = kv.substr(kv.find('"') + 1, kv.rfind('"') - kv.find('"') - 1);
        if (rows.empty() && names.size() < 64) names.push_back(key);
        values.push_back(kv.substr(kv.find(':') + 2));
        if (values.back() == "null") values.back().clear();
      }
    } else {
      values = Split(line, format == "csv" ? ',' : '\t');
      if (names.empty()) {
        names = values;
        continue;
      }
    }
    std::vector<std::string> row;
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (values[i].empty()) break;  // a record without its last part
      const std::string& n = names[std::min(i, names.size() - 1)];
      row.push_back(Classic(values[i], n.rfind("iter", 0) == 0));
    }
    rows.push_back(row);
  }
  return rows;
}

// Every format, read back and printed as the classic form prints, gives the
// classic records: heat (both layouts), phase, coexist and size with its
// header lines and a record without its half-height part.
TEST(NamedForm, EveryFormatReadsBackAsTheClassicRecords) {
  for (const std::string name : {"example-heat-n2", "heat-n1", "example-coexist-n4",
                                 "example-size-n1", "phase-alt"}) {
    const fs::path dir = Source("tests/golden/" + name);
    std::vector<std::vector<std::string>> classic;
    for (const std::string& line : Lines(ReadFile((dir / "output.out").string())))
      if (line[0] != '#') classic.push_back(Fields(line));
    for (const std::string format : {"tsv", "csv", "jsonl"}) {
      SCOPED_TRACE(name + " " + format);
      TempDir tmp;
      const RunResult r = RunChainmelt(With(AsOptions(Fields(ReadFile((dir / "args").string()))),
                                            {"--format", format, "-o", "r." + format}),
                                       tmp.path().string());
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(ReadBack(ReadFile(tmp.file("r." + format)), format), classic);
    }
  }
  // A size record without its half-height part has empty fields.
  TempDir tmp;
  const RunResult r = RunChainmelt(
      {"run", "--task", "size", "--n0", "1", "--w", "-1000", "--Tm", "314", "--dHcal", "2200",
       "--dH2", "30", "--z", "1", "--T-sweep", "300:318:1", "--format", "csv"},
      tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("nu,z,h_max,T_peak,coverage_peak,x_f_peak,F_peak,iter_peak,h_half,", 0),
            0u);
  EXPECT_NE(lines[1].find(",,,,,,"), std::string::npos) << lines[1];
}

// The end point of --T-sweep is visited; the classic accumulated sweep of
// the same range ends one step short.  --set overrides a file's value; a
// value put where the variant does not read it is warned about.
TEST(NamedForm, SweepShorthandOverridesAndWarnings) {
  TempDir tmp;
  const std::vector<std::string> base = {"run", "--task", "phase", "--n0", "1", "--dH", "3000",
                                         "--dS", "10", "--w2", "5", "--format", "csv"};
  const RunResult r = RunChainmelt(With(base, {"--T-sweep", "290:340:0.1"}), tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 502u);
  EXPECT_EQ(lines.back().rfind("340,", 0), 0u) << lines.back();
  // A run this short shows no progress off a terminal: the warning alone.
  EXPECT_EQ(r.err, "chainmelt: warning: w2 is given but not read by task phase with n0 = 1\n");
  EXPECT_EQ(Lines(RunChainmelt(With(base, {"--T_min", "290", "--T_max", "340", "--dT", "0.1"}),
                               tmp.path().string()).out).size(),
            501u);

  WriteFile(tmp.file("p.toml"), "task = \"phase\"\nn0 = 1\ndH = 3000.0\ndS = 10\n"
                                "T-sweep = [300, 302, 1]\n");
  const RunResult s = RunChainmelt({"run", tmp.file("p.toml"), "--set", "T-sweep=300:301:1",
                                    "--set", "dH=2990", "--format", "csv"},
                                   tmp.path().string());
  ASSERT_EQ(s.status, 0) << s.err;
  ASSERT_EQ(Lines(s.out).size(), 3u);
  EXPECT_EQ(s.err.find("warning"), std::string::npos);

  // A sweep in dH sets dH: a given dS is used as it is, not derived.
  const RunResult h = RunChainmelt({"run", "--task", "phase", "--n0", "2", "--T", "314", "--w",
                                    "-240", "--dS", "7", "--conc", "0.21", "--dH-sweep",
                                    "2000:2100:50", "--format", "csv"},
                                   tmp.path().string());
  ASSERT_EQ(h.status, 0) << h.err;
  EXPECT_EQ(Lines(h.out).size(), 4u);
  EXPECT_EQ(h.err, "");
}

// Progress off a terminal: at most one line per interval, the sweep value
// and the count of points in it, and a closing line for a run that lasted
// an interval; diagnostics at once.  On a terminal: one bar redrawn in
// place, cleared for a diagnostic and at the end.
TEST(NamedForm, ProgressIsThrottled) {
  double now = 0;
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  ASSERT_NE(out, nullptr);
  {
    ProgressReporter p(out, false, 200, 5.0, [&now] { return now; });
    for (int k = 0; k < 200; ++k) {  // 0.06 s a point: 12 s
      now += 0.06;
      if (k == 10) p.Diagnostic("warning: a diagnostic");
      // As the run does: the line is made only where it is wanted, and the
      // points skipped count all the same.
      if (!p.PointLineWanted()) {
        p.PointSkipped();
        continue;
      }
      const std::string line = "T = " + std::to_string(300 + k) + ".000000 Task: heat";
      p.Progress(line.c_str());
    }
    p.Finish();
  }
  std::fflush(out);
  EXPECT_EQ(std::string(text, size),
            "warning: a diagnostic\n"
            "chainmelt: 84/200 points done (T = 383.000000), 5.0 s\n"
            "chainmelt: 168/200 points done (T = 467.000000), 10.1 s\n"
            "chainmelt: 200/200 points done, 12.0 s\n");
  std::fclose(out);
  std::free(text);

  out = open_memstream(&text, &size);
  now = 0;
  {
    ProgressReporter p(out, true, 4, 5.0, [&now] { return now; });
    now = 0.05;
    p.Progress("T = 1.000000 Task: heat");  // too soon to draw
    now = 0.2;
    p.Progress("T = 2.000000 Task: heat");
    p.Diagnostic("warning: w");
    p.Finish();
  }
  std::fflush(out);
  EXPECT_EQ(std::string(text, size),
            "\r\033[Kchainmelt: [############            ] 2/4 points done (T = 2.000000), 0.2 s"
            "\r\033[Kwarning: w\n");
  std::fclose(out);
  std::free(text);

  // A short run: nothing at all.
  out = open_memstream(&text, &size);
  now = 0;
  {
    ProgressReporter p(out, false, 0, 5.0, [&now] { return now; });
    p.Progress("T = 1.000000 Task: heat");
    now = 4.9;
    p.Finish();
  }
  std::fflush(out);
  EXPECT_EQ(size, 0u);
  std::fclose(out);
  std::free(text);
}

TEST(NamedForm, RefusalsNameTheOptionOrTheLineAndWriteNothing) {
  const std::string good = "task = \"phase\"\nn0 = 1\ndH = 3000\ndS = 10\nT-sweep = \"300:301:1\"\n";
  const struct {
    std::vector<std::string> args;
    std::string file, message;
  } cases[] = {
      {{"--task", "phase", "--n0", "3"}, "", "--n0: expected one of the model variants"},
      {{"--task", "phase", "--n0", "1", "--w", "abc"}, "", "--w: expected a number, got 'abc'"},
      {{"--task", "phase", "--n0", "1", "--T-sweep", "1:2"}, "", "--T-sweep: expected MIN:MAX:STEP"},
      {{"--task", "phase", "--n0", "1", "--T-sweep", "290:340:0.3"}, "",
       "--T-sweep: expected a STEP that divides MAX - MIN"},
      {{"--task", "phase", "--n0", "1", "--dH", "3000", "--dS", "10"}, "",
       "dT (not given, so 0): expected a positive step, got 0"},
      {{"--task", "crit", "--n0", "1", "--dH", "9", "--T-sweep", "300:301:1"}, "",
       "--n0: expected 2, 4, 5 or 8 for task crit"},
      {{"--bogus", "1"}, "", "unknown option --bogus; see 'chainmelt run --help'"},
      // A misspelt option or key is told what it most likely meant.
      {{"--task", "heat", "--dHCal", "2200"}, "", "unknown option --dHCal (did you mean --dHcal?)"},
      {{"--Tsweep=300:301:1"}, "", "unknown option --Tsweep (did you mean --T-sweep?)"},
      {{"--set", "dHCal=1"}, good, "--set dHCal: unknown parameter 'dHCal' (did you mean dHcal?)"},
      {{}, good + "T_sweep = \"300:301:1\"\n",
       "p.toml:6: key 'T_sweep': unknown key (did you mean T-sweep?)"},
      {{"other.toml"}, good, "unexpected argument 'other.toml'"},
      // An unreadable parameter file is named with the reason.
      {{"nosuch.toml"}, "", "nosuch.toml: cannot read the parameter file: No such file or directory"},
      {{"."}, "", ".: cannot read the parameter file: it is a directory"},
      // A sweep in dH sets dH: the refusal asks for what is missing, dS (or
      // Tm and dHcal), never for Tm alone.
      {{"--task", "heat", "--n0", "2", "--T", "314", "--dH-sweep", "2000:2100:50"}, "",
       "dS (not given, so 0): expected the melting entropy of one chain, as the sweep sets dH"},
      {{"--task", "heat", "--n0", "2", "--T", "314", "--dHcal", "2200", "--dH-sweep",
        "2000:2100:50"}, "",
       "Tm (not given, so 0): expected a non-zero value, as dS = dHcal / Tm (the sweep sets dH)"},
      {{"--task", "heat", "--n0", "2", "--dHcal", "2200", "--T-sweep", "300:301:1"}, "",
       "Tm (not given, so 0): expected a non-zero value when dH is 0 or not given"},
      // A variant with no state at the fractions given (the classic form
      // learns it only after a million rejected starts).
      {{"--task", "heat", "--n0", "4", "--w", "-240", "--dH", "2920", "--dS", "9.3", "--conc",
        "0", "--T-sweep", "300:301:1"}, "",
       "--conc: expected 0 < conc < 1 for n0 = 4 (the model has states only with both"},
      {{"--task", "heat", "--n0", "8", "--w", "-220", "--dH", "2860", "--dS", "7", "--conc",
        "0.5", "--T-sweep", "300:301:1"}, "",
       "conc2 (not given, so 0): expected 0 < conc2 < 1 for n0 = 8"},
      // Named refusals name fields, not the classic form's positions.
      {{"--task", "phase", "--n0", "1", "--dH", "3000", "--dS", "10", "--T_min", "301",
        "--T_max", "300", "--dT", "1"}, "",
       "--T_max: expected a value not below T_min, got 300\n"},
      {{"--format", "xml"}, good, "--format: expected classic, tsv, csv or jsonl"},
      {{"--set", "nu"}, good, "--set: expected KEY=VALUE, got 'nu'"},
      {{"--set", "q=1"}, good, "--set q: unknown parameter 'q'"},
      {{}, good + "w = \"strong\"\n", "p.toml:6: key 'w': expected a number"},
      {{}, good + "colour = 1\n", "p.toml:6: key 'colour': unknown key"},
      {{}, good + "dH = 1\n", "p.toml:6: "},  // a key given twice
      {{}, good + "n0 = 2.5\n", "p.toml:"},
      {{}, "task = \"phase\"\nn0 = 1\ndH = 3000\ndS = 10\nT_min = 300\nT_max = 301\ndT = -1\n",
       "p.toml:7: key 'dT': expected a positive step, got -1"},
      {{}, good + "mode = 42.1\n", "p.toml:6: key 'mode': expected a value other than 42.1"},
  };
  // The batch subcommand's options likewise.
  for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"batch", "b.txt", "--outdir", "r"}, "unknown option --outdir (did you mean --out-dir?)"},
           {{"batch", "b.txt", "--form", "csv"}, "unknown option --form (did you mean --format?)"},
           {{"batch", "b.txt", "c.txt"}, "unexpected argument 'c.txt' (one batch file"}}) {
    TempDir tmp;
    const RunResult r = RunChainmelt(args, tmp.path().string());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("chainmelt batch: " + message, 0), 0u) << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    TempDir tmp;
    if (!c.file.empty()) WriteFile(tmp.file("p.toml"), c.file);
    std::vector<std::string> a = {"run"};
    if (!c.file.empty()) a.push_back("p.toml");
    const RunResult r = RunChainmelt(With(With(a, c.args), {"-o", "r.tsv"}), tmp.path().string());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("chainmelt: " + c.message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(tmp.file("r.tsv")));
  }
}

// A result is written under a temporary name and renamed into place: a run
// that ends in a fatal error leaves an earlier result as it was and keeps
// what it completed in PATH.partial; a lost write fails.
TEST(NamedForm, ResultsAreReplacedOnlyByCompleteOnes) {
  TempDir tmp;
  WriteFile(tmp.file("r.tsv"), "earlier\n");
  // No feasible fluid-rich start of the classic search with conc = 0: fatal
  // at the first point.
  const std::vector<std::string> fatal = {"run", "--search", "classic", "--task", "phase",
                                          "--n0", "2", "--Tm", "314", "--dHcal", "4400",
                                          "--w", "-250", "--T-sweep", "300:301:1", "-o", "r.tsv"};
  const RunResult f = RunChainmelt(fatal, tmp.path().string());
  EXPECT_EQ(f.status, 1);
  EXPECT_NE(f.err.find("Vorn run-time error...\n"), std::string::npos);
  EXPECT_NE(f.err.find("chainmelt: the 0 record(s) completed before it are in r.tsv.partial"),
            std::string::npos) << f.err;
  EXPECT_EQ(ReadFile(tmp.file("r.tsv")), "earlier\n");
  EXPECT_EQ(Lines(ReadFile(tmp.file("r.tsv.partial"))).size(), 3u);  // two comments, the header

  auto ok = fatal;
  ok.insert(ok.end() - 2, {"--conc", "0.21"});
  ASSERT_EQ(RunChainmelt(ok, tmp.path().string()).status, 0);
  EXPECT_EQ(Lines(ReadFile(tmp.file("r.tsv"))).size(), 5u);
  EXPECT_EQ(DirNames(tmp.path()), (std::vector<std::string>{"r.tsv", "r.tsv.partial"}));  // no temporary left

  if (MakeDevice(tmp.file("full"), 7).empty()) {  // results on a full standard output
    ok.resize(ok.size() - 2);
    const RunResult lost = RunChainmelt(ok, tmp.path().string(), 60, tmp.file("full"));
    EXPECT_EQ(lost.status, 1);
    EXPECT_NE(lost.err.find("chainmelt: error writing standard output: No space left on device"),
              std::string::npos) << lost.err;
  }
}

// The value of a column of a TSV result, row by row.
std::vector<double> Column(const std::string& tsv, const std::string& name) {
  std::vector<std::string> names;
  std::vector<double> values;
  for (const std::string& line : Lines(tsv)) {
    if (line[0] == '#') continue;
    const std::vector<std::string> f = Split(line, '\t');
    if (names.empty()) {
      names = f;
      continue;
    }
    const auto at = std::find(names.begin(), names.end(), name);
    if (at == names.end()) return {};
    values.push_back(std::stod(f[static_cast<std::size_t>(at - names.begin())]));
  }
  return values;
}

// The named form and parameter files find the equilibrium unless told
// otherwise: a first-order heat curve without the metastable spike of the
// classic search, with its latent heat; the critical point where the
// coexistence line ends; "equilibrium" and "robust" name one search per task.
TEST(NamedForm, TheDefaultSearchIsTheEquilibrium) {
  TempDir tmp;
  const std::vector<std::string> heat = {"run", "--task", "heat", "--n0", "2", "--Tm", "314",
                                         "--dHcal", "2200", "--w", "-280", "--T-sweep",
                                         "300:330:0.25"};
  auto with = [&](const std::vector<std::string>& a, const std::vector<std::string>& more) {
    const RunResult r = RunChainmelt(With(a, more), tmp.path().string());
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  };
  const std::string by_default = with(heat, {});
  EXPECT_EQ(by_default, with(heat, {"--search", "equilibrium"}));
  EXPECT_EQ(by_default, with(heat, {"--search", "robust"}));
  EXPECT_NE(by_default.find(" search=equilibrium "), std::string::npos);
  const std::vector<double> cp = Column(by_default, "Cp"), du = Column(by_default, "dU");
  ASSERT_EQ(cp.size(), 121u);
  ASSERT_EQ(du.size(), 121u);
  EXPECT_EQ(std::count_if(du.begin(), du.end(), [](double v) { return v != 0; }), 1);
  // The classic search stays on the gel branch above the transition, where
  // its Cp rises to about 300.
  const std::vector<double> classic = Column(with(heat, {"--search", "classic"}), "Cp");
  ASSERT_EQ(classic.size(), 121u);
  EXPECT_GT(*std::max_element(classic.begin(), classic.end()), 200);
  EXPECT_LT(*std::max_element(cp.begin(), cp.end()), 100);

  // crit-n2: the critical point of n0 = 2 is at T = -w / (2 ln 1.5).
  const std::string toml = Source("examples/crit-n2.toml").string();
  const std::string crit = with({"run", toml}, {});
  EXPECT_NE(crit.find(" search=robust "), std::string::npos);
  const std::vector<double> tc = Column(crit, "T");
  ASSERT_EQ(tc.size(), 1u) << crit;
  EXPECT_NEAR(tc[0], 250 / (2 * std::log(1.5)), 1e-3);
  EXPECT_EQ(crit, with({"run", toml, "--search", "equilibrium"}, {}));

  // A parameter file's search key; the coexistence enthalpy under either name.
  WriteFile(tmp.file("c.toml"), "task = \"coexist\"\nn0 = 4\nw = -4\ndH = 30\ndS = 8\n"
                                "conc = 0.1\nT-sweep = [2.8, 3.2, 0.1]\n");
  const std::string coexist = with({"run", "c.toml"}, {});
  EXPECT_NE(coexist.find(" search=robust "), std::string::npos);
  EXPECT_EQ(coexist, with({"run", "c.toml", "--search", "equilibrium"}, {}));
  WriteFile(tmp.file("k.toml"), ReadFile(Source("examples/coexist-n4.toml").string()) +
                                    "search = \"classic\"\n");
  const std::string classic_file = with({"run", "k.toml", "--format", "classic"}, {});
  EXPECT_EQ(classic_file,
            ReadFile(Source("tests/golden/example-coexist-n4/output.out").string()));

  // The ligand-activity mode: a record at every point, its gel state lying
  // within 1e-15 of the end, and a jump between states that are not
  // followed carrying a warning with its dU; a point without a state (no
  // binding degree conc2 to solve for) says so.
  const std::vector<std::string> alt = {"run", "--task", "heat", "--n0", "2", "--Tm", "314",
                                        "--dHcal", "2200", "--w", "-3000", "--nu", "0",
                                        "--mode", "42.1", "--T-sweep", "200:734:0.5"};
  RunResult r = RunChainmelt(With(alt, {"--conc2", "0.001"}), tmp.path().string());
  EXPECT_EQ(r.status, 0) << r.err;
  const std::vector<double> x = Column(r.out, "x_f"), jump = Column(r.out, "dU");
  ASSERT_EQ(x.size(), 1069u) << r.err;
  EXPECT_LT(x.front(), 1e-15);
  EXPECT_EQ(std::count_if(jump.begin(), jump.end(), [](double v) { return v > 1000; }), 1);
  EXPECT_NE(r.err.find("heat at T = 734.000000: a jump between states that are not followed"),
            std::string::npos)
      << r.err;
  r = RunChainmelt(With(alt, {"--conc2", "0"}), tmp.path().string());
  EXPECT_NE(r.err.find("heat at T = 200.000000: no record, no feasible minimum was found"),
            std::string::npos)
      << r.err;
}

// A batch runs each line as its form does: classic lines with the classic
// search, @file lines with the named form's default.
TEST(NamedForm, BatchLinesFollowTheirForm) {
  TempDir tmp;
  WriteFile(tmp.file("h.toml"), "task = \"heat\"\nn0 = 2\nTm = 314\ndHcal = 2200\n"
                                "w = -240\nT-sweep = [300, 302, 1]\n");
  WriteFile(tmp.file("runs.txt"),
            "pa heat 2 314 -240 0 0 0 314 2200 0 0 0 0 0 0 0 0 0 0 300 302 1 T\n"
            "@h.toml\n@h.toml search=classic\n");
  const RunResult r = RunChainmelt({"batch", "runs.txt", "--out-dir", "res", "--format", "tsv"},
                                   tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string classic = ReadFile(tmp.file("res/line-000001.tsv"));
  EXPECT_NE(classic.find(" search=classic "), std::string::npos) << classic;
  EXPECT_NE(ReadFile(tmp.file("res/line-000002.tsv")).find(" search=equilibrium "),
            std::string::npos);
  EXPECT_NE(ReadFile(tmp.file("res/line-000003.tsv")).find(" search=classic "),
            std::string::npos);
  // A CSV result of each run gets its metadata beside it.
  const RunResult c = RunChainmelt({"batch", "runs.txt", "--out-dir", "csv", "--format", "csv"},
                                   tmp.path().string());
  ASSERT_EQ(c.status, 0) << c.err;
  for (const std::string name : {"line-000001.csv", "line-000002.csv"}) {
    const std::string meta = ReadFile(tmp.file("csv/" + name + ".meta.json"));
    EXPECT_NE(meta.find("\"sha256\": \"" + Sha256Hex(ReadFile(tmp.file("csv/" + name))) + "\""),
              std::string::npos) << name << meta;
  }
}

}  // namespace
}  // namespace chainmelt::testing
