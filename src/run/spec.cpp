#include "run/spec.hpp"
#include "tasks/names.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace chainmelt {

namespace {

constexpr std::array<FieldDef, kNumFields> kFieldDefs = {{
    {"approx", 1, FieldType::kWord, "any word; ignored"},
    {"task", 2, FieldType::kWord, "size, heat, crit, phase or coexist"},
    {"n0", 3, FieldType::kVariant, "model variant 1, 2, 4, 5 or 8"},
    {"T", 4, FieldType::kNumber, "temperature (> 0) when the sweep is in dH"},
    {"w", 5, FieldType::kNumber, "fluid-fluid nearest-neighbour interaction energy"},
    {"w2", 6, FieldType::kNumber, "interaction between second-component molecules (n0 4, 5)"},
    {"dH", 7, FieldType::kNumber, "melting enthalpy of one chain; 0 derives it from dHcal, Tm"},
    {"dS", 8, FieldType::kNumber, "melting entropy of one chain (replaced when dH is 0)"},
    {"Tm", 9, FieldType::kNumber, "transition temperature (used when dH is 0)"},
    {"dHcal", 10, FieldType::kNumber, "calorimetric enthalpy (used when dH is 0)"},
    {"e2", 11, FieldType::kNumber, "energy per unit fraction of the second component (n0 4, 5)"},
    {"w3", 12, FieldType::kNumber, "fluid-chain/second-component interaction (n0 4, 5)"},
    {"dH2", 13, FieldType::kNumber, "binding enthalpy per fluid chain (n0 1); extra enthalpy of B (n0 8)"},
    {"dS2", 14, FieldType::kNumber, "entropy counterpart of dH2"},
    {"zsave", 15, FieldType::kNumber, "accepted and ignored"},
    {"conc", 16, FieldType::kNumber, "fraction of the second component (n0 4); fluid-rich start offset"},
    {"conc2", 17, FieldType::kNumber, "fraction of population B (n0 8); linear coefficient (mode 42.1)"},
    {"z", 18, FieldType::kNumber, "ligand activity (n0 1)"},
    {"nu", 19, FieldType::kNumber, "ligand size: a ligand covers nu + 1 chains (n0 1)"},
    {"mode", 20, FieldType::kNumber, "42.1 selects the ligand-activity mode (n0 2)"},
    {"T_min", 21, FieldType::kNumber, "first sweep value"},
    {"T_max", 22, FieldType::kNumber, "last sweep value"},
    {"dT", 23, FieldType::kNumber, "sweep step; also the step of the finite differences"},
    {"sweep", 24, FieldType::kWord, "H sweeps dH at the fixed T; any other word sweeps T"},
    {"search", 0, FieldType::kSearch, "equilibrium (default; robust for coexist, crit) or classic"},
    {"threads", 0, FieldType::kThreads, "sweep points minimised at once (phase, heat)"},
    {"method", 0, FieldType::kMethod, "pair (the pair approximation) or montecarlo (heat, phase; n0 2)"},
    {"L", 0, FieldType::kCount, "montecarlo: lattice side, a multiple of 3 from 6 to 3000"},
    {"sweeps", 0, FieldType::kCount, "montecarlo: sweeps measured at every temperature"},
    {"equilibration", 0, FieldType::kCount, "montecarlo: sweeps discarded before measuring"},
    {"seed", 0, FieldType::kCount, "montecarlo: random seed (same seed, same records)"},
}};

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool OnlyBlanks(const char* end) {
  while (*end != '\0' && IsSpace(*end)) ++end;
  return *end == '\0';
}

// The first blank-delimited word of a text (empty if there is none).
std::string FirstWord(const std::string& text) {
  std::size_t b = 0;
  while (b < text.size() && IsSpace(text[b])) ++b;
  std::size_t e = b;
  while (e < text.size() && !IsSpace(text[e])) ++e;
  return text.substr(b, e - b);
}

// A whole number of the Monte Carlo settings: the text must be one.
std::string SetCount(LatticeSpec& l, std::string_view name, const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(begin, &end, 10);
  const bool whole = end != begin && OnlyBlanks(end) && errno != ERANGE;
  constexpr long long kMaxSweeps = 1000000000000LL;
  if (name == "L") {
    if (!whole || v < 6 || v > 3000 || v % 3 != 0)
      return "a multiple of 3 from 6 to 3000 (the side of the periodic triangular lattice)";
    l.L = static_cast<int>(v);
  } else if (name == "sweeps") {
    if (!whole || v < kLatticeBlocks || v > kMaxSweeps)
      return "a whole number of sweeps from " + std::to_string(kLatticeBlocks) +
             " (the blocks of the error analysis) to 1e12";
    l.sweeps = static_cast<long>(v);
  } else if (name == "equilibration") {
    if (!whole || v < 0 || v > kMaxSweeps) return "a whole number of sweeps from 0 to 1e12";
    l.equilibration = static_cast<long>(v);
  } else {
    if (!whole || v < 0) return "a whole number from 0 to 9223372036854775807";
    l.seed = static_cast<std::uint64_t>(v);
  }
  return "";
}

}  // namespace

const char* SearchName(SearchMode mode) {
  switch (mode) {
    case SearchMode::kEquilibrium:
      return "equilibrium";
    case SearchMode::kRobust:
      return "robust";
    case SearchMode::kClassic:
      break;
  }
  return "classic";
}

std::optional<SearchMode> SearchFromName(std::string_view name) {
  if (name == "classic") return SearchMode::kClassic;
  if (name == "equilibrium") return SearchMode::kEquilibrium;
  if (name == "robust") return SearchMode::kRobust;
  return std::nullopt;
}

const char* MethodName(Method method) {
  return method == Method::kMonteCarlo ? "montecarlo" : "pair";
}

const std::array<FieldDef, kNumFields>& Fields() { return kFieldDefs; }

const FieldDef* FindField(std::string_view name) {
  for (const FieldDef& f : kFieldDefs)
    if (name == f.name) return &f;
  return nullptr;
}

double& NumberField(RunSpec& spec, const FieldDef& field) {
  Para& p = spec.model.para;
  double* const numbers[kNumClassicArgs + 1] = {
      nullptr, nullptr,  nullptr, nullptr, &spec.model.T, &p.w,  &p.w2,    &p.dH,
      &p.dS,   &p.Tm,    &p.dHcal, &p.e2,  &p.w3,         &p.dH2, &p.dS2,  &p.zsave,
      &p.conc, &p.conc2, &p.z,    &p.nu,   &p.mode,       &spec.T_min, &spec.T_max, &spec.dT,
      nullptr};
  return *numbers[field.position];
}

double NumberField(const RunSpec& spec, const FieldDef& field) {
  return NumberField(const_cast<RunSpec&>(spec), field);
}

std::string FieldValueText(const RunSpec& spec, const FieldDef& field) {
  char buf[64];
  switch (field.type) {
    case FieldType::kWord:
      return field.position == 1 ? spec.approx
             : field.position == 2 ? spec.task
                                   : spec.model.para.sweep;
    case FieldType::kVariant:
      return std::to_string(spec.model.n0);
    case FieldType::kSearch:
      return SearchName(spec.search);
    case FieldType::kThreads:
      return std::to_string(spec.threads);
    case FieldType::kMethod:
      return MethodName(spec.method);
    case FieldType::kCount: {
      const std::string_view name = field.name;
      const LatticeSpec& l = spec.lattice;
      return name == "L"         ? std::to_string(l.L)
             : name == "sweeps"  ? std::to_string(l.sweeps)
             : name == "seed"    ? std::to_string(l.seed)
                                 : std::to_string(l.equilibration);
    }
    case FieldType::kNumber:
      break;
  }
  std::snprintf(buf, sizeof buf, "%.17g", NumberField(spec, field));
  return buf;
}

std::string SetFieldFromText(RunSpec& spec, const FieldDef& field, const std::string& text) {
  switch (field.type) {
    case FieldType::kWord: {
      const std::string word = FirstWord(text);
      if (field.position == 1) {
        spec.approx = word;
      } else if (field.position == 2) {
        spec.task = word;
        if (!IsTaskName(word)) return "one of the tasks size, heat, crit, phase, coexist";
      } else {
        spec.model.para.sweep = word;
      }
      return "";
    }
    case FieldType::kVariant:
    case FieldType::kThreads: {
      const char* begin = text.c_str();
      char* end = nullptr;
      errno = 0;
      const long v = std::strtol(begin, &end, 10);
      const bool whole = end != begin && OnlyBlanks(end) && errno != ERANGE;
      if (field.type == FieldType::kThreads) {
        if (!whole || v < 1 || v > 1024) return "a whole number of threads from 1 to 1024";
        spec.threads = static_cast<int>(v);
        return "";
      }
      if (!whole || !IsVariant(v)) return "one of the model variants 1, 2, 4, 5, 8";
      spec.model.n0 = static_cast<int>(v);
      return "";
    }
    case FieldType::kSearch: {
      const auto mode = SearchFromName(FirstWord(text));
      if (!mode) return "one of the searches classic, equilibrium, robust";
      spec.search = *mode;
      return "";
    }
    case FieldType::kMethod: {
      const std::string word = FirstWord(text);
      if (word == "pair") {
        spec.method = Method::kPair;
      } else if (word == "montecarlo") {
        spec.method = Method::kMonteCarlo;
      } else {
        return "one of the methods pair, montecarlo";
      }
      return "";
    }
    case FieldType::kCount:
      return SetCount(spec.lattice, field.name, text);
    case FieldType::kNumber:
      break;
  }
  // The whole text must be one number; values that overflow, underflow or are
  // infinite or NaN are refused rather than replaced.
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(begin, &end);
  const bool range_error = errno == ERANGE;
  if (end == begin || !OnlyBlanks(end)) return "a number";
  if (range_error || !std::isfinite(value)) return "a finite number within the range of a double";
  NumberField(spec, field) = value;
  return "";
}

bool IsTaskName(std::string_view task) {
  return task == kTaskSize || task == kTaskHeat || task == kTaskCrit || task == kTaskPhase ||
         task == kTaskCoexist;
}

bool IsVariant(long n0) { return n0 == 1 || n0 == 2 || n0 == 4 || n0 == 5 || n0 == 8; }

std::string Shown(const std::string& text) {
  constexpr std::size_t kMaxShown = 60;
  std::string r = "'";
  for (std::size_t i = 0; i < text.size() && i < kMaxShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      r += "\\n";
    } else if (c == '\t') {
      r += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(c));
      r += buf;
    } else {
      r += static_cast<char>(c);
    }
  }
  if (text.size() > kMaxShown) return r + "...' (" + std::to_string(text.size()) + " characters)";
  return r + "'";
}

namespace {

std::string Lower(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

std::string_view Undashed(std::string_view s) {
  while (!s.empty() && s.front() == '-') s.remove_prefix(1);
  return s;
}

// Edits (insertions, deletions, substitutions, swaps of neighbours) that
// turn a into b.
std::size_t EditDistance(const std::string& a, const std::string& b) {
  const std::size_t n = a.size(), m = b.size();
  std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1));
  for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[n][m];
}

}  // namespace

std::string ClosestName(std::string_view word, const std::vector<std::string>& candidates) {
  const std::string w = Lower(Undashed(word));
  if (w.empty()) return "";
  for (const std::string& c : candidates)
    if (Lower(Undashed(c)) == w) return c;
  // A beginning of one candidate only (--form for --format).
  if (w.size() >= 3) {
    std::string only;
    int starts = 0;
    for (const std::string& c : candidates) {
      if (Lower(Undashed(c)).rfind(w, 0) == 0) {
        only = c;
        ++starts;
      }
    }
    if (starts == 1) return only;
  }
  // One edit in a short word, two in a longer one, three from 9 letters on.
  const std::size_t allowed = w.size() <= 4 ? 1 : w.size() <= 8 ? 2 : 3;
  std::string best;
  std::size_t best_d = allowed + 1;
  for (const std::string& c : candidates) {
    const std::string bare = Lower(Undashed(c));
    const std::size_t d = EditDistance(w, bare);
    // A candidate is no likelier for being all but erased (w -> dHcal).
    if (d < best_d && d < std::max(w.size(), bare.size())) {
      best = c;
      best_d = d;
    }
  }
  return best;
}

std::string DidYouMean(std::string_view word, const std::vector<std::string>& candidates) {
  const std::string c = ClosestName(word, candidates);
  return c.empty() ? "" : " (did you mean " + c + "?)";
}

bool EntropyGivenForEnthalpySweep(const RunSpec& spec) {
  const Para& p = spec.model.para;
  return !spec.classic_form && IsEnthalpySweep(p) && p.dH == 0 && p.dS != 0 && p.Tm == 0 &&
         p.dHcal == 0;
}

std::string UnusedFields(const RunSpec& spec) {
  const Model& m = spec.model;
  const Para& p = m.para;
  const bool alt = IsAltMode(p);
  const int n0 = m.n0;
  const std::string& task = spec.task;
  const bool discont = task == kTaskPhase || task == kTaskCoexist;
  auto reads = [&](const std::string& name) -> bool {
    if (name == "w" || name == "dH") return true;
    if (name == "w2" || name == "e2") return n0 == 4 || n0 == 5;
    if (name == "w3") return n0 == 4 || n0 == 5 || task == kTaskCoexist;
    if (name == "dH2" || name == "dS2") return n0 == 1 || n0 == 8 || alt;
    if (name == "conc") return (n0 == 4 && task != kTaskCrit) || discont;
    if (name == "conc2") return n0 == 8 || alt;
    if (name == "z") return n0 == 1;
    if (name == "nu") return (n0 == 1 && task != kTaskSize) || alt;
    if (name == "T") return IsEnthalpySweep(p) && task != kTaskSize;
    return true;
  };
  std::string unused;
  auto add = [&unused](const char* name) {
    if (!unused.empty()) unused += ", ";
    unused += name;
  };
  for (const FieldDef& f : kFieldDefs) {
    if (f.type != FieldType::kNumber) continue;
    const double v = NumberField(spec, f);
    const std::string name = f.name;
    if (name == "zsave" && v != 0) add(f.name);
    // Before the derivation: a given dH makes Tm and dHcal unused, a dH of 0
    // replaces dS.
    if ((name == "Tm" || name == "dHcal") && v != 0 && p.dH != 0) add(f.name);
    if (name == "dS" && v != 0 && p.dH == 0 && !EntropyGivenForEnthalpySweep(spec)) add(f.name);
    if (name == "mode" && v != 0 && !alt) add(f.name);
    if (name == "zsave" || name == "mode" || name == "T_min" || name == "T_max" ||
        name == "dT" || name == "Tm" || name == "dHcal" || name == "dH" || name == "dS")
      continue;
    if (v != 0 && !reads(name)) add(f.name);
  }
  return unused;
}

}  // namespace chainmelt
