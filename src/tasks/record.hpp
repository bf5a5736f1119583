// A task's record, declared once as a list of (name, unit, value) entries.
//
// The same code builds the record's values at every point and, run once on a
// naming buffer, its columns: names, units and values cannot drift apart.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "model/run_state.hpp"
#include "model/variants.hpp"
#include "search/check.hpp"

namespace chainmelt {

// Units: "energy" and "temperature" are the run's own unit (the Boltzmann
// constant is 1); "k_B" heat capacities and entropies; "1" pure numbers.
inline constexpr std::string_view kUnitOne = "1";
inline constexpr std::string_view kUnitEnergy = "energy";
inline constexpr std::string_view kUnitTemperature = "temperature";
inline constexpr std::string_view kUnitBoltzmann = "k_B";

struct Column {
  std::string name;
  std::string unit;
  bool integer = false;  // printed as a whole number (iter)
};

// The records of a task for one model and search: their kind, their columns
// and, for records begun before they are complete (size: the peak part),
// how many leading columns the first part has (0 otherwise).
struct RecordLayout {
  std::string kind;
  std::vector<Column> columns;
  std::size_t partial_columns = 0;
};

class RecordBuf {
 public:
  // Room for the longest layout (size of the largest variant).
  static constexpr std::size_t kCapacity = 40;

  // A buffer of values: on the stack, nothing allocated.
  RecordBuf() = default;
  // A naming buffer: every entry appends its column to *columns.
  explicit RecordBuf(std::vector<Column>* columns) : columns_(columns) {}

  RecordBuf& Add(std::string_view name, std::string_view unit, double v) {
    if (columns_ != nullptr) columns_->push_back({std::string(name), std::string(unit), false});
    if (n_ < kCapacity) v_[n_++] = v;
    return *this;
  }
  // A whole-number entry of unit "1" (iteration counts, branches).
  RecordBuf& Int(std::string_view name, int v) {
    Add(name, kUnitOne, static_cast<double>(v));
    if (columns_ != nullptr) columns_->back().integer = true;
    return *this;
  }
  // The state variables p[1..n0] of the model's variant, each named by its
  // column name followed by `suffix`.
  RecordBuf& State(const Model& m, const StateVec& p, std::string_view suffix = "") {
    if (columns_ != nullptr) {
      for (const std::string& name : StateNames(m.n0, IsAltMode(m.para)))
        columns_->push_back({name + std::string(suffix), std::string(kUnitOne), false});
    }
    for (int i = 1; i <= m.n0; ++i)
      if (n_ < kCapacity) v_[n_++] = p[i];
    return *this;
  }
  const double* data() const { return v_; }
  std::size_t size() const { return n_; }

 private:
  std::vector<Column>* columns_ = nullptr;
  double v_[kCapacity] = {};
  std::size_t n_ = 0;
};

inline void Emit(RunState& rs, const RecordBuf& r) { rs.ctx->Record(r.data(), r.size()); }

// After the record of the state p with free energy f of `task` at the
// current point: a warning when the state is not stationary or an almost
// pure state is lower.
// The advice that ends such a warning (the classic command line words its
// own, having no choice of search).
inline constexpr char kLowestMinimumAdvice[] = " (--search equilibrium finds the lowest minimum)";
inline void WarnIfNotEquilibrium(RunState& rs, const char* task, const StateVec& p, double f) {
  const std::string why = CheckEquilibrium(rs, p, f);
  if (why.empty()) return;
  rs.ctx->Warning("%s at %s = %f: the record may not be the equilibrium state: %s%s", task,
                  IsEnthalpySweep(rs.para) ? "dH" : "T",
                  IsEnthalpySweep(rs.para) ? rs.para.dH : rs.T, why.c_str(),
                  kLowestMinimumAdvice);
}

// Under the equilibrium search, a point where no state was found has no
// record, and says so.
inline void NoEquilibriumState(RunState& rs, const char* task) {
  rs.ctx->Warning("%s at %s = %f: no record, no feasible minimum was found", task,
                  IsEnthalpySweep(rs.para) ? "dH" : "T",
                  IsEnthalpySweep(rs.para) ? rs.para.dH : rs.T);
}

}  // namespace chainmelt
