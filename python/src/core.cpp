// chainmelt._core: the run of the command line as Python calls.  Fields are
// set from text with the command line's own checks, the run executes with
// the interpreter lock released, and the records come back as a NumPy array.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "driver/params_file.hpp"
#include "run/layout.hpp"
#include "run/run.hpp"
#include "run/sinks.hpp"
#include "run/spec.hpp"

namespace py = pybind11;
using namespace chainmelt;

namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;

// A run description built from (key, text) settings, each applied as the
// named form applies an option of that name; the key is the origin that a
// message names.
struct Built {
  RunSpec spec;
  Sources sources;
  std::string error;    // empty when the settings are accepted
  std::string field;    // the field at fault
};

Built Build(const Settings& settings, bool check, const std::string& file = "") {
  Built b;
  if (!file.empty() && !ReadParameterFile(file, b.spec, b.sources, b.error)) {
    b.field = "file";
    return b;
  }
  for (const auto& [key, text] : settings) {
    if (!ApplySetting(key, text, key, b.spec, b.sources, b.error)) {
      b.field = key;
      return b;
    }
  }
  if (!check) return b;
  if (auto refusal = DeriveAndCheck(b.spec)) {
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

// Hands every line to a Python callable (kind, line) while the run goes on,
// taking the interpreter lock for the call only.  An exception of the
// callable stops further calls and is raised after the run.
class CallbackReporter : public Reporter {
 public:
  explicit CallbackReporter(py::object callback) : callback_(std::move(callback)) {}
  void Progress(const char* line) override { Deliver("progress", line); }
  void Diagnostic(const char* line) override { Deliver("diagnostic", line); }
  void Rethrow() {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  void Deliver(const char* kind, const char* line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_ || callback_.is_none()) return;
    py::gil_scoped_acquire gil;
    try {
      callback_(kind, line);
    } catch (...) {
      error_ = std::current_exception();
    }
  }

  py::object callback_;
  std::mutex mutex_;
  std::exception_ptr error_;
};

// Returns (None, derived parameters) or ((field, message), None).
py::tuple Check(const Settings& settings) {
  Built b = Build(settings, true);
  if (!b.error.empty()) return py::make_tuple(py::make_tuple(b.field, b.error), py::none());
  return py::make_tuple(py::none(), Parameters(b.spec));
}

py::dict Run(const Settings& settings, py::object callback, const std::string& file) {
  Built b = Build(settings, true, file);
  if (!b.error.empty()) {
    PyErr_SetObject(PyExc_ValueError, py::make_tuple(b.error, b.field).ptr());
    throw py::error_already_set();
  }
  TableSink sink;
  CallbackReporter reporter(std::move(callback));
  RunSummary summary;
  {
    py::gil_scoped_release nogil;
    summary = Execute(b.spec, sink, reporter);
  }
  reporter.Rethrow();

  const Layout& layout = sink.layout();
  const auto& rows = sink.rows();
  const std::size_t ncol = layout.columns.size();
  py::array_t<double> table({rows.size(), ncol});
  auto out = table.mutable_unchecked<2>();
  for (std::size_t i = 0; i < rows.size(); ++i)
    for (std::size_t j = 0; j < ncol; ++j) out(i, j) = rows[i][j];

  py::list columns;
  for (const Column& c : layout.columns) columns.append(py::make_tuple(c.name, c.unit, c.integer));
  py::dict r;
  r["kind"] = layout.kind;
  r["columns"] = columns;
  r["rows"] = table;
  r["parameters"] = Parameters(b.spec);
  r["records"] = summary.records;
  r["nonfinite"] = summary.nonfinite;
  r["fatal"] = summary.fatal;
  r["message"] = summary.message;
  return r;
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
      case FieldType::kNumber:
        break;
    }
    l.append(py::make_tuple(f.name, f.position, type, f.help));
  }
  return l;
}

// The column names and units of a task's records, without running it.
py::tuple Columns(const Settings& settings) {
  Built b = Build(settings, false);
  if (!b.error.empty()) {
    PyErr_SetObject(PyExc_ValueError, py::make_tuple(b.error, b.field).ptr());
    throw py::error_already_set();
  }
  const Layout layout = LayoutFor(b.spec);
  py::list columns;
  for (const Column& c : layout.columns) columns.append(py::make_tuple(c.name, c.unit, c.integer));
  return py::make_tuple(layout.kind, columns, Parameters(b.spec));
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The chainmelt engine: runs given as (key, text) settings of the named form.";
  m.attr("version") = CHAINMELT_VERSION;
  m.def("fields", &FieldList, "The fields of a run: (name, classic position, type, help).");
  m.def("check", &Check, py::arg("settings"),
        "Applies the settings and the checks of the command line (the dH = 0 derivation "
        "included).  Returns (None, parameters) or ((field, message), None).");
  m.def("run", &Run, py::arg("settings"), py::arg("callback") = py::none(),
        py::arg("file") = std::string(),
        "Runs the settings (after the parameter file, if one is named) with the interpreter "
        "lock released; callback(kind, line) gets every progress and diagnostic line.  A "
        "refused setting raises ValueError(message, field).");
  m.def("columns", &Columns, py::arg("settings"),
        "(kind, [(name, unit, integer)], parameters) of the records of the settings' task and "
        "variant, without the checks of a run.");
}
