#include "reflectance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "brdf_oracle.h"

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
  EXPECT_NEAR(std::tan(gw::kHalfPi), -2.2877332e7f,
              50.0f);  // libm and constant folding differ by an ulp
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

TEST(DiffuseTerm, FresnelLikeFactorsAndKnownAnswers) {
  EXPECT_EQ(gw::diffuseFresnelFactor(0.0f), 0.0f);      // grazing: no diffuse at all
  EXPECT_EQ(gw::diffuseFresnelFactor(1.0f), 0.96875f);  // 1 - 0.5^5, exact in float
  EXPECT_LT(gw::diffuseFresnelFactor(0.4f), gw::diffuseFresnelFactor(0.6f));
  // Normal incidence: 28/23 Rd (1 - Rs) (1 - 0.5^5)^3; three factors, not two.
  EXPECT_FLOAT_EQ(gw::diffuseTerm(0.8f, 0.5f, 1.0f, 1.0f),
                  static_cast<float>(28.0 * 0.8 / 23.0 * 0.5 * std::pow(0.96875, 3)));
  EXPECT_EQ(gw::diffuseTerm(0.8f, 1.0f, 0.7f, 0.7f), 0.0f);  // Rs = 1 leaves nothing diffuse
  EXPECT_EQ(gw::diffuseTerm(0.8f, 0.5f, 0.0f, 1.0f), 0.0f);  // viewed edge-on
  // The viewer's factor enters twice, the light's once: swapping them differs.
  EXPECT_NE(gw::diffuseTerm(1.0f, 0.0f, 0.3f, 0.9f), gw::diffuseTerm(1.0f, 0.0f, 0.9f, 0.3f));
}

TEST(LobeFactor, PeakIsotropyAndGuard) {
  EXPECT_EQ(gw::lobeFactor(100.0f, 3.0f, 1.0f, 0.0f, 0.0f), 1.0f);
  EXPECT_EQ(gw::lobeFactor(100.0f, 3.0f, kNaN, 0.5f, 0.5f), 1.0f);  // no exponent: the peak
  // A round lobe: hu^2 + hv^2 = 1 - hn^2 for a unit h, so the exponent is nu.
  const float hn = 0.8f, hu = 0.36f, hv = 0.48f;
  EXPECT_NEAR(gw::halfVectorExponent(20.0f, 20.0f, hu, hv, 1.0f - hn * hn), 20.0f, 2e-5f);
  EXPECT_NEAR(gw::lobeFactor(20.0f, 20.0f, hn, hu, hv), std::pow(0.8, 20), 1e-7);
  // nu pairs with u, nv with v.
  EXPECT_GT(gw::lobeFactor(1.0f, 50.0f, hn, 0.6f, 0.0f),
            gw::lobeFactor(50.0f, 1.0f, hn, 0.6f, 0.0f));
  EXPECT_TRUE(std::isinf(gw::specularTerm(1.0f, 0.0f, 0.5f, 1.0f, 1.0f)));  // unguarded
}

// The single-precision terms, composed as the deliverables compose them,
// against the double-precision oracle over a spread of directions.
TEST(BrdfTerms, AgreeWithTheOracle) {
  const oracle::Frame f{{0, 0, 1}, {1, 0, 0}, {0, 1, 0}};
  for (const auto& [nu, nv] : {std::pair{10.0f, 10.0f}, {200.0f, 3.0f}, {0.0f, 1000.0f}}) {
    for (double a = 0.1; a < 1.5; a += 0.35) {
      for (double b = 0.0; b < 6.2; b += 0.9) {
        const oracle::Vec k1 = oracle::unit({0.3, -0.2, 1.0});
        const oracle::Vec k2{std::sin(a) * std::cos(b), std::sin(a) * std::sin(b), std::cos(a)};
        const oracle::Vec h = oracle::unit(k1 + k2);
        auto c = [](double x) { return static_cast<float>(oracle::clamp01(x)); };
        const float nk1 = c(k1.z), nk2 = c(k2.z), hn = c(h.z), hk1 = c(oracle::dot(h, k1));
        const float hk2 = c(oracle::dot(h, k2));
        const float lobe =
            gw::lobeFactor(nu, nv, hn, static_cast<float>(h.x), static_cast<float>(h.y));
        const V3 hf{float(h.x), float(h.y), float(h.z)}, k2f{float(k2.x), float(k2.y), float(k2.z)};
        const float fs =
            gw::specularTerm(gw::lobeNormalisation(nu, nv), gw::maxOf(hk2, hk1),
                             gw::maxOf(nk2, nk1), lobe, gw::schlickFresnel(hf, k2f, 0.3f));
        const oracle::Terms want = oracle::evaluate(f, k1, k2, 0.8, 0.3, nu, nv);
        // Float inputs rounded once; exponents up to 1000 amplify that to ~1e-4.
        EXPECT_NEAR(gw::diffuseTerm(0.8f, 0.3f, nk1, nk2), want.diffuse,
                    1e-6 + 1e-5 * want.diffuse);
        EXPECT_NEAR(fs, want.specular, 1e-6 + 2e-4 * want.specular)
            << nu << " " << nv << " " << a << " " << b;
      }
    }
  }
}

}  // namespace
