#include "reflectance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

struct V3 {
  float x, y, z;
  V3 operator/(float s) const { return {x / s, y / s, z / s}; }
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(SampleLobeAzimuth, ZeroAndIsotropicAndTopEnd) {
  for (float nu : {0.0f, 1.0f, 10.0f, 1000.0f}) {
    for (float nv : {0.0f, 5.0f, 10000.0f}) EXPECT_EQ(gw::sampleLobeAzimuth(nu, nv, 0.0f), 0.0f);
  }
  for (float u : {0.1f, 0.3f, 0.5f, 0.9f}) {
    // Round lobe: phi = pi u / 2, to a couple of ulps of the tan/atan pair.
    EXPECT_NEAR(gw::sampleLobeAzimuth(7.0f, 7.0f, u), 1.5707964f * u, 4e-7f);
  }
  // u = 1: the float pi/2 lies just above pi/2, so tan is huge and negative
  // and the azimuth comes out near -pi/2.
  EXPECT_NEAR(std::tan(gw::kHalfPi), -2.2877332e7f, 50.0f);  // libm and constant folding differ by an ulp
  EXPECT_NEAR(gw::sampleLobeAzimuth(10.0f, 10.0f, 1.0f), -1.5707963f, 1e-6f);
}

TEST(SampleLobeAzimuth, DomainErrorsAreNotGuarded) {
  EXPECT_TRUE(std::isnan(gw::sampleLobeAzimuth(3.0f, -3.0f, 0.5f)));  // negative ratio
  // nv = -1 divides by zero: the ratio is infinite, so the azimuth is +-pi/2.
  EXPECT_NEAR(std::fabs(gw::sampleLobeAzimuth(3.0f, -1.0f, 0.5f)), 1.5707964f, 1e-6f);
}

TEST(FoldLobeAzimuth, QuadrantBoundaries) {
  const float nu = 100.0f, nv = 3.0f;
  EXPECT_EQ(gw::foldLobeAzimuth(nu, nv, 0.0f), 0.0f);
  EXPECT_EQ(gw::foldLobeAzimuth(nu, nv, 0.25f), gw::kPi);     // second branch, S(0) = 0
  EXPECT_EQ(gw::foldLobeAzimuth(nu, nv, 0.5f), gw::kPi);      // third branch
  EXPECT_EQ(gw::foldLobeAzimuth(nu, nv, 0.75f), gw::kTwoPi);  // fourth branch
  // u1 = 1 (randomUnit can return it): 2 pi - S(1), close to 2.5 pi, the
  // same direction as pi / 2.
  const float top = gw::foldLobeAzimuth(nu, nv, 1.0f);
  EXPECT_NEAR(top, 2.5f * gw::kPi, 1e-5f);
  EXPECT_NEAR(std::cos(top), 0.0f, 1e-5f);
  EXPECT_NEAR(std::sin(top), 1.0f, 1e-5f);
  // Mirrored, not shifted: u1 and u1 + 0.25 give azimuths symmetric about
  // pi/2, u1 and u1 + 0.75 azimuths symmetric about 0.
  for (float u : {0.03125f, 0.125f, 0.1875f}) {
    EXPECT_NEAR(gw::foldLobeAzimuth(nu, nv, u) + gw::foldLobeAzimuth(nu, nv, u + 0.25f), gw::kPi,
                2e-6f);
    EXPECT_NEAR(gw::foldLobeAzimuth(nu, nv, u) + gw::foldLobeAzimuth(nu, nv, u + 0.75f), gw::kTwoPi,
                4e-6f);
  }
}

TEST(SchlickFresnel, KnownCosines) {
  const V3 z{0, 0, 1}, x{1, 0, 0}, mz{0, 0, -1};
  EXPECT_EQ(gw::schlickFresnel(z, z, 0.3f), 0.3f);    // c = 1 gives r
  EXPECT_EQ(gw::schlickFresnel(z, x, 0.3f), 1.0f);    // c = 0 gives 1
  EXPECT_EQ(gw::schlickFresnel(z, mz, 0.0f), 32.0f);  // c = -1, r = 0 gives 2^5
  EXPECT_GT(gw::schlickFresnel(z, mz, 0.5f), 1.0f);
  // c a little above 1 (not quite unit vectors): a negative power, slightly below r.
  const V3 longer{0, 0, 1.1f};
  EXPECT_LT(gw::schlickFresnel(z, longer, 0.3f), 0.3f);
  EXPECT_GT(gw::schlickFresnel(z, longer, 0.3f), 0.29f);
}

TEST(NormalizedCopy, UnitLengthAndZeroVector) {
  const V3 n = gw::normalizedCopy(V3{3, 0, 4});
  EXPECT_FLOAT_EQ(n.x, 0.6f);
  EXPECT_FLOAT_EQ(n.z, 0.8f);
  const V3 z = gw::normalizedCopy(V3{0, 0, 0});
  EXPECT_TRUE(std::isnan(z.x) && std::isnan(z.y) && std::isnan(z.z));
}

TEST(ScalarHelpers, ClampMaxAndSquareRoot) {
  EXPECT_EQ(gw::clampRange(0, 1, -0.5f), 0.0f);
  EXPECT_EQ(gw::clampRange(0, 1, 1.5f), 1.0f);
  EXPECT_EQ(gw::clampRange(0, 1, 0.25f), 0.25f);
  EXPECT_TRUE(std::isnan(gw::clampRange(0, 1, kNaN)));
  // Tie and NaN behaviour: the first argument wins.
  EXPECT_TRUE(std::signbit(gw::maxOf(-0.0f, 0.0f)));
  EXPECT_EQ(gw::maxOf(2.0f, kNaN), 2.0f);
  EXPECT_TRUE(std::isnan(gw::maxOf(kNaN, 2.0f)));
  EXPECT_EQ(gw::maxOf(1.0f, 3.0f), 3.0f);
  EXPECT_EQ(gw::squareRoot(9.0f), 3.0f);
  EXPECT_TRUE(std::isnan(gw::squareRoot(-1.0f)));
}

TEST(SampleHalfVector, UnitLengthAroundTheNormal) {
  const V3 t{1, 0, 0}, b{0, 1, 0}, n{0, 0, 1};
  for (float u1 : {0.0f, 0.2f, 0.4f, 0.6f, 0.99f, 1.0f}) {
    for (float u2 : {0.0f, 0.5f, 1.0f}) {
      const V3 h = gw::sampleHalfVector(40.0f, 5.0f, u1, u2, t, b, n);
      EXPECT_NEAR(h.x * h.x + h.y * h.y + h.z * h.z, 1.0f, 1e-5f);
      EXPECT_GE(h.z, 0.0f);
    }
  }
  // u2 = 1: the half vector is the normal itself.
  const V3 h = gw::sampleHalfVector(40.0f, 5.0f, 0.3f, 1.0f, t, b, n);
  EXPECT_EQ(h.z, 1.0f);
}

}  // namespace
