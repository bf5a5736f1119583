// What a run is given: the model (variant, temperature, parameters), the
// task and the sweep, with the fields named as on the command line.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/params.hpp"

namespace chainmelt {

// How the tasks look for equilibrium states.  kClassic is the program's own
// search, the only one of the classic command line.  The named form,
// parameter files and Python default to kEquilibrium for the phase and heat
// tasks and kRobust for coexistence and the critical point (both follow the
// equilibrium along tracked minima); DeriveAndCheck gives each task its one
// name, so either name is accepted for any task.
enum class SearchMode { kClassic, kEquilibrium, kRobust };
const char* SearchName(SearchMode mode);
std::optional<SearchMode> SearchFromName(std::string_view name);

// What computes the states of the heat and phase tasks: the pair approximation
// (the searches) or a Monte Carlo simulation of the exact lattice (n0 = 2).
enum class Method { kPair, kMonteCarlo };
const char* MethodName(Method method);

// The settings of the Monte Carlo method (the engine's defaults).
struct LatticeSpec {
  int L = 48;                // lattice side: a multiple of 3 from 6 to 3000
  long sweeps = 20000;       // sweeps measured at every temperature
  long equilibration = 2000; // sweeps discarded first
  std::uint64_t seed = 1;
};
// Blocks of the Monte Carlo error analysis: the fewest measured sweeps.
inline constexpr int kLatticeBlocks = 32;

struct RunSpec {
  std::string approx;  // first classic argument: any word, ignored
  std::string task;    // the name of a registered task
  Model model;         // n0, T and para (the sweep selector included)
  double T_min = 0, T_max = 0, dT = 0;

  // Settings of the named form (the classic form sets only the search).
  // Visit MIN + k*STEP for k = 0 ... round((MAX - MIN)/STEP) instead of
  // accumulating the step.
  bool exact_sweep = false;
  // The default of the named interfaces; the classic command line sets
  // kClassic.
  SearchMode search = SearchMode::kEquilibrium;
  // Set by the classic command line: its messages name the arguments by
  // position and suggest what that form can do.
  bool classic_form = false;
  // Sweep points minimised at once (tasks whose points may run concurrently).
  int threads = 1;
  // Explicit sweep values, visited in this order instead of T_min ... T_max
  // by dT (which keep their other roles and checks); the tasks that follow
  // a curve under the equilibrium search evaluate them as one curve.
  std::vector<double> values;

  Method method = Method::kPair;
  LatticeSpec lattice;  // read with Method::kMonteCarlo only
  // Warnings about the input (one line each, "warning: ..."), set by
  // DeriveAndCheck; the run reports them as diagnostics before its records.
  std::vector<std::string> warnings;
};

// The fields of a run, in the order of the classic command line (positions
// 1 to 24), then the settings of the named form.  The name is the option,
// the key of a parameter file and the Python keyword.
// kCount: a whole number of the Monte Carlo method (L, sweeps, ...).
enum class FieldType { kWord, kVariant, kNumber, kSearch, kThreads, kMethod, kCount };
struct FieldDef {
  const char* name;
  int position;  // classic argument, 0 for the named form's own settings
  FieldType type;
  const char* help;
};
inline constexpr int kNumClassicArgs = 24;
inline constexpr int kNumFields = 31;
const std::array<FieldDef, kNumFields>& Fields();
// The field of that name, or null.
const FieldDef* FindField(std::string_view name);
// The number a kNumber field is held in.
double& NumberField(RunSpec& spec, const FieldDef& field);
double NumberField(const RunSpec& spec, const FieldDef& field);

// Text of a field's current value as the run holds it ("%.17g" for numbers).
std::string FieldValueText(const RunSpec& spec, const FieldDef& field);

// Checks a whole number text of a field and sets it; returns the expectation
// that failed ("a number", ...) or an empty string.
std::string SetFieldFromText(RunSpec& spec, const FieldDef& field, const std::string& text);

// A refused run: the field at fault and what it should have been.
struct Refusal {
  const FieldDef* field;
  std::string expected;
};

// True for a sweep in dH of the named interfaces with dS given and dH, Tm
// and dHcal not: dS is used as given and dH is not derived (the sweep sets
// it at every point).  The classic form derives dH and dS whenever dH is 0.
bool EntropyGivenForEnthalpySweep(const RunSpec& spec);

// Derives dH and dS when dH is 0 (dH = dHcal - b*w, b = 0.5 for n0 = 1 and
// 3 otherwise; dS = dHcal/Tm), then checks everything that depends on more
// than one field.  Returns the first refusal, in the order of the classic
// command line's checks.  Also names the search by its task (see
// SearchMode) and notes in spec.warnings an input that is accepted but
// most likely a mistake (nothing melts; temperatures in degrees Celsius).
// With to_run false, fields that may still be completed before a run (the
// fractions a variant needs) are not refused.
std::optional<Refusal> DeriveAndCheck(RunSpec& spec, bool to_run = true);

// The words of a task and a variant, as accepted.
bool IsTaskName(std::string_view task);
bool IsVariant(long n0);

// A text as it appears in a message: quoted, control characters escaped,
// cut after 60 characters.
std::string Shown(const std::string& text);

// The candidate a misspelt name most likely meant: one that differs only in
// case, else the one candidate it is the beginning of (3 letters at least),
// else the closest by edit distance (a transposition counts as one
// edit) if it is close enough for its length; "" when none is.  Leading
// dashes are ignored on both sides and kept in the answer.
std::string ClosestName(std::string_view word, const std::vector<std::string>& candidates);
// " (did you mean X?)" for ClosestName, or "".
std::string DidYouMean(std::string_view word, const std::vector<std::string>& candidates);

// Parameters the chosen task and variant do not read (for the warning of the
// named form): names of the fields that are non-zero yet unused, separated by
// ", ".  Call it before DeriveAndCheck (a dH of 0 there means "derive").
std::string UnusedFields(const RunSpec& spec);

}  // namespace chainmelt
