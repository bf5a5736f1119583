// The exact lattice: Monte Carlo of the one-lipid model (n0 = 2) on an L x L
// periodic triangular lattice, as the reference for the pair approximation.
//
// Every site is one chain, gel (0) or fluid (1), with six neighbours.  A
// configuration with N_f fluid sites and N_ff fluid-fluid neighbour pairs has
// the energy E = dH*N_f + w*N_ff and the weight exp(-E/T + dS*N_f), with dH,
// dS and w the model's parameters as the run layer hands them over (dH and dS
// already derived from dHcal and Tm where dH was given as 0).
//
// Sites are updated by the three sublattices of the lattice (no two sites of
// one sublattice are neighbours), with Metropolis or heat-bath acceptance
// read from a table indexed by the site's state and its number of fluid
// neighbours.  The temperatures of a sweep run as replicas of one parallel
// tempering simulation; neighbouring temperatures exchange configurations.
//
// Reproducibility: each replica has its own random stream, derived from
// (seed, replica); the exchanges are decided in a fixed order on a stream of
// their own.  The threads take the replicas' sweeps between two exchange
// rounds as they come free, so a seed gives the same results, bit for bit, at
// any thread count and whatever else the machine is running.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/params.hpp"

namespace chainmelt::lattice {

// The couplings the lattice reads from a model.
struct Couplings {
  double dH = 0;  // melting enthalpy of one chain
  double dS = 0;  // melting entropy of one chain
  double w = 0;   // fluid-fluid neighbour interaction
};

// The couplings of `m`.  Throws std::invalid_argument (one line naming what is
// wrong) unless n0 is 2, the standard mode is on and dH, dS, w are finite.
Couplings CouplingsOf(const Model& m);

enum class Update {
  kMetropolis,  // flip with probability min(1, weight ratio)
  kHeatBath,    // draw the site's state from its conditional distribution
};

struct Settings {
  int L = 48;                   // lattice side: a multiple of 3 from 6 to 3000
  long equilibration = 2000;    // sweeps discarded at every temperature
  long sweeps = 20000;          // sweeps measured at every temperature
  std::uint64_t seed = 1;       // random seed (any value)
  int threads = 1;              // threads the replicas are spread over (>= 1)
  Update update = Update::kMetropolis;
  bool tempering = true;        // exchange replicas between neighbouring temperatures
  // Sweeps of every replica between two rounds of exchange attempts; the stop
  // and progress callbacks are heard once a round.
  long exchange_every = 1;
  int blocks = 32;              // blocks of the error analysis (8 ... 1024)
  // Temperatures of a smooth curve between the simulated ones, by
  // multiple-histogram reweighting of the measured series (each within the
  // simulated range; may be empty).
  std::vector<double> curve;
};

// One line saying what is wrong with `s` ("" when nothing is); the names are
// those of the settings (L, sweeps, equilibration, threads, blocks,
// exchange_every).
std::string CheckSettings(const Settings& s);

// Polled by the calling thread between rounds of sweeps (exchange_every
// sweeps; progress first, then stop).  `stop` returning true ends the
// simulation early (the result says so); `progress` hears the sweeps done of
// the total (equilibration included) at most `progress_every` sweeps apart and
// once at the end.  Either may be empty.  Neither is called from another
// thread; an exception either throws ends the run and leaves Simulate.
struct Control {
  std::function<bool()> stop;
  // Polled likewise: set (from anywhere, a signal handler included) it stops
  // the run as `stop` returning true does.
  const std::atomic<bool>* stop_flag = nullptr;
  std::function<void(long done, long total)> progress;
  long progress_every = 100;
};

// Measurements at one temperature, per site, with their standard errors
// (jackknife over `blocks` consecutive blocks of the measured sweeps).
struct Point {
  double T = 0;
  double U = 0, U_err = 0;        // <E>/N
  double Cp = 0, Cp_err = 0;      // (<E^2> - <E>^2) / (N T^2)
  double x_f = 0, x_f_err = 0;    // <N_f>/N
  double y_ff = 0, y_ff_err = 0;  // <N_ff>/(3N)
  double tau_E = 0;    // integrated autocorrelation time of E, in sweeps
  double tau_Nf = 0;   // the same for N_f
  long samples = 0;    // measured sweeps
  // False when a block is shorter than 10 autocorrelation times of E or N_f
  // (or the window of the estimate did not close): the errors are then
  // underestimated and the point needs more sweeps.
  bool reliable = false;
};

struct Result {
  int L = 0;
  std::vector<Point> points;  // in the order of the temperatures given
  // Accepted fraction of exchange attempts between the i-th and (i+1)-th
  // temperature in increasing order (size: temperatures - 1; empty when
  // tempering is off).
  std::vector<double> exchange_rate;
  std::vector<double> exchange_T;  // the temperatures in increasing order
  long sweeps_done = 0;            // sweeps made per replica, equilibration included
  bool interrupted = false;        // stopped through Control::stop or stop_flag
  bool reliable = false;           // every point reliable and not interrupted
  // The reweighted curve at Settings::curve (empty when none was asked for or
  // fewer than `blocks` sweeps were measured).  Its points carry no
  // autocorrelation times; each is reliable when the simulated points around
  // it are and the samples overlap (see reweight.hpp).
  std::vector<Point> curve;
};

// Simulates every temperature of `T` (all > 0 and finite; any order, repeats
// allowed) and measures them.  Throws std::invalid_argument for bad settings,
// temperatures or model (one line).  Interrupted during equilibration the
// points are empty; during measurement they hold what was measured so far
// (too few sweeps for any error: NaN errors).
Result Simulate(const Model& m, const std::vector<double>& T, const Settings& s,
                const Control& control = {});

// Thrown by Snapshot when Control::stop asks it to end.
class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error("the lattice simulation was interrupted") {}
};

// The configuration of one replica at temperature T after `sweeps` sweeps
// from a random start: row-major, site (x, y) at y*L + x, 1 fluid, 0 gel.
// Site (x, y) neighbours (x +- 1, y), (x, y +- 1), (x + 1, y - 1) and
// (x - 1, y + 1), periodically: drawn with row y shifted by y/2 sites to the
// right (a rhombus) the lattice is triangular.  Same seed, same picture.  `control` is polled
// every sweep (progress every progress_every sweeps); a stop throws
// Interrupted.
std::vector<std::uint8_t> Snapshot(const Model& m, double T, int L, std::uint64_t seed,
                                   long sweeps, Update update = Update::kMetropolis,
                                   const Control& control = {});

}  // namespace chainmelt::lattice
