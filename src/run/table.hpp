// The one writer of result tables: TSV, CSV and JSON Lines, for a single
// run (TextSink), a batch's combined table and a scan's records.
//
// A table is optional leading columns (a batch's run and parameters, a
// scan's run and scanned fields), then the record columns.  Numbers are
// written in the shortest form that reads back as the same double, whole
// numbers of integer columns without a fraction; a field a record does not
// have (past its end, or NaN in a table kept in memory) is empty in TSV and
// CSV and null in JSON Lines.  Text cells of TSV and CSV have their tabs,
// newlines and separators replaced by blanks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "run/layout.hpp"

namespace chainmelt {

enum class TextFormat { kTsv, kCsv, kJsonl };
const char* FormatName(TextFormat format);

// A number as the text formats write it: the shortest text that reads back
// as the same double; whole numbers of integer columns without a fraction.
std::string NumberText(double v, bool integer);
// The same appended to out, without a string of its own (a table's rows).
void AppendNumber(std::string& out, double v, bool integer);

struct LeadingColumn {
  std::string name;
  std::string unit;  // written only when has_unit
  bool has_unit = false;
};

// One cell of a leading column: a number (written as record numbers are)
// or a text (a JSON string in JSON Lines).
struct Cell {
  static Cell Number(double v, bool integer = false) { return {NumberText(v, integer), false}; }
  static Cell Text(std::string t) { return {std::move(t), true}; }
  std::string text;
  bool is_text = false;
};

class TableWriter {
 public:
  TableWriter() = default;
  TableWriter(TextFormat format, std::vector<LeadingColumn> leading, std::vector<Column> columns)
      : format_(format), leading_(std::move(leading)), columns_(std::move(columns)) {}
  TextFormat format() const { return format_; }

  // The lines before the records.  TSV: "# chainmelt VERSION <comment>",
  // "# units" and a unit per column, the names.  CSV: the names.  JSON
  // Lines: {"chainmelt": VERSION, <members>"columns": [...]}, where
  // `json_members` is empty or ends with ", ".
  std::string Header(const std::string& comment, const std::string& json_members) const;
  // One line per record: the leading cells, then the first n fields of v.
  std::string Row(const std::vector<Cell>& leading, const double* v, std::size_t n) const;
  // Row() without leading cells, appended to `line` (no allocation once
  // `line` has grown to a row's size).
  void AppendRow(const std::vector<Cell>& leading, const double* v, std::size_t n,
                 std::string& line) const;

 private:
  TextFormat format_ = TextFormat::kTsv;
  std::vector<LeadingColumn> leading_;
  std::vector<Column> columns_;
};

// A text as a JSON string.
std::string JsonString(const std::string& s);

// A column's unit code ("energy", "temperature", "k_B", "1") in words.
std::string UnitMeaning(const std::string& unit);

// The metadata a CSV table keeps in FILE.meta.json beside it (a CSV file has
// no room for it): a JSON object with the program version, the `kind` of
// record, the run's `parameters` (a JSON object), the columns with their
// unit codes, integer flags and units in words, and the length and SHA-256
// of the table's bytes, by which a reader knows that the metadata belongs
// to the table beside it.
std::string TableMetadata(const std::string& kind, const std::string& parameters_json,
                          const std::vector<Column>& columns, std::size_t bytes,
                          const std::string& sha256);

// A stored scan table (TSV: "# chainmelt VERSION scan kind=KIND", the units
// line, the names, the records) as CSV or JSON Lines, every cell's text
// kept: CSV quotes a cell holding a comma, a quote or a newline; JSON Lines
// writes a first object with the version, the kind, the `scanned` fields
// and the columns with their units (none for the first), then one object
// per record, a cell that is a finite JSON number as it stands, an empty one as
// null, any other as a string (non-ASCII characters escaped).
std::string ConvertScanTable(std::string_view tsv, TextFormat to,
                             const std::vector<std::string>& scanned);

}  // namespace chainmelt
