// One fixed model and feasible state per variant, shared by the benchmarks.
#pragma once

#include <array>

#include "model/model.hpp"

namespace chainmelt::bench {

struct Variant {
  const char* name;
  Model model;
  StateVec point;
};

inline constexpr int kVariantCount = 6;

inline Model MakeModel(int n0, double T) {
  Model m;
  m.n0 = n0;
  m.T = T;
  m.para.w = -0.5;
  m.para.w2 = 0.3;
  m.para.dH = 10.0;
  m.para.dS = 3.0;
  m.para.e2 = 0.2;
  m.para.w3 = 0.1;
  m.para.dH2 = 1.0;
  m.para.dS2 = 0.5;
  m.para.conc = 0.25;
  m.para.conc2 = 0.25;
  m.para.z = 0.8;
  m.para.nu = 0;
  return m;
}

inline const std::array<Variant, kVariantCount>& Variants() {
  static const std::array<Variant, kVariantCount> v = [] {
    std::array<Variant, kVariantCount> a{};
    a[0] = {"n0=1 nu=5", MakeModel(1, 3.0), {}};
    a[0].model.para.nu = 5;
    a[0].point[1] = 0.4;
    a[1] = {"n0=2", MakeModel(2, 3.0), {}};
    a[1].point[1] = 0.5;
    a[1].point[2] = 0.3;
    a[2] = {"n0=4", MakeModel(4, 3.0), {}};
    a[2].point[1] = 0.25, a[2].point[2] = 0.0625, a[2].point[3] = 0.0625, a[2].point[4] = 0.0625;
    a[3] = {"n0=5", MakeModel(5, 3.0), {}};
    a[3].point[1] = 0.375, a[3].point[2] = 0.375, a[3].point[3] = 0.25, a[3].point[4] = 0.0625,
    a[3].point[5] = 0.25;
    a[4] = {"n0=8", MakeModel(8, 3.0), {}};
    const double p8[] = {0.375, 0.125, 0.140625, 0.015625, 0.046875, 0.046875, 0.046875, 0.046875};
    for (int i = 0; i < 8; ++i) a[4].point[i + 1] = p8[i];
    a[5] = {"alt nu=5", MakeModel(2, 3.0), {}};
    a[5].model.para.mode = kAltMode;
    a[5].model.para.nu = 5;
    a[5].model.para.conc2 = 0.3;
    a[5].point[1] = 0.4;
    a[5].point[2] = 0.5;
    return a;
  }();
  return v;
}

}  // namespace chainmelt::bench
