// Each line of a batch file is one run: a classic 24-argument line, or
// "@path.toml KEY=VALUE ..." (the path relative to the batch file).  Blank
// lines and lines starting with '#' are skipped; a run is named by its line
// number.  Runs execute concurrently, each one sequentially inside, and are
// written either one file per run into a directory or as one combined table
// in line order.  A run that is refused or ends in a fatal error is recorded
// with its status and message, and the batch goes on.
#include "driver/batch.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "driver/cli.hpp"
#include "driver/named.hpp"
#include "driver/batch_run.hpp"
#include "driver/output.hpp"
#include "driver/runs_log.hpp"
#include "run/params_file.hpp"
#include "run/run.hpp"
#include "run/runs_table.hpp"
#include "run/table.hpp"

namespace chainmelt {

namespace {

namespace fs = std::filesystem;

// Collects the diagnostics of a run; progress lines are dropped.
class BatchReporter : public Reporter {
 public:
  void Progress(const char*) override {}
  void Diagnostic(const char* line) override {
    if (!text.empty()) text += "; ";
    text += line;
  }
  std::string text;
};

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

// Reads the run of one line into run.spec; false with the refusal.
bool Prepare(BatchRun& run, const fs::path& base) {
  const std::vector<std::string> words = Words(run.text);
  if (!words.empty() && words[0][0] == '@') {
    run.named = true;
    Sources sources;
    fs::path file = words[0].substr(1);
    if (file.is_relative()) file = base / file;
    std::string error;
    if (!ReadParameterFile(file.string(), run.spec, sources, error)) {
      run.message = error;
      return false;
    }
    for (std::size_t i = 1; i < words.size(); ++i) {
      const std::size_t eq = words[i].find('=');
      if (eq == std::string::npos || eq == 0) {
        run.message = "expected KEY=VALUE, got " + Shown(words[i]);
        return false;
      }
      const std::string key = words[i].substr(0, eq);
      if (!ApplySetting(key, words[i].substr(eq + 1), key, run.spec, sources, error)) {
        run.message = error;
        return false;
      }
    }
    if (auto refusal = DeriveAndCheck(run.spec)) {
      run.message = NamedRefusal(run.spec, sources, *refusal);
      return false;
    }
    return true;
  }
  run.named = !IsClassicForm(words);
  const CliResult cli = ParseCommandLine(words, run.spec);
  if (cli.action != CliAction::kRun) {
    run.message = cli.action == CliAction::kError ? cli.message : "not a run";
    return false;
  }
  return true;
}

std::unique_ptr<RecordSink> MakeSink(OutputFormat format, std::FILE* f, const std::string& name) {
  switch (format) {
    case OutputFormat::kClassic:
      return std::make_unique<ClassicSink>(f, name);
    case OutputFormat::kCsv:
      return std::make_unique<TextSink>(f, name, TextFormat::kCsv);
    case OutputFormat::kJsonl:
      return std::make_unique<TextSink>(f, name, TextFormat::kJsonl);
    case OutputFormat::kTsv:
      break;
  }
  return std::make_unique<TextSink>(f, name, TextFormat::kTsv);
}

void Summarise(BatchRun& run, const RunSummary& s, const std::string& diagnostics) {
  run.records = s.records;
  if (s.fatal) {
    run.status = "fatal";
    run.message = run.named ? s.named_message : s.message;
  } else if (s.nonfinite > 0) {
    run.status = "nonfinite";
    run.message = std::to_string(s.nonfinite) + " record(s) with a field that is not finite";
  } else {
    run.message = diagnostics;
  }
}

// The result file of the run of line `line` in the output directory.
std::string ResultName(int line, OutputFormat format) {
  const char* ext = format == OutputFormat::kClassic ? "out"
                    : format == OutputFormat::kCsv   ? "csv"
                    : format == OutputFormat::kJsonl ? "jsonl"
                                                     : "tsv";
  char name[64];
  std::snprintf(name, sizeof name, "line-%06d.%s", line, ext);
  return name;
}

std::string HostName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return "localhost";
  return host;
}

// Executes one prepared run: into its own file in `dir`, or into memory.
void Execute1(BatchRun& run, OutputFormat format, const std::string& dir) {
  BatchReporter reporter;
  const auto start = std::chrono::steady_clock::now();
  try {
    if (dir.empty()) {
      Summarise(run, Execute(run.spec, run.table, reporter), reporter.text);
    } else {
      // The directory's stale temporaries went when the batch started.
      SafeOutput out((fs::path(dir) / ResultName(run.line, format)).string(), false);
      std::string reason;
      if (!out.Open(reason)) {
        run.status = "output";
        run.message = out.path() + ": " + reason;
      } else {
        auto sink = MakeSink(format, out.file(), out.path());
        const RunSummary s = Execute(run.spec, *sink, reporter);
        Summarise(run, s, reporter.text);
        if (s.fatal) {
          out.KeepPartial();
        } else if (!out.Commit(reason)) {
          run.status = "output";
          run.message = reason;
        } else if (format == OutputFormat::kCsv &&
                   !WriteCsvMetadata(out.path(), run.spec, reason, false)) {
          run.status = "output";
          run.message = reason;
        }
      }
    }
  } catch (const OutputError& e) {
    run.status = "output";
    run.message = e.what();
  }
  run.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void ShowProgress(std::size_t done, std::size_t total, std::size_t failed, double elapsed,
                  bool tty, bool last) {
  const double rest = done > 0 ? elapsed / static_cast<double>(done) * static_cast<double>(total - done) : 0;
  std::fprintf(stderr, "%sbatch: %zu/%zu runs done, %zu failed, %.1f s elapsed, %.1f s remaining%s",
               tty ? "\r" : "", done, total, failed, elapsed, rest, tty && !last ? "" : "\n");
  std::fflush(stderr);
}

}  // namespace

int RunBatch(const std::vector<std::string>& args) {
  CLI::App app("Runs one calculation per line of FILE, concurrently.", "chainmelt batch");
  app.footer(R"(
Each line is a classic 24-argument line, or @path.toml followed by KEY=VALUE
overrides (the path relative to FILE); blank lines and lines starting with #
are skipped, and a run is named by its line number.  --out-dir writes one
file per run (line-NNNNNN.EXT) and runs.tsv (runs-K-of-N.tsv for a shard),
which gets each run's status as soon as the run ends; --resume then skips
the runs it records (a line since changed, or a result that could not be
written, is done again).  -o writes one combined table with a run column and
the run's parameters, and PATH.runs.tsv (onto standard output, a device or a
FIFO: the failed runs on standard error).  runs.tsv has the columns run
(the line), key, status (ok, refused, fatal, nonfinite, output), records,
seconds, worker and message.  The exit status is 0 only when every run
succeeded.

Example (a Slurm job array of 10 tasks, each taking every tenth line):
  chainmelt batch runs.txt --shard $SLURM_ARRAY_TASK_ID/10 --out-dir results
)");
  std::string file, out_dir, output, format = "tsv", shard;
  int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  app.add_option("file", file, "batch file, one run per line")->required();
  app.add_option("--threads", threads, "runs executed at once")->check(CLI::Range(1, 1024));
  app.add_option("--out-dir", out_dir, "directory for one result file per run");
  app.add_option("-o,--output", output, "combined table ('-': standard output)");
  app.add_option("--format", format, "classic (with --out-dir), tsv, csv or jsonl");
  app.add_option("--shard", shard, "K/N: only the runs whose index is K modulo N");
  bool resume = false;
  app.add_flag("--resume", resume,
               "with --out-dir: skip the runs its runs table records, do the rest");
  app.allow_extras();
  std::vector<std::string> words = args;
  std::reverse(words.begin(), words.end());
  try {
    app.parse(words);
    const std::vector<std::string> extras = app.remaining();
    if (!extras.empty()) {
      const std::string m =
          ExtraWordMessage(extras.front(),
                           {"--threads", "--out-dir", "--output", "--format", "--shard",
                            "--resume", "--help"},
                           "chainmelt batch", "one batch file");
      std::fprintf(stderr, "chainmelt batch: %s\n", m.c_str());
      return 2;
    }
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& e) {
    std::string m = e.what();
    std::replace(m.begin(), m.end(), '\n', ' ');
    std::fprintf(stderr, "chainmelt batch: %s\n", m.c_str());
    return 2;
  }
  auto refuse = [](const std::string& m) {
    std::fprintf(stderr, "chainmelt batch: %s\n", m.c_str());
    return 2;
  };
  auto fail = [](const std::string& m) {
    std::fprintf(stderr, "chainmelt batch: %s\n", m.c_str());
    return 1;
  };
  OutputFormat fmt = OutputFormat::kTsv;
  if (format == "classic") {
    fmt = OutputFormat::kClassic;
  } else if (format == "csv") {
    fmt = OutputFormat::kCsv;
  } else if (format == "jsonl") {
    fmt = OutputFormat::kJsonl;
  } else if (format != "tsv") {
    return refuse("--format: expected classic, tsv, csv or jsonl, got " + Shown(format));
  }
  if (out_dir.empty() == output.empty()) return refuse("expected one of --out-dir and -o");
  if (!output.empty() && fmt == OutputFormat::kClassic)
    return refuse("--format classic: expected --out-dir (a combined table is tsv, csv or jsonl)");
  long shard_k = 0, shard_n = 1;
  if (!shard.empty()) {
    char slash = 0;
    std::istringstream in(shard);
    if (!(in >> shard_k >> slash >> shard_n) || slash != '/' || !in.eof() || shard_n < 1 ||
        shard_k < 0 || shard_k >= shard_n)
      return refuse("--shard: expected K/N with 0 <= K < N, got " + Shown(shard));
  }
  if (resume && out_dir.empty()) return refuse("--resume: expected --out-dir");
  std::ifstream in(file);
  if (!in) return refuse(file + ": cannot read the batch file: " + std::strerror(errno));
  if (!out_dir.empty()) {
    std::error_code ec;
    if (fs::exists(out_dir, ec) && !fs::is_directory(out_dir, ec))
      return fail("--out-dir " + out_dir + ": not a directory");
    fs::create_directories(out_dir, ec);
    if (ec && !fs::is_directory(out_dir))
      return fail("--out-dir " + out_dir + ": cannot create the directory: " + ec.message());
  }

  std::vector<BatchRun> runs;
  {
    std::string text;
    long index = 0;
    for (int line = 1; std::getline(in, text); ++line) {
      const auto first = text.find_first_not_of(" \t\r");
      if (first == std::string::npos || text[first] == '#') continue;
      if (index++ % shard_n != shard_k) continue;
      runs.emplace_back();
      runs.back().line = line;
      runs.back().text = text;
      runs.back().key = RunKey(text);
    }
  }
  const std::string worker = HostName();
  // Shards of one batch share the directory: each keeps a table of its own.
  const std::string runs_name =
      shard.empty() ? "runs.tsv"
                    : "runs-" + std::to_string(shard_k) + "-of-" + std::to_string(shard_n) + ".tsv";
  std::unique_ptr<RunsLog> log;
  std::map<long, RunRow> kept_rows;  // of the runs an earlier batch did
  std::size_t skipped = 0;
  std::atomic<std::size_t> next{0}, done{0}, failed{0};
  if (!out_dir.empty()) {
    log = std::make_unique<RunsLog>((fs::path(out_dir) / runs_name).string());
    std::vector<RunRow> kept;
    if (resume) {
      std::map<long, RunRow> earlier;
      std::string reason;
      if (!ReadRuns(log->path(), earlier, reason)) return fail("--resume: " + reason);
      // A run is done when its line is unchanged and its result was written.
      for (BatchRun& r : runs) {
        const auto it = earlier.find(r.line);
        if (it == earlier.end() || it->second.key != r.key || it->second.status == "output")
          continue;
        if (it->second.status == "ok" && !fs::exists(fs::path(out_dir) / ResultName(r.line, fmt)))
          continue;
        r.recorded = true;
        r.status = it->second.status;
        r.records = it->second.records;
        r.seconds = it->second.seconds;
        r.message = it->second.message;
        kept.push_back(it->second);
        kept_rows[r.line] = it->second;
        ++skipped;
        if (r.status != "ok") ++failed;
      }
    }
    std::string reason;
    if (!log->Write(kept, true, reason))
      return fail("--out-dir " + out_dir + ": cannot write " + runs_name + ": " + reason);
  }
  if (!out_dir.empty()) {
    // What a killed batch left of this batch's result files.
    std::set<std::string> names;
    for (const BatchRun& r : runs) {
      names.insert(ResultName(r.line, fmt));
      if (fmt == OutputFormat::kCsv) names.insert(MetadataPath(ResultName(r.line, fmt)));
    }
    RemoveStaleTemporariesIn(out_dir, names);
  }
  const fs::path base = fs::path(file).parent_path();
  done = skipped;
  auto work = [&] {
    for (std::size_t k = next++; k < runs.size(); k = next++) {
      BatchRun& r = runs[k];
      if (r.recorded) continue;
      if (!Prepare(r, base)) {
        r.status = "refused";
      } else {
        r.spec.threads = 1;
        Execute1(r, fmt, out_dir);
      }
      if (log) log->Append(RowOf(r, worker));
      if (r.status != "ok") ++failed;
      ++done;
    }
  };
  std::vector<std::thread> pool;
  for (int t = 0; t < threads && static_cast<std::size_t>(t) < runs.size() - skipped; ++t)
    pool.emplace_back(work);
  const bool tty = ::isatty(2) != 0;
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  if (skipped > 0)
    std::fprintf(stderr, "batch: %zu run(s) already recorded in %s, %zu to do\n", skipped,
                 log->path().c_str(), runs.size() - skipped);
  double shown = 0;
  while (done < runs.size()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double e = elapsed();
    if (e - shown >= (tty ? 0.2 : 5.0)) {
      ShowProgress(done, runs.size(), failed, e, tty, false);
      shown = e;
    }
  }
  for (auto& t : pool) t.join();
  ShowProgress(done, runs.size(), failed, elapsed(), tty, true);

  // Every row in line order; those of an earlier batch as they were.
  std::vector<RunRow> rows;
  for (const BatchRun& r : runs) rows.push_back(r.recorded ? kept_rows[r.line] : RowOf(r, worker));
  if (log) {
    std::string reason;
    if (!log->Failure().empty()) return fail(log->Failure());
    if (!log->Write(rows, false, reason)) return fail(reason);
    return failed == 0 ? 0 : 1;
  }

  SafeOutput out(output);
  std::string reason;
  if (!out.Open(reason)) return fail("-o " + output + ": cannot create the result file: " + reason);
  const bool written = WriteCombined(runs, fmt, out.file());
  const int error = errno;
  if (!written) {
    return fail(WriteError(output == "-" ? "standard output" : output, error));
  }
  if (!out.Commit(reason)) return fail(reason);
  if (out.direct()) {
    // Standard output, a device or a FIFO: the statuses go to standard error.
    for (const BatchRun& r : runs)
      if (r.status != "ok")
        std::fprintf(stderr, "chainmelt batch: line %d: %s: %s\n", r.line, r.status.c_str(),
                     r.message.c_str());
  } else if (RunsLog table(output + ".runs.tsv"); !table.Write(rows, false, reason)) {
    return fail(reason);
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace chainmelt
