#include "run/params_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>
#include <toml++/toml.h>

namespace chainmelt {

namespace {

// MIN:MAX:STEP of a sweep shorthand.
bool ApplySweepText(bool enthalpy, const std::string& text, const std::string& origin,
                    RunSpec& spec, Sources& sources, std::string& error) {
  double v[3] = {0, 0, 0};
  std::size_t from = 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t colon = text.find(':', from);
    const std::string part =
        text.substr(from, i < 2 ? (colon == std::string::npos ? std::string::npos : colon - from)
                                : std::string::npos);
    if ((i < 2 && colon == std::string::npos) || (i == 2 && part.find(':') != std::string::npos)) {
      error = origin + ": expected MIN:MAX:STEP, got " + Shown(text);
      return false;
    }
    RunSpec probe;
    const FieldDef& number = *FindField("T_min");
    if (!SetFieldFromText(probe, number, part).empty()) {
      error = origin + ": expected MIN:MAX:STEP of finite numbers, got " + Shown(text);
      return false;
    }
    v[i] = probe.T_min;
    from = colon + 1;
  }
  if (!(v[2] > 0) || !(v[0] <= v[1])) {
    error = origin + ": expected MIN <= MAX and STEP > 0, got " + Shown(text);
    return false;
  }
  const double steps = (v[1] - v[0]) / v[2];
  if (!(steps <= 1e8) || std::fabs(steps - std::round(steps)) > 1e-9 * std::max(1.0, steps)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6g", steps);
    error = origin + ": expected a STEP that divides MAX - MIN into at most 1e8 steps, got " +
            Shown(text) + " (" + buf + " steps)";
    return false;
  }
  spec.T_min = v[0];
  spec.T_max = v[1];
  spec.dT = v[2];
  spec.model.para.sweep = enthalpy ? "H" : "T";
  spec.exact_sweep = true;
  for (const char* f : {"T_min", "T_max", "dT", "sweep"}) sources[*FindField(f)] = origin;
  return true;
}

std::string Where(const std::string& name, const toml::source_region& at, const std::string& key) {
  return name + ":" + std::to_string(at.begin.line) + ": key '" + key + "'";
}

// The keys and values of a parameter file are ASCII; comments may hold any
// text.  Non-ASCII bytes of comments are replaced by '?' before parsing (the
// Debian build of the TOML parser reaches an unreachable point on some
// non-ASCII characters), and a non-ASCII byte elsewhere is refused with its
// line.
bool AsciiOutsideComments(std::string& text, const std::string& name, std::string& error) {
  int line = 1;
  char quote = 0;
  bool comment = false;
  for (char& ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      ++line;
      quote = 0;
      comment = false;
      continue;
    }
    if (comment) {
      if (c >= 0x80) ch = '?';
      continue;
    }
    if (c >= 0x80) {
      error = name + ":" + std::to_string(line) +
              ": a character outside ASCII (keys and values of a parameter file are ASCII; "
              "comments may hold any text)";
      return false;
    }
    if (quote != 0) {
      if (ch == quote) quote = 0;
    } else if (ch == '"' || ch == '\'') {
      quote = ch;
    } else if (ch == '#') {
      comment = true;
    }
  }
  return true;
}

// The keys of a parameter file (and of --set): the field names and the
// sweep shorthands.
std::vector<std::string> KeyNames() {
  std::vector<std::string> names;
  for (const FieldDef& f : Fields())
    if (f.position != 1) names.emplace_back(f.name);
  names.emplace_back("T-sweep");
  names.emplace_back("dH-sweep");
  return names;
}

// Reads the file at `path` into `text`; the reason it cannot be read
// ("No such file or directory", "Permission denied", "it is a directory")
// or "".  A FIFO or device is read as it comes (a parameter file may be
// given as <(...) by a shell).
std::string ReadWholeFile(const std::string& path, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return "it is a directory";
  }
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const std::string why = std::strerror(errno);
      ::close(fd);
      return why;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return "";
}

}  // namespace

bool ApplySetting(const std::string& key, const std::string& text, const std::string& origin,
                  RunSpec& spec, Sources& sources, std::string& error) {
  if (key == "T-sweep" || key == "dH-sweep")
    return ApplySweepText(key == "dH-sweep", text, origin, spec, sources, error);
  const FieldDef* f = FindField(key);
  if (f == nullptr) {
    error = origin + ": unknown parameter " + Shown(key) + DidYouMean(key, KeyNames()) +
            " (see 'chainmelt run --help')";
    return false;
  }
  const std::string expected = SetFieldFromText(spec, *f, text);
  if (!expected.empty()) {
    error = origin + ": expected " + expected + ", got " + Shown(text);
    return false;
  }
  if (key == "T_min" || key == "T_max" || key == "dT" || key == "sweep") spec.exact_sweep = false;
  sources[*f] = origin;
  return true;
}

bool ApplyNumber(const std::string& key, double value, const std::string& origin, RunSpec& spec,
                 Sources& sources, std::string& error) {
  const FieldDef* f = FindField(key);
  if (f == nullptr || f->type != FieldType::kNumber || !std::isfinite(value)) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return ApplySetting(key, text, origin, spec, sources, error);
  }
  NumberField(spec, *f) = value;
  if (key == "T_min" || key == "T_max" || key == "dT") spec.exact_sweep = false;
  sources[*f] = origin;
  return true;
}

bool ReadParameterText(std::string_view text, const std::string& name, RunSpec& spec,
                       Sources& sources, std::string& error) {
  std::string ascii(text);
  if (!AsciiOutsideComments(ascii, name, error)) return false;
  toml::table table;
  try {
    table = toml::parse(ascii, name);
  } catch (const toml::parse_error& e) {
    std::string what(e.description());
    for (char& c : what)
      if (c == '\n' || c == '\r') c = ' ';
    error = name + ":" + std::to_string(e.source().begin.line) + ": " + what;
    return false;
  }
  for (const auto& [k, node] : table) {
    const std::string key(k.str());
    const std::string where = Where(name, node.source(), key);
    const FieldDef* f = FindField(key);
    const bool sweep = key == "T-sweep" || key == "dH-sweep";
    if (f == nullptr && !sweep) {
      error = where + ": unknown key" + DidYouMean(key, KeyNames()) +
              " (the keys are the field names of 'chainmelt run --help')";
      return false;
    }
    std::string value;
    if (sweep) {
      if (const auto* arr = node.as_array(); arr != nullptr && arr->size() == 3) {
        for (std::size_t i = 0; i < 3; ++i) {
          const auto d = (*arr)[i].value<double>();
          if (!d) {
            error = where + ": expected [MIN, MAX, STEP] of numbers or \"MIN:MAX:STEP\"";
            return false;
          }
          char buf[40];
          std::snprintf(buf, sizeof buf, "%.17g", *d);
          value += (i ? ":" : "") + std::string(buf);
        }
      } else if (const auto s = node.value<std::string>()) {
        value = *s;
      } else {
        error = where + ": expected [MIN, MAX, STEP] of numbers or \"MIN:MAX:STEP\"";
        return false;
      }
    } else if (f->type == FieldType::kNumber) {
      const auto d = node.is_number() ? node.value<double>() : std::nullopt;
      if (!d) {
        error = where + ": expected a number";
        return false;
      }
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", *d);
      value = buf;
    } else if (f->type == FieldType::kVariant || f->type == FieldType::kThreads ||
               f->type == FieldType::kCount) {
      const auto i = node.is_integer() ? node.value<long long>() : std::nullopt;
      if (!i) {
        error = where + ": expected a whole number";
        return false;
      }
      value = std::to_string(*i);
    } else {
      const auto s = node.value<std::string>();
      if (!s || !node.is_string()) {
        error = where + ": expected a string";
        return false;
      }
      value = *s;
    }
    if (!ApplySetting(key, value, where, spec, sources, error)) return false;
  }
  return true;
}

bool ReadParameterFile(const std::string& path, RunSpec& spec, Sources& sources,
                       std::string& error) {
  std::string text;
  if (const std::string why = ReadWholeFile(path, text); !why.empty()) {
    error = path + ": cannot read the parameter file: " + why;
    return false;
  }
  return ReadParameterText(text, path, spec, sources, error);
}

std::string NamedRefusal(const RunSpec& spec, const Sources& sources, const Refusal& refusal) {
  const FieldDef& f = *refusal.field;
  std::string where = sources[f];
  if (where.empty()) where = std::string(f.name) + " (not given, so 0)";
  return where + ": expected " + refusal.expected + ", got " + FieldValueText(spec, f);
}

}  // namespace chainmelt
