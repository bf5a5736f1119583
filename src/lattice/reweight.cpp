#include "lattice/reweight.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

namespace chainmelt::lattice {

namespace {

double Energy(const Couplings& c, std::int32_t nf, std::int32_t nff) {
  return c.dH * static_cast<double>(nf) + c.w * static_cast<double>(nff);
}

double Fermi(double a) { return a > 0 ? std::exp(-a) / (1 + std::exp(-a)) : 1 / (1 + std::exp(a)); }

}  // namespace

std::vector<double> NeighbourFreeEnergies(const Couplings& c, const Series& s) {
  const std::size_t R = s.T.size();
  std::vector<double> df(R > 0 ? R - 1 : 0, 0.0);
  const auto n = static_cast<std::size_t>(s.n);
  std::vector<double> du0(n), du1(n);
  for (std::size_t k = 0; k + 1 < R; ++k) {
    const double db = 1 / s.T[k + 1] - 1 / s.T[k];
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (std::size_t i = 0; i < n; ++i) {
      du0[i] = db * Energy(c, s.nf[k][i], s.nff[k][i]);
      du1[i] = db * Energy(c, s.nf[k + 1][i], s.nff[k + 1][i]);
      lo = std::min({lo, du0[i], du1[i]});
      hi = std::max({hi, du0[i], du1[i]});
    }
    // g(df) = sum_k F(du - df) - sum_{k+1} F(df - du) rises with df, is
    // negative below every du and positive above: bisection, each step
    // halving [lo, hi], until the bracket is below 1e-12 relative.
    lo -= 1;
    hi += 1;
    for (int it = 0; it < 200 && hi - lo > 1e-12 * std::max(1.0, std::abs(lo) + std::abs(hi)); ++it) {
      const double mid = 0.5 * (lo + hi);
      double g = 0;
      for (std::size_t i = 0; i < n; ++i) g += Fermi(du0[i] - mid) - Fermi(mid - du1[i]);
      (g > 0 ? hi : lo) = mid;
    }
    df[k] = 0.5 * (lo + hi);
  }
  return df;
}

std::vector<Point> ReweightCurve(const Couplings& c, long N, const Series& s, const std::vector<Point>& simulated,
                                 const std::vector<double>& curve, int blocks) {
  const std::size_t R = s.T.size();
  std::vector<double> f(R, 0.0);
  const std::vector<double> df = NeighbourFreeEnergies(c, s);
  for (std::size_t k = 0; k + 1 < R; ++k) f[k + 1] = f[k] + df[k];
  const auto n = static_cast<std::size_t>(s.n);
  const std::size_t len = n / static_cast<std::size_t>(blocks);
  const double dN = static_cast<double>(N);

  std::vector<Point> out;
  std::vector<double> logw, E;
  std::vector<std::size_t> block;
  std::vector<double> bw(static_cast<std::size_t>(blocks)), bE(bw.size()), bE2(bw.size()), bF(bw.size()),
      bP(bw.size());
  for (double Tt : curve) {
    Point p;
    p.T = Tt;
    // The simulated pair around Tt and the window of up to four around it.
    std::size_t k = 0;
    while (k + 2 < R && s.T[k + 1] <= Tt) ++k;
    const std::size_t first = k > 0 ? k - 1 : 0, last = std::min(R - 1, k + 2);
    logw.clear();
    E.clear();
    block.clear();
    std::vector<std::pair<std::int32_t, std::int32_t>> counts;
    for (std::size_t m = first; m <= last; ++m) {
      for (std::size_t i = 0; i < len * static_cast<std::size_t>(blocks); ++i) {
        const double e = Energy(c, s.nf[m][i], s.nff[m][i]);
        // log of exp(-E/Tt) / sum_l exp(f_l - E/T_l); the dS N_f parts cancel.
        double top = -std::numeric_limits<double>::infinity();
        for (std::size_t l = first; l <= last; ++l) top = std::max(top, f[l] - e / s.T[l]);
        double sum = 0;
        for (std::size_t l = first; l <= last; ++l) sum += std::exp(f[l] - e / s.T[l] - top);
        logw.push_back(-e / Tt - top - std::log(sum));
        E.push_back(e);
        block.push_back(i / len);
        counts.emplace_back(s.nf[m][i], s.nff[m][i]);
      }
    }
    const double shift = *std::max_element(logw.begin(), logw.end());
    const double ref = E.empty() ? 0 : E[0];
    std::fill(bw.begin(), bw.end(), 0.0);
    std::fill(bE.begin(), bE.end(), 0.0);
    std::fill(bE2.begin(), bE2.end(), 0.0);
    std::fill(bF.begin(), bF.end(), 0.0);
    std::fill(bP.begin(), bP.end(), 0.0);
    double sw = 0, sw2 = 0;
    for (std::size_t i = 0; i < logw.size(); ++i) {
      const double w = std::exp(logw[i] - shift), d = E[i] - ref;
      const std::size_t b = block[i];
      bw[b] += w;
      bE[b] += w * d;
      bE2[b] += w * d * d;
      bF[b] += w * counts[i].first;
      bP[b] += w * counts[i].second;
      sw += w;
      sw2 += w * w;
    }
    // Estimates from sums (all blocks, or all but one).
    auto estimate = [&](double w, double e, double e2, double fl, double pr, double* v) {
      const double me = e / w;
      v[0] = (ref + me) / dN;
      v[1] = (e2 / w - me * me) / (dN * Tt * Tt);
      v[2] = fl / w / dN;
      v[3] = pr / w / (3 * dN);
    };
    double tw = 0, tE = 0, tE2 = 0, tF = 0, tP = 0;
    for (int b = 0; b < blocks; ++b) {
      const auto i = static_cast<std::size_t>(b);
      tw += bw[i], tE += bE[i], tE2 += bE2[i], tF += bF[i], tP += bP[i];
    }
    double all[4], jk[4], mean[4] = {0, 0, 0, 0}, sq[4] = {0, 0, 0, 0};
    estimate(tw, tE, tE2, tF, tP, all);
    std::vector<std::array<double, 4>> leave(static_cast<std::size_t>(blocks));
    for (int b = 0; b < blocks; ++b) {
      const auto i = static_cast<std::size_t>(b);
      estimate(tw - bw[i], tE - bE[i], tE2 - bE2[i], tF - bF[i], tP - bP[i], jk);
      for (int q = 0; q < 4; ++q) {
        leave[i][static_cast<std::size_t>(q)] = jk[q];
        mean[q] += jk[q] / blocks;
      }
    }
    for (int b = 0; b < blocks; ++b)
      for (int q = 0; q < 4; ++q) {
        const double d = leave[static_cast<std::size_t>(b)][static_cast<std::size_t>(q)] - mean[q];
        sq[q] += d * d;
      }
    double err[4];
    for (int q = 0; q < 4; ++q) err[q] = std::sqrt(sq[q] * (blocks - 1) / blocks);
    p.U = all[0], p.U_err = err[0];
    p.Cp = all[1], p.Cp_err = err[1];
    p.x_f = all[2], p.x_f_err = err[2];
    p.y_ff = all[3], p.y_ff_err = err[3];
    p.tau_E = p.tau_Nf = 0;
    p.samples = static_cast<long>(logw.size());
    const double n_eff = sw * sw / sw2;
    p.reliable = simulated[k].reliable && simulated[std::min(k + 1, R - 1)].reliable && n_eff >= 0.1 * static_cast<double>(n);
    out.push_back(p);
  }
  return out;
}

}  // namespace chainmelt::lattice
