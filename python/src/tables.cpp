// chainmelt._core's tables: records and runs tables as text, written by the
// command line's own table writers.
#include "tables.hpp"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "run/runs_table.hpp"
#include "run/table.hpp"

namespace py = pybind11;
using namespace chainmelt;

namespace {

// A leading cell as the scan writes its fields: numbers as record numbers
// are written, a list or tuple as its items joined by ':', texts as text.
Cell LeadingCell(const py::handle& v) {
  if (py::isinstance<py::bool_>(v)) return Cell::Text(v.cast<bool>() ? "true" : "false");
  if (py::isinstance<py::int_>(v)) return Cell{py::str(v).cast<std::string>(), false};
  if (py::isinstance<py::float_>(v)) return Cell::Number(v.cast<double>());
  if (py::isinstance<py::list>(v) || py::isinstance<py::tuple>(v)) {
    std::string joined;
    bool first = true;
    for (const auto& item : v) {
      if (!first) joined += ':';
      joined += LeadingCell(item).text;
      first = false;
    }
    return Cell::Text(joined);
  }
  return Cell::Text(py::str(v).cast<std::string>());
}

TextFormat FormatFrom(const std::string& name) {
  if (name == "tsv") return TextFormat::kTsv;
  if (name == "csv") return TextFormat::kCsv;
  if (name == "jsonl") return TextFormat::kJsonl;
  throw py::value_error("format: expected tsv, csv or jsonl, got '" + name + "'");
}

}  // namespace

namespace chainmelt_python {

namespace {

std::vector<Column> ColumnsOf(const py::sequence& columns) {
  std::vector<Column> cols;
  for (const auto& c : columns) {
    const auto t = c.cast<py::sequence>();
    Column col;
    col.name = t[0].cast<std::string>();
    col.unit = t.size() > 1 ? t[1].cast<std::string>() : "";
    col.integer = t.size() > 2 && t[2].cast<bool>();
    cols.push_back(col);
  }
  return cols;
}

// The writer of the lines and their leading cells.
TableWriter WriterOf(std::vector<Column> cols, const py::sequence& leading,
                     const std::string& format, std::vector<Cell>& cells) {
  std::vector<LeadingColumn> lead;
  for (const auto& item : leading) {
    const auto pair = item.cast<py::sequence>();
    if (pair.size() != 2) throw py::value_error("leading: expected (name, value) pairs");
    lead.push_back({pair[0].cast<std::string>(), "", false});
    cells.push_back(LeadingCell(pair[1]));
  }
  return TableWriter(FormatFrom(format), std::move(lead), std::move(cols));
}

}  // namespace

// The lines of a table of records (no header): `leading` (name, value)
// cells first on every line, then the fields of each row (NaN: a field the
// record does not have).
std::string RowsText(py::array_t<double, py::array::c_style | py::array::forcecast> rows,
                     const py::sequence& columns, const py::sequence& leading,
                     const std::string& format) {
  if (rows.ndim() != 2) throw py::value_error("rows: expected a two-dimensional array");
  std::vector<Column> cols = ColumnsOf(columns);
  if (static_cast<std::size_t>(rows.shape(1)) != cols.size())
    throw py::value_error("rows: expected " + std::to_string(cols.size()) +
                          " columns as named, got " + std::to_string(rows.shape(1)));
  std::vector<Cell> cells;
  const TableWriter writer = WriterOf(std::move(cols), leading, format, cells);
  const auto r = rows.unchecked<2>();
  const std::size_t ncol = static_cast<std::size_t>(rows.shape(1));
  std::string text;
  py::gil_scoped_release nogil;
  for (py::ssize_t i = 0; i < rows.shape(0); ++i)
    writer.AppendRow(cells, ncol ? r.data(i, 0) : nullptr, ncol, text);
  return text;
}

std::string RowsTextOf(const std::vector<std::vector<double>>& rows,
                       const py::sequence& columns, const py::sequence& leading,
                       const std::string& format) {
  std::vector<Cell> cells;
  const TableWriter writer = WriterOf(ColumnsOf(columns), leading, format, cells);
  std::string text;
  py::gil_scoped_release nogil;
  for (const auto& row : rows) writer.AppendRow(cells, row.data(), row.size(), text);
  return text;
}

std::string ScanTableAs(const std::string& tsv, const std::string& format,
                        const std::vector<std::string>& scanned) {
  const TextFormat to = FormatFrom(format);
  if (to == TextFormat::kTsv) return tsv;
  return ConvertScanTable(tsv, to, scanned);
}

std::string RunsHeaderText(const std::vector<std::string>& fields,
                           const std::vector<std::string>& extra) {
  return RunsHeader(fields, extra);
}

// One line of a runs table; field and extra values are written as leading
// cells of a records table are, so that both tables show a run alike.
std::string RunsLineText(long run, const std::string& key, const py::sequence& fields,
                         const std::string& status, std::size_t records, double seconds,
                         const std::string& worker, const std::string& message,
                         const py::sequence& extra) {
  if (!IsRunStatus(status)) throw py::value_error("status: expected a status word, got '" + status + "'");
  RunRow row;
  row.run = run;
  row.key = key;
  for (const auto& f : fields) row.fields.push_back(LeadingCell(f).text);
  row.status = status;
  row.records = records;
  row.seconds = seconds;
  row.worker = worker;
  row.message = message;
  for (const auto& e : extra) row.extra.push_back(LeadingCell(e).text);
  return RunsLine(row);
}

}  // namespace chainmelt_python
