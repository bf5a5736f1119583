// The checks of a run's fields before it runs: the values derived from the
// given ones, the refusals, the warnings about input, the search named.
#include "run/spec.hpp"
#include "tasks/names.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

namespace chainmelt {

namespace {

constexpr double kMaxSweepPoints = 1e8;
constexpr double kMaxLigandSize = 170;
constexpr double kMaxMagnitude = 1e100;
constexpr double kMinTemperature = 1e-100;

Refusal Refuse(int position, std::string expected) {
  for (const FieldDef& f : Fields())
    if (f.position == position) return {&f, std::move(expected)};
  return {&Fields()[0], std::move(expected)};
}

// Below this every temperature of a kelvin-scale run is implausible for a
// membrane (and typical of one given in degrees Celsius); from these
// magnitudes on a transition temperature or an energy is on the kelvin scale.
constexpr double kCelsiusLike = 150;
constexpr double kKelvinTm = 200;
constexpr double kKelvinEnergy = 100;

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

void Warn(RunSpec& spec, const std::string& line) {
  if (std::find(spec.warnings.begin(), spec.warnings.end(), line) == spec.warnings.end())
    spec.warnings.push_back(line);
}

// Warnings about fields as given (before dH and dS are derived).
void WarnAboutInput(RunSpec& spec) {
  const Model& m = spec.model;
  const Para& p = m.para;
  const bool enthalpy = IsEnthalpySweep(p);
  if (p.dH == 0 && p.dHcal == 0 && !enthalpy) {
    Warn(spec, "warning: dH and dHcal are both 0: nothing melts; give dHcal (and Tm) or dH and "
               "dS");
  }
  // The highest temperature the run visits.
  const bool fixed_T = enthalpy && spec.task != kTaskSize;
  double t_high = fixed_T ? m.T : spec.T_max;
  if (!fixed_T)
    for (const double v : spec.values) t_high = std::max(t_high, v);
  if (!(t_high > 0 && t_high < kCelsiusLike)) return;
  std::string scale;
  if (p.Tm >= kKelvinTm) {
    scale = "Tm = " + Number(p.Tm) + " K";
  } else if (std::fabs(p.dHcal) >= kKelvinEnergy) {
    scale = "dHcal = " + Number(p.dHcal) + " K";
  } else if (std::fabs(p.w) >= kKelvinEnergy) {
    scale = "w = " + Number(p.w) + " K";
  } else if (!enthalpy && std::fabs(p.dH) >= kKelvinEnergy) {
    scale = "dH = " + Number(p.dH) + " K";
  } else {
    return;
  }
  Warn(spec, "warning: temperatures look like degrees Celsius (all below " +
                 Number(kCelsiusLike) + " K while " + scale + "): chainmelt works in kelvin");
}

// The one name of the search a task runs (see SearchMode).
void NameSearch(RunSpec& spec) {
  if (spec.search == SearchMode::kClassic) return;
  if (spec.task == kTaskCoexist || spec.task == kTaskCrit) {
    spec.search = SearchMode::kRobust;
  } else if (spec.task == kTaskPhase || spec.task == kTaskHeat) {
    spec.search = SearchMode::kEquilibrium;
  } else if (spec.task == kTaskSize) {
    spec.search = SearchMode::kClassic;  // its peak scans have no other search
  }
}

// What the Monte Carlo of the exact lattice can simulate: the one-lipid
// model (n0 = 2, not the ligand-activity mode), heat and phase, in T.
std::optional<Refusal> CheckMonteCarlo(const RunSpec& spec) {
  const FieldDef* method = FindField("method");
  if (spec.model.n0 != 2 || IsAltMode(spec.model.para)) {
    return Refusal{method, "pair for n0 = " + std::to_string(spec.model.n0) +
                               (IsAltMode(spec.model.para) ? " in mode 42.1" : "") +
                               " (montecarlo simulates the one-lipid model, n0 = 2)"};
  }
  if (spec.task != kTaskHeat && spec.task != kTaskPhase) {
    return Refusal{method, "pair for task " + spec.task + " (montecarlo runs heat and phase)"};
  }
  if (IsEnthalpySweep(spec.model.para)) {
    return Refusal{FindField("sweep"), "a sweep in T with method montecarlo (its replicas are "
                                       "temperatures)"};
  }
  return std::nullopt;
}

}  // namespace

std::optional<Refusal> DeriveAndCheck(RunSpec& spec, bool to_run) {
  Model& m = spec.model;
  Para& p = m.para;
  NameSearch(spec);
  WarnAboutInput(spec);

  // dH given as 0 asks for dH and dS from the calorimetric enthalpy and the
  // transition temperature.
  // A sweep in dH sets dH at every point: in the named interfaces a given
  // dS is then used as it is.
  if (p.dH == 0 && !EntropyGivenForEnthalpySweep(spec)) {
    const bool enthalpy = IsEnthalpySweep(p) && !spec.classic_form;
    if (enthalpy && p.Tm == 0 && p.dHcal == 0) {
      return Refuse(8, "the melting entropy of one chain, as the sweep sets dH (or Tm and "
                       "dHcal, from which dS = dHcal / Tm)");
    }
    const double b = m.n0 == 1 ? 0.5 : 3;
    p.dH = p.dHcal - b * p.w;
    p.dS = p.dHcal / p.Tm;
    if (p.Tm == 0) {
      if (spec.classic_form)
        return Refuse(9, "a non-zero value when dH (argument 7) is 0, as dS = dHcal / Tm");
      return Refuse(9, enthalpy ? "a non-zero value, as dS = dHcal / Tm (the sweep sets dH)"
                                : "a non-zero value when dH is 0 or not given, as dS = dHcal "
                                  "/ Tm");
    }
    if (!std::isfinite(p.dS)) return Refuse(9, "a value for which dS = dHcal / Tm is finite");
    if (!std::isfinite(p.dH)) return Refuse(10, "a value for which dH = dHcal - b*w is finite");
  }

  if (IsAltMode(p) && m.n0 != 2) {
    return Refuse(20, "a value other than 42.1 with n0 = " + std::to_string(m.n0) +
                          " (42.1 selects the alternative mode, which needs n0 = 2)");
  }
  if (spec.task == kTaskCrit && m.n0 == 1) {
    return Refuse(3, "2, 4, 5 or 8 for task crit (the mean-field model n0 = 1 has no Hessian)");
  }
  if (spec.task == kTaskCoexist && p.conc == 1) {
    return Refuse(16, "a value other than 1 for task coexist (its estimate divides by 1 - conc)");
  }

  // The sweep must visit at least one point and reach its end.
  if (!(spec.T_min <= spec.T_max)) {
    return Refuse(22, spec.classic_form ? "a value not below T_min (argument 21)"
                                        : "a value not below T_min");
  }
  if (!(spec.dT > 0)) return Refuse(23, "a positive step");
  // The accumulated sweep stalls where adding dT no longer changes the value:
  // dT must be at least the spacing of doubles at the largest magnitude it
  // visits, max(|T_min|, |T_max|), so that every step advances it.
  const double widest = std::max(std::fabs(spec.T_min), std::fabs(spec.T_max));
  const double spacing = std::nextafter(widest, HUGE_VAL) - widest;
  if (spec.T_min + spec.dT == spec.T_min || spec.T_max + spec.dT == spec.T_max ||
      spec.dT < spacing) {
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "a step large enough to change every value from T_min to T_max when added "
                  "(at least %.17g, the spacing of doubles at %.17g)",
                  spacing, widest);
    return Refuse(23, buf);
  }
  if (!((spec.T_max - spec.T_min) / spec.dT <= kMaxSweepPoints)) {
    return Refuse(23, "a step that gives at most 1e8 sweep points (T_max - T_min)/dT");
  }

  if (!spec.values.empty() && spec.search == SearchMode::kClassic && spec.task == kTaskHeat &&
      m.n0 == 1) {
    return Refuse(21, "T_min ... T_max by dT, not a list of values, for heat with n0 = 1 and "
                      "the classic search (its heat capacity is a second difference over dT)");
  }
  for (const double v : spec.values) {
    if (IsEnthalpySweep(p)) {
      if (!(std::fabs(v) <= kMaxMagnitude))
        return Refuse(21, "enthalpies of magnitude at most 1e100");
    } else if (!(v > 0)) {
      return Refuse(21, "a positive temperature at every value of the list (one is " +
                            Number(v) + ")");
    } else if (!(v >= kMinTemperature && v <= kMaxMagnitude)) {
      return Refuse(21, "temperatures from 1e-100 to 1e100");
    }
  }
  // Every temperature the run uses must be positive.
  if (IsEnthalpySweep(p)) {
    if (!(m.T > 0)) return Refuse(4, "a positive temperature (the sweep is in dH at this T)");
    if (spec.task == kTaskSize && !(spec.T_min > 0)) {
      return Refuse(21, "a positive temperature (task size sweeps T from T_min)");
    }
  } else if (!(spec.T_min > 0)) {
    return Refuse(21, "a positive temperature (the sweep is in T)");
  }
  // Ranges in which the model's sums and ratios cannot stay finite.
  const bool ligand = m.n0 == 1 || IsAltMode(p);
  if (ligand && spec.task != kTaskSize && !(p.nu < kMaxLigandSize)) {
    return Refuse(19, "a ligand size below 170 (the factorials of nu + 1 overflow from there on)");
  }
  if (m.n0 == 1 && !(p.z >= 0)) return Refuse(18, "a non-negative ligand activity");
  for (int position : {5, 6, 7, 11, 12, 13}) {
    const double v = NumberField(spec, Fields()[static_cast<std::size_t>(position - 1)]);
    if (!(std::fabs(v) <= kMaxMagnitude)) {
      return Refuse(position, "an energy of magnitude at most 1e100 (beyond it the heat "
                              "capacity overflows)");
    }
  }
  for (int position : {8, 14}) {
    const double v = NumberField(spec, Fields()[static_cast<std::size_t>(position - 1)]);
    if (!(std::fabs(v) <= kMaxMagnitude)) return Refuse(position, "an entropy of magnitude at most 1e100");
  }
  // The lowest and highest temperatures the run uses.
  const bool fixed_T = IsEnthalpySweep(p) && spec.task != kTaskSize;
  const double t_low = fixed_T ? m.T : spec.T_min;
  const double t_high = fixed_T ? m.T : spec.T_max;
  const int t_position = fixed_T ? 4 : 21;
  if (!(t_low >= kMinTemperature)) {
    return Refuse(t_position, "a temperature of at least 1e-100 (energies over T overflow below it)");
  }
  if (!(t_high <= kMaxMagnitude)) {
    return Refuse(fixed_T ? 4 : 22, "a temperature of at most 1e100");
  }
  if (spec.method == Method::kMonteCarlo) return CheckMonteCarlo(spec);
  // n0 = 4 and n0 = 8 have no state without their second component or with
  // nothing else: the named forms say so before running (a model still to
  // be completed, as a fit's fields before each scan's conc, is not a run).
  // The classic command line finds it out from its starts, as it always has.
  if (to_run && !spec.classic_form && !IsAltMode(p)) {
    if (m.n0 == 4 && !(p.conc > 0 && p.conc < 1)) {
      return Refusal{FindField("conc"),
                     "0 < conc < 1 for n0 = 4 (the model has states only with both components; "
                     "the lipid alone is n0 = 2)"};
    }
    if (m.n0 == 8 && !(p.conc2 > 0 && p.conc2 < 1)) {
      return Refusal{FindField("conc2"),
                     "0 < conc2 < 1 for n0 = 8 (the model has states only with both lipids; "
                     "one lipid alone is n0 = 2)"};
    }
  }
  return std::nullopt;
}

}  // namespace chainmelt
