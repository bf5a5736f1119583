#include <gtest/gtest.h>

#include <cmath>

#include "model/model.hpp"

namespace chainmelt {
namespace {

TEST(Hessian, RandomMixingPointOfOneLipid) {
  Model m{2, 300, {}};
  m.para.dH = 36;
  m.para.w = 2;
  StateVec p;
  p[1] = 0.5;
  p[2] = 0.25;
  Matrix hes(1, 2, 1, 2), inv(1, 2, 1, 2);
  IVector indx(1, 2);
  EXPECT_EQ(HesseCalc(m, p, 2, hes), 0);
  EXPECT_EQ(hes.block(), std::vector<double>({0, 15600, -14400, -14400, 14400}));
  double det = 0;
  DetCalc(2, hes, indx, det);
  EXPECT_NEAR(det, 1728.0, 1e-9);

  HesseCalc(m, p, 2, hes);
  EXPECT_EQ(HesseInv(hes, inv, 2, indx), 0);
  EXPECT_NEAR(inv[1][1], 1.0 / 1200, 1e-15);
  EXPECT_NEAR(inv[1][2], 1.0 / 1200, 1e-15);
  EXPECT_NEAR(inv[2][1], 1.0 / 1200, 1e-15);
  EXPECT_NEAR(inv[2][2], 13.0 / 14400, 1e-15);
  EXPECT_NEAR(HeatCalc(m, 2, inv), 589.0 / 120000, 1e-15);
}

TEST(Hessian, WhichElementsAreWritten) {
  Model m{8, 310, {}};
  m.para.conc2 = 0.25;
  StateVec p;
  const double v[] = {0.375, 0.125, 0.140625, 0.015625, 0.046875, 0.046875, 0.046875, 0.046875};
  for (int i = 1; i <= 8; ++i) p[i] = v[i - 1];
  Matrix h(1, 8, 1, 8);
  for (int i = 1; i <= 8; ++i)
    for (int j = 1; j <= 8; ++j) h[i][j] = NAN;
  // Variants without a Hessian leave the matrix as it was.
  for (int n : {1, 3, 6}) {
    EXPECT_EQ(HesseCalc(m, p, n, h), 0);
    for (int i = 1; i <= 8; ++i)
      for (int j = 1; j <= 8; ++j) EXPECT_TRUE(std::isnan(h[i][j]));
  }
  HesseCalc(m, p, 8, h);
  for (int i = 1; i <= 8; ++i)
    for (int j = 1; j <= 8; ++j) EXPECT_TRUE(std::isfinite(h[i][j])) << i << "," << j;
  EXPECT_EQ(h[1][2], 0.0);
  EXPECT_EQ(h[1][4], 0.0);
  EXPECT_EQ(h[2][3], 0.0);
  EXPECT_EQ(h[3][4], 0.0);
}

TEST(Hessian, DeterminantScalesEveryDiagonalFactor) {
  // The product 1e320 would overflow; scaled per factor it is 1e320 / 1e64.
  Matrix d(1, 8, 1, 8);
  for (int i = 1; i <= 8; ++i) d[i][i] = 1e40;
  IVector indx(1, 8);
  double det = 0;
  DetCalc(8, d, indx, det);
  EXPECT_NEAR(det / 1e256, 1.0, 1e-12);
  // One row exchange: the sign is that of the determinant.
  Matrix s(1, 2, 1, 2);
  s[1][2] = s[2][1] = 100;
  DetCalc(2, s, indx, det);
  EXPECT_EQ(det, -1.0);
}

TEST(HeatCapacity, IdentityInverseGivesSquaredEnergyCoefficients) {
  Model m{2, 250, {}};
  Para& a = m.para;
  a.dH = 3.5;
  a.w = -0.7;
  a.dH2 = 0.9;
  a.dS = 11;  // plays no part
  Matrix id(1, 8, 1, 8);
  for (int i = 1; i <= 8; ++i) id[i][i] = 1;
  EXPECT_NEAR(HeatCalc(m, 2, id), (a.dH * a.dH + 9 * a.w * a.w) / m.T, 1e-14);
  const double c8 = (a.dH * a.dH + (a.dH + a.dH2) * (a.dH + a.dH2) + 54 * a.w * a.w) / m.T;
  EXPECT_NEAR(HeatCalc(m, 8, id), c8, 1e-14);
  // Components 5 to 7 carry no energy: their rows and columns do not count.
  for (int k = 5; k <= 7; ++k)
    for (int j = 1; j <= 8; ++j) id[k][j] = id[j][k] = 1e3 * k + j;
  EXPECT_NEAR(HeatCalc(m, 8, id), c8, 1e-14);
  EXPECT_EQ(HeatCalc(m, 1, id), 0.0);
  EXPECT_EQ(HeatCalc(m, 3, id), 0.0);
}

}  // namespace
}  // namespace chainmelt
