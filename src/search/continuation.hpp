// Equilibrium curves by continuation.
//
// Along a sorted list of temperatures (or of melting enthalpies dH) every
// local minimum of the free energy is followed from point to point by Newton
// steps on the closed-form Hessian; the lowest is the equilibrium.  The
// global search runs only where it must: at the first and last point of
// every block of the sweep, and wherever a followed minimum vanishes or its
// Hessian turns indefinite.  A minimum found by a global search is followed
// both ways, so one that exists at the end of a block is followed back to
// where it appears.  Where the equilibrium passes from one minimum to
// another, distinct one, the crossing is found exactly (TOMS 748) and its
// latent heat reported there.
//
// Nothing is drawn from the random generator.  Blocks have a fixed size that
// does not depend on the number of threads; threads take whole blocks, and
// the curve is the same to the last bit at any thread count.
#pragma once

#include <functional>

#include <vector>

#include "model/params.hpp"
#include "numeric/arrays.hpp"

namespace chainmelt {

enum class SweepVar { kTemperature, kEnthalpy };

struct ContinuationOptions {
  SweepVar var = SweepVar::kTemperature;
  // Sweep points per block: the stride of the global searches.  Each block
  // starts and ends with one (the boundary points are shared), so a sweep of
  // N points makes ceil((N - 1) / block) + 1 of them, plus one wherever a
  // minimum vanishes.  400 keeps 2001-point sweeps at six and still gives
  // five blocks to share among threads; a minimum that appears and vanishes
  // again inside one block while no followed minimum vanishes is what a
  // smaller block would catch.
  int block = 400;
  int threads = 1;
  // Called on the calling thread between units of work (a global search, a
  // block); it may throw to end the curve (an interrupt): the other threads
  // finish their unit and the exception is passed on.
  std::function<void()> poll;
};

// The equilibrium at one sweep point.
struct CurvePoint {
  double x = 0;       // the sweep value (T, or dH)
  bool ok = false;    // false: no feasible minimum (F is then the sentinel)
  StateVec p;         // the equilibrium state
  double F = 0;       // its free energy per site
  double U = 0;       // its energy per site, F - T dF/dT
  double Cp = 0;      // heat capacity per site dU/dT along its minimum (at fixed dH)
  int branch = -1;    // the minimum it lies on, numbered in sweep order from 0
  int minima = 0;     // distinct minima known at this point
  int iterations = 0; // Newton steps spent here (plus the global search's, where one ran)
  bool global = false;  // a global search ran at this point
  // The equilibrium passed from another, distinct minimum since the previous
  // point without a located crossing (its latent heat is missing here).
  bool unresolved = false;
};

// A first-order transition between points `after` and `after` + 1.
struct Jump {
  int after = 0;
  double x = 0;       // where both minima have equal free energy (T*, or dH*)
  double latent = 0;  // U_to(x) - U_from(x)
  int from = -1, to = -1;  // branches
  double F = 0;       // the common free energy at x
  double U_from = 0, U_to = 0, Cp_from = 0, Cp_to = 0;
  StateVec p_from, p_to;
};

struct Curve {
  std::vector<CurvePoint> points;  // in the order of the input values
  std::vector<Jump> jumps;         // in sweep order
  int global_searches = 0;
  int failed_starts = 0;  // starts of a global search that failed (each caught)
  int branches = 0;       // distinct minima over the whole sweep
  // Intervals where the equilibrium passes between two distinct minima but
  // no crossing could be located: their latent heat is missing, and a record
  // there deserves a warning.
  int unresolved = 0;
};

// The equilibrium curve of `model` along xs (non-decreasing; throws
// std::invalid_argument otherwise).  The swept quantity of `model` is
// ignored.  In the ligand-activity mode, whose states are zeros of a vector
// field rather than minima, every point is a global search.
Curve TrackCurve(const Model& model, const std::vector<double>& xs,
                 const ContinuationOptions& options = {});

// The area rule: the trapezoid of Cp over each segment of one minimum
// (closed at a crossing with that minimum's own Cp there) plus the latent
// heats.  For a temperature sweep it equals U(last) - U(first) up to the
// trapezoid's error; it means nothing for a sweep in dH.
double IntegratedEnergy(const Curve& c);

// ---------------------------------------------------------------------------
// Coexistence and critical point on the same continuation.

enum class TrackedCoexistStatus {
  kFound,
  kBadTemperature,  // T <= 0 or not a number
  kNoMinimum,       // no feasible minimum in the range of dH
  kSinglePhase,     // the equilibrium changes continuously over the range (above T_c)
};

struct TrackedCoexist {
  TrackedCoexistStatus status = TrackedCoexistStatus::kSinglePhase;
  double dH = 0;            // coexistence enthalpy
  double F = 0;             // the common free energy there
  StateVec gel, fluid;      // the coexisting minima (lower and higher fluid share)
  double lo = 0, hi = 0;    // the range of dH searched
  int global_searches = 0;
  int iterations = 0;       // over every point of its continuations
};

// At the temperature of `model`: the dH at which two distinct minima have
// equal free energy and are the lowest, by a continuation in dH over the
// physical range around the estimate T dS - b w (b = 3, or 0.5 for n0 = 1;
// the n0 = 4 estimate of the coexistence task), half-width 2 s with
// s = max(|E|, T |dS|), on `points` sweep points.  Where there are several,
// the one nearest the estimate.
TrackedCoexist CoexistTracked(const Model& model, int points = 129);

struct TrackedCrit {
  bool found = false;
  double T = 0, dH = 0;       // the critical point
  double T_below = 0, T_above = 0;  // coexistence at T_below, none at T_above
  int coexist_searches = 0;
  bool bad_start = false;     // the start temperature is not a positive number
  bool coexist_at_start = false;  // without `found`: no end above, or no coexistence below
};

// The end of the coexistence line from the temperature of `model`: steps of
// 5 % (doubling) up or down to a temperature with and one without
// coexistence, then halving to rel_tol.
TrackedCrit CritTracked(const Model& model, double rel_tol = 1e-6, int points = 129);

}  // namespace chainmelt
