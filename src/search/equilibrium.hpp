// Searches that find what they look for at any energy scale: the global
// minimum of the free energy at a point, the coexistence enthalpy at a
// temperature, and the critical point where the coexistence line ends.
//
// None of them draws from the random generator: the equilibrium search starts
// from a fixed grid of states, so its result depends on the point alone (the
// same in every run and in any order of points, which also keeps parallel
// sweeps trivial).  None of them prints; what went wrong is returned as a
// status with a one-line reason.
#pragma once

#include <functional>

#include "model/run_state.hpp"
#include "model/variants.hpp"
#include "model/workspace.hpp"
#include "search/search.hpp"
#include "numeric/arrays.hpp"

namespace chainmelt {

// ---------------------------------------------------------------------------
// Equilibrium search.

// Which family a minimum belongs to, by its fluid share (FluidShare below).
// Where the search finds two or more distinct minima, those below the middle
// of the lowest and the highest share are gel-rich, the others fluid-rich.
// Where it finds one, the share decides: below 0.5 gel-rich, otherwise
// fluid-rich.  A change of family between two points is therefore a
// first-order transition only where one of the two points has two distinct
// minima (above the critical temperature the single minimum crosses 0.5
// smoothly).
enum class Branch { kGelRich, kFluidRich };

struct EquilibriumResult {
  // The lowest minimum (on an exact tie the larger fluid share) with the
  // iterations of the run that ended there; kSentinel where none was found.
  Minimum lowest;
  // The lowest gel-rich and the lowest fluid-rich minimum (both `lowest`
  // when only one distinct minimum was found).
  Minimum gel, fluid;
  // The distinct minima found, distinct[0 .. minima-1], in the order found.
  Minimum distinct[kMaxGridStarts];
  Branch branch = Branch::kGelRich;  // family of `lowest`
  double U = 0;          // equilibrium energy per site at `lowest`, F + T*S (EquilibriumEnergy)
  double share = 0;      // fluid share of `lowest` (FluidShare)
  int minima = 0;        // distinct minima found (states apart by more than 1e-6)
  bool two_sides = false;  // gel and fluid are distinct minima of the two families
  int newton_steps = 0;  // Newton steps that polished `lowest` (0 when not polished)
};

struct EquilibriumOptions {
  // Polish every minimum with Newton steps on the closed-form Hessian (pair
  // variants n0 = 2, 4, 5, 8; the ligand variants have none).
  bool polish = true;
  // Where given, tried from every start before conjugate gradients: true
  // with a minimum in p (its free energy in f, the steps it took in steps),
  // or false to leave the start to conjugate gradients.  The continuation
  // engine's damped Newton iteration reaches most minima from the grid in a
  // few steps, where conjugate gradients take dozens.
  std::function<bool(const Model& m, StateVec& p, double& f, int& steps)> first;
};

// The lowest minimum of the free energy at the current point (n0, T, para):
// every start of a fixed grid covering the feasible range of the fluid
// fraction(s), the pair probabilities at their random-mixing values, is
// minimised by conjugate gradients with +infinity outside the feasible region
// (no run can end infeasible), optionally polished, and the distinct minima
// are kept.  Where Newton steps polish, conjugate gradients stop at a coarser
// tolerance first and go on to ftol only where the polish does not converge.
//
// The alternative mode has no minimum to search for (its gradient vector is
// by design not that of its free energy, which is unbounded below there): its
// states are the zeros of that vector, found along a scan of the fluid
// fraction with p2 solved from its own component, and the lowest of them in
// free energy is taken.  iter is 0 there.
//
// work.hes is the working space of the polish.  The random generator is not
// touched.  The form without `work` allocates its own.
EquilibriumResult StepOrderEquilibrium(const RunState& rs, HesseWork& work,
                                       const EquilibriumOptions& options = {});
EquilibriumResult StepOrderEquilibrium(const RunState& rs, const EquilibriumOptions& options = {});

// Number of starts of the grid (9 along the fluid fraction for n0 = 1, 2, 4;
// 15 over fluid and component fraction for n0 = 5; 3 x 3 over the two fluid
// fractions for n0 = 8), or of scan points in the alternative mode (127).
int EquilibriumStarts(const Model& m);


// FluidShare(m, p), the fluid fraction of the lipid, is a member of each
// variant (model/variants.hpp).

// The energy per site U = F - T dF/dT at the fixed state p, so that
// F = U - T*S with the entropy S of the free energy: for the pair variants the
// free energy without its temperature terms, for n0 = 1 (and the alternative
// mode) also the binding enthalpy of the bound ligands.
double EquilibriumEnergy(const Model& m, const StateVec& p);

// ---------------------------------------------------------------------------
// Coexistence enthalpy.

enum class CoexistStatus {
  kFound,
  kBadTemperature,     // T <= 0 or not a number
  kEstimateNotFinite,  // the starting estimate is not a finite number
  kNoFeasibleMinimum,  // a point without any feasible minimum
  kNoSignChange,       // no transition within the physical range of dH
  kSinglePhase,        // the families never form distinct phases (above the critical T)
  kNotConverged,       // the two free energies differ at the root by more than allowed
};

// One line saying why no coexistence was recorded ("" for kFound).
const char* CoexistReason(CoexistStatus s);

struct CoexistOutcome {
  bool found = false;
  CoexistStatus status = CoexistStatus::kNoSignChange;
  double dH = 0;        // the root (also left in para.dH), or the last dH tried
  double estimate = 0;  // the starting estimate E
  double lo = 0, hi = 0;  // the final bracket of the root
  double gap = 0;       // |F(gel) - F(fluid)| at dH
  double gap_tol = 0;   // what the record allows for it
  int searches = 0;     // equilibrium searches made
  // The two phases at dH (the last search made); iter is that of its lowest
  // minimum.
  FamilyMinima phases;
};

// At the current T, the melting enthalpy dH at which the lowest gel-rich and
// the lowest fluid-rich minimum have equal free energy, the root of
// D(dH) = F(gel) - F(fluid).  D falls with dH (the fluid minimum holds more fluid
// chains), so the bracket starts at the estimate E of the coexistence task,
// half-width 1e-3 s with s = max(|E|, T|dS|), and moves outwards, doubling,
// up to 2 s from E.  Ends where only one family exists give the sign of D
// alone and are bisected until both ends hold two distinct minima; then
// TOMS 748 (Boost.Math) narrows the root to 1e-10 relative in dH.  Found when
// at the root the two minima are distinct states (fluid shares more than 1e-3
// apart) and |F(gel) - F(fluid)| is within gap_tol (the slope of D times the final
// bracket, plus the rounding of the free energies).  Leaves para.dH at the
// last dH tried.
CoexistOutcome CoexistRobust(RunState& rs, HesseWork& work);

// ---------------------------------------------------------------------------
// Critical point.

enum class CritStatus {
  kFound,
  kBadStart,         // T <= 0 or not a number at the start
  kNoCoexistence,    // no temperature of the reach gives coexistence
  kNoEnd,            // coexistence at every temperature of the reach
  kLineLeavesRange,  // the line ends, but not at a critical point (reason below)
};

const char* CritReason(CritStatus s);

struct CritOutcome {
  bool found = false;
  CritStatus status = CritStatus::kNoCoexistence;
  CoexistStatus end = CoexistStatus::kSinglePhase;  // why there is no coexistence above T_above
  double T = 0, dH = 0;          // the critical point (also left in T, para.dH)
  double T_below = 0, T_above = 0;  // coexistence at T_below, none at T_above
  double rel_width = 0;          // (T_above - T_below) / T: how far the tolerance was met
  double tol = 0;                // the relative tolerance asked for
  int coexist_searches = 0;
  Minimum state;  // the equilibrium state at the critical point
  double det = 0;  // its scaled Hessian determinant (NaN without a Hessian)
};

// The end of the coexistence line: from the start (para.dH, T) the
// temperature moves in steps of 5 % of T (doubling, never to T <= 0: a step
// down divides T by 1 + step) until one temperature has coexistence and one
// has none, and the interval is then halved until its width is below
// rel_tol * T.  The critical point is its middle, with the coexistence
// enthalpy of its lower end.  Coexistence needs phases more than 1e-3 apart in
// fluid share, so the end lies a little below the critical temperature (for
// n0 = 2 by about 1e-5 relative; closer than that, whether the search still
// resolves two phases is a matter of its resolution).  The start's para.dH
// is not needed: every temperature finds its own coexistence enthalpy.  A
// point with T <= 0 is outside the model.
// Leaves T, para.dH at the critical point.
CritOutcome CritRobust(RunState& rs, HesseWork& work, double rel_tol = 1e-6);

}  // namespace chainmelt
