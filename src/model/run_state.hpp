// The state of one run: the model, the sweep settings, the results of the
// equilibrium search, the history of the finite-difference tasks, the working
// matrices and the random generator.  Created once by the program entry and
// handed to the search and the tasks.
#pragma once

#include <cstdint>
#include <string>

#include "model/context.hpp"
#include "model/params.hpp"
#include "numeric/arrays.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {

struct RunState : Model {
  double T_min = 0, T_max = 0, dT = 0;
  std::string approx;  // first argument, read and never used
  std::string task;

  StateVec p0, p1, p2;  // indexed 1..n0, cleared at start
  double fret0 = 0, fret1 = 0, fret2 = 0;
  int iter = 0;

  Matrix hes, inv;  // [1..n0][1..n0]
  IVector indx;     // [1..n0]
  double det = 0;

  double heat = 0, hilfe = 0;
  double alt1 = 0, alt2 = 0, alt3 = 0;
  Vector pp;  // [1..2], the point (dH, T) of the critical-point search

  std::int32_t idum = kSeed;
  double ftol = 1e-15;

  // The opt-in equilibrium search ("--search equilibrium"): the tasks that
  // ask for the lowest minimum use it instead of their random starts.
  bool equilibrium = false;
  int branch = 0;      // family of the equilibrium state: 0 gel-rich, 1 fluid-rich
  int minima = 0;      // distinct minima found at the current point
  double U = 0;        // equilibrium energy per site, F + T*S
  // The previous point of an equilibrium heat curve.
  bool have_prev = false;
  int branch_prev = 0, minima_prev = 0;
  double U_prev = 0;

  // Records, progress lines and diagnostics of the run (not owned).
  RunContext* ctx = nullptr;

  // Sizes hes, inv, indx (by n0) and pp; clears everything they hold.
  void Allocate() {
    hes = Matrix(1, n0, 1, n0);
    inv = Matrix(1, n0, 1, n0);
    indx = IVector(1, n0);
    pp = Vector(1, 2);
    p0 = p1 = p2 = StateVec{};
  }
};

}  // namespace chainmelt
