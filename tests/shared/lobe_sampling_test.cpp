// Goodness of fit of the sampled half vectors against the published
// Ashikhmin-Shirley half-vector density
//   p_h(h) = sqrt((nu + 1)(nv + 1)) / (2 pi) * (n.h)^(nu cos^2 phi + nv sin^2 phi)
// (per unit solid angle). A theta x phi histogram of 10^6 samples is compared
// with expected counts integrated from p_h; the generator is seeded, so the
// verdict is the same on every run.
#include "random.h"
#include "reflectance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

namespace {

struct V3 {
  float x, y, z;
};

constexpr int kThetaBins = 80;  // uniform in t = sqrt(1 - cos theta)
constexpr int kPhiBins = 36;
constexpr int kSamples = 1000000;
// Three configurations tested: Sidak-corrected level for an overall 0.01.
const double kAlpha = 1.0 - std::pow(1.0 - 0.01, 1.0 / 3.0);

// Regularised upper incomplete gamma Q(a, x), series or continued fraction.
double gammaQ(double a, double x) {
  if (x <= 0) return 1.0;
  const double lnPre = -x + a * std::log(x) - std::lgamma(a);
  if (x < a + 1) {
    double sum = 1.0 / a, term = sum;
    for (int n = 1; n < 100000; ++n) {
      term *= x / (a + n);
      sum += term;
      if (std::fabs(term) < std::fabs(sum) * 1e-15) break;
    }
    return 1.0 - sum * std::exp(lnPre);
  }
  double b = x + 1 - a, c = 1e300, d = 1 / b, h = d;
  for (int i = 1; i < 100000; ++i) {
    const double an = -i * (i - a);
    b += 2;
    d = an * d + b;
    if (std::fabs(d) < 1e-300) d = 1e-300;
    c = b + an / c;
    if (std::fabs(c) < 1e-300) c = 1e-300;
    d = 1 / d;
    const double del = d * c;
    h *= del;
    if (std::fabs(del - 1) < 1e-15) break;
  }
  return std::exp(lnPre) * h;
}

// Density of (t, phi) with cos theta = 1 - t^2: p_h * |d(cos theta)/dt| = p_h * 2t.
double densityTPhi(double nu, double nv, double t, double phi) {
  const double c = std::cos(phi), s = std::sin(phi);
  const double cosTheta = 1 - t * t;
  const double norm = std::sqrt((nu + 1) * (nv + 1)) / (2 * M_PI);
  return norm * std::pow(cosTheta, nu * c * c + nv * s * s) * 2 * t;
}

std::vector<double> expectedCounts(double nu, double nv) {
  // 6-point Gauss-Legendre in each direction of each cell.
  static const double gx[6] = {-0.9324695142, -0.6612093865, -0.2386191861,
                               0.2386191861,  0.6612093865,  0.9324695142};
  static const double gw[6] = {0.1713244924, 0.3607615730, 0.4679139346,
                               0.4679139346, 0.3607615730, 0.1713244924};
  std::vector<double> e(kThetaBins * kPhiBins);
  const double dt = 1.0 / kThetaBins, dp = 2 * M_PI / kPhiBins;
  for (int i = 0; i < kThetaBins; ++i) {
    for (int j = 0; j < kPhiBins; ++j) {
      // Subdivide each cell 4 x 4 so that the narrow lobes are resolved.
      double sum = 0;
      for (int si = 0; si < 4; ++si) {
        for (int sj = 0; sj < 4; ++sj) {
          const double t0 = (i + si / 4.0) * dt, p0 = (j + sj / 4.0) * dp;
          for (int a = 0; a < 6; ++a) {
            for (int b = 0; b < 6; ++b) {
              const double t = t0 + (gx[a] + 1) * dt / 8, p = p0 + (gx[b] + 1) * dp / 8;
              sum += gw[a] * gw[b] * densityTPhi(nu, nv, t, p) * (dt / 8) * (dp / 8);
            }
          }
        }
      }
      e[i * kPhiBins + j] = sum * kSamples;
    }
  }
  return e;
}

using Sampler = std::function<V3(float nu, float nv, float u1, float u2)>;

V3 sampleShared(float nu, float nv, float u1, float u2) {
  return gw::sampleHalfVector(nu, nv, u1, u2, V3{1, 0, 0}, V3{0, 1, 0}, V3{0, 0, 1});
}

// Returns the p-value of the chi-square statistic.
double chiSquarePValue(float nu, float nv, const Sampler& sampler) {
  std::vector<double> observed(kThetaBins * kPhiBins, 0.0);
  gw::RandomSource rs = gw::unseededRandomSource();
  gw::seedRandom(rs, 20261207u);
  for (int k = 0; k < kSamples; ++k) {
    const gw::UnitPair u = gw::randomUnitPair(rs);
    const V3 h = sampler(nu, nv, u.u1, u.u2);
    const double t = std::sqrt(std::fmax(0.0, 1.0 - static_cast<double>(h.z)));
    double phi = std::atan2(static_cast<double>(h.y), static_cast<double>(h.x));
    if (phi < 0) phi += 2 * M_PI;
    const int i = std::min(kThetaBins - 1, static_cast<int>(t * kThetaBins));
    const int j = std::min(kPhiBins - 1, static_cast<int>(phi / (2 * M_PI) * kPhiBins));
    observed[i * kPhiBins + j] += 1;
  }
  const std::vector<double> expected = expectedCounts(nu, nv);
  // Pool every cell whose expected count is below 5 into one.
  double chi2 = 0, pooledObs = 0, pooledExp = 0;
  int cells = 0;
  for (size_t c = 0; c < expected.size(); ++c) {
    if (expected[c] < 5) {
      pooledObs += observed[c];
      pooledExp += expected[c];
    } else {
      chi2 += (observed[c] - expected[c]) * (observed[c] - expected[c]) / expected[c];
      ++cells;
    }
  }
  if (pooledExp > 0) {
    chi2 += (pooledObs - pooledExp) * (pooledObs - pooledExp) / std::fmax(pooledExp, 5.0);
    ++cells;
  }
  return gammaQ((cells - 1) / 2.0, chi2 / 2.0);
}

struct Lobe {
  float nu, nv;
};
const Lobe kLobes[] = {{10, 10}, {1000, 10}, {10, 1000}};

TEST(LobeSampling, HalfVectorsFollowThePublishedDensity) {
  for (const Lobe& l : kLobes) {
    EXPECT_GT(chiSquarePValue(l.nu, l.nv, sampleShared), kAlpha) << "nu " << l.nu << " nv " << l.nv;
  }
}

// The test must have the power to see the faults it exists for.
TEST(LobeSampling, RejectsSwappedExponents) {
  const Sampler swapped = [](float nu, float nv, float u1, float u2) {
    return sampleShared(nv, nu, u1, u2);
  };
  EXPECT_LT(chiSquarePValue(1000, 10, swapped), kAlpha);
  EXPECT_LT(chiSquarePValue(10, 1000, swapped), kAlpha);
}

TEST(LobeSampling, RejectsAShiftedQuadrant) {
  // Second quadrant shifted by pi/2 instead of mirrored about pi/2.
  const Sampler shifted = [](float nu, float nv, float u1, float u2) {
    if (u1 >= 0.25f && u1 < 0.5f) {
      const float phi = gw::sampleLobeAzimuth(nu, nv, 4.0f * (u1 - 0.25f)) + 0.5f * gw::kPi;
      const float c = std::cos(phi), s = std::sin(phi);
      const float ct = gw::sampleLobeCosTheta(nu, nv, c, s, u2);
      const float st = std::sqrt(1 - ct * ct);
      return V3{st * c, st * s, ct};
    }
    return sampleShared(nu, nv, u1, u2);
  };
  EXPECT_LT(chiSquarePValue(1000, 10, shifted), kAlpha);
  EXPECT_LT(chiSquarePValue(10, 1000, shifted), kAlpha);
}

}  // namespace
