// Crout LU decomposition with implicit partial pivoting, and the forward and
// back substitution that solves with its factors.
#include "numeric/lu.hpp"

#include <cmath>

#include "numeric/fatal.hpp"

namespace chainmelt {

namespace {
// Stands in for an exactly zero pivot so that the elimination can go on.
constexpr double kTiny = 1.0e-20;
}  // namespace

void ludcmp(Matrix& a, int n, IVector& indx, double& d) {
  Vector rowscale(1, n);
  d = 1.0;
  for (int i = 1; i <= n; ++i) {
    double big = 0.0;
    for (int j = 1; j <= n; ++j) {
      const double t = std::fabs(a[i][j]);
      if (t > big) big = t;
    }
    if (big == 0.0) vornerror("Singular matrix in routine ludcmp");
    rowscale[i] = 1.0 / big;
  }
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i < j; ++i) {
      double sum = a[i][j];
      for (int k = 1; k < i; ++k) sum -= a[i][k] * a[k][j];
      a[i][j] = sum;
    }
    double big = 0.0;
    // Without a candidate that compares (only possible with NaN entries) the
    // pivot stays on the diagonal rather than on an undefined row.
    int piv = j;
    for (int i = j; i <= n; ++i) {
      double sum = a[i][j];
      for (int k = 1; k < j; ++k) sum -= a[i][k] * a[k][j];
      a[i][j] = sum;
      const double t = rowscale[i] * std::fabs(sum);
      if (t >= big) {
        big = t;
        piv = i;
      }
    }
    if (piv != j) {
      for (int k = 1; k <= n; ++k) {
        const double t = a[piv][k];
        a[piv][k] = a[j][k];
        a[j][k] = t;
      }
      d = -d;
      rowscale[piv] = rowscale[j];
    }
    indx[j] = piv;
    if (a[j][j] == 0.0) a[j][j] = kTiny;
    if (j < n) {
      const double t = 1.0 / a[j][j];
      for (int i = j + 1; i <= n; ++i) a[i][j] *= t;
    }
  }
}

void lubksb(const Matrix& a, int n, const IVector& indx, Vector& b) {
  int first = 0;
  for (int i = 1; i <= n; ++i) {
    const int r = indx[i];
    double s = b[r];
    b[r] = b[i];
    if (first != 0) {
      for (int j = first; j < i; ++j) s -= a[i][j] * b[j];
    } else if (s != 0.0) {
      first = i;
    }
    b[i] = s;
  }
  for (int i = n; i >= 1; --i) {
    double s = b[i];
    for (int j = i + 1; j <= n; ++j) s -= a[i][j] * b[j];
    b[i] = s / a[i][i];
  }
}

}  // namespace chainmelt
