#include "lattice/kernel.hpp"

#include <cmath>

namespace chainmelt::lattice {

namespace {

std::uint64_t Threshold(double p) {
  if (!(p > 0)) return 0;
  if (p >= 1) return 1ULL << 32;
  return static_cast<std::uint64_t>(std::llround(std::ldexp(p, 32)));
}

}  // namespace

Table MakeTable(const Couplings& c, double T, Update update) {
  Table t{};
  for (int k = 0; k <= 6; ++k) {
    // Log of the weight of the fluid state over the gel state of a site with
    // k fluid neighbours.
    const double a = -(c.dH + c.w * k) / T + c.dS;
    double from_gel, from_fluid;  // probability to be fluid after the update
    if (update == Update::kHeatBath) {
      from_gel = from_fluid = 1 / (1 + std::exp(-a));
    } else {
      from_gel = a >= 0 ? 1 : std::exp(a);
      from_fluid = a <= 0 ? 0 : -std::expm1(-a);
    }
    t.p[k] = Threshold(from_gel);
    t.p[7 + k] = Threshold(from_fluid);
  }
  return t;
}

Lattice::Lattice(int L) : L_(L), M_(L / 3), stride_(L / 3 + 2), s_(static_cast<std::size_t>(L) * 3 * (L / 3 + 2), 0) {}

void Lattice::Set(int x, int y, std::uint8_t v) {
  const int r = x % 3;
  std::uint8_t* seg = Seg(y, r);
  seg[x / 3] = v;
  seg[-1] = seg[M_ - 1];
  seg[M_] = seg[0];
}

void Lattice::Count(std::int64_t& nf, std::int64_t& nff) const {
  nf = nff = 0;
  for (int y = 0; y < L_; ++y) {
    const int yp = (y + 1) % L_;
    for (int x = 0; x < L_; ++x) {
      const int xp = (x + 1) % L_, xm = (x + L_ - 1) % L_;
      const int n = Get(x, y);
      nf += n;
      // The three bonds to (x + 1, y), (x, y + 1), (x - 1, y + 1).
      nff += n * (Get(xp, y) + Get(x, yp) + Get(xm, yp));
    }
  }
}

// Sites of sublattice c are those with (x - y) mod 3 = c: in row y the
// residue r = (c + y) mod 3.  The six neighbours of (3j + r, y) sit at
// position j (shifted by one for the wrap of residue 2 to 0 and 0 to 2) of
// segments of rows y, y - 1 and y + 1.
void Lattice::Sweep(const Table& t, Rng& rng_ref, std::int64_t& nf, std::int64_t& nff) {
  Rng rng = rng_ref;
  std::int64_t dnf = 0, dnff = 0;
  const std::uint64_t* p = t.p;
  for (int c = 0; c < 3; ++c) {
    for (int y = 0; y < L_; ++y) {
      const int r = (c + y) % 3;
      const int rp = r == 2 ? 0 : r + 1, rm = r == 0 ? 2 : r - 1;
      const int jp = r == 2 ? 1 : 0, jm = r == 0 ? -1 : 0;
      const int yp = y + 1 == L_ ? 0 : y + 1, ym = y == 0 ? L_ - 1 : y - 1;
      std::uint8_t* cur = Seg(y, r);
      const std::uint8_t* a = Seg(y, rp, jp);    // (x + 1, y)
      const std::uint8_t* b = Seg(y, rm, jm);    // (x - 1, y)
      const std::uint8_t* u = Seg(yp, r);        // (x, y + 1)
      const std::uint8_t* d = Seg(ym, r);        // (x, y - 1)
      const std::uint8_t* e = Seg(ym, rp, jp);   // (x + 1, y - 1)
      const std::uint8_t* f = Seg(yp, rm, jm);   // (x - 1, y + 1)
      int j = 0;
      for (; j + 1 < M_; j += 2) {
        const std::uint64_t bits = rng.Next();
        {
          const int k = a[j] + b[j] + u[j] + d[j] + e[j] + f[j];
          const int old = cur[j];
          const int now = (bits & 0xffffffffULL) < p[old * 7 + k];
          cur[j] = static_cast<std::uint8_t>(now);
          dnf += now - old;
          dnff += (now - old) * k;
        }
        {
          const int i = j + 1;
          const int k = a[i] + b[i] + u[i] + d[i] + e[i] + f[i];
          const int old = cur[i];
          const int now = (bits >> 32) < p[old * 7 + k];
          cur[i] = static_cast<std::uint8_t>(now);
          dnf += now - old;
          dnff += (now - old) * k;
        }
      }
      if (j < M_) {
        const std::uint64_t bits = rng.Next();
        const int k = a[j] + b[j] + u[j] + d[j] + e[j] + f[j];
        const int old = cur[j];
        const int now = (bits & 0xffffffffULL) < p[old * 7 + k];
        cur[j] = static_cast<std::uint8_t>(now);
        dnf += now - old;
        dnff += (now - old) * k;
      }
      cur[-1] = cur[M_ - 1];
      cur[M_] = cur[0];
    }
  }
  nf += dnf;
  nff += dnff;
  rng_ref = rng;
}

}  // namespace chainmelt::lattice
