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
#include "model/variants.hpp"
#include "numeric/fatal.hpp"
#include "search/advice.hpp"
#include "numeric/minimize.hpp"
#include "search/objective.hpp"
#include "search/search.hpp"

namespace chainmelt {

namespace {

constexpr long kMaxRejectedDraws = 1000000;
constexpr int kRunsPerFamily = 5;
constexpr double kInf = std::numeric_limits<double>::infinity();

// The condition under which the starts of `kind` can be feasible, with the
// fields in braces (search/advice.hpp).  The ligand-activity mode words its
// own, whatever n0 says.
std::string Advice(const RunState& rs, StartKind kind) {
  const char* advice =
      IsAltMode(rs.para)
          ? VariantAlt::StartAdvice(kind)
          : Dispatch(
                rs.n0, false, [kind](auto v) { return decltype(v)::StartAdvice(kind); },
                [] { return static_cast<const char*>(nullptr); });
  return advice != nullptr ? advice : "check {n0}, {conc}, {conc2} and {mode}";
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
  throw NoFeasibleStartError(head + why, Advice(rs, kind));
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

// One run from the feasible start p: its free energy, then conjugate
// gradients in place.
void Run(RunState& rs, Minimum& run) {
  const Model& m = rs;
  FreeEnergyObjective free_energy(m);
  const StateVec start = run.p;
  run.f = FreeCalc(m, run.p);
  frprmn(run.p, rs.n0, rs.ftol, run.iter, run.f, free_energy);
  if (run.f == kSentinel && !Check(m, run.p, rs.n0)) {
    // The sentinel undercut the start: search again behind a wall.
    WalledFreeEnergyObjective walled(m);
    run.p = start;
    run.f = FreeCalc(m, run.p);
    frprmn(run.p, rs.n0, rs.ftol, run.iter, run.f, walled);
  }
}

void CopyState(const StateVec& from, StateVec& to, int n) {
  for (int i = 1; i <= n; ++i) to[i] = from[i];
}

// Takes run as best on the first run and where it is strictly lower; the
// iterations reported are always those of the last run.
void Keep(int k, const Minimum& run, Minimum& best) {
  if (k == 1 || best.f > run.f) {
    best.f = run.f;
    CopyState(run.p, best.p, kMaxVars);
  }
  best.iter = run.iter;
}

// Five runs from phase starts with fluid fraction x, the lowest kept.  run
// holds the start drawn last (and, when minimised, its minimum).  Without
// `minimise` only the starts are drawn.
Minimum Family(RunState& rs, StartKind kind, double x, Minimum& run, bool minimise = true) {
  Minimum best;
  best.f = kInf;
  for (int k = 1; k <= kRunsPerFamily; ++k) {
    DrawFeasible(
        rs, run.p, [&rs, &run, x] { InitLipidPhase(rs, run.p, rs.n0, x, &rs.idum); },
        "StepOrderDiscont", kind, x);
    if (!minimise) continue;
    Run(rs, run);
    Keep(k, run, best);
  }
  return best;
}

}  // namespace

Minimum StepOrderCont(RunState& rs) {
  Minimum run;
  DrawFeasible(
      rs, run.p, [&rs, &run] { Init(rs, run.p, rs.n0, &rs.idum); }, "StepOrderCont",
      StartKind::kBox, 0.0);
  Run(rs, run);
  return run;
}

Minimum StepOrderGlobal(RunState& rs) {
  Minimum best, run;
  best.f = kInf;
  for (int k = 1; k <= kRunsPerFamily; ++k) {
    DrawFeasible(
        rs, run.p, [&rs, &run] { Init(rs, run.p, rs.n0, &rs.idum); }, "StepOrderGlobal",
        StartKind::kBox, 0.0);
    Run(rs, run);
    Keep(k, run, best);
  }
  return best;
}

FamilyMinima StepOrderDiscont(RunState& rs) {
  FamilyMinima r;
  Minimum run;
  r.gel = Family(rs, StartKind::kGelRich, 0.2, run);
  r.fluid = Family(rs, StartKind::kFluidRich, 0.8 - rs.para.conc, run);
  r.iter = run.iter;
  return r;
}

// The draws of a search without its minimisations.  A search draws starts
// until Check accepts one, and a run that is repeated behind the wall starts
// again from its own start without drawing: so the number of draws depends
// on which drawn states Check rejects and never on a minimisation result.
// The parallel sweep relies on this to know the generator state at which
// every sweep point begins.
void StepOrderContDraws(RunState& rs) {
  StateVec scratch;
  DrawFeasible(
      rs, scratch, [&rs, &scratch] { Init(rs, scratch, rs.n0, &rs.idum); }, "StepOrderCont",
      StartKind::kBox, 0.0);
}

void StepOrderDiscontDraws(RunState& rs) {
  Minimum scratch;
  Family(rs, StartKind::kGelRich, 0.2, scratch, false);
  Family(rs, StartKind::kFluidRich, 0.8 - rs.para.conc, scratch, false);
}

}  // namespace chainmelt
