#include "run/sinks.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

namespace chainmelt {

namespace {

// Follows every completed data line of the ligand-size records (the layout
// whose records are begun before they are complete); names its columns.
constexpr char kSizeHeader[] =
    "# nu, z, cmax, T, Theta, p, fret, iter, c1/2, T, Theta, p, fret, iter, dT1/2 \n";
static_assert(sizeof(kSizeHeader) - 1 == 78, "the header line is 78 bytes");

bool IsInteger(const Layout& layout, std::size_t i) {
  return i < layout.columns.size() && layout.columns[i].integer;
}

}  // namespace

std::string WriteFailure(const std::string& name, int error) {
  return "error writing " + name + ": " +
         (error != 0 ? std::strerror(error) : "the data could not be written");
}

std::string ParametersJson(const RunSpec& spec) {
  std::string r = "{";
  bool first = true;
  for (const FieldDef& f : Fields()) {
    if (!first) r += ", ";
    first = false;
    r += JsonString(f.name) + ": ";
    switch (f.type) {
      case FieldType::kNumber:
        r += NumberText(NumberField(spec, f), false);
        break;
      case FieldType::kVariant:
      case FieldType::kThreads:
      case FieldType::kCount:
        r += FieldValueText(spec, f);
        break;
      case FieldType::kWord:
      case FieldType::kSearch:
      case FieldType::kMethod:
        r += JsonString(FieldValueText(spec, f));
        break;
    }
  }
  r += ", \"exact_sweep\": ";
  r += spec.exact_sweep ? "true" : "false";
  return r + "}";
}

std::string ParametersText(const RunSpec& spec) {
  std::string r;
  for (const FieldDef& f : Fields()) {
    if (!r.empty()) r += ' ';
    std::string v = f.type == FieldType::kNumber ? NumberText(NumberField(spec, f), false)
                                                 : FieldValueText(spec, f);
    if (v.empty() || v.find_first_of(" \t\n") != std::string::npos) v = JsonString(v);
    r += std::string(f.name) + "=" + v;
  }
  return r + (spec.exact_sweep ? " exact_sweep=true" : " exact_sweep=false");
}

// --- classic bytes ----------------------------------------------------------

void ClassicSink::Begin(const RunSpec&, const Layout& layout) { layout_ = layout; }

void ClassicSink::Fields(const double* v, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    if (IsInteger(layout_, i)) {
      std::fprintf(file_, "%i ", static_cast<int>(v[i]));
    } else {
      std::fprintf(file_, "%f ", v[i]);
    }
  }
}

void ClassicSink::Check() {
  if (std::ferror(file_)) throw OutputError(WriteFailure(name_, errno));
}

void ClassicSink::Record(const double* v, std::size_t n) {
  Fields(v, written_, n);
  std::fputc('\n', file_);
  written_ = 0;
  if (layout_.partial_columns > 0) std::fwrite(kSizeHeader, 1, sizeof(kSizeHeader) - 1, file_);
  Check();
}

void ClassicSink::Partial(const double* v, std::size_t n) {
  Fields(v, 0, n);
  written_ = n;
  Check();
}

void ClassicSink::Truncated(const double* v, std::size_t n) {
  Fields(v, written_, n);
  std::fputc('\n', file_);
  written_ = 0;
  Check();
}

// --- text tables --------------------------------------------------------------

void TextSink::Check() {
  if (std::ferror(file_)) throw OutputError(WriteFailure(name_, errno));
}

void TextSink::Begin(const RunSpec& spec, const Layout& layout) {
  writer_ = TableWriter(format_, {}, layout.columns);
  const std::string members =
      "\"kind\": " + JsonString(layout.kind) + ", \"parameters\": " + ParametersJson(spec) + ", ";
  std::fputs(writer_.Header(ParametersText(spec), members).c_str(), file_);
  Check();
}

void TextSink::Row(const double* v, std::size_t n) {
  line_.clear();
  writer_.AppendRow({}, v, n, line_);
  std::fwrite(line_.data(), 1, line_.size(), file_);
  Check();
}

void TableSink::Row(const double* v, std::size_t n) {
  std::vector<double> row(layout_.columns.size(), std::nan(""));
  for (std::size_t i = 0; i < n && i < row.size(); ++i) row[i] = v[i];
  rows_.push_back(std::move(row));
}

}  // namespace chainmelt
