#include "run/layout.hpp"

namespace chainmelt {

namespace {

constexpr const char* kOne = "1";
constexpr const char* kEnergy = "energy";
constexpr const char* kTemperature = "temperature";
constexpr const char* kBoltzmann = "k_B";

struct Builder {
  Layout layout;
  Builder& Add(const std::string& name, const char* unit, bool integer = false) {
    layout.columns.push_back({name, unit, integer});
    return *this;
  }
  // The state variables, each name followed by `suffix`.
  Builder& State(const std::vector<std::string>& names, const std::string& suffix = "") {
    for (const auto& n : names) Add(n + suffix, kOne);
    return *this;
  }
};

}  // namespace

Layout LayoutFor(const RunSpec& spec) {
  const Model& m = spec.model;
  const auto state = StateNames(m.n0, IsAltMode(m.para));
  const bool h_sweep = IsEnthalpySweep(m.para);
  Builder b;
  b.layout.kind = spec.task;
  if (spec.task == "phase") {
    b.Add("T", kTemperature).State(state).Add("F", kEnergy).Add("iter", kOne, true);
  } else if (spec.task == "coexist") {
    b.Add("T", kTemperature).Add("dH", kEnergy).State(state, "_gel").State(state, "_fluid");
    b.Add("F_gel", kEnergy).Add("iter_gel", kOne, true);
    b.Add("F_fluid", kEnergy).Add("iter_fluid", kOne, true);
  } else if (spec.task == "heat" && m.n0 == 1) {
    b.layout.kind = "heat-mean-field";
    b.Add("T", kTemperature).Add("z", kOne).Add("theta", kOne).State(state);
    b.Add("Cp", kBoltzmann).Add("F", kEnergy).Add("iter", kOne, true);
  } else if (spec.task == "heat") {
    b.Add(h_sweep ? "dH" : "T", h_sweep ? kEnergy : kTemperature).Add("Cp", kBoltzmann);
    b.State(state).Add("F", kEnergy).Add("iter", kOne, true);
  } else if (spec.task == "size") {
    // h = T * Cp at the centre of the second difference: an energy.
    b.Add("nu", kOne).Add("z", kOne).Add("h_max", kEnergy).Add("T_peak", kTemperature);
    b.Add("coverage_peak", kOne).State(state, "_peak").Add("F_peak", kEnergy);
    b.Add("iter_peak", kOne, true);
    b.layout.partial_columns = b.layout.columns.size();
    b.Add("h_half", kEnergy).Add("T_half", kTemperature).Add("coverage_half", kOne);
    b.State(state, "_half").Add("F_half", kEnergy).Add("iter_half", kOne, true);
    b.Add("width", kTemperature);
  } else if (spec.task == "crit") {
    // The determinant of the Hessian (energy per unit fraction squared),
    // every diagonal factor divided by 10^n0.
    const std::string det_unit = "energy^" + std::to_string(m.n0) + "/1e" +
                                 std::to_string(m.n0 * m.n0);
    b.Add("T", kTemperature).Add("dH", kEnergy).Add("conc", kOne);
    b.layout.columns.push_back({"det", det_unit, false});
    b.State(state).Add("F", kEnergy).Add("iter", kOne, true);
  }
  if (spec.task == "crit" && spec.search != SearchMode::kClassic) {
    b.Add("rel_width", kOne);  // final interval of T over T: how far the tolerance was met
  }
  if (spec.task == "heat" && spec.search != SearchMode::kClassic) {
    b.Add("U", kEnergy).Add("branch", kOne, true).Add("dU", kEnergy);
  }
  return b.layout;
}

}  // namespace chainmelt
