#include "lattice/analysis.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace chainmelt::lattice {

namespace {
constexpr std::size_t kMaxLength = 1 << 16;  // values the window runs over
constexpr std::size_t kMaxLag = 2000;        // longest window
}  // namespace

namespace {

double Variance(const std::vector<double>& x) {
  double mean = 0;
  for (double v : x) mean += v;
  mean /= static_cast<double>(x.size());
  double c0 = 0;
  for (double v : x) c0 += (v - mean) * (v - mean);
  return c0 / static_cast<double>(x.size());
}

Autocorrelation Windowed(const std::vector<double>& x) {
  Autocorrelation out;
  const std::size_t n = x.size();
  if (n < 8) {
    out.closed = false;
    return out;
  }
  double mean = 0;
  for (double v : x) mean += v;
  mean /= static_cast<double>(n);
  double c0 = 0;
  for (double v : x) c0 += (v - mean) * (v - mean);
  c0 /= static_cast<double>(n);
  if (!(c0 > 0)) return out;
  double tau = 0.5;
  const std::size_t limit = std::min<std::size_t>(n / 4, kMaxLag);
  for (std::size_t t = 1; t <= limit; ++t) {
    double ct = 0;
    for (std::size_t i = 0; i + t < n; ++i) ct += (x[i] - mean) * (x[i + t] - mean);
    ct /= static_cast<double>(n - t);
    tau += ct / c0;
    if (static_cast<double>(t) >= 6 * tau) {
      out.tau = tau < 0.5 ? 0.5 : tau;
      return out;
    }
  }
  out.tau = tau;
  out.closed = false;
  return out;
}

}  // namespace

// Long series are first averaged over bins of b samples, to at most kMaxLength
// values.  The error of the mean is the same from both series,
// 2 tau var / n = 2 tau_b var_b / (n / b), so tau = b tau_b var_b / var.
Autocorrelation IntegratedTime(const std::vector<double>& x) {
  const std::size_t n = x.size();
  if (n <= kMaxLength) return Windowed(x);
  const std::size_t b = (n + kMaxLength - 1) / kMaxLength;
  std::vector<double> binned(n / b);
  for (std::size_t i = 0; i < binned.size(); ++i) {
    double s = 0;
    for (std::size_t k = 0; k < b; ++k) s += x[i * b + k];
    binned[i] = s / static_cast<double>(b);
  }
  Autocorrelation a = Windowed(binned);
  const double var = Variance(std::vector<double>(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(binned.size() * b)));
  const double var_b = Variance(binned);
  if (var > 0) a.tau = std::max(0.5, a.tau * static_cast<double>(b) * var_b / var);
  return a;
}

namespace {

// Jackknife of f(m1, m2) over block means of a and b.
template <typename F>
Estimate Jackknife(const std::vector<double>& a, const std::vector<double>& b, int blocks, F f) {
  Estimate e;
  const std::size_t n = a.size();
  const std::size_t len = blocks > 0 ? n / static_cast<std::size_t>(blocks) : 0;
  if (len == 0) {
    e.value = std::numeric_limits<double>::quiet_NaN();
    if (n > 0) {
      double sa = 0, sb = 0;
      for (std::size_t i = 0; i < n; ++i) sa += a[i], sb += b[i];
      e.value = f(sa / static_cast<double>(n), sb / static_cast<double>(n));
    }
    e.err = std::numeric_limits<double>::quiet_NaN();
    return e;
  }
  std::vector<double> ba(static_cast<std::size_t>(blocks)), bb(static_cast<std::size_t>(blocks));
  double ta = 0, tb = 0;
  for (int k = 0; k < blocks; ++k) {
    double sa = 0, sb = 0;
    for (std::size_t i = static_cast<std::size_t>(k) * len; i < static_cast<std::size_t>(k + 1) * len; ++i)
      sa += a[i], sb += b[i];
    ba[static_cast<std::size_t>(k)] = sa;
    bb[static_cast<std::size_t>(k)] = sb;
    ta += sa;
    tb += sb;
  }
  const double used = static_cast<double>(len) * blocks;
  e.value = f(ta / used, tb / used);
  const double rest = used - static_cast<double>(len);
  double mean = 0;
  std::vector<double> jk(static_cast<std::size_t>(blocks));
  for (int k = 0; k < blocks; ++k) {
    const std::size_t i = static_cast<std::size_t>(k);
    jk[i] = f((ta - ba[i]) / rest, (tb - bb[i]) / rest);
    mean += jk[i];
  }
  mean /= blocks;
  double s = 0;
  for (double v : jk) s += (v - mean) * (v - mean);
  e.err = std::sqrt(s * (blocks - 1) / blocks);
  return e;
}

}  // namespace

Estimate MeanOf(const std::vector<double>& x, int blocks) {
  return Jackknife(x, x, blocks, [](double m, double) { return m; });
}

Estimate VarianceOf(const std::vector<double>& x, int blocks) {
  if (x.empty()) return Jackknife(x, x, blocks, [](double, double) { return 0.0; });
  const double ref = x[0];
  std::vector<double> d(x.size()), d2(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    d[i] = x[i] - ref;
    d2[i] = d[i] * d[i];
  }
  return Jackknife(d, d2, blocks, [](double m1, double m2) { return m2 - m1 * m1; });
}

}  // namespace chainmelt::lattice
