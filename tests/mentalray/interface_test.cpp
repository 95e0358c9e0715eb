// The shader's interface through its export: the evaluation rule and fetch
// order, the early return, the light range, the indirect switch, the result,
// the .mi declaration against the parameter block, and the host driver that
// lays records out from declarations and loads libraries with them.
#include <filesystem>
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

  // The host driver lays the same block out from the parsed declaration.
  const mrhost::BlockLayout& layout = layoutLibrary().layout();
  EXPECT_EQ(layout.size, sizeof(ShaderParams));
  ASSERT_EQ(layout.fields.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(layout.fields[i].name, want[i].name);
    EXPECT_EQ(layout.fields[i].type, want[i].type);
    EXPECT_EQ(layout.fields[i].offset, want[i].offset) << want[i].name;
  }
}

// ---- the host driver ---------------------------------------------------------------------

// The declaration `text` parsed as the renderer reads it.
gws::MiShaderDeclaration parsed(const std::string& text) {
  gws::MiLexer lex(text, true);
  gws::MiShaderDeclaration d;
  const gws::MiToken start = lex.next();
  std::string error;
  EXPECT_TRUE(gws::parseDeclareShader(lex, start, d, error)) << error << "\n" << text;
  return d;
}

// Every type a block can hold, laid out as a C struct of the renderer's
// types: 4-byte fields, arrays as index, count and one element, struct
// members inline; types without storage are refused with their name.
TEST(MrDriver, LaysOutEveryParameterTypeAsTheRendererDoes) {
  struct Case {
    const char* params;
    std::vector<std::pair<const char*, size_t>> offsets;  // name, offset
    size_t size;                                          // 0: refused
    const char* refusal;
  };
  const Case cases[] = {
      {"boolean \"on\", integer \"i\", scalar \"s\", vector \"v\", color \"c\"",
       {{"on", 0}, {"i", 4}, {"s", 8}, {"v", 12}, {"c", 24}}, 40, ""},
      {"transform \"m\", scalar \"after\"", {{"m", 0}, {"after", 64}}, 68, ""},
      {"color texture \"ct\", scalar texture \"st\", vector texture \"vt\", light \"l\", "
       "shader \"sh\", material \"mt\", geometry \"g\", data \"d\", lightprofile \"lp\", "
       "string \"str\"",
       {{"ct", 0}, {"st", 4}, {"vt", 8}, {"l", 12}, {"sh", 16}, {"mt", 20}, {"g", 24},
        {"d", 28}, {"lp", 32}, {"str", 36}},
       40, ""},
      {"array color \"cs\", scalar \"x\", array light \"lights\"",
       {{"cs", 0}, {"x", 24}, {"lights", 28}}, 40, ""},
      {"struct \"s\" { scalar \"a\", color \"b\" }, integer \"n\"",
       {{"s", 0}, {"s.a", 0}, {"s.b", 4}, {"n", 20}}, 24, ""},
      {"", {}, 0, ""},
      {"array struct \"layers\" { scalar \"w\" }", {}, 0, "arrays of structs"},
  };
  for (const Case& c : cases) {
    const std::string text =
        std::string("declare shader color \"t\" (") + c.params + ") version 1 end declare";
    mrhost::BlockLayout layout;
    std::string error;
    const bool ok = mrhost::BlockLayout::from(parsed(text), layout, error);
    if (*c.refusal) {
      EXPECT_FALSE(ok) << c.params;
      EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(ok) << c.params << ": " << error;
    EXPECT_EQ(layout.size, c.size) << c.params;
    for (const auto& [name, offset] : c.offsets) {
      const mrhost::BlockField* f = layout.find(name);
      ASSERT_NE(f, nullptr) << name;
      EXPECT_EQ(f->offset, offset) << name;
    }
  }
}

// A record built by the driver: arrays other than the last keep their
// elements after the block, reached through i_x; setters check the name,
// the kind and the room; a connection turns the ghost tags on.
TEST(MrDriver, RecordsPlaceArraysAndRefuseWhatTheBlockCannotTake) {
  const mrhost::ShaderLibrary& lib = layoutLibrary();
  mrhost::ShaderCall call(lib, 3);
  EXPECT_EQ(call.blockSize(), sizeof(ShaderParams) + 2 * sizeof(miTag));
  EXPECT_EQ(call.function()->parameter_size, static_cast<int>(call.blockSize()));
  EXPECT_EQ(call.function()->ghost_offs, 0);
  std::string error;
  const miTag tags[] = {4, 5, 6};
  ASSERT_TRUE(call.setTags("light", tags, 3, error)) << error;
  const auto* p = reinterpret_cast<const ShaderParams*>(call.block());
  EXPECT_EQ(p->i_light, 0);
  EXPECT_EQ(p->n_light, 3);
  EXPECT_EQ(p->light[2], 6u);
  EXPECT_FALSE(call.setTags("light", tags, 4, error));  // room for three
  EXPECT_NE(error.find("room for 3"), std::string::npos) << error;
  EXPECT_FALSE(call.setScalar("color", 1.0f, error));  // a colour, not a scalar
  EXPECT_FALSE(call.setScalar("nosuch", 1.0f, error));
  EXPECT_NE(error.find("nosuch"), std::string::npos) << error;
  const double two[] = {0.25, 0.5};
  EXPECT_FALSE(call.setNumbers("normalOffset", two, 2, error));  // a vector takes three
  const double rgb[] = {0.25, 0.5, 0.75};
  ASSERT_TRUE(call.setNumbers("incandescence", rgb, 3, error)) << error;
  EXPECT_EQ(p->incandescence.b, 0.75f);
  EXPECT_EQ(p->incandescence.a, 1.0f);
  const double on[] = {2.0};
  ASSERT_TRUE(call.setNumbers("indirect", on, 1, error)) << error;
  EXPECT_EQ(p->indirect, miTRUE);
  call.connect(offsetof(ShaderParams, diffuse), 9);
  EXPECT_EQ(call.function()->ghost_offs, static_cast<int>(call.blockSize()));
  miTag ghost = 0;
  std::memcpy(&ghost, call.block() + call.blockSize() + offsetof(ShaderParams, diffuse),
              sizeof ghost);
  EXPECT_EQ(ghost, 9u);

  // An array before the last parameter: its elements live past the block.
  mrhost::BlockLayout layout;
  ASSERT_TRUE(mrhost::BlockLayout::from(
      parsed("declare shader \"t\" (array light \"a\", scalar \"s\") end declare"), layout, error));
  EXPECT_EQ(layout.find("s")->offset, 12u);
}

// The trace calls' child state: a linked copy one level deeper, and what the
// renderer copies back into the caller's state when it is done.
TEST(MrDriver, ChildStatesLinkAndCopyBackWhatTheRendererCopiesBack) {
  int context = 0;
  miState parent = mrhost::eyeState(&context, sizeof context);
  EXPECT_EQ(parent.type, miRAY_EYE);
  EXPECT_EQ(parent.user, &context);
  EXPECT_EQ(parent.ior, 1.0f);
  parent.point = {1.0f, 2.0f, 3.0f};
  parent.time = 0.5f;
  {
    mrhost::ChildState child(parent, miRAY_REFLECT);
    EXPECT_EQ(parent.child, &child.state());
    EXPECT_EQ(child.state().parent, &parent);
    EXPECT_EQ(child.state().reflection_level, 1);
    EXPECT_EQ(child.state().refraction_level, 0);
    EXPECT_EQ(child.state().user, &context);
    child.state().point = {4.0f, 5.0f, 6.0f};
    child.state().normal = {0.0f, 1.0f, 0.0f};
    child.state().dist = 2.5;
    child.state().time = 9.0f;  // not copied back
  }
  EXPECT_EQ(parent.child, nullptr);
  EXPECT_EQ(parent.point.z, 6.0f);
  EXPECT_EQ(parent.normal.y, 1.0f);
  EXPECT_EQ(parent.dist, 2.5);
  EXPECT_EQ(parent.time, 0.5f);
  EXPECT_EQ(parent.reflection_level, 0);
}

// The renderer refuses a library whose version differs from its
// declaration's, one without its declaration, and a declaration without the
// shader; each says which file and why in one line.
TEST(MrDriver, LoadingRefusesWhatTheRendererRefuses) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() /
                       ("glintweave-mr-driver-" + std::to_string(processId()));
  fs::create_directories(dir);
  const std::string mi = mrDeclarationPath();
  std::ifstream in(mi);
  std::stringstream text;
  text << in.rdbuf();
  const std::string other = (dir / "other.mi").string();
  std::ofstream(other) << std::regex_replace(text.str(), std::regex("version\\s+1"), "version 2");

  struct Case {
    std::string library, declaration, shader, message;
  };
  const Case cases[] = {
      {mrLibraryPath(), other, "", "shader version 1, the declaration"},
      {mrLibraryPath(), mi, "nosuch", "declares no shader \"nosuch\""},
      {privateCopy(mrLibraryPath(), "lonely"), "", "", "with its declaration"},
      {GLINTWEAVE_MR_RENDERER, mi, "", "does not export the shader it declares"},
  };
  for (const Case& c : cases) {
    mrhost::ShaderLibrary::Options options;
    options.declaration = c.declaration;
    options.shader = c.shader;
    std::string error;
    EXPECT_FALSE(mrhost::ShaderLibrary::load(c.library, options, error)) << c.library;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
  std::string error;
  EXPECT_FALSE(mrhost::Renderer::load(mrLibraryPath(), error));
  EXPECT_NE(error.find("not the stand-in renderer module"), std::string::npos) << error;
  std::error_code ignored;
  fs::remove_all(dir, ignored);
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
