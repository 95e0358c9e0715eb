// The shader's interface through its export: the evaluation rule and fetch
// order, the early return, the light range, the indirect switch, the result,
// and the .mi declaration against the parameter block.
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "mrHarness.h"

namespace {

using namespace mrtest;

using MrInterface = MrTest;

// Connects every parameter and returns the phen_eval parameter order seen.
std::vector<const void*> fetchOrder(const MiRenderer* mi) {
  std::vector<const void*> order;
  for (const MiCallRecord& r : records(mi)) {
    if (r.entry == MI_ENTRY_PHEN_EVAL) order.push_back(r.parm);
  }
  return order;
}

void connectAll(ShaderCall& call, miTag tag = 1) {
  ShaderParams* p = call.params();
  for (const void* f :
       {static_cast<const void*>(&p->color), static_cast<const void*>(&p->ambientColor),
        static_cast<const void*>(&p->incandescence), static_cast<const void*>(&p->normalOffset),
        static_cast<const void*>(&p->diffuse), static_cast<const void*>(&p->specularU),
        static_cast<const void*>(&p->specularV), static_cast<const void*>(&p->specularPower),
        static_cast<const void*>(&p->reflectivity), static_cast<const void*>(&p->reflectSamples),
        static_cast<const void*>(&p->indirect), static_cast<const void*>(&p->indirectColor),
        static_cast<const void*>(&p->indirectIntensity), static_cast<const void*>(&p->i_light),
        static_cast<const void*>(&p->n_light), static_cast<const void*>(&p->light[0])}) {
    call.connect(f, tag);
  }
}

std::vector<const void*> expectedOrder(ShaderParams* p, bool withIndirectColor) {
  std::vector<const void*> order = {&p->color,        &p->ambientColor,   &p->incandescence,
                                    &p->normalOffset, &p->indirect,       &p->diffuse,
                                    &p->specularU,    &p->specularV,      &p->specularPower,
                                    &p->reflectivity, &p->reflectSamples, &p->indirectIntensity,
                                    &p->n_light,      &p->i_light,        &p->light[0]};
  if (withIndirectColor) order.push_back(&p->indirectColor);
  return order;
}

TEST_F(MrInterface, ShadowAndDisplaceAreTurnedAwayAfterTheFetches) {
  for (miRay_type type : {miRAY_SHADOW, miRAY_DISPLACE}) {
    mi->reset();
    ShaderCall call;
    connectAll(call);
    call.setLights({3});
    call.params()->indirect = miTRUE;
    call.state.type = type;
    call.result = {0.1f, 0.2f, 0.3f, 0.4f};
    EXPECT_EQ(call.shade(), miFALSE);
    EXPECT_EQ(call.result.r, 0.1f);
    EXPECT_EQ(call.result.g, 0.2f);
    EXPECT_EQ(call.result.b, 0.3f);
    EXPECT_EQ(call.result.a, 0.4f);
    EXPECT_EQ(fetchOrder(mi), expectedOrder(call.params(), false));
    EXPECT_EQ(mi->callCount(MI_ENTRY_SAMPLE_LIGHT), 0);
  }
}

TEST_F(MrInterface, FetchOrderAndIndirectColorOnlyWhenIndirect) {
  ShaderCall call;
  connectAll(call);
  EXPECT_EQ(call.shade(), miTRUE);
  EXPECT_EQ(fetchOrder(mi), expectedOrder(call.params(), false));

  mi->reset();
  call.params()->indirect = miTRUE;
  call.shade();
  EXPECT_EQ(fetchOrder(mi), expectedOrder(call.params(), true));
  EXPECT_EQ(mi->callCount(MI_ENTRY_COMPUTE_IRRADIANCE), 1);
}

TEST_F(MrInterface, UnconnectedParametersAreReadInPlace) {
  ShaderCall call;  // ghost offset 0
  call.params()->ambientColor = {1.0f, 1.0f, 1.0f, 1.0f};
  call.shade();
  call.function()->ghost_offs = ShaderCall::kBlockSize;  // ghost tags present but all zero
  call.shade();
  EXPECT_EQ(mi->callCount(MI_ENTRY_PHEN_EVAL), 0);
  EXPECT_EQ(call.result.r, 1.0f);  // 0.5 ambient term, twice
}

// The rule on the records of every renderer version. 3.5 and 3.6 tag only
// connected parameters and leave byte 109 unused; from 3.8 that byte is
// has_connections and directly set parameters carry miPARAMTAG. Only a real
// connection may reach mi_phen_eval: evaluating the others on every sample
// would cost a renderer call per parameter.
TEST_F(MrInterface, EvaluationRuleOnEveryRecordVersion) {
  struct Case {
    const char* record;
    bool ghostTags;
    bool hasConnections;
    miTag tag;  // on every parameter
    bool evaluated;
  };
  const Case cases[] = {
      {"no ghost tags", false, false, 0, false},
      {"no ghost tags, byte 109 set", false, true, 0, false},
      {"3.5, nothing connected", true, false, miNULLTAG, false},
      {"3.5, all connected", true, false, 7, true},
      {"3.8, defaults", true, true, miNULLTAG, false},
      {"3.8, all set directly", true, true, kParamTag, false},
      {"3.8, all connected", true, true, 7, true},
      {"3.8, the tag below miPARAMTAG is a shader", true, true, kParamTag - 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    mi->reset();
    ShaderCall call;
    call.params()->ambientColor = {1.0f, 1.0f, 1.0f, 1.0f};
    if (c.ghostTags) connectAll(call, c.tag);
    call.setHasConnections(c.hasConnections);
    EXPECT_EQ(call.shade(), miTRUE);
    const size_t want = c.evaluated ? expectedOrder(call.params(), false).size() : 0;
    EXPECT_EQ(fetchOrder(mi).size(), want);
    EXPECT_EQ(call.result.r, 0.5f);  // the ambient term from the block's own values
  }
}

TEST_F(MrInterface, ConnectedParametersTakeTheEvaluatedValue) {
  ShaderCall call;
  ShaderParams* p = call.params();
  p->ambientColor = {1.0f, 1.0f, 1.0f, 1.0f};
  miColor connectedColor = {0.25f, 0.5f, 1.0f, 1.0f};
  miTag otherLights[4] = {90, 91, 92, 93};
  miInteger firstLight = 1;
  call.connect(&p->color);
  call.connect(&p->light[0]);
  call.connect(&p->i_light);
  p->n_light = 2;
  mi->setPhenValue(&p->color, &connectedColor);
  mi->setPhenValue(&p->light[0], otherLights);
  mi->setPhenValue(&p->i_light, &firstLight);
  call.shade();
  EXPECT_EQ(call.result.r, 0.25f);
  EXPECT_EQ(call.result.g, 0.5f);
  EXPECT_EQ(call.result.b, 1.0f);
  std::vector<miTag> sampled;
  for (const MiCallRecord& r : records(mi)) {
    if (r.entry == MI_ENTRY_SAMPLE_LIGHT) sampled.push_back(r.light);
  }
  EXPECT_EQ(sampled, (std::vector<miTag>{91, 92}));  // the evaluated array, from i_light
}

TEST_F(MrInterface, LightRangeIsILightToILightPlusNLight) {
  ShaderCall call;
  call.setLights({10, 11, 12, 13, 14, 15});
  call.params()->i_light = 2;
  call.params()->n_light = 3;
  call.shade();
  std::vector<miTag> sampled;
  for (const MiCallRecord& r : records(mi)) {
    if (r.entry == MI_ENTRY_SAMPLE_LIGHT) sampled.push_back(r.light);
  }
  EXPECT_EQ(sampled, (std::vector<miTag>{12, 13, 14}));

  mi->reset();
  call.params()->n_light = 0;
  call.shade();
  EXPECT_EQ(mi->callCount(MI_ENTRY_SAMPLE_LIGHT), 0);
}

TEST_F(MrInterface, BlackIndirectColorSwitchesTheTermOff) {
  ShaderCall call;
  call.params()->indirect = miTRUE;
  call.params()->indirectColor = {0.0f, 0.0f, 0.0f, 0.7f};
  call.shade();
  EXPECT_EQ(mi->callCount(MI_ENTRY_COMPUTE_IRRADIANCE), 0);
  call.params()->indirectColor.g = std::nanf("");  // NaN is not equal to 0: the term stays on
  call.shade();
  EXPECT_EQ(mi->callCount(MI_ENTRY_COMPUTE_IRRADIANCE), 1);
}

TEST_F(MrInterface, ResultIsAddedToAndOpaque) {
  ShaderCall call;
  call.params()->ambientColor = {0.2f, 0.2f, 0.2f, 0.0f};
  call.params()->incandescence = {0.0f, 0.5f, 0.0f, 0.0f};
  call.params()->color = {0.0f, 0.0f, 0.0f, 0.0f};
  call.result = {0.25f, 0.5f, 0.75f, 0.3f};
  EXPECT_EQ(call.shade(), miTRUE);
  EXPECT_EQ(call.result.r, 0.25f);
  EXPECT_EQ(call.result.g, 1.0f);
  EXPECT_EQ(call.result.b, 0.75f);
  EXPECT_EQ(call.result.a, 1.0f);
}

// The declaration file without its comments; empty when it cannot be read.
std::string declarationText() {
  const char* path = gwtest::artifactPath("GLINTWEAVE_MR_DECLARATION", GLINTWEAVE_MR_DECLARATION);
  std::ifstream file(path);
  EXPECT_TRUE(file) << path;
  std::stringstream text;
  for (std::string line; std::getline(file, line);) text << line.substr(0, line.find('#')) << '\n';
  return text.str();
}

// The declaration lays the block out: its parameters, in order, must give the
// offsets and names of ShaderParams.
TEST(MrDeclaration, MatchesTheParameterBlock) {
  const std::string mi = declarationText();

  std::smatch head;
  ASSERT_TRUE(std::regex_search(mi, head,
                                std::regex("declare\\s+shader\\s+color\\s+\"kl4v_glintWeave\"\\s*"
                                           "\\(([^)]*)\\)\\s*version\\s+1\\s+apply\\s+material\\s+"
                                           "end\\s+declare")));
  const std::string body = head[1].str();

  struct Field {
    std::string type, name;
    size_t offset;
  };
  const std::vector<Field> want = {
      {"color", "color", offsetof(ShaderParams, color)},
      {"color", "ambientColor", offsetof(ShaderParams, ambientColor)},
      {"color", "incandescence", offsetof(ShaderParams, incandescence)},
      {"vector", "normalOffset", offsetof(ShaderParams, normalOffset)},
      {"scalar", "diffuse", offsetof(ShaderParams, diffuse)},
      {"scalar", "specularU", offsetof(ShaderParams, specularU)},
      {"scalar", "specularV", offsetof(ShaderParams, specularV)},
      {"scalar", "specularPower", offsetof(ShaderParams, specularPower)},
      {"scalar", "reflectivity", offsetof(ShaderParams, reflectivity)},
      {"integer", "reflectSamples", offsetof(ShaderParams, reflectSamples)},
      {"boolean", "indirect", offsetof(ShaderParams, indirect)},
      {"color", "indirectColor", offsetof(ShaderParams, indirectColor)},
      {"scalar", "indirectIntensity", offsetof(ShaderParams, indirectIntensity)},
      {"array light", "light", offsetof(ShaderParams, i_light)},
  };
  const std::map<std::string, size_t> sizes = {
      {"color", 16}, {"vector", 12}, {"scalar", 4}, {"integer", 4}, {"boolean", 4}};

  // The renderer's layout rule: fields in order, 4-byte aligned; an array
  // becomes i_<name>, n_<name> and the element array.
  const std::regex param("(array\\s+light|color|vector|scalar|integer|boolean)\\s+\"(\\w+)\"");
  size_t offset = 0, index = 0;
  for (auto it = std::sregex_iterator(body.begin(), body.end(), param);
       it != std::sregex_iterator(); ++it, ++index) {
    const std::string type = std::regex_replace((*it)[1].str(), std::regex("\\s+"), " ");
    ASSERT_LT(index, want.size()) << "extra parameter " << (*it)[2];
    EXPECT_EQ(type, want[index].type) << want[index].name;
    EXPECT_EQ((*it)[2].str(), want[index].name);
    EXPECT_EQ(offset, want[index].offset) << want[index].name;
    if (type == "array light") {
      EXPECT_EQ(offset + 8, offsetof(ShaderParams, light));
      offset += 8 + sizeof(miTag);
    } else {
      offset += sizes.at(type);
    }
  }
  EXPECT_EQ(index, want.size());
  EXPECT_EQ(offset, sizeof(ShaderParams));
}

// The renderer refuses a declaration whose version range leaves it out. The
// library was checked against the headers of 3.5, 3.6, 3.8.1, 3.11.1 and 3.12,
// which lay out the records alike; nothing later has been checked.
TEST(MrDeclaration, AdmitsTheCheckedRendererVersions) {
  const std::string mi = declarationText();
  std::smatch min, max;
  ASSERT_TRUE(std::regex_search(mi, min, std::regex("min\\s+version\\s+\"([0-9.]+)\"")));
  ASSERT_TRUE(std::regex_search(mi, max, std::regex("max\\s+version\\s+\"([0-9.]+)\"")));
  const auto parts = [](const std::string& version) {
    std::vector<int> numbers;
    std::stringstream in(version);
    for (std::string part; std::getline(in, part, '.');) numbers.push_back(std::stoi(part));
    return numbers;
  };
  struct Case {
    const char* version;
    bool admitted;
  };
  const Case cases[] = {{"3.5.6.7", true},   {"3.6.0", true},  {"3.6.1.4", true},
                        {"3.8.1", true},     {"3.11.1", true}, {"3.12.0", true},
                        {"3.12.1.13", true}, {"3.4.6", false}, {"3.13.0", false}};
  for (const Case& c : cases) {
    const std::vector<int> v = parts(c.version);
    EXPECT_EQ(parts(min[1].str()) <= v && v <= parts(max[1].str()), c.admitted) << c.version;
  }
}

}  // namespace
