// The lattice model: feasible region, starting states, free energy, gradient,
// Hessian and the observables derived from them.  Every routine reads the
// model (n0, T, para) it is given and nothing else.  Each is a thin dispatch
// to the members of the variant (model/variants.hpp says how to add one).
#pragma once

#include <cstdint>

#include "model/params.hpp"
#include "numeric/arrays.hpp"

namespace chainmelt {

// --- feasible region and starting states ---------------------------------
// True when every site fraction and pair probability of variant n is > 0.
bool Check(const Model& m, const StateVec& p, int n);
// Box draw of a random starting state (one ran0 draw per drawn component).
void Init(const Model& m, StateVec& p, int n, std::int32_t* idum);
// Phase start: p1 = x, the other components drawn at random.
void InitLipidPhase(const Model& m, StateVec& p, int n, double x, std::int32_t* idum);

// --- free energy and gradient -------------------------------------------
// Factorial of the integer part of x (1 for x < 1 and NaN).
double fak(double x);
// Free energy per site of p, or exactly kSentinel outside the feasible region.
double FreeCalc(const Model& m, const StateVec& p);
// Fills g[1..n0]; the zero vector outside the feasible region.
void DerCalc(const Model& m, const StateVec& p, StateVec& g);

// --- second derivatives and observables ---------------------------------
// Hessian of the free energy at p for n = 2, 4, 5, 8; other n leave h as it is.
int HesseCalc(const Model& m, const StateVec& p, int n, Matrix& h);
// LU-decomposes hes in place and leaves the scaled determinant in det.
void DetCalc(int n0, Matrix& hes, IVector& indx, double& det);
// ai = inverse of a; a is left holding its LU factors, indx the permutation.
int HesseInv(Matrix& a, Matrix& ai, int n, IVector& indx);
// Ligand coverage of the n0 = 1 model, or kSentinel.
double ThetaCalc(const Model& m, const StateVec& p);
// Heat capacity per site from the inverse Hessian m of variant n.
double HeatCalc(const Model& model, int n, const Matrix& m);

}  // namespace chainmelt
