#include "run/table.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace chainmelt {

std::string NumberText(double v, bool integer) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  if (integer && std::fabs(v) < 9e15 && v == std::floor(v)) {
    return std::to_string(static_cast<long long>(v));
  }
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
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
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    open(columns_[i].name);
    const bool have = i < n && std::isfinite(v[i]);
    if (have) {
      line += NumberText(v[i], columns_[i].integer);
    } else if (json) {
      line += "null";
    }
  }
  if (json) line += first ? "{}" : "}";
  line += "\n";
}

std::string TableWriter::Row(const std::vector<Cell>& leading, const double* v,
                             std::size_t n) const {
  std::string line;
  AppendRow(leading, v, n, line);
  return line;
}

}  // namespace chainmelt
