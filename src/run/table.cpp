#include "run/table.hpp"

#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace chainmelt {

namespace {

// The most characters a number takes (the shortest text of a double is at
// most 24, "-2.2250738585072014e-308").
constexpr std::size_t kNumberChars = 32;

// Writes the text of v at p (kNumberChars of room) and returns its end.
char* WriteNumber(char* p, double v, bool integer) {
  if (std::isnan(v)) {
    std::memcpy(p, "nan", 3);
    return p + 3;
  }
  if (std::isinf(v)) {
    if (v < 0) *p++ = '-';
    std::memcpy(p, "inf", 3);
    return p + 3;
  }
  if (integer && std::fabs(v) < 9e15 && v == std::floor(v))
    return std::to_chars(p, p + kNumberChars, static_cast<long long>(v)).ptr;
  return std::to_chars(p, p + kNumberChars, v).ptr;
}

}  // namespace

void AppendNumber(std::string& out, double v, bool integer) {
  char buf[kNumberChars];
  out.append(buf, WriteNumber(buf, v, integer));
}

std::string NumberText(double v, bool integer) {
  std::string s;
  AppendNumber(s, v, integer);
  return s;
}

const char* FormatName(TextFormat format) {
  switch (format) {
    case TextFormat::kCsv:
      return "csv";
    case TextFormat::kJsonl:
      return "jsonl";
    case TextFormat::kTsv:
      break;
  }
  return "tsv";
}


std::string JsonString(const std::string& s) {
  std::string r = "\"";
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      r += '\\';
      r += ch;
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      r += buf;
    } else {
      r += ch;
    }
  }
  return r + "\"";
}

std::string UnitMeaning(const std::string& unit) {
  if (unit == "temperature") return "temperature (the run's unit)";
  if (unit == "energy") return "energy per site (one chain), in the run's unit";
  if (unit == "k_B") return "k_B per site (one chain)";
  if (unit == "1") return "pure number";
  return unit;
}

std::string TableMetadata(const std::string& kind, const std::string& parameters_json,
                          const std::vector<Column>& columns, std::size_t bytes,
                          const std::string& sha256) {
  std::string m = "{\n \"chainmelt\": \"" CHAINMELT_VERSION "\",\n \"kind\": " +
                  JsonString(kind) + ",\n \"parameters\": " + parameters_json +
                  ",\n \"columns\": [";
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const Column& c = columns[i];
    m += std::string(i ? "," : "") + "\n  {\"name\": " + JsonString(c.name) +
         ", \"unit\": " + JsonString(c.unit) + ", \"integer\": " +
         (c.integer ? "true" : "false") + ", \"meaning\": " + JsonString(UnitMeaning(c.unit)) +
         "}";
  }
  return m + "\n ],\n \"bytes\": " + std::to_string(bytes) + ",\n \"sha256\": " +
         JsonString(sha256) + "\n}\n";
}

std::string TableWriter::Header(const std::string& comment,
                                const std::string& json_members) const {
  std::string head;
  const char sep = format_ == TextFormat::kCsv ? ',' : '\t';
  switch (format_) {
    case TextFormat::kTsv:
      head = "# chainmelt " CHAINMELT_VERSION " " + comment + "\n# units";
      for (const auto& l : leading_) head += "\t" + l.unit;
      for (const auto& c : columns_) head += "\t" + c.unit;
      head += "\n";
      [[fallthrough]];
    case TextFormat::kCsv: {
      bool first = true;
      for (const auto& l : leading_) {
        if (!first) head += sep;
        head += l.name;
        first = false;
      }
      for (const auto& c : columns_) {
        if (!first) head += sep;
        head += c.name;
        first = false;
      }
      head += "\n";
      break;
    }
    case TextFormat::kJsonl: {
      head = "{\"chainmelt\": \"" CHAINMELT_VERSION "\", " + json_members + "\"columns\": [";
      bool first = true;
      for (const auto& l : leading_) {
        head += std::string(first ? "" : ", ") + "{\"name\": " + JsonString(l.name);
        if (l.has_unit) head += ", \"unit\": " + JsonString(l.unit);
        head += "}";
        first = false;
      }
      for (const auto& c : columns_) {
        head += std::string(first ? "" : ", ") + "{\"name\": " + JsonString(c.name) +
                ", \"unit\": " + JsonString(c.unit) + "}";
        first = false;
      }
      head += "]}\n";
      break;
    }
  }
  return head;
}

void TableWriter::AppendRow(const std::vector<Cell>& leading, const double* v, std::size_t n,
                            std::string& line) const {
  const bool json = format_ == TextFormat::kJsonl;
  const char sep = format_ == TextFormat::kCsv ? ',' : '\t';
  bool first = true;
  auto open = [&](const std::string& name) {
    if (json) {
      line += first ? "{" : ", ";
      line += JsonString(name);
      line += ": ";
    } else if (!first) {
      line += sep;
    }
    first = false;
  };
  for (std::size_t i = 0; i < leading_.size(); ++i) {
    open(leading_[i].name);
    const Cell& c = i < leading.size() ? leading[i] : Cell{};
    if (json) {
      line += c.is_text ? JsonString(c.text) : (c.text.empty() ? "null" : c.text);
    } else {
      for (char ch : c.text) line += (ch == sep || ch == '\n' || ch == '\t') ? ' ' : ch;
    }
  }
  if (!json) {
    // The numbers go to a buffer first and to the line in a few appends.
    char buf[512];
    char* q = buf;
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      if (q + kNumberChars + 2 > buf + sizeof buf) {
        line.append(buf, q);
        q = buf;
      }
      if (!first) *q++ = sep;
      first = false;
      if (i < n && std::isfinite(v[i])) q = WriteNumber(q, v[i], columns_[i].integer);
    }
    *q++ = '\n';
    line.append(buf, q);
    return;
  }
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    open(columns_[i].name);
    if (i < n && std::isfinite(v[i])) {
      AppendNumber(line, v[i], columns_[i].integer);
    } else {
      line += "null";
    }
  }
  line += first ? "{}" : "}";
  line += "\n";
}

std::string TableWriter::Row(const std::vector<Cell>& leading, const double* v,
                             std::size_t n) const {
  std::string line;
  AppendRow(leading, v, n, line);
  return line;
}

namespace {

std::vector<std::string_view> Split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  for (std::size_t at = 0;;) {
    const std::size_t end = text.find(sep, at);
    parts.push_back(text.substr(at, end == std::string_view::npos ? end : end - at));
    if (end == std::string_view::npos) return parts;
    at = end + 1;
  }
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// A JSON string with every character outside printable ASCII escaped (the
// short escapes where JSON has them, UTF-16 units otherwise).
std::string AsciiJsonString(std::string_view s) {
  std::string r = "\"";
  auto unit = [&r](unsigned u) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u%04x", u);
    r += buf;
  };
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      switch (c) {
        case '"': r += "\\\""; break;
        case '\\': r += "\\\\"; break;
        case '\n': r += "\\n"; break;
        case '\r': r += "\\r"; break;
        case '\t': r += "\\t"; break;
        case '\b': r += "\\b"; break;
        case '\f': r += "\\f"; break;
        default:
          if (c < 0x20 || c == 0x7f) {
            unit(c);
          } else {
            r += static_cast<char>(c);
          }
      }
      continue;
    }
    // A UTF-8 sequence (the text was decoded before it was stored).
    const int len = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
    unsigned cp = c & (len == 4 ? 0x07 : len == 3 ? 0x0f : 0x1f);
    for (int k = 1; k < len && i + static_cast<std::size_t>(k) < s.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]) & 0x3f);
    i += static_cast<std::size_t>(len);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xd800 + (cp >> 10));
      unit(0xdc00 + (cp & 0x3ff));
    } else {
      unit(cp);
    }
  }
  return r + "\"";
}

// Whether a cell is a JSON number (and finite): -?(0|[1-9][0-9]*)(.[0-9]+)?
// ([eE][+-]?[0-9]+)?.  Every number the engine writes is one.
bool JsonNumberCell(std::string_view t) {
  auto digit = [&t](std::size_t i) {
    return i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])) != 0;
  };
  std::size_t i = 0;
  if (i < t.size() && t[i] == '-') ++i;
  if (!digit(i)) return false;
  if (t[i] == '0') {
    ++i;
  } else {
    while (digit(i)) ++i;
  }
  if (i < t.size() && t[i] == '.') {
    ++i;
    if (!digit(i)) return false;
    while (digit(i)) ++i;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digit(i)) return false;
    while (digit(i)) ++i;
  }
  return i == t.size() && std::isfinite(std::strtod(std::string(t).c_str(), nullptr));
}

std::string CsvCell(std::string_view text) {
  if (text.find_first_of(",\"\n") == std::string_view::npos) return std::string(text);
  std::string r = "\"";
  for (const char c : text) r += c == '"' ? std::string("\"\"") : std::string(1, c);
  return r + "\"";
}

}  // namespace

std::string ConvertScanTable(std::string_view tsv, TextFormat to,
                             const std::vector<std::string>& scanned) {
  std::vector<std::string_view> lines = Split(tsv, '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  std::vector<std::string_view> names, units;
  std::string kind;
  if (!lines.empty()) {
    std::string_view last;  // the last blank-separated word of the first line
    std::size_t b = lines[0].size();
    while (b > 0 && Blank(lines[0][b - 1])) --b;
    std::size_t a = b;
    while (a > 0 && !Blank(lines[0][a - 1])) --a;
    last = lines[0].substr(a, b - a);
    if (last.substr(0, 5) == "kind=") kind = std::string(last.substr(5));
  }
  if (lines.size() > 1) {
    units = Split(lines[1], '\t');
    units.erase(units.begin());
  }
  if (lines.size() > 2) names = Split(lines[2], '\t');
  std::string out;
  if (to == TextFormat::kJsonl) {
    out = "{\"chainmelt\": \"" CHAINMELT_VERSION "\", \"kind\": " + AsciiJsonString(kind) +
          ", \"scan\": [";
    for (std::size_t i = 0; i < scanned.size(); ++i)
      out += (i ? ", " : "") + AsciiJsonString(scanned[i]);
    out += "], \"columns\": [";
    for (std::size_t i = 0; i < names.size() && i < units.size() + 1; ++i) {
      out += (i ? ", " : "") + std::string("{\"name\": ") + AsciiJsonString(names[i]) +
             ", \"unit\": " + AsciiJsonString(i ? units[i - 1] : std::string_view()) + "}";
    }
    out += "]}\n";
    for (std::size_t l = 3; l < lines.size(); ++l) {
      const auto cells = Split(lines[l], '\t');
      out += "{";
      for (std::size_t i = 0; i < names.size() && i < cells.size(); ++i) {
        out += (i ? ", " : "") + AsciiJsonString(names[i]) + ": ";
        if (cells[i].empty()) {
          out += "null";
        } else if (JsonNumberCell(cells[i])) {
          out += cells[i];
        } else {
          out += AsciiJsonString(cells[i]);
        }
      }
      out += "}\n";
    }
    return out;
  }
  for (std::size_t i = 0; i < names.size(); ++i) out += (i ? "," : "") + CsvCell(names[i]);
  out += "\n";
  for (std::size_t l = 3; l < lines.size(); ++l) {
    const auto cells = Split(lines[l], '\t');
    for (std::size_t i = 0; i < cells.size(); ++i) out += (i ? "," : "") + CsvCell(cells[i]);
    out += "\n";
  }
  return out;
}

}  // namespace chainmelt
