// No heap allocation on the hosts' per-sample paths as the preview drives
// them: a camera ray's hit shaded through each host, with its light data or
// light samples, shadow rays, traced reflections and the environment's
// misses. operator new (and, outside the sanitizers, malloc) is counted
// around many hits after a warm-up hit.
#include <gtest/gtest.h>

#include "allocation_counter.h"
#include "backend.h"
#include "environment.h"
#include "environment_setup.h"
#include "scene.h"
#include "test_util.h"

namespace gwp {
namespace {

// A map with a bright spot over a sky gradient, made here.
std::shared_ptr<const gwst::Environment> skyMap() {
  gwst::LatLongImage image;
  image.height = 32;
  image.width = 64;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const float v = (x == 20 && y == 6) ? 500.0f : 1.0f - static_cast<float>(y) / 32.0f;
      image.pixels.push_back({v, v, v});
    }
  }
  return std::make_shared<const gwst::Environment>(std::move(image), gwst::EnvironmentParams{});
}

// The host, and whether an environment map lights the scene (otherwise the
// studio's key and fill lights).
class HostAllocation : public ::testing::TestWithParam<std::tuple<Host, bool>> {};

TEST_P(HostAllocation, ShadingACameraHitAllocatesNothing) {
  const auto [host, environment] = GetParam();
  Scene scene = defaultScene();
  if (environment) lightWithEnvironment(scene, skyMap());
  Material hero = test::defaultMaterial();
  hero.at("reflectivity")[0] = 0.8;  // traced rays: hits on other spheres and misses
  hero.at("reflectSamples")[0] = 4.0;
  const std::vector<Material> materials{floorMaterial(test::builtSchema()), hero};
  std::string error;
  auto backend = createBackend(host, scene, materials, LibraryPaths{}, error);
  ASSERT_TRUE(backend) << error;
  auto ctx = backend->newContext();
  const SlotMaterials slots{1, 0};
  constexpr int kSize = 24;
  const auto shadeAll = [&](int sample) {
    Rgb sum;
    for (int y = 0; y < kSize; ++y) {
      for (int x = 0; x < kSize; ++x) {
        const Ray ray = scene.camera.primaryRay(static_cast<float>(x) + 0.5f,
                                                static_cast<float>(y) + 0.5f, kSize, kSize);
        const auto hit = scene.intersect(ray, 0.0f, 1e30f);
        if (!hit) {
          sum += scene.environment.radiance(ray.dir);
          continue;
        }
        ctx->setCameraSample(x, y, sample);
        sum += ctx->shadeCameraHit(ray, *hit, slots);
      }
    }
    return sum;
  };
  shadeAll(0);  // warm-up: the libraries' entry points and random sources
  long allocations = 0;
  Rgb sum;
  {
    const AllocationCount count;
    sum = shadeAll(1);
    allocations = count();
  }
  EXPECT_EQ(allocations, 0);
  EXPECT_TRUE(isFinite(sum));
  EXPECT_GT(sum.y, 0.0f);
}

std::vector<Host> builtHosts() {
  std::vector<Host> hosts;
#ifdef GLINTWEAVE_PREVIEW_HAVE_MAYA
  hosts.push_back(Host::kMaya);
#endif
#ifdef GLINTWEAVE_PREVIEW_HAVE_MENTALRAY
  hosts.push_back(Host::kMentalRay);
#endif
  return hosts;
}

INSTANTIATE_TEST_SUITE_P(
    Preview, HostAllocation,
    ::testing::Combine(::testing::ValuesIn(builtHosts()), ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<Host, bool>>& p) {
      return std::string(hostName(std::get<0>(p.param))) +
             (std::get<1>(p.param) ? "_environment" : "_studio");
    });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(HostAllocation);

}  // namespace
}  // namespace gwp
