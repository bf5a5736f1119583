// A record under construction: its fields in layout order, on the stack.
#pragma once

#include <cstddef>

#include <string>

#include "model/run_state.hpp"
#include "search/check.hpp"
#include "search/equilibrium.hpp"

namespace chainmelt {

class RecordBuf {
 public:
  // Room for the longest layout ("size" of the largest variant).
  static constexpr std::size_t kCapacity = 40;

  RecordBuf& Add(double v) {
    if (n_ < kCapacity) v_[n_++] = v;
    return *this;
  }
  RecordBuf& Add(int v) { return Add(static_cast<double>(v)); }
  // p[1..n]
  RecordBuf& AddState(const StateVec& p, int n) {
    for (int i = 1; i <= n; ++i) Add(p[i]);
    return *this;
  }
  const double* data() const { return v_; }
  std::size_t size() const { return n_; }

 private:
  double v_[kCapacity] = {};
  std::size_t n_ = 0;
};

inline void Emit(RunState& rs, const RecordBuf& r) { rs.ctx->Record(r.data(), r.size()); }

// What the equilibrium search says of its state, kept in the run state for
// the records of heat.
inline void NoteEquilibrium(RunState& rs, const EquilibriumResult& r) {
  rs.branch = r.branch == Branch::kFluidRich ? 1 : 0;
  rs.minima = r.minima;
  rs.U = r.U;
}

// After the record of p0/fret0 of `task` at the current point: a warning
// when the state is not stationary or an almost pure state is lower.
inline void WarnIfNotEquilibrium(RunState& rs, const char* task) {
  const std::string why = CheckEquilibrium(rs, rs.p0, rs.fret0);
  if (why.empty()) return;
  rs.ctx->Warning("%s at %s = %f: the record may not be the equilibrium state: %s (--search "
                  "equilibrium finds the lowest minimum)",
                  task, IsEnthalpySweep(rs.para) ? "dH" : "T",
                  IsEnthalpySweep(rs.para) ? rs.para.dH : rs.T, why.c_str());
}

}  // namespace chainmelt
