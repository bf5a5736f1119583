#include "run/runs_table.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace chainmelt {

namespace {

constexpr const char* kBefore[] = {"run", "key"};
constexpr const char* kAfter[] = {"status", "records", "seconds", "worker", "message"};

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> cells;
  for (std::size_t at = 0;;) {
    const std::size_t tab = line.find('\t', at);
    cells.push_back(line.substr(at, tab == std::string_view::npos ? tab : tab - at));
    if (tab == std::string_view::npos) return cells;
    at = tab + 1;
  }
}

bool WholeNumber(std::string_view text, long& value) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != text.npos)
    return false;
  value = std::strtol(std::string(text).c_str(), nullptr, 10);
  return true;
}

}  // namespace

bool IsRunStatus(std::string_view word) {
  for (const char* s : kRunStatuses)
    if (word == s) return true;
  return false;
}

std::string RunsCell(std::string_view text) {
  std::string r;
  bool blank = false;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
      blank = !r.empty();
      continue;
    }
    if (blank) r += ' ';
    blank = false;
    r += c;
  }
  return r;
}

std::string RunsHeader(const std::vector<std::string>& fields,
                       const std::vector<std::string>& extra) {
  std::string h;
  for (const char* c : kBefore) h += std::string(h.empty() ? "" : "\t") + c;
  for (const auto& f : fields) h += "\t" + f;
  for (const char* c : kAfter) h += std::string("\t") + c;
  for (const auto& e : extra) h += "\t" + e;
  return h + "\n";
}

std::string RunsLine(const RunRow& row) {
  char seconds[64];
  std::snprintf(seconds, sizeof seconds, "%.6f", row.seconds);
  std::string l = std::to_string(row.run) + "\t" + RunsCell(row.key);
  for (const auto& f : row.fields) l += "\t" + RunsCell(f);
  l += "\t" + RunsCell(row.status) + "\t" + std::to_string(row.records) + "\t" + seconds + "\t" +
       RunsCell(row.worker) + "\t" + RunsCell(row.message);
  for (const auto& e : row.extra) l += "\t" + RunsCell(e);
  return l + "\n";
}

std::optional<RunRow> ParseRunsLine(std::string_view line, std::size_t fields,
                                    std::size_t extra) {
  const auto cells = SplitTabs(line);
  if (cells.size() != 2 + fields + 5 + extra) return std::nullopt;
  RunRow row;
  long records = 0;
  if (!WholeNumber(cells[0], row.run) || cells[1].empty()) return std::nullopt;
  row.key = cells[1];
  std::size_t at = 2;
  for (std::size_t i = 0; i < fields; ++i) row.fields.emplace_back(cells[at++]);
  row.status = cells[at++];
  if (!IsRunStatus(row.status) || !WholeNumber(cells[at++], records)) return std::nullopt;
  row.records = static_cast<std::size_t>(records);
  const std::string seconds(cells[at++]);
  char* end = nullptr;
  errno = 0;
  row.seconds = std::strtod(seconds.c_str(), &end);
  if (seconds.empty() || *end != '\0' || errno != 0) return std::nullopt;
  row.worker = cells[at++];
  row.message = cells[at++];
  for (std::size_t i = 0; i < extra; ++i) row.extra.emplace_back(cells[at++]);
  return row;
}

std::string RunKey(std::string_view text) {
  std::uint64_t h = 14695981039346656037ull;
  for (const char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016" PRIx64, h);
  return buf;
}

}  // namespace chainmelt
