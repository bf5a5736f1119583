// Tracking of one block of a continuation sweep (internal to src/search).
#pragma once

#include <cstddef>
#include <vector>

#include "search/continuation.hpp"
#include "search/continuation_detail.hpp"

namespace chainmelt::cont {

inline constexpr int kSlots = 64;  // distinct minima one block can follow

struct BlockIn {
  int i0 = 0, i1 = 0;
  const Min* g0 = nullptr;
  int n0 = 0;
  const Min* g1 = nullptr;
  int n1 = 0;
};

struct BlockOut {
  int len = 0;
  int slots = 0;
  // Slot-major: [s * len + k]; a slot gets its storage when its branch is born.
  std::vector<unsigned char> present;
  std::vector<StateVec> p;
  std::vector<double> F;
  std::vector<int> iters;
  std::vector<unsigned char> global;
  std::vector<int> eq;  // slot of the equilibrium, -1 where none
  std::vector<CurvePoint> points;
  std::vector<Jump> jumps;  // from/to are slots
  int global_searches = 0;
  int failed = 0;
  int unresolved = 0;
};

class Tracker {
 public:
  Tracker(const Model& base, const std::vector<double>& xs, SweepVar var)
      : base_(base), xs_(xs), var_(var) {}

  Model At(double x) const {
    Model m = base_;
    SetSweep(m, var_, x);
    return m;
  }

  void Global(int i, std::vector<Min>& out, int& failed, int& iters) {
    Min found[kMaxGlobal];
    const int n = gs_.Find(At(xs_[i]), found, failed, iters, w_);
    out.assign(found, found + n);
  }

  void Track(const BlockIn& in, BlockOut& o);

 private:
  int Idx(int k, int s) const { return s * len_ + k; }
  bool Has(const BlockOut& o, int k, int s) const { return o.present[Idx(k, s)] != 0; }
  void Grow(BlockOut& o, int slots) {
    const std::size_t n = static_cast<std::size_t>(slots) * static_cast<std::size_t>(len_);
    o.present.resize(n, 0);
    o.p.resize(n, StateVec{});
    o.F.resize(n, 0.0);
  }
  void Put(BlockOut& o, int k, int s, const StateVec& p, double F) {
    o.present[Idx(k, s)] = 1;
    o.p[Idx(k, s)] = p;
    o.F[Idx(k, s)] = F;
  }
  void AddMinima(BlockOut& o, int k, const Min* mins, int n, bool* born);
  // The branch s continued from local point from to local point to, with the
  // straight-line extrapolation of its last two points as the first guess.
  bool Step(BlockOut& o, int s, int from, int to, StateVec& q, double& f, int& steps);
  void Backward(BlockOut& o, int k, int s);
  enum class Cross { kJump, kContinuous, kUnresolved };
  Cross Crossing(const BlockOut& o, int k, int a, int b, Jump& j);

  const Model& base_;
  const std::vector<double>& xs_;
  SweepVar var_;
  int i0_ = 0;
  int len_ = 0;
  GlobalSearch gs_;
  Work w_;
};


}  // namespace chainmelt::cont
