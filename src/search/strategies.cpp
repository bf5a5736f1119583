// Equilibrium search: feasible random starts, each minimised by conjugate
// gradients on the free energy.
//
// A run evaluates the free energy of its start and minimises it in place.
// Outside the feasible region the free energy is the sentinel 42, which is a
// wall only while the feasible values lie below it; a run from a start above
// 42 can slide into the infeasible region and stop there at exactly 42.  Such
// a run is repeated once from the same start with +infinity outside the
// feasible region.  Every other run is left exactly as it came out.
//
// The best-so-far value of a family starts at +infinity, so the first run is
// always taken and a later one only when strictly lower; the state is then
// copied element by element.
//
// Starts are drawn until Check accepts one.  One million rejected draws in a
// row, or a rejected draw that used no random number (it would repeat for
// ever), end the program with a message that says which parameter to change.
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "model/model.hpp"
#include "numeric/fatal.hpp"
#include "numeric/minimize.hpp"
#include "search/objective.hpp"
#include "search/search.hpp"

namespace chainmelt {

namespace {

constexpr long kMaxRejectedDraws = 1000000;
constexpr int kRunsPerFamily = 5;
constexpr double kInf = std::numeric_limits<double>::infinity();

enum class StartKind { kBox, kGelRich, kFluidRich };

// The condition under which the starts of `kind` can be feasible.
std::string Remedy(const RunState& rs, StartKind kind) {
  if (IsAltMode(rs.para) && kind == StartKind::kFluidRich)
    return "choose conc (argument 16) with -0.2 < conc < 0.8";
  if (IsAltMode(rs.para)) return "check n0 (argument 3) and mode (argument 20)";
  switch (kind) {
    case StartKind::kBox:
      if (rs.n0 == 4) return "choose conc (argument 16) with 0 < conc < 1";
      if (rs.n0 == 8) return "choose conc2 (argument 17) with 0 < conc2 < 1";
      break;
    case StartKind::kGelRich:
      if (rs.n0 == 4) return "choose conc (argument 16) with 0 < conc < 0.8";
      if (rs.n0 == 8) return "choose conc2 (argument 17) with 0 < conc2 < 0.8";
      break;
    case StartKind::kFluidRich:
      switch (rs.n0) {
        case 1:
          return "choose conc (argument 16) with -0.2 < conc < 0.8";
        case 2:
          return "choose conc (argument 16) with 0.2 < conc < 0.8";
        case 4:
          return "choose conc (argument 16) with 0 < conc < 0.8";
        case 5:
          return "choose conc (argument 16) with 0.2 < conc < 0.8, not close to 0.2";
        case 8:
          return "choose conc (argument 16) with 0.2 + 0.4*conc2 < conc < 0.8, or a smaller "
                 "conc2 (argument 17)";
        default:
          break;
      }
      break;
  }
  return "check n0 (argument 3), conc (argument 16), conc2 (argument 17) and mode (argument 20)";
}

[[noreturn]] void NoFeasibleStart(const RunState& rs, const char* who, StartKind kind, double x,
                                  bool draws_nothing) {
  char head[160];
  switch (kind) {
    case StartKind::kBox:
      std::snprintf(head, sizeof head, "%s (random start, n0 = %d%s)", who, rs.n0,
                    IsAltMode(rs.para) ? ", mode 42.1" : "");
      break;
    case StartKind::kGelRich:
      std::snprintf(head, sizeof head, "%s (gel-rich family, start 0.2, n0 = %d%s)", who, rs.n0,
                    IsAltMode(rs.para) ? ", mode 42.1" : "");
      break;
    case StartKind::kFluidRich:
      std::snprintf(head, sizeof head, "%s (fluid-rich family, start 0.8 - conc = %f, n0 = %d%s)",
                    who, x, rs.n0, IsAltMode(rs.para) ? ", mode 42.1" : "");
      break;
  }
  std::string why = draws_nothing
                        ? ": the start state is infeasible and has no random part, so it can never "
                          "become feasible; "
                        : ": " + std::to_string(kMaxRejectedDraws) +
                              " start states in a row were infeasible; ";
  vornerror(head + why + Remedy(rs, kind));
}

// Draws into p with `draw` until Check accepts the state.
template <class Draw>
void DrawFeasible(RunState& rs, StateVec& p, Draw&& draw, const char* who, StartKind kind,
                  double x) {
  for (long rejected = 1;; ++rejected) {
    const std::int32_t before = rs.idum;
    draw();
    if (Check(rs, p, rs.n0)) return;
    if (rs.idum == before) NoFeasibleStart(rs, who, kind, x, true);
    if (rejected >= kMaxRejectedDraws) NoFeasibleStart(rs, who, kind, x, false);
  }
}

// One run from the feasible start p: its free energy into fret, then
// conjugate gradients in place; iter is the count of the last minimisation.
void Run(RunState& rs, StateVec& p, double& fret) {
  const Model& m = rs;
  FreeEnergyObjective free_energy(m);
  const StateVec start = p;
  fret = FreeCalc(m, p);
  frprmn(p, rs.n0, rs.ftol, rs.iter, fret, free_energy);
  if (fret == kSentinel && !Check(m, p, rs.n0)) {
    // The sentinel undercut the start: search again behind a wall.
    WalledFreeEnergyObjective walled(m);
    p = start;
    fret = FreeCalc(m, p);
    frprmn(p, rs.n0, rs.ftol, rs.iter, fret, walled);
  }
}

void CopyState(const StateVec& from, StateVec& to, int n) {
  for (int i = 1; i <= n; ++i) to[i] = from[i];
}

// Five runs from phase starts with fluid fraction x; the lowest into
// best/fbest.  p0/fret0 hold the last run.  Without `minimise` only the
// starts are drawn.
void Family(RunState& rs, StartKind kind, double x, StateVec& best, double& fbest,
            bool minimise = true) {
  fbest = kInf;
  for (int run = 1; run <= kRunsPerFamily; ++run) {
    DrawFeasible(
        rs, rs.p0, [&rs, x] { InitLipidPhase(rs, rs.p0, rs.n0, x, &rs.idum); },
        "StepOrderDiscont", kind, x);
    if (!minimise) continue;
    Run(rs, rs.p0, rs.fret0);
    if (run == 1 || fbest > rs.fret0) {
      fbest = rs.fret0;
      CopyState(rs.p0, best, rs.n0);
    }
  }
}

}  // namespace

void StepOrderCont(RunState& rs) {
  DrawFeasible(
      rs, rs.p0, [&rs] { Init(rs, rs.p0, rs.n0, &rs.idum); }, "StepOrderCont", StartKind::kBox,
      0.0);
  Run(rs, rs.p0, rs.fret0);
}

void StepOrderGlobal(RunState& rs) {
  rs.fret0 = kInf;
  for (int run = 1; run <= kRunsPerFamily; ++run) {
    DrawFeasible(
        rs, rs.p1, [&rs] { Init(rs, rs.p1, rs.n0, &rs.idum); }, "StepOrderGlobal",
        StartKind::kBox, 0.0);
    Run(rs, rs.p1, rs.fret1);
    if (run == 1 || rs.fret0 > rs.fret1) {
      rs.fret0 = rs.fret1;
      CopyState(rs.p1, rs.p0, rs.n0);
    }
  }
}

void StepOrderDiscont(RunState& rs) {
  Family(rs, StartKind::kGelRich, 0.2, rs.p1, rs.fret1);
  Family(rs, StartKind::kFluidRich, 0.8 - rs.para.conc, rs.p2, rs.fret2);
}

// The draws of a search without its minimisations.  A search draws starts
// until Check accepts one, and a run that is repeated behind the wall starts
// again from its own start without drawing: so the number of draws depends
// on which drawn states Check rejects and never on a minimisation result.
// The parallel sweep relies on this to know the generator state at which
// every sweep point begins.
void StepOrderContDraws(RunState& rs) {
  DrawFeasible(
      rs, rs.p0, [&rs] { Init(rs, rs.p0, rs.n0, &rs.idum); }, "StepOrderCont", StartKind::kBox,
      0.0);
}

void StepOrderDiscontDraws(RunState& rs) {
  StateVec scratch;
  double f = 0.0;
  Family(rs, StartKind::kGelRich, 0.2, scratch, f, false);
  Family(rs, StartKind::kFluidRich, 0.8 - rs.para.conc, scratch, f, false);
}

}  // namespace chainmelt
