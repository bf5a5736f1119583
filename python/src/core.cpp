// chainmelt._core: the run of the command line as Python calls.  Fields are
// set from text or numbers with the command line's own checks, the run
// executes with the interpreter lock released, and the records come back as
// a NumPy array; their text in the formats of the command line comes from
// the same table writer.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "run/params_file.hpp"
#include "run/layout.hpp"
#include "run/run.hpp"
#include "run/runs_table.hpp"
#include "run/sinks.hpp"
#include "run/spec.hpp"
#include "run/table.hpp"
#include "lattice/lattice.hpp"
#include "numeric/fatal.hpp"
#include "search/branches.hpp"
#include "tasks/curve.hpp"
#include "tables.hpp"

namespace py = pybind11;
using namespace chainmelt;
using namespace chainmelt_python;

namespace {

// (key, value): a value is a text as the command line takes it, or a
// number (a float crosses as the double it is; an int as its exact digits,
// so that one beyond a double's range is refused naming its field).
using Settings = std::vector<std::pair<std::string, py::object>>;

bool Apply(const std::string& key, const py::handle& value, RunSpec& spec, Sources& sources,
           std::string& error) {
  if (py::isinstance<py::float_>(value))
    return ApplyNumber(key, value.cast<double>(), key, spec, sources, error);
  if (py::isinstance<py::bool_>(value))
    return ApplySetting(key, value.cast<bool>() ? "true" : "false", key, spec, sources, error);
  return ApplySetting(key, py::str(value).cast<std::string>(), key, spec, sources, error);
}

[[noreturn]] void RaiseRefusal(const std::string& message, const std::string& field) {
  PyErr_SetObject(PyExc_ValueError, py::make_tuple(message, field).ptr());
  throw py::error_already_set();
}

// A run description built from (key, text) settings, each applied as the
// named form applies an option of that name; the key is the origin that a
// message names.
struct Built {
  RunSpec spec;
  Sources sources;
  std::string error;    // empty when the settings are accepted
  std::string field;    // the field at fault
};

Built Build(const Settings& settings, bool check, const std::string& file = "",
            bool to_run = true) {
  Built b;
  if (!file.empty() && !ReadParameterFile(file, b.spec, b.sources, b.error)) {
    b.field = "file";
    return b;
  }
  for (const auto& [key, value] : settings) {
    if (!Apply(key, value, b.spec, b.sources, b.error)) {
      b.field = key;
      return b;
    }
  }
  if (!check) return b;
  if (auto refusal = DeriveAndCheck(b.spec, to_run)) {
    b.field = refusal->field->name;
    b.error = NamedRefusal(b.spec, b.sources, *refusal);
  }
  return b;
}

py::object FieldValue(const RunSpec& spec, const FieldDef& f) {
  switch (f.type) {
    case FieldType::kNumber:
      return py::float_(NumberField(spec, f));
    case FieldType::kVariant:
      return py::int_(spec.model.n0);
    case FieldType::kThreads:
      return py::int_(spec.threads);
    case FieldType::kCount:
      return py::int_(py::str(FieldValueText(spec, f)));
    case FieldType::kMethod:
    case FieldType::kWord:
    case FieldType::kSearch:
      break;
  }
  return py::str(FieldValueText(spec, f));
}

py::dict Parameters(const RunSpec& spec) {
  py::dict d;
  for (const FieldDef& f : Fields()) d[f.name] = FieldValue(spec, f);
  d["exact_sweep"] = py::bool_(spec.exact_sweep);
  return d;
}

// [(name, unit, integer)] of a record layout's columns.
py::list ColumnList(const Layout& layout) {
  py::list columns;
  for (const Column& c : layout.columns) columns.append(py::make_tuple(c.name, c.unit, c.integer));
  return columns;
}

// Thrown out of a run when Python has an exception to raise for a signal.
struct Interrupted {};

// A flag another thread sets to end a run at its next sweep point, heard
// without the interpreter lock (so that a run whose points nobody watches
// takes the lock only to poll for signals).
class StopFlag {
 public:
  void set() { set_.store(true, std::memory_order_relaxed); }
  void clear() { set_.store(false, std::memory_order_relaxed); }
  bool is_set() const { return set_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> set_{false};
};

// Hands every line to a Python callable (kind, line) while the run goes on,
// taking the interpreter lock for the call only.  At progress lines (at
// most every kPollInterval) the signals Python has received are handled.
// An exception of the callable, or one a signal handler raises
// (KeyboardInterrupt for Ctrl-C), ends the run at once.
class CallbackReporter : public Reporter {
 public:
  // `point_lines`: whether the sweep points' progress lines are wanted at all
  // (where nobody listens they are neither formatted nor handed over, which
  // would take the interpreter lock once a point).
  // `stop`: a flag that ends the run at its next sweep point once set
  // (read without the interpreter lock).
  CallbackReporter(py::object callback, bool point_lines, const StopFlag* stop = nullptr)
      : callback_(std::move(callback)),
        caller_(std::this_thread::get_id()),
        signals_(OnMainThread()),
        point_lines_(point_lines),
        stop_(stop) {}
  void Progress(const char* line) override {
    Poll();
    Deliver("progress", line);
  }
  // No poll here: diagnostics come from inside searches, progress lines
  // only between sweep points.
  void Diagnostic(const char* line) override { Deliver("diagnostic", line); }
  bool PointLineWanted() override { return point_lines_; }
  // A point whose line nobody wants still hears the signals.
  void PointSkipped() override { Poll(); }
  void Rethrow() {
    if (error_) std::rethrow_exception(error_);
  }
  // The exception that ended the run, once Interrupted was thrown.
  std::unique_ptr<py::error_already_set> signal_error;

  // Also asked for between units of work that print no progress (the
  // equilibrium curve's blocks).
  void Poll() override {
    if (std::this_thread::get_id() != caller_) return;
    if (stop_ != nullptr && stop_->is_set()) {
      py::gil_scoped_acquire gil;
      PyErr_SetString(py::module_::import("chainmelt._core").attr("Stopped").ptr(),
                      "the run was stopped");
      signal_error = std::make_unique<py::error_already_set>();
      throw Interrupted{};
    }
    // Python handles signals on its main thread only: a run on another
    // thread has none to hear and need not take the interpreter lock.
    if (!signals_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_poll_) return;
    next_poll_ = now + kPollInterval;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return;
    signal_error = std::make_unique<py::error_already_set>();
    throw Interrupted{};
  }

 private:
  static constexpr std::chrono::milliseconds kPollInterval{20};

  void Deliver(const char* kind, const char* line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_ || callback_.is_none()) return;
    py::gil_scoped_acquire gil;
    try {
      callback_(kind, line);
    } catch (py::error_already_set& e) {
      // Also how a signal arrives while the callable runs: its handler
      // raises inside it.
      if (std::this_thread::get_id() != caller_) {
        error_ = std::current_exception();
        return;
      }
      signal_error = std::make_unique<py::error_already_set>(std::move(e));
      throw Interrupted{};
    } catch (...) {
      error_ = std::current_exception();
    }
  }

  // Whether the calling thread is the interpreter's main thread (the lock held).
  static bool OnMainThread() {
    const py::object main = py::module_::import("threading").attr("main_thread")();
    return main.attr("ident").cast<unsigned long>() == PyThread_get_thread_ident();
  }

  py::object callback_;
  std::thread::id caller_;
  bool signals_;
  bool point_lines_;
  const StopFlag* stop_;
  std::chrono::steady_clock::time_point next_poll_{};
  std::mutex mutex_;
  std::exception_ptr error_;
};

// The derived parameters of accepted settings; a refusal raises
// ValueError(message, field).
py::dict CheckedParameters(const Settings& settings) {
  Built b = Build(settings, true, "", false);
  if (!b.error.empty()) RaiseRefusal(b.error, b.field);
  return Parameters(b.spec);
}

// Whether the run takes an explicit list of values as one curve (phase and
// heat under the equilibrium searches follow their minima along the sorted
// list); otherwise every value is a one-point run of its own, from fresh
// starts, as if run alone.
bool OneCurve(const RunSpec& spec) {
  return spec.search != SearchMode::kClassic && (spec.task == "phase" || spec.task == "heat") &&
         !IsAltMode(spec.model.para);
}

// Settings for a one-point sweep at v, after the given ones (on one thread
// for a run of that point alone: nothing to share).
Settings WithPoint(const Settings& settings, double v, bool alone) {
  Settings s = settings;
  s.emplace_back("T_min", py::float_(v));
  s.emplace_back("T_max", py::float_(v));
  s.emplace_back("dT", py::float_(1.0));
  if (alone) s.emplace_back("threads", py::int_(1));
  return s;
}

// The arrays of the results need NumPy, which the package imports only
// where it is used: imported here, before the run and with the interpreter
// lock held, not first inside pybind11's array set-up (its one-time set-up
// would meet a signal, or a second thread, with the import half done).
void ImportNumpy() { py::module_::import("numpy"); }

py::dict Run(const Settings& settings, py::object callback, const std::string& file,
             const std::optional<std::vector<double>>& values, py::object leading,
             bool point_lines, const StopFlag* stop) {
  if (leading.is_none()) ImportNumpy();
  if (values && values->empty()) throw py::value_error("values: expected at least one value");
  // With values, the sweep's own fields are set from the first one, so that
  // the run's checks see a valid sweep; the values replace it.
  Built b = Build(values ? WithPoint(settings, values->front(), false) : settings, true, file);
  if (!b.error.empty()) RaiseRefusal(b.error, b.field);
  const bool curve = values && OneCurve(b.spec);
  // Each value of a list that is not one curve is checked as a run of its
  // own before any runs.
  std::vector<Built> points;
  if (values && !curve) {
    points.reserve(values->size());
    for (const double v : *values) {
      points.push_back(Build(WithPoint(settings, v, true), true, file));
      if (!points.back().error.empty()) RaiseRefusal(points.back().error, points.back().field);
    }
  } else if (curve) {
    b.spec.values = *values;
    // Refusals of the values themselves (magnitude) come from the checks.
    Built checked = b;
    if (auto refusal = DeriveAndCheck(checked.spec))
      RaiseRefusal(NamedRefusal(checked.spec, checked.sources, *refusal), refusal->field->name);
  }
  TableSink sink;
  CallbackReporter reporter(std::move(callback), point_lines, stop);
  RunSummary summary;
  bool interrupted = false;
  try {
    py::gil_scoped_release nogil;
    if (points.empty()) {
      summary = Execute(b.spec, sink, reporter);
    } else {
      // One sink gathers the records of every point, in the given order;
      // the first fatal condition ends the list.
      for (const Built& p : points) {
        const RunSummary one = Execute(p.spec, sink, reporter);
        summary.records += one.records;
        summary.nonfinite += one.nonfinite;
        summary.warnings += one.warnings;
        if (one.fatal) {
          summary.fatal = true;
          summary.message = one.message;
          summary.named_message = one.named_message;
          break;
        }
      }
    }
  } catch (const Interrupted&) {
    interrupted = true;
  }
  if (!interrupted) reporter.Rethrow();

  const Layout& layout = sink.layout();
  const auto& rows = sink.rows();
  const std::size_t ncol = layout.columns.size();
  py::list columns = ColumnList(layout);
  py::dict r;
  r["kind"] = layout.kind;
  r["columns"] = columns;
  if (leading.is_none()) {
    py::array_t<double> table({rows.size(), ncol});
    auto out = table.mutable_unchecked<2>();
    for (std::size_t i = 0; i < rows.size(); ++i)
      for (std::size_t j = 0; j < ncol; ++j) out(i, j) = rows[i][j];
    r["rows"] = table;
  } else {
    r["rows"] = py::none();
    r["lines"] = rows.size();
    r["text"] = RowsTextOf(rows, columns, leading, "tsv");
  }
  r["parameters"] = Parameters(b.spec);
  r["records"] = interrupted ? rows.size() : summary.records;
  r["nonfinite"] = summary.nonfinite;
  r["fatal"] = summary.fatal;
  r["message"] = summary.named_message;
  if (interrupted) {
    // The records completed before the signal go with its exception.
    py::error_already_set& e = *reporter.signal_error;
    try {
      e.value().attr("result") = r;
    } catch (const py::error_already_set&) {
      // An exception that takes no attributes is raised as it is.
    }
    throw std::move(e);
  }
  return r;
}

// Signals heard while the lattice sweeps: every 20 ms the stop callback takes
// the GIL and lets Python's handlers run; one that raises (KeyboardInterrupt)
// stops the simulation and its exception is kept here to be raised after.
struct SignalPoll {
  std::unique_ptr<py::error_already_set> error;
  std::chrono::steady_clock::time_point next = std::chrono::steady_clock::now();
  lattice::Control Control() {
    lattice::Control control;
    control.stop = [this]() {
      const auto now = std::chrono::steady_clock::now();
      if (now < next) return false;
      next = now + std::chrono::milliseconds(20);
      py::gil_scoped_acquire gil;
      if (PyErr_CheckSignals() == 0) return false;
      error = std::make_unique<py::error_already_set>();
      return true;
    };
    return control;
  }
};

py::dict PointsDict(const std::vector<lattice::Point>& pts) {
  const auto n = static_cast<py::ssize_t>(pts.size());
  py::dict out;
  const auto column = [&](const char* name, auto get) {
    py::array_t<double> a(n);
    double* d = a.mutable_data();
    for (py::ssize_t k = 0; k < n; ++k) d[k] = get(pts[static_cast<std::size_t>(k)]);
    out[name] = a;
  };
  column("T", [](const lattice::Point& p) { return p.T; });
  column("Cp", [](const lattice::Point& p) { return p.Cp; });
  column("Cp_err", [](const lattice::Point& p) { return p.Cp_err; });
  column("U", [](const lattice::Point& p) { return p.U; });
  column("U_err", [](const lattice::Point& p) { return p.U_err; });
  column("x_f", [](const lattice::Point& p) { return p.x_f; });
  column("x_f_err", [](const lattice::Point& p) { return p.x_f_err; });
  column("y_ff", [](const lattice::Point& p) { return p.y_ff; });
  column("y_ff_err", [](const lattice::Point& p) { return p.y_ff_err; });
  column("tau_E", [](const lattice::Point& p) { return p.tau_E; });
  column("tau_Nf", [](const lattice::Point& p) { return p.tau_Nf; });
  column("reliable", [](const lattice::Point& p) { return p.reliable ? 1.0 : 0.0; });
  return out;
}

// A Monte Carlo simulation of the exact lattice at the temperatures T and
// its curve reweighted onto the temperatures `at` (multiple histograms).
py::dict LatticeCurve(Settings settings, const std::vector<double>& T,
                      const std::vector<double>& at, int threads) {
  ImportNumpy();
  if (T.empty()) RaiseRefusal("T: expected at least one temperature to simulate", "T");
  settings.emplace_back("task", py::str("heat"));
  settings.emplace_back("method", py::str("montecarlo"));
  settings.emplace_back("T_min", py::float_(T.front()));
  settings.emplace_back("T_max", py::float_(T.front()));
  settings.emplace_back("dT", py::float_(1.0));
  Built b = Build(settings, true);
  if (!b.error.empty()) RaiseRefusal(b.error, b.field);
  lattice::Settings s = LatticeSettings(b.spec);
  s.threads = std::max(1, threads);
  s.curve = at;
  SignalPoll poll;
  const lattice::Control control = poll.Control();
  lattice::Result r;
  try {
    py::gil_scoped_release nogil;
    r = lattice::Simulate(b.spec.model, T, s, control);
  } catch (const std::invalid_argument& e) {
    RaiseRefusal(e.what(), "T");
  }
  if (r.interrupted && poll.error) throw std::move(*poll.error);
  py::dict out;
  out["simulated"] = PointsDict(r.points);
  out["curve"] = PointsDict(r.curve);
  out["exchange_T"] = r.exchange_T;
  out["exchange_rate"] = r.exchange_rate;
  out["reliable"] = r.reliable;
  out["parameters"] = Parameters(b.spec);
  return out;
}

// One configuration of the exact lattice: the model's settings with the
// lattice's (L, seed) checked as a Monte Carlo run checks them; an L x L
// array of 0 (gel) and 1 (fluid).  Signals are handled every 20 ms of
// sweeping; a handler's exception (KeyboardInterrupt) ends it.
py::array_t<std::uint8_t> LatticeSnapshot(Settings settings, double T, const std::string& L,
                                          const std::string& seed, long sweeps) {
  ImportNumpy();
  settings.emplace_back("task", py::str("heat"));
  settings.emplace_back("method", py::str("montecarlo"));
  settings.emplace_back("T_min", py::float_(T));
  settings.emplace_back("T_max", py::float_(T));
  settings.emplace_back("dT", py::float_(1.0));
  settings.emplace_back("L", py::str(L));
  settings.emplace_back("seed", py::str(seed));
  Built b = Build(settings, true);
  if (!b.error.empty()) RaiseRefusal(b.error, b.field);
  SignalPoll poll;
  const lattice::Control control = poll.Control();
  std::vector<std::uint8_t> sites;
  try {
    py::gil_scoped_release nogil;
    sites = lattice::Snapshot(b.spec.model, T, b.spec.lattice.L, b.spec.lattice.seed, sweeps,
                              lattice::Update::kMetropolis, control);
  } catch (const lattice::Interrupted&) {
    if (poll.error) throw std::move(*poll.error);
    throw;
  } catch (const std::invalid_argument& e) {
    RaiseRefusal(e.what(), "model");
  }
  const auto n = static_cast<py::ssize_t>(b.spec.lattice.L);
  py::array_t<std::uint8_t> out({n, n});
  std::memcpy(out.mutable_data(), sites.data(), sites.size());
  return out;
}

struct Stopped {};  // a signal arrived while the engine ran

// The equilibrium curve at the temperatures T (any order) and, for each
// first-order transition on it, both of its minima over all of T.
py::dict Branches(Settings settings, const std::vector<double>& T, int threads) {
  ImportNumpy();
  settings.emplace_back("task", py::str("heat"));
  settings.emplace_back("search", py::str("equilibrium"));
  for (const double t : T)
    if (!(t > 0) || !std::isfinite(t)) RaiseRefusal("T: expected positive finite temperatures", "T");
  if (T.empty()) RaiseRefusal("T: expected at least one temperature", "T");
  settings.emplace_back("T_min", py::float_(T.front()));
  settings.emplace_back("T_max", py::float_(T.front()));
  settings.emplace_back("dT", py::float_(1.0));
  Built b = Build(settings, true);
  if (!b.error.empty()) RaiseRefusal(b.error, b.field);
  std::unique_ptr<py::error_already_set> signal_error;
  auto next_poll = std::chrono::steady_clock::now();
  const auto poll = [&]() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_poll) return;
    next_poll = now + std::chrono::milliseconds(20);
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return;
    signal_error = std::make_unique<py::error_already_set>();
    throw Stopped();
  };
  SweepCurve sc;
  std::vector<JumpMinima> jumps;
  std::vector<double> sorted;
  try {
    py::gil_scoped_release nogil;
    sc = TrackSweep(b.spec.model, T, threads, poll);
    sorted.reserve(sc.curve.points.size());
    for (const CurvePoint& p : sc.curve.points) sorted.push_back(p.x);
    jumps = FollowJumpMinima(b.spec.model, sorted, sc.var, sc.curve, poll);
  } catch (const Stopped&) {
    throw std::move(*signal_error);
  } catch (const FatalError& e) {
    throw std::runtime_error(e.what());
  }
  const auto n = static_cast<py::ssize_t>(T.size());
  const auto given = [&](const std::vector<double>& v) {
    py::array_t<double> a(n);
    double* d = a.mutable_data();
    for (py::ssize_t k = 0; k < n; ++k) d[k] = v[sc.sorted[static_cast<std::size_t>(k)]];
    return a;
  };
  std::vector<double> F, U;
  for (const CurvePoint& p : sc.curve.points) {
    F.push_back(p.ok ? p.F : std::nan(""));
    U.push_back(p.ok ? p.U : std::nan(""));
  }
  py::list js;
  for (const JumpMinima& j : jumps) {
    py::dict d;
    d["T"] = j.jump.x;
    d["latent"] = j.jump.latent;
    d["F"] = j.jump.F;
    d["F_a"] = given(j.F_from);
    d["U_a"] = given(j.U_from);
    d["F_b"] = given(j.F_to);
    d["U_b"] = given(j.U_to);
    js.append(d);
  }
  py::dict out;
  out["T"] = py::array_t<double>(n, T.data());
  out["F"] = given(F);
  out["U"] = given(U);
  out["jumps"] = js;
  out["unresolved"] = sc.curve.unresolved;
  out["parameters"] = Parameters(b.spec);
  return out;
}

py::list FieldList() {
  py::list l;
  for (const FieldDef& f : Fields()) {
    const char* type = "number";
    switch (f.type) {
      case FieldType::kWord:
        type = "word";
        break;
      case FieldType::kVariant:
        type = "variant";
        break;
      case FieldType::kSearch:
        type = "search";
        break;
      case FieldType::kThreads:
        type = "threads";
        break;
      case FieldType::kMethod:
        type = "method";
        break;
      case FieldType::kCount:
        type = "count";
        break;
      case FieldType::kNumber:
        break;
    }
    l.append(py::make_tuple(f.name, f.position, type, f.help));
  }
  return l;
}

// (kind, ((name, unit, integer), ...)) of the records of settings the
// checks of a run accept; a refusal raises ValueError(message, field).
py::tuple CheckedLayout(const Settings& settings) {
  Built b = Build(settings, true);
  if (!b.error.empty()) RaiseRefusal(b.error, b.field);
  const Layout layout = LayoutFor(b.spec);
  return py::make_tuple(layout.kind, py::tuple(ColumnList(layout)));
}

// The column names and units of a task's records, without running it.
py::tuple Columns(const Settings& settings) {
  Built b = Build(settings, false);
  if (!b.error.empty()) RaiseRefusal(b.error, b.field);
  const Layout layout = LayoutFor(b.spec);
  py::list columns = ColumnList(layout);
  return py::make_tuple(layout.kind, columns, Parameters(b.spec));
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The chainmelt engine: runs given as (key, text) settings of the named form.";
  m.attr("version") = CHAINMELT_VERSION;
  py::class_<StopFlag>(m, "Flag",
                       "A flag that ends the runs given it at their next sweep point once set; "
                       "set, cleared and read from any thread.")
      .def(py::init<>())
      .def("set", &StopFlag::set)
      .def("clear", &StopFlag::clear)
      .def("is_set", &StopFlag::is_set);
  // Raised by a run whose Flag was set (a type of its own, nothing C++ throws).
  struct RunStopped {};
  py::exception<RunStopped>(m, "Stopped", PyExc_Exception);
  m.def("fields", &FieldList, "The fields of a run: (name, classic position, type, help).");
  m.def("parameters", &CheckedParameters, py::arg("settings"),
        "Applies the settings and the checks of the command line (the dH = 0 derivation "
        "included) and returns the parameters; a refused setting raises "
        "ValueError(message, field).");
  m.def("rows_text", &RowsText, py::arg("rows"), py::arg("columns"),
        py::arg("leading") = py::tuple(), py::arg("format") = "tsv",
        "The lines of records as the command line writes them (tsv, csv or jsonl; no header): "
        "the (name, value) pairs of `leading` first on every line, then the row's fields "
        "in `columns` [(name, unit, integer)]; NaN is a field the record does not have.");
  m.def("scan_table_as", &ScanTableAs, py::arg("tsv"), py::arg("format"), py::arg("scanned"),
        "A scan's records table (its TSV text) as csv or jsonl, every cell's text kept; the "
        "JSON Lines header names the scanned fields.");
  py::list statuses;
  for (const char* w : kRunStatuses) statuses.append(w);
  m.attr("RUN_STATUSES") = py::tuple(statuses);
  m.def("runs_header", &RunsHeaderText, py::arg("fields"), py::arg("extra") = std::vector<std::string>(),
        "The header line of a runs table: run, key, FIELDS, status, records, seconds, worker, "
        "message, EXTRA.");
  m.def("runs_line", &RunsLineText, py::arg("run"), py::arg("key"), py::arg("fields"),
        py::arg("status"), py::arg("records"), py::arg("seconds"), py::arg("worker"),
        py::arg("message"), py::arg("extra") = py::tuple(),
        "One line of a runs table (status one of RUN_STATUSES; blanks of a cell collapsed).");
  m.def("run", &Run, py::arg("settings"), py::arg("callback") = py::none(),
        py::arg("file") = std::string(), py::arg("values") = py::none(),
        py::arg("leading") = py::none(), py::arg("point_lines") = true,
        py::arg("stop") = static_cast<const StopFlag*>(nullptr),
        "Runs the settings (after the parameter file, if one is named) with the interpreter "
        "lock released; callback(kind, line) gets every progress and diagnostic line.  A "
        "refused setting raises ValueError(message, field).  Signals are handled between "
        "sweep points: the exception a handler raises (KeyboardInterrupt), or one the "
        "callback raises, ends the run, with the result of the records completed so far as "
        "its attribute 'result'.  `values`: a list of sweep values (numbers) evaluated in this "
        "one call, records in the given order: phase and heat under the equilibrium "
        "searches as one curve along the sorted values, anything else as one-point runs of "
        "their own; the first fatal condition ends the list.  `leading`: (name, value) pairs; "
        "given, the records come as the lines of a TSV table with these cells first "
        "('text', as rows_text writes them; 'lines' their number) instead of an array in "
        "'rows', so that no NumPy is needed.  `point_lines` false: the sweep points' "
        "progress lines are not made (nobody listens to them); the other lines still come.  "
        "`stop`: a Flag; once set, the run ends at its next sweep point raising Stopped "
        "(with 'result', as above).");
  m.def("lattice_snapshot", &LatticeSnapshot, py::arg("settings"), py::arg("T"), py::arg("L"),
        py::arg("seed"), py::arg("sweeps"),
        "One configuration of the exact lattice after `sweeps` sweeps from a random start: an "
        "L x L uint8 array (row y, column x), 1 fluid, 0 gel.  A refused setting raises "
        "ValueError(message, field).");
  m.def("branches", &Branches, py::arg("settings"), py::arg("T"), py::arg("threads") = 1,
        "The equilibrium curve at the temperatures T (any order): dict with T, F and U per site, "
        "'unresolved' (intervals whose latent heat is missing) and 'jumps', one dict per "
        "first-order transition (T, latent, F, and F_a, U_a, F_b, U_b over T: the minimum below "
        "and the one above the transition, NaN where it does not exist).");
  m.def("lattice_curve", &LatticeCurve, py::arg("settings"), py::arg("T"), py::arg("at"),
        py::arg("threads") = 1,
        "A Monte Carlo simulation of the exact lattice at the temperatures T (parallel "
        "tempering) and its curve reweighted onto the temperatures `at`: dict with "
        "'simulated' and 'curve' (columns T, Cp, Cp_err, U, U_err, x_f, x_f_err, y_ff, "
        "y_ff_err, tau_E, tau_Nf, reliable), exchange_T, exchange_rate, reliable, parameters.");
  m.def("layout", &CheckedLayout, py::arg("settings"),
        "(kind, ((name, unit, integer), ...)) of the records of a run of the settings, after "
        "the checks of a run; a refused setting raises ValueError(message, field).");
  m.def("columns", &Columns, py::arg("settings"),
        "(kind, [(name, unit, integer)], parameters) of the records of the settings' task and "
        "variant, without the checks of a run.");
}
