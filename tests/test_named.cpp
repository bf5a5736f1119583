// The named-option form and parameter files through the real binary: the
// same records as the classic form, every output format read back, the
// refusals, and result files that are replaced only by complete ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_util.hpp"

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

// The classic arguments as named options (every field but the ignored word).
std::vector<std::string> AsOptions(const std::vector<std::string>& classic) {
  std::vector<std::string> a = {"run"};
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
    auto a = AsOptions(Fields(ReadFile((dir / "args").string())));
    a.insert(a.end(), {"--format", "classic", "-o", "r.out"});
    const RunResult r = RunChainmelt(a, tmp.path().string());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ReadFile(tmp.file("r.out")) == golden);
    const std::string name = dir.filename().string();
    if (name.rfind("example-", 0) != 0) continue;
    const std::string toml = Source("examples/" + name.substr(8) + ".toml").string();
    const RunResult t = RunChainmelt({"run", toml, "--format", "classic", "-o", "t.out"},
                                     tmp.path().string());
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_TRUE(ReadFile(tmp.file("t.out")) == golden);
    // A shipped parameter file sets nothing its task and variant do not read.
    EXPECT_EQ(t.err.find("warning"), std::string::npos) << t.err;
  }
}

// Splits on one separator character, keeping empty fields.
std::vector<std::string> Split(const std::string& line, char sep) {
  std::vector<std::string> f(1);
  for (char c : line) {
    if (c == sep) {
      f.emplace_back();
    } else {
      f.back().push_back(c);
    }
  }
  return f;
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
      auto a = AsOptions(Fields(ReadFile((dir / "args").string())));
      a.insert(a.end(), {"--format", format, "-o", "r." + format});
      const RunResult r = RunChainmelt(a, tmp.path().string());
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
  auto a = base;
  a.insert(a.end(), {"--T-sweep", "290:340:0.1"});
  const RunResult r = RunChainmelt(a, tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 502u);
  EXPECT_EQ(lines.back().rfind("340,", 0), 0u) << lines.back();
  EXPECT_EQ(Lines(r.err).size(), 502u);  // progress lines and one warning
  EXPECT_NE(r.err.find("chainmelt: warning: w2 is given but not read by task phase with n0 = 1\n"),
            std::string::npos);
  a = base;
  a.insert(a.end(), {"--T_min", "290", "--T_max", "340", "--dT", "0.1"});
  EXPECT_EQ(Lines(RunChainmelt(a, tmp.path().string()).out).size(), 501u);

  WriteFile(tmp.file("p.toml"), "task = \"phase\"\nn0 = 1\ndH = 3000.0\ndS = 10\n"
                                "T-sweep = [300, 302, 1]\n");
  const RunResult s = RunChainmelt({"run", tmp.file("p.toml"), "--set", "T-sweep=300:301:1",
                                    "--set", "dH=2990", "--format", "csv"},
                                   tmp.path().string());
  ASSERT_EQ(s.status, 0) << s.err;
  ASSERT_EQ(Lines(s.out).size(), 3u);
  EXPECT_EQ(s.err.find("warning"), std::string::npos);
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
      {{"--bogus", "1"}, "", "The following argument was not expected: --bogus"},
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
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    TempDir tmp;
    std::vector<std::string> a = {"run"};
    if (!c.file.empty()) {
      WriteFile(tmp.file("p.toml"), c.file);
      a.push_back("p.toml");
    }
    a.insert(a.end(), c.args.begin(), c.args.end());
    a.insert(a.end(), {"-o", "r.tsv"});
    const RunResult r = RunChainmelt(a, tmp.path().string());
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
  // No feasible fluid-rich start with conc = 0: fatal at the first point.
  const std::vector<std::string> fatal = {"run", "--task", "phase", "--n0", "2", "--Tm", "314",
                                          "--dHcal", "4400", "--w", "-250", "--T-sweep",
                                          "300:301:1", "-o", "r.tsv"};
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
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(tmp.path())) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"r.tsv", "r.tsv.partial"}));  // no temporary left

  if (MakeDevice(tmp.file("full"), 7).empty()) {  // results on a full standard output
    ok.resize(ok.size() - 2);
    const RunResult lost = RunChainmelt(ok, tmp.path().string(), 60, tmp.file("full"));
    EXPECT_EQ(lost.status, 1);
    EXPECT_NE(lost.err.find("chainmelt: error writing standard output: No space left on device"),
              std::string::npos) << lost.err;
  }
}

}  // namespace
}  // namespace chainmelt::testing
