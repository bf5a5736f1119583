// Parameter files (TOML) and settings by name: the keys are the field names
// of the command line, plus "T-sweep" and "dH-sweep".
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "run/spec.hpp"

namespace chainmelt {

// Where the value of each field came from, as a message names it
// ("--w", "heat.toml:12: key 'w'", "--set w"); empty for a field left at 0.
struct Sources {
  std::array<std::string, kNumFields> where;
  std::string& operator[](const FieldDef& f) { return where[Index(f)]; }
  const std::string& operator[](const FieldDef& f) const { return where[Index(f)]; }
  static std::size_t Index(const FieldDef& f) {
    return static_cast<std::size_t>(&f - Fields().data());
  }
};

// Sets field `key` from `text` (a number, word, variant, search or thread
// count as the field takes it, or MIN:MAX:STEP for "T-sweep" and
// "dH-sweep").  On failure returns false with one line in `error`, starting
// with `origin`.
bool ApplySetting(const std::string& key, const std::string& text, const std::string& origin,
                  RunSpec& spec, Sources& sources, std::string& error);

// Sets number field `key` to `value` (as ApplySetting would from its
// shortest text, without a round trip through text).  Fields that are not
// numbers, and non-finite values, fail as ApplySetting fails.
bool ApplyNumber(const std::string& key, double value, const std::string& origin, RunSpec& spec,
                 Sources& sources, std::string& error);

// Reads a whole parameter file (its text given, `name` for messages).  An
// unknown key, a key given twice, a value of the wrong type or out of range
// is one line in `error` naming the file, line and key.
bool ReadParameterText(std::string_view text, const std::string& name, RunSpec& spec,
                       Sources& sources, std::string& error);
bool ReadParameterFile(const std::string& path, RunSpec& spec, Sources& sources,
                       std::string& error);

// The refusal of DeriveAndCheck as a message of the named form: the source
// of the field, what was expected and the value.
std::string NamedRefusal(const RunSpec& spec, const Sources& sources, const Refusal& refusal);

}  // namespace chainmelt
