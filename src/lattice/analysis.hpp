// Error analysis of Monte Carlo time series: jackknife over blocks and the
// integrated autocorrelation time.
#pragma once

#include <cstddef>
#include <vector>

namespace chainmelt::lattice {

// Integrated autocorrelation time tau = 1/2 + sum_{t=1}^{W} rho(t) of the
// series x, with the window W the first t where W >= 6 tau(W) (automatic
// windowing).  `closed` is false when the window reached n/4 or 2000 lags
// first (the series is too short for its correlations).  Series longer than
// 65536 are averaged over bins first (see the source).  A constant series has
// tau 0.5.
struct Autocorrelation {
  double tau = 0.5;
  bool closed = true;
};
Autocorrelation IntegratedTime(const std::vector<double>& x);

// Mean and jackknife standard error of f(block means) for a series cut into
// `blocks` equal consecutive blocks (the last n mod blocks samples dropped):
// the value is f of the means over all used samples.
struct Estimate {
  double value = 0;
  double err = 0;
};

// Mean of x.
Estimate MeanOf(const std::vector<double>& x, int blocks);
// Variance <x^2> - <x>^2 of x (the samples centred on their first value to
// keep the difference exact).
Estimate VarianceOf(const std::vector<double>& x, int blocks);

}  // namespace chainmelt::lattice
