// The material schemas as read from the deliverables: the Maya plug-in's
// registered attributes and the mental ray declaration, each host's names,
// kinds, defaults and limits, their merge, and the declaration parser's
// handling of what a hand-edited .mi holds.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "maya_schema.h"
#include "mi_declaration.h"
#include "presets.h"
#include "mi_schema.h"
#include "schema.h"
#include "schemas.h"

namespace gws {
namespace {

std::string tempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/gwscene-test.XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return "/tmp";
  return buf.data();
}

struct ExpectedInput {
  const char* longName;
  const char* shortName;  // Maya; "" for mental ray
  ValueKind kind;
  Value defaultValue;
  std::optional<double> min, softMin, softMax;
};

const ValueKind C = ValueKind::kColor, F = ValueKind::kFloat, I = ValueKind::kInt,
                V = ValueKind::kVector, B = ValueKind::kBool;
const std::optional<double> none;

void expectInputs(const HostSchema& s, const std::vector<ExpectedInput>& want) {
  ASSERT_EQ(s.inputs.size(), want.size()) << s.source;
  for (size_t i = 0; i < want.size(); ++i) {
    const InputSpec& got = s.inputs[i];
    const ExpectedInput& w = want[i];
    SCOPED_TRACE(w.longName);
    EXPECT_EQ(got.longName, w.longName);
    EXPECT_EQ(got.shortName, w.shortName);
    EXPECT_EQ(got.kind, w.kind);
    for (int c = 0; c < 3; ++c) {
      // The hosts store floats: compare with the float the default became.
      const double d = w.kind == I || w.kind == B ? w.defaultValue[c]
                                                  : static_cast<float>(w.defaultValue[c]);
      EXPECT_EQ(got.defaultValue[c], d) << "component " << c;
    }
    EXPECT_EQ(got.min, w.min);
    EXPECT_EQ(got.softMin, w.softMin);
    EXPECT_EQ(got.softMax, w.softMax);
    EXPECT_FALSE(got.max);  // no input has a hard maximum
  }
}

TEST(MayaSchema, InputsAreTheStorableWritableVisibleAttributesTheNodeRegisters) {
  if (!mayaSchemaAvailable()) GTEST_SKIP() << "no stand-in Maya host in this build";
  std::string error;
  const auto s = loadMayaSchema(builtMayaPlugin(), error);
  ASSERT_TRUE(s) << error;
  EXPECT_EQ(s->nodeType, "glintWeave");
  EXPECT_EQ(s->pluginName, "glintWeave");
  EXPECT_EQ(s->version, "1.0");
  expectInputs(*s, {
                       {"color", "c", C, {0.5, 0.5, 0.5}, none, none, none},
                       {"transparency", "it", C, {0, 0, 0}, none, none, none},
                       {"ambientColor", "ambC", C, {0, 0, 0}, none, none, none},
                       {"incandescence", "ic", C, {0, 0, 0}, none, none, none},
                       {"diffuse", "dfl", F, {0.8, 0, 0}, none, 0.0, 1.0},
                       {"specularU", "su", F, {10, 0, 0}, none, 0.0, 10000.0},
                       {"specularV", "sv", F, {10, 0, 0}, none, 0.0, 10000.0},
                       {"specularPower", "sp", F, {0.5, 0, 0}, none, 0.0, 1.0},
                       {"reflectivity", "rfly", F, {0.5, 0, 0}, none, 0.0, 1.0},
                       {"reflectSamples", "rfs", I, {1, 0, 0}, 1.0, 1.0, 200.0},
                   });
  EXPECT_EQ(s->inputs[0].childShort, (std::array<std::string, 3>{"cr", "cg", "cb"}));
  EXPECT_EQ(s->inputs[2].childLong,
            (std::array<std::string, 3>{"ambientColorR", "ambientColorG", "ambientColorB"}));

  // Names a scene may use on the node, inputs or not.
  struct Case {
    const char* name;
    Resolved::What what;
    int input, component;
  };
  const Case cases[] = {
      {"specularU", Resolved::What::kInput, 5, -1}, {"su", Resolved::What::kInput, 5, -1},
      {"c", Resolved::What::kInput, 0, -1},         {"cg", Resolved::What::kInput, 0, 1},
      {"incandescenceB", Resolved::What::kInput, 3, 2},
      {"oc", Resolved::What::kOther, -1, -1},       {"outTransparencyG", Resolved::What::kOther, -1, -1},
      {"ltd", Resolved::What::kOther, -1, -1},      {"ldx", Resolved::What::kOther, -1, -1},
      {"rayDepth", Resolved::What::kOther, -1, -1}, {"msg", Resolved::What::kOther, -1, -1},
      {"shininess", Resolved::What::kUnknown, -1, -1}, {"", Resolved::What::kUnknown, -1, -1},
  };
  for (const Case& c : cases) {
    const Resolved r = s->resolve(c.name);
    EXPECT_EQ(r.what, c.what) << c.name;
    EXPECT_EQ(r.input, c.input) << c.name;
    EXPECT_EQ(r.component, c.component) << c.name;
  }
}

TEST(MayaSchema, AMissingOrForeignLibraryIsRefusedWithOneLine) {
  if (!mayaSchemaAvailable()) GTEST_SKIP() << "no stand-in Maya host in this build";
  for (const std::string& path :
       {std::string("/nonexistent/glintWeave.so"), builtMentalRayShader()}) {
    std::string error;
    EXPECT_FALSE(loadMayaSchema(path, error)) << path;
    EXPECT_EQ(error.rfind("cannot load the Maya plug-in " + path, 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
}

const std::vector<ExpectedInput> kMentalRayInputs = {
    {"color", "", C, {0.5, 0.5, 0.5}, none, none, none},
    {"ambientColor", "", C, {0, 0, 0}, none, none, none},
    {"incandescence", "", C, {0, 0, 0}, none, none, none},
    {"normalOffset", "", V, {0, 0, 0}, none, none, none},
    {"diffuse", "", F, {0.8, 0, 0}, none, 0.0, 1.0},
    {"specularU", "", F, {10, 0, 0}, none, 0.0, 10000.0},
    {"specularV", "", F, {10, 0, 0}, none, 0.0, 10000.0},
    {"specularPower", "", F, {0.5, 0, 0}, none, 0.0, 1.0},
    {"reflectivity", "", F, {0.5, 0, 0}, none, 0.0, 1.0},
    {"reflectSamples", "", I, {1, 0, 0}, 1.0, 1.0, 200.0},
    {"indirect", "", B, {0, 0, 0}, none, none, none},
    {"indirectColor", "", C, {1, 1, 1}, none, none, none},
    {"indirectIntensity", "", F, {1, 0, 0}, none, 0.0, 1.0},
};

TEST(MentalRaySchema, ParametersComeFromTheDeclarationBesideTheLibrary) {
  std::string error;
  const auto s = loadMentalRaySchema(builtMentalRayShader(), error);
  ASSERT_TRUE(s) << error;
  EXPECT_EQ(s->nodeType, "kl4v_glintWeave");
  EXPECT_EQ(s->version, "1");
  EXPECT_EQ(s->resultType, "color");
  expectInputs(*s, kMentalRayInputs);
  ASSERT_EQ(s->declaration.size(), 14u);
  EXPECT_EQ(s->declaration.back().type, "array light");
  EXPECT_EQ(s->resolve("light").what, Resolved::What::kOther);
}

TEST(MentalRaySchema, TheInstalledLayoutIsFoundToo) {
  // mentalray/lib/<library> with mentalray/include/<stem>.mi, as installed.
  const std::string root = tempDir();
  ASSERT_EQ(::mkdir((root + "/lib").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((root + "/include").c_str(), 0755), 0);
  std::ofstream(root + "/lib/kl4v_glintWeave.so") << "not loaded, only located";
  std::ifstream src(GLINTWEAVE_TEST_MI_SOURCE);
  std::ofstream(root + "/include/kl4v_glintWeave.mi") << src.rdbuf();
  std::string error;
  const auto s = loadMentalRaySchema(root + "/lib/kl4v_glintWeave.so", error);
  ASSERT_TRUE(s) << error;
  EXPECT_EQ(s->source, root + "/lib/../include/kl4v_glintWeave.mi");
  expectInputs(*s, kMentalRayInputs);

  std::ofstream(root + "/lonely.so") << "no declaration beside it";
  EXPECT_FALSE(loadMentalRaySchema(root + "/lonely.so", error));
  EXPECT_NE(error.find("cannot load the shader library " + root + "/lonely.so"), std::string::npos)
      << error;
}

TEST(MaterialSchema, BothHostsMergeByNameAndAgreeOnWhatTheyShare) {
  if (!mayaSchemaAvailable()) GTEST_SKIP() << "no stand-in Maya host in this build";
  std::string error;
  const auto s = loadMaterialSchema({}, {Host::kMaya, Host::kMentalRay}, error);
  ASSERT_TRUE(s) << error;
  std::vector<std::string> names;
  for (const MaterialInput& in : s->inputs()) names.push_back(in.name);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "color", "transparency", "ambientColor", "incandescence", "diffuse",
                       "specularU", "specularV", "specularPower", "reflectivity", "reflectSamples",
                       "normalOffset", "indirect", "indirectColor", "indirectIntensity"}));
  // Where both deliverables have an input, they must agree on its kind,
  // default and limits: a user moving between hosts sees the same material.
  for (size_t i = 0; i < s->size(); ++i) {
    const InputSpec* maya = s->spec(Host::kMaya, i);
    const InputSpec* mr = s->spec(Host::kMentalRay, i);
    if (!maya || !mr) continue;
    SCOPED_TRACE(maya->longName);
    EXPECT_EQ(maya->kind, mr->kind);
    EXPECT_EQ(maya->defaultValue, mr->defaultValue);
    EXPECT_EQ(maya->min, mr->min);
    EXPECT_EQ(maya->softMin, mr->softMin);
    EXPECT_EQ(maya->softMax, mr->softMax);
  }
  EXPECT_TRUE((*s)[1].in(Host::kMaya) && !(*s)[1].in(Host::kMentalRay));  // transparency
  EXPECT_TRUE(!(*s)[10].in(Host::kMaya) && (*s)[10].in(Host::kMentalRay));  // normalOffset
  // The same sources give the same schema object.
  EXPECT_EQ(loadMaterialSchema({}, {}, error), s);
}

TEST(MaterialSchema, KindsThatDisagreeAreRefused) {
  auto maya = std::make_shared<HostSchema>();
  maya->inputs.push_back(InputSpec{"glow", "gl", ValueKind::kFloat, {}, {}, {}, {}, {}, {}, {}});
  auto mr = std::make_shared<HostSchema>();
  mr->host = Host::kMentalRay;
  mr->inputs.push_back(InputSpec{"glow", "", ValueKind::kColor, {}, {}, {}, {}, {}, {}, {}});
  std::string error;
  EXPECT_FALSE(MaterialSchema::merge(maya, mr, error));
  EXPECT_NE(error.find("disagree on glow"), std::string::npos) << error;
}

TEST(MaterialSchema, MaterialsAreEqualOnlyWithTheSameSchemaAndTheSameBits) {
  // What the studio keys its accumulated image on: equal materials must
  // render the same image, so a schema of other inputs or a value that
  // differs in any bit (-0 is not 0 to a shader) makes them different.
  auto host = std::make_shared<HostSchema>();
  host->inputs.push_back(InputSpec{"glow", "gl", ValueKind::kFloat, {}, {}, {}, {}, {}, {}, {}});
  std::string error;
  const auto one = MaterialSchema::merge(host, nullptr, error);
  const auto other = MaterialSchema::merge(
      std::make_shared<HostSchema>(*host), nullptr, error);  // the same inputs, another schema
  ASSERT_TRUE(one && other) << error;
  const Material a(one);
  Material b(one);
  EXPECT_TRUE(a == b);
  b[0][0] = -0.0;
  EXPECT_TRUE(a != b);
  b[0][0] = 0.5;
  EXPECT_TRUE(a != b);
  EXPECT_TRUE(a != Material(other));
  EXPECT_TRUE(Material() == Material());
  EXPECT_TRUE(a != Material());
  // Without a schema there is no floor either: nothing is loaded behind
  // the caller's back.
  EXPECT_FALSE(floorMaterial(nullptr).bound());
}

// ---- the declaration parser ------------------------------------------------------

TEST(MiDeclaration, HintsInlineDefaultsAndOtherParameterTypes) {
  const std::string text =
      "# a hand-written declaration\n"
      "$ifndef \"x\"\n"
      "set \"x\" \"true\"\n"
      "declare shader\n"
      "  struct { color \"result\", scalar \"alpha\" } \"weave\" (\n"
      "    color \"tint\" default 0.25 0.5 0.75 1, #: softmin 0 softmax 2\n"
      "    scalar \"gain\",  #: default .7, min -1 max 3 shortname \"gn\" hidden\n"
      "    color texture \"map\",\n"
      "    array integer \"counts\",\n"
      "    struct \"pair\" { scalar \"a\", scalar \"b\" },\n"
      "    boolean \"on\" #: default 1\n"
      "  )\n"
      "  version 3\n"
      "  #: nodeid 1234\n"
      "  apply material, texture\n"
      "  gui \"gui_weave\" { control \"Global\" \"Global\" } end gui\n"
      "end declare\n"
      "$endif\n";
  HostSchema s;
  std::string error;
  ASSERT_TRUE(mentalRaySchemaFromText(text, "weave.mi", "weave", s, error)) << error;
  EXPECT_EQ(s.version, "3");
  EXPECT_EQ(s.resultType, "struct");
  ASSERT_EQ(s.inputs.size(), 3u);
  EXPECT_EQ(s.inputs[0].defaultValue, (Value{0.25, 0.5, 0.75}));
  EXPECT_EQ(s.inputs[0].softMax, 2.0);
  EXPECT_EQ(s.inputs[1].defaultValue[0], static_cast<double>(0.7f));
  EXPECT_EQ(s.inputs[1].min, -1.0);
  EXPECT_EQ(s.inputs[1].max, 3.0);
  EXPECT_EQ(s.inputs[1].shortName, "gn");
  EXPECT_EQ(s.inputs[2].kind, ValueKind::kBool);
  EXPECT_EQ(s.inputs[2].defaultValue[0], 1.0);
  std::vector<std::string> declared;
  for (const DeclaredParameter& p : s.declaration) declared.push_back(p.type + " " + p.name);
  EXPECT_EQ(declared, (std::vector<std::string>{"color tint", "scalar gain", "color texture map",
                                                "array integer counts", "struct pair",
                                                "boolean on"}));
}

// A parsed declaration in one line: kind, result, name, every parameter with
// its type, defaults and ranges (struct members in braces), then the options
// that are kept and the nested declarations.
std::string summary(const MiShaderDeclaration& d);

std::string summary(const std::vector<MiParameter>& params) {
  std::string s;
  for (const MiParameter& p : params) {
    s += (s.empty() ? "" : ", ") + p.type + " " + p.name;
    for (size_t i = 0; i < p.defaults.size(); ++i) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%s%g", i ? " " : "=", p.defaults[i]);
      s += buf;
    }
    if (!p.defaultText.empty()) s += "=\"" + p.defaultText + "\"";
    const std::pair<const char*, const std::optional<double>*> ranges[] = {
        {"min", &p.min}, {"max", &p.max}, {"softmin", &p.softMin}, {"softmax", &p.softMax}};
    for (const auto& [key, v] : ranges) {
      if (*v) {
        char buf[48];
        std::snprintf(buf, sizeof buf, " %s %g", key, **v);
        s += buf;
      }
    }
    if (!p.members.empty()) s += " { " + summary(p.members) + " }";
  }
  return s;
}

std::string summary(const MiShaderDeclaration& d) {
  std::string s = d.phenomenon ? "phenomenon " : "shader ";
  if (!d.resultType.empty()) s += d.resultType + " ";
  if (!d.resultMembers.empty()) s += "{ " + summary(d.resultMembers) + " } ";
  s += "\"" + d.name + "\" (" + summary(d.parameters) + ")";
  if (d.version) s += " version " + std::to_string(d.version);
  for (size_t i = 0; i < d.apply.size(); ++i) s += (i ? "," : " apply ") + d.apply[i];
  for (const MiShaderDeclaration& n : d.nested) s += " [" + summary(n) + "]";
  return s;
}

// Declarations written from the language's grammar, whatever shader they
// declare: every parameter type, the defaults of each (booleans in every
// spelling), ranges, quoted names that are keywords, trailing commas, every
// option after the list, gui blocks in both bracket forms, struct results,
// and phenomena with their statements and nested declarations.
TEST(MiDeclaration, TheWholeDeclarationGrammarReads) {
  struct Case {
    const char* text;
    const char* parsed;
  };
  const Case cases[] = {
      {"declare shader \"plain\" () end declare", "shader \"plain\" ()"},
      {"declare shader color \"flags\" (\n"
       "  boolean \"reflective\" default off,\n"
       "  boolean \"a\" default on, boolean \"b\" default true, boolean \"c\" default false,\n"
       "  boolean \"d\" default yes, boolean \"e\" default no, boolean \"f\" default 1,\n"
       "  boolean \"g\" default 0,\n"
       ") version 1 apply material end declare",
       "shader color \"flags\" (boolean reflective=0, boolean a=1, boolean b=1, boolean c=0, "
       "boolean d=1, boolean e=0, boolean f=1, boolean g=0) version 1 apply material"},
      {"declare shader color \"keywords\" (boolean \"on\" default on, scalar \"default\" default 2,\n"
       "  color \"end\", integer \"declare\" default 3, shader \"shader\", light \"light\",\n"
       "  struct \"struct\" { scalar \"min\" min 0 max 1 }, string \"version\" default \"end declare\")\n"
       "end declare",
       "shader color \"keywords\" (boolean on=1, scalar default=2, color end, integer declare=3, "
       "shader shader, light light, struct struct { scalar min min 0 max 1 }, "
       "string version=\"end declare\")"},
      {"declare shader vector \"types\" (\n"
       "  integer \"i\" default -3 min -10 max 10,\n"
       "  scalar \"s\" default 0.5 softmax 0.9 min 0 softmin 0.1 max 1,\n"
       "  vector \"v\" default 1 2 3, color \"c3\" default 1 0 0, color \"c4\" default 1 0 0 0.5,\n"
       "  transform \"m\" default 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1,\n"
       "  string \"s2\" default \"a \\\"quoted\\\" text\",\n"
       "  color texture \"ct\", scalar texture \"st\", vector texture \"vt\",\n"
       "  light \"l\", shader \"sh\", material \"mt\", geometry \"g\", data \"d\",\n"
       "  lightprofile \"lp\", array light \"lights\", array color texture \"maps\",\n"
       "  array struct \"layers\" { color \"c\" default 1 1 1, scalar \"w\", },\n"
       ") end declare",
       "shader vector \"types\" (integer i=-3 min -10 max 10, "
       "scalar s=0.5 min 0 max 1 softmin 0.1 softmax 0.9, vector v=1 2 3, color c3=1 0 0, "
       "color c4=1 0 0 0.5, transform m=1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1, "
       "string s2=\"a \"quoted\" text\", color texture ct, scalar texture st, "
       "vector texture vt, light l, shader sh, material mt, geometry g, data d, "
       "lightprofile lp, array light lights, array color texture maps, "
       "array struct layers { color c=1 1 1, scalar w })"},
      {"declare shader\n"
       "  struct { color \"result\", scalar \"alpha\" } \"two\" (scalar \"x\" #: default 4\n"
       "  )\n"
       "  #: nodeid 1234\n"
       "  version 2 apply material, shadow, photon\n"
       "  scanline off trace on shadow segments face both derivative 1 2 volume level 3 parallel\n"
       "  gui \"gui_two\" (\n"
       "    control \"Global\" \"Global\" (\"uiName\" \"Two\", \"category\" \"Material\")\n"
       "    control \"x\" \"scalar\" (\"value\" 4, \"range\" 0 10, \"hidden\")\n"
       "    control \"sep\" \"separator\"\n"
       "  )\n"
       "end declare",
       "shader struct { color result, scalar alpha } \"two\" (scalar x=4) version 2 "
       "apply material,shadow,photon"},
      {"declare shader color texture \"braced\" (scalar \"k\") shadow off face front trace off\n"
       "  gui \"gui_braced\" { control \"k\" \"scalar\" (\"nested\" (1 2) [3]) } end gui\n"
       "  version 3 end declare",
       "shader color texture \"braced\" (scalar k) version 3"},
      {"declare phenomenon\n"
       "  color \"blend_phen\" (\n"
       "    color \"base\" default 0.5 0.5 0.5,\n"
       "    scalar \"weight\" default 0.25,\n"
       "    array light \"lights\"\n"
       "  )\n"
       "  declare shader color \"inner\" (scalar \"k\") version 1 end declare\n"
       "  shader \"look\" \"inner\" (\"k\" = interface \"weight\", \"l\" [\"a\", \"b\"],\n"
       "                         \"s\" { \"x\" 1 })\n"
       "  material \"m\" opaque \"look\" shadow \"look\" end material\n"
       "  root = \"look\"\n"
       "  output = \"a\" interface \"b\"\n"
       "  root material \"m\"\n"
       "  declare phenomenon \"deeper\" () root = \"x\" end declare\n"
       "  version 4 apply material\n"
       "end declare",
       "phenomenon color \"blend_phen\" (color base=0.5 0.5 0.5, scalar weight=0.25, "
       "array light lights) version 4 apply material "
       "[shader color \"inner\" (scalar k) version 1] [phenomenon \"deeper\" ()]"},
  };
  for (const Case& c : cases) {
    MiLexer lex(c.text, true);
    const MiToken start = lex.next();
    MiShaderDeclaration d;
    std::string error;
    ASSERT_TRUE(parseDeclaration(lex, start, d, error)) << error << "\n" << c.text;
    EXPECT_EQ(summary(d), c.parsed);
    EXPECT_EQ(lex.next().kind, MiToken::Kind::kEnd) << c.text;  // nothing left over
  }

  // A file that declares a phenomenon and other shaders around ours still
  // gives ours; a shader named like a phenomenon's nested one is not taken.
  std::string file = "declare phenomenon \"p\" (scalar \"x\")\n"
                     "  declare shader \"weave\" (scalar \"nested\") end declare\n"
                     "end declare\n";
  for (const Case& c : cases) file += std::string(c.text) + "\n";
  file += "declare shader color \"weave\" (boolean \"shiny\" default off) version 5 end declare\n";
  HostSchema s;
  std::string error;
  ASSERT_TRUE(mentalRaySchemaFromText(file, "many.mi", "weave", s, error)) << error;
  EXPECT_EQ(s.version, "5");
  ASSERT_EQ(s.inputs.size(), 1u);
  EXPECT_EQ(s.inputs[0].longName, "shiny");
  EXPECT_EQ(s.inputs[0].defaultValue[0], 0.0);
}

struct BadDeclaration {
  const char* text;
  const char* where;  // "LINE:COL"
  const char* message;
};

TEST(MiDeclaration, MalformedDeclarationsSayWhereAndWhat) {
  const BadDeclaration cases[] = {
      {"declare shader color \"s\" (\n  scalar \"a\" scalar \"b\"\n) end declare\n", "2:14",
       "expected ',' or ')' after parameter \"a\""},
      {"declare shader color \"s\" (\n  scalar a\n) end declare\n", "2:10",
       "expected the parameter's name in quotes"},
      {"declare shader color \"s (\n", "1:22", "unterminated string"},
      {"declare shader color \"s\" (\n  color \"c\" #: softmin x\n) end declare\n", "2:24",
       "expected a number in the #: comment, found 'x'"},
      {"declare shader color \"s\" (scalar \"a\")\nversion 1\n", "1:1",
       "unterminated declaration of \"s\""},
      {"declare shader color \"s\" (scalar \"a\") version one end declare\n", "1:47",
       "expected the version number"},
      {"declare material \"m\" end declare\n", "1:9", "expected 'shader' after 'declare'"},
      {"# nothing declared here\n", "", "declares no shader"},
      {"declare shader \"s\" (boolean \"b\" default maybe) end declare", "1:41",
       "the default of boolean \"b\" takes on, off, true, false, yes, no or a number"},
      {"declare shader \"s\" (vector \"v\" default 1 2) end declare", "1:43",
       "the default of vector \"v\" takes 3 numbers, found ')'"},
      {"declare shader \"s\" (color \"c\" default 1 2 3 4 5) end declare", "1:47",
       "takes 3 or 4 numbers, found more"},
      {"declare shader \"s\" (light \"l\" default 1) end declare", "1:31",
       "a parameter of type light (\"l\") takes no default"},
      {"declare shader \"s\" (array scalar \"a\" default 1) end declare", "1:38",
       "takes no default"},
      {"declare shader \"s\" (string \"t\" min 0) end declare", "1:32", "takes no min"},
      {"declare shader \"s\" (scalar \"k\" softmax) end declare", "1:39",
       "expected a number, found ')'"},
      {"declare shader \"s\" (float \"x\") end declare", "1:21",
       "unknown parameter type 'float'"},
      {"declare shader \"s\" (array \"x\") end declare", "1:27",
       "expected a parameter type, found \"x\""},
      {"declare shader \"s\" (struct \"t\" scalar \"x\") end declare", "1:32",
       "expected '{' after struct"},
      {"declare shader \"s\" () shadow maybe end declare", "1:30",
       "expected on, off, sort, segments after 'shadow', found 'maybe'"},
      {"declare shader \"s\" () face left end declare", "1:28", "expected front, back, both"},
      {"declare shader \"s\" () apply 3 end declare", "1:29", "expected a shader kind"},
      {"declare shader \"s\" () gui \"g\" ( slider \"x\" ) end declare", "1:33",
       "expected 'control' or ')' in the gui block, found 'slider'"},
      {"declare shader \"s\" () gui \"g\" { control \"x\" \"y\" (\"a\" 1 ) end declare", "1:58",
       "expected 'control' or '}' in the gui block, found 'end'"},
      {"declare shader \"s\" () gui \"g\" ( control \"x\" \"y\" (\"a\" (1) end declare", "1:49",
       "no matching ')' before the end of the file"},
      {"declare shader \"s\" () colour on end declare", "1:23",
       "unexpected 'colour' in the declaration of \"s\""},
      {"declare shader \"s\" () root = \"x\" end declare", "1:23", "unexpected 'root'"},
      {"declare shader \"s\" () end gui end declare", "1:27",
       "expected 'declare' after 'end', found 'gui'"},
      {"declare phenomenon \"p\" () shader \"a\" \"b\" ( end declare", "1:42",
       "no matching ')' before the end of the file"},
      {"declare phenomenon \"p\" () material \"m\" end declare", "1:27",
       "unterminated material block"},
  };
  std::string deep = "declare shader \"s\" (";
  for (int i = 0; i < 100; ++i) deep += "struct \"s\" { ";
  const BadDeclaration nested{deep.c_str(), "", "structs nested too deeply"};
  std::vector<BadDeclaration> all(std::begin(cases), std::end(cases));
  all.push_back(nested);
  for (const BadDeclaration& c : all) {
    HostSchema s;
    std::string error;
    EXPECT_FALSE(mentalRaySchemaFromText(c.text, "bad.mi", "", s, error)) << c.text;
    const std::string prefix = std::string("bad.mi:") + c.where + (*c.where ? ": " : "");
    EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace gws
