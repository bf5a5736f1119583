#include <gtest/gtest.h>

#include <cmath>

#include "model/model.hpp"

namespace chainmelt {
namespace {

Model PairModel(double T) {
  Model m;
  m.n0 = 2;
  m.T = T;
  return m;
}

TEST(Hessian, RandomMixingPointOfOneLipid) {
  Model m = PairModel(300);
  m.para.dH = 36;
  m.para.w = 2;
  StateVec p;
  p[1] = 0.5;
  p[2] = 0.25;
  Matrix hes(1, 2, 1, 2), inv(1, 2, 1, 2);
  IVector indx(1, 2);
  EXPECT_EQ(HesseCalc(m, p, 2, hes), 0);
  EXPECT_EQ(hes[1][1], 15600.0);
  EXPECT_EQ(hes[1][2], -14400.0);
  EXPECT_EQ(hes[2][1], -14400.0);
  EXPECT_EQ(hes[2][2], 14400.0);

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

TEST(Hessian, VariantsWithoutHessianLeaveTheMatrixAlone) {
  Model m = PairModel(300);
  StateVec p;
  p[1] = 0.5;
  p[2] = 0.25;
  p[3] = 0.1;
  for (int n : {1, 3, 6}) {
    Matrix h(1, 3, 1, 3);
    for (int i = 1; i <= 3; ++i)
      for (int j = 1; j <= 3; ++j) h[i][j] = 7.0;
    EXPECT_EQ(HesseCalc(m, p, n, h), 0);
    for (int i = 1; i <= 3; ++i)
      for (int j = 1; j <= 3; ++j) EXPECT_EQ(h[i][j], 7.0) << n;
  }
}

TEST(Hessian, TwoPopulationsDecoupledElementsAreExactZeros) {
  Model m = PairModel(310);
  m.n0 = 8;
  m.para.conc2 = 0.25;
  StateVec p;
  const double v[] = {0.375, 0.125, 0.140625, 0.015625, 0.046875, 0.046875, 0.046875, 0.046875};
  for (int i = 1; i <= 8; ++i) p[i] = v[i - 1];
  Matrix h(1, 8, 1, 8);
  for (int i = 1; i <= 8; ++i)
    for (int j = 1; j <= 8; ++j) h[i][j] = NAN;
  HesseCalc(m, p, 8, h);
  for (int i = 1; i <= 8; ++i)
    for (int j = 1; j <= 8; ++j) EXPECT_TRUE(std::isfinite(h[i][j])) << i << "," << j;
  EXPECT_EQ(h[1][2], 0.0);
  EXPECT_EQ(h[1][4], 0.0);
  EXPECT_EQ(h[2][3], 0.0);
  EXPECT_EQ(h[3][4], 0.0);
  EXPECT_EQ(h[4][3], 0.0);
}

TEST(Hessian, DeterminantScalesEveryDiagonalFactor) {
  // 1e320 would overflow; scaled per factor it is 1e320 / 1e64.
  Matrix d(1, 8, 1, 8);
  for (int i = 1; i <= 8; ++i) d[i][i] = 1e40;
  IVector indx(1, 8);
  double det = 0;
  DetCalc(8, d, indx, det);
  EXPECT_NEAR(det / 1e256, 1.0, 1e-12);

  // One row exchange: the sign is that of the determinant.
  Matrix s(1, 2, 1, 2);
  s[1][2] = 100;
  s[2][1] = 100;
  IVector ix(1, 2);
  DetCalc(2, s, ix, det);
  EXPECT_EQ(det, -1.0);
}

TEST(HeatCapacity, IdentityInverseGivesSquaredEnergyCoefficients) {
  Model m = PairModel(250);
  Para& a = m.para;
  a.dH = 3.5;
  a.w = -0.7;
  a.w2 = 0.4;
  a.w3 = 1.3;
  a.e2 = -2.2;
  a.dH2 = 0.9;
  a.dS = 11;   // plays no part
  a.conc = 0.3;
  Matrix id(1, 8, 1, 8);
  for (int i = 1; i <= 8; ++i) id[i][i] = 1;
  const double w2 = a.w * a.w;
  EXPECT_NEAR(HeatCalc(m, 2, id), (a.dH * a.dH + 9 * w2) / m.T, 1e-14);
  EXPECT_NEAR(HeatCalc(m, 4, id),
              (a.dH * a.dH + 9 * w2 + 36 * a.w3 * a.w3 + 9 * a.w2 * a.w2) / m.T, 1e-14);
  EXPECT_NEAR(HeatCalc(m, 5, id),
              (a.dH * a.dH + a.e2 * a.e2 + 9 * w2 + 36 * a.w3 * a.w3 + 9 * a.w2 * a.w2) / m.T,
              1e-14);
  const double c8 = (a.dH * a.dH + (a.dH + a.dH2) * (a.dH + a.dH2) + 54 * w2) / m.T;
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
