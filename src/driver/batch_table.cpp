// The tables a batch makes of its runs.
#include "driver/batch_run.hpp"

#include <algorithm>
#include <cmath>

#include "run/table.hpp"

namespace chainmelt {

// The combined table: a run column, the parameters of the run (those whose
// names are not also record columns), then the record columns; the columns
// of every run in order of first appearance.
bool WriteCombined(const std::vector<BatchRun>& runs, OutputFormat format, std::FILE* f) {
  std::vector<Column> cols;
  auto have = [&cols](const std::string& n) {
    return std::any_of(cols.begin(), cols.end(), [&n](const Column& c) { return c.name == n; });
  };
  for (const BatchRun& r : runs)
    for (const Column& c : r.table.layout().columns)
      if (!have(c.name)) cols.push_back(c);
  std::vector<const FieldDef*> params;
  std::vector<LeadingColumn> leading = {{"run", "1", true}};
  for (const FieldDef& fd : Fields()) {
    if (fd.position > 1 && !have(fd.name)) {
      params.push_back(&fd);
      leading.push_back({fd.name, "", false});
    }
  }
  const TextFormat text = format == OutputFormat::kCsv     ? TextFormat::kCsv
                          : format == OutputFormat::kJsonl ? TextFormat::kJsonl
                                                           : TextFormat::kTsv;
  const TableWriter writer(text, leading, cols);
  std::fputs(writer.Header("batch", "\"kind\": \"batch\", ").c_str(), f);
  std::vector<double> values;
  std::string line;
  for (const BatchRun& r : runs) {
    const auto& layout = r.table.layout();
    std::vector<Cell> cells = {Cell::Number(r.line, true)};
    for (const auto* p : params) {
      switch (p->type) {
        case FieldType::kNumber:
          cells.push_back(Cell::Number(NumberField(r.spec, *p)));
          break;
        case FieldType::kVariant:
        case FieldType::kThreads:
        case FieldType::kCount:
          cells.push_back({FieldValueText(r.spec, *p), false});
          break;
        case FieldType::kWord:
        case FieldType::kSearch:
        case FieldType::kMethod:
          cells.push_back(Cell::Text(FieldValueText(r.spec, *p)));
          break;
      }
    }
    // Each record's fields in the places of the combined columns.
    std::vector<std::size_t> place(cols.size(), layout.columns.size());
    for (std::size_t i = 0; i < cols.size(); ++i)
      for (std::size_t at = 0; at < layout.columns.size(); ++at)
        if (layout.columns[at].name == cols[i].name) place[i] = at;
    for (const auto& row : r.table.rows()) {
      values.assign(cols.size(), std::nan(""));
      for (std::size_t i = 0; i < cols.size(); ++i)
        if (place[i] < row.size()) values[i] = row[place[i]];
      line.clear();
      writer.AppendRow(cells, values.data(), values.size(), line);
      std::fputs(line.c_str(), f);
    }
  }
  return std::ferror(f) == 0;
}

RunRow RowOf(const BatchRun& r, const std::string& worker) {
  RunRow row;
  row.run = r.line;
  row.key = r.key;
  row.status = r.status;
  row.records = r.records;
  row.seconds = r.seconds;
  row.worker = worker;
  row.message = r.message;
  return row;
}

}  // namespace chainmelt
