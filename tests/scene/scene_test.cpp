// The scene readers on files shaped like what Maya and mental ray write,
// every kind of bad input with its line and column, and the writers' round
// trip on random materials.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "scan.h"
#include "scene_file.h"
#include "scene_writer.h"
#include "schemas.h"

namespace gws {
namespace {

std::shared_ptr<const MaterialSchema> bothHosts() {
  std::string error;
  auto s = loadMaterialSchema({}, {Host::kMaya, Host::kMentalRay}, error);
  EXPECT_TRUE(s) << error;
  return s;
}

std::string listing(const SceneFile& f, const MaterialSchema& schema) {
  std::string out;
  for (const SceneMaterial& m : f.materials) out += listMaterial(m, schema);
  return out;
}

// ---- files as the hosts write them -------------------------------------------------------

TEST(SceneReaders, MayaAsciiAsMayaWritesIt) {
  const auto schema = bothHosts();
  if (!schema) return;
  SceneFile f;
  std::string error;
  ASSERT_TRUE(readScene(GLINTWEAVE_TEST_SCENE_DIR "/shot.ma", schema, f, error)) << error;
  EXPECT_EQ(f.host, Host::kMaya);
  EXPECT_TRUE(f.warnings.empty());
  // Unknown nodes and statements skipped; long and short names, a colour
  // over three lines, single children, -0 (read as 0) and 1e-05, a flags-only setAttr,
  // an attribute added by addAttr, Maya's own attributes, `select -ne` back
  // to a material, connections to a whole colour, to a child through its
  // parent and to a float; strings holding ';' and '//'; a setAttr naming
  // its node ("satinRed.dfl") while another node is current.
  EXPECT_EQ(listing(f, *schema),
            "brushedSteel color=0.78,0.78,0.8 transparency=0,0,0 ambientColor=0,0,0 "
            "incandescence=0,0,0 diffuse=0.12 specularU=600 specularV=12 specularPower=0.85 "
            "reflectivity=0.5 reflectSamples=6\n"
            "satinRed color=0.6,0.125,0.16<-file1.oc transparency=0,0,0 ambientColor=0,0,1e-05 "
            "incandescence=0,0,0<-incandescenceG:file1.outAlpha diffuse=0.75 specularU=10 "
            "specularV=90 specularPower=0.5<-file1.oa reflectivity=0 reflectSamples=1\n");
  ASSERT_EQ(f.materials.size(), 2u);
  EXPECT_EQ(f.materials[0].line, 29u);
  EXPECT_EQ(f.materials[0].column, 1u);
  // The file writes 0.85000002, which is the float nearest 0.85.
  EXPECT_EQ(f.materials[0].material.scalar("specularPower"), 0.85f);
  // The file writes -0, which is kept as 0: no value reads back as -0.
  EXPECT_FALSE(std::signbit(f.materials[1].material.at("reflectivity")[0]));
}

TEST(SceneReaders, MentalRayAsMentalRayWritesIt) {
  const auto schema = bothHosts();
  if (!schema) return;
  SceneFile f;
  std::string error;
  ASSERT_TRUE(readScene(GLINTWEAVE_TEST_SCENE_DIR "/shot.mi", schema, f, error)) << error;
  EXPECT_EQ(f.host, Host::kMentalRay);
  EXPECT_TRUE(f.warnings.empty());
  // Blocks skipped by their end keywords (a light's shader list, an
  // object's group), other shaders with nested parentheses, a name with a
  // space, colours of four and three numbers, booleans in words, a
  // connection, and the light list recorded.
  EXPECT_EQ(listing(f, *schema),
            "brushedSteel color=0.78,0.78,0.8 ambientColor=0,0,0 incandescence=0,0,0 "
            "normalOffset=0,0.1,0 diffuse=0.12 specularU=600 specularV=12 specularPower=0.85 "
            "reflectivity=0.5 reflectSamples=6 indirect=1 indirectColor=1,1,1 "
            "indirectIntensity=1\n"
            "\"satin red\" color=0.5,0.5,0.5<-weaveTex ambientColor=0.1,0.1,0.1 "
            "incandescence=0,0,0 normalOffset=0,0,0 diffuse=0.8 specularU=10 specularV=90 "
            "specularPower=0.5 reflectivity=0 reflectSamples=1 indirect=0 indirectColor=1,1,1 "
            "indirectIntensity=1\n");
  ASSERT_EQ(f.materials.size(), 2u);
  EXPECT_EQ(f.materials[0].lights, (std::vector<std::string>{"keyLightInst", "fillLightInst"}));
  EXPECT_EQ(f.materials[1].name, "satin red");
}

TEST(SceneReaders, NumbersInTheHostsOwnSpellings) {
  const auto schema = bothHosts();
  if (!schema) return;
  struct Case {
    const char* text;
    bool maya;
  };
  const Case cases[] = {
      {"createNode glintWeave -n \"g\";\n setAttr \".su\" 1e+20;\n setAttr \".sv\" 7;\n"
       " setAttr \".rfly\" -0;\n setAttr \".sp\" .5;\n setAttr \".dfl\" 2.5E-1;\n"
       " setAttr \".rfs\" +3;\n",
       true},
      {"shader \"g\" \"kl4v_glintWeave\" ( \"specularU\" 1e+20, \"specularV\" 7,\n"
       "\"reflectivity\" -0, \"specularPower\" .5, \"diffuse\" 2.5E-1, \"reflectSamples\" +3 )\n",
       false},
  };
  for (const Case& c : cases) {
    SceneFile f;
    std::string error;
    const bool ok = c.maya ? readMayaAscii(c.text, "n.ma", schema, f, error)
                           : readMentalRay(c.text, "n.mi", schema, f, error);
    ASSERT_TRUE(ok) << error;
    const Material& m = f.materials.at(0).material;
    EXPECT_EQ(m.scalar("specularU"), 1e20f);
    EXPECT_EQ(m.scalar("specularV"), 7.0f);  // an integer for a float
    EXPECT_EQ(m.scalar("reflectivity"), 0.0f);
    EXPECT_FALSE(std::signbit(m.at("reflectivity")[0]));  // -0 is kept as 0
    EXPECT_EQ(m.scalar("specularPower"), 0.5f);
    EXPECT_EQ(m.scalar("diffuse"), 0.25f);
    EXPECT_EQ(m.at("reflectSamples")[0], 3.0);
  }
}

// Scenes carry other shaders' declarations inline, as shader packages and
// hand-assembled scenes do: each is read over by the declaration grammar (a
// phenomenon with its nested declarations and "end declare"s too), and the
// material after them still reads.
TEST(SceneReaders, OtherShadersDeclarationsAndPhenomenaAreReadOver) {
  const auto schema = bothHosts();
  if (!schema) return;
  const std::string text =
      "declare shader color \"pasted\" (\n"
      "  boolean \"reflective\" default off, boolean \"on\" default yes,\n"
      "  array struct \"layers\" { color \"c\" default 1 1 1 },\n"
      ") version 2 apply material trace on\n"
      "  gui \"gui_pasted\" ( control \"on\" \"boolean\" (\"value\" 1) )\n"
      "end declare\n"
      "declare phenomenon color \"phen\" (scalar \"w\")\n"
      "  declare shader color \"inner\" (scalar \"k\") end declare\n"
      "  shader \"i\" \"inner\" (\"k\" = interface \"w\")\n"
      "  material \"m\" \"i\" end material\n"
      "  root = \"i\"\n"
      "end declare\n"
      "shader \"s\" \"kl4v_glintWeave\" ( \"specularU\" 7 )\n";
  SceneFile f;
  std::string error;
  ASSERT_TRUE(readMentalRay(text, "pasted.mi", schema, f, error)) << error;
  EXPECT_TRUE(f.warnings.empty());
  ASSERT_EQ(f.materials.size(), 1u);
  EXPECT_EQ(f.materials[0].material.scalar("specularU"), 7.0f);
}

TEST(SceneReaders, ADeclarationThatDiffersIsAWarningAndOursIsUsed) {
  const auto schema = bothHosts();
  if (!schema) return;
  const std::string text =
      "link \"kl4v_glintWeave.so\"\n"
      "declare shader color \"other\" ( scalar \"x\" ) version 1 end declare\n"
      "declare shader\n"
      "  color \"kl4v_glintWeave\" ( color \"color\", scalar \"diffuse\" )\n"
      "  version 1\n"
      "end declare\n"
      "shader \"s\" \"kl4v_glintWeave\" ( \"specularU\" 5 )\n";
  SceneFile f;
  std::string error;
  ASSERT_TRUE(readMentalRay(text, "old.mi", schema, f, error)) << error;
  ASSERT_EQ(f.warnings.size(), 1u);
  EXPECT_EQ(f.warnings[0].rfind("old.mi:3:1: warning: this declaration of \"kl4v_glintWeave\" "
                                "differs from the installed one",
                                0),
            0u)
      << f.warnings[0];
  EXPECT_NE(f.warnings[0].find("parameter 2 is scalar \"diffuse\" here but color "
                               "\"ambientColor\" in the installed declaration"),
            std::string::npos)
      << f.warnings[0];
  EXPECT_EQ(f.materials.at(0).material.scalar("specularU"), 5.0f);

  // The installed declaration itself, included in a scene, is no mismatch.
  std::ifstream in(GLINTWEAVE_TEST_MI_SOURCE);
  std::stringstream same;
  same << in.rdbuf() << "shader \"t\" \"kl4v_glintWeave\" ()\n";
  ASSERT_TRUE(readMentalRay(same.str(), "same.mi", schema, f, error)) << error;
  EXPECT_TRUE(f.warnings.empty());
}

TEST(SceneReaders, TheFastScanFindsWhatAByteByByteScanFinds) {
  // Random text dense in stops and line ends, scanned from every kind of
  // starting point, so that stops and newlines fall on every position of the
  // 32-byte and 16-byte steps and of the tail.
  std::mt19937 rng(99);
  const char alphabet[] = "ab;\"/\n\n  e0";
  for (int round = 0; round < 300; ++round) {
    std::string text(round % 2 ? rng() % 300 : rng() % 10000, 'x');
    const unsigned density = 1 + rng() % 64;
    for (char& c : text) {
      if (rng() % density == 0) c = alphabet[rng() % (sizeof alphabet - 1)];
    }
    LinePosition fast, slow;
    size_t pos = 0;
    while (pos < text.size()) {
      const size_t got = scanTo(text, pos, ';', '"', '/', fast);
      size_t want = pos;
      for (; want < text.size(); ++want) {
        const char c = text[want];
        if (c == ';' || c == '"' || c == '/') break;
        if (c == '\n') {
          ++slow.line;
          slow.lineStart = want + 1;
        }
      }
      ASSERT_EQ(got, want) << "round " << round << " from " << pos;
      ASSERT_EQ(fast.line, slow.line) << "round " << round << " from " << pos;
      ASSERT_EQ(fast.lineStart, slow.lineStart) << "round " << round << " from " << pos;
      pos = got + 1 + rng() % 3;
      // Stepping over a newline by hand, as the readers do.
      for (size_t k = got; k < std::min(pos, text.size()); ++k) {
        if (text[k] == '\n') {
          ++fast.line;
          fast.lineStart = k + 1;
          ++slow.line;
          slow.lineStart = k + 1;
        }
      }
    }
  }
}

// ---- bad input -------------------------------------------------------------------------------

struct BadScene {
  const char* file;  // its extension picks the reader
  const char* text;
  const char* where;  // "LINE:COL"
  const char* message;
};

void PrintTo(const BadScene& b, std::ostream* os) { *os << b.file << ": " << b.text; }

class BadScenes : public ::testing::TestWithParam<BadScene> {};

TEST_P(BadScenes, OneLineSaysWhereAndWhat) {
  const auto schema = bothHosts();
  if (!schema) return;
  const BadScene& c = GetParam();
  const bool maya = std::string(c.file).find(".ma") != std::string::npos;
  SceneFile f;
  std::string error;
  const bool ok = maya ? readMayaAscii(c.text, c.file, schema, f, error)
                       : readMentalRay(c.text, c.file, schema, f, error);
  EXPECT_FALSE(ok);
  const std::string prefix = std::string(c.file) + ":" + c.where + ": ";
  EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
  EXPECT_NE(error.find(c.message), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;
}

#define GW "createNode glintWeave -n \"g\";\n"
#define KL "shader \"s\" \"kl4v_glintWeave\" ( "

INSTANTIATE_TEST_SUITE_P(
    Maya, BadScenes,
    ::testing::Values(
        BadScene{"a.ma", GW "\tsetAttr \".shininess\" 3;\n", "2:10",
                 "unknown attribute '.shininess' on glintWeave node 'g'"},
        BadScene{"a.ma", GW "\tsetAttr \".c\" -type \"float3\" 1 2;\n", "2:10",
                 "'.c' takes 3 values, found 2"},
        BadScene{"a.ma", GW "\tsetAttr \".c\" 1 2 3 4;\n", "2:21", "'.c' takes 3 values, found 4"},
        BadScene{"a.ma", GW "\tsetAttr \".cr\" 1 2;\n", "2:18", "'.cr' takes 1 value, found 2"},
        BadScene{"a.ma", GW "\tsetAttr \".su\" abc;\n", "2:16",
                 "'abc' is not a number ('.su' is a float)"},
        BadScene{"a.ma", GW "\tsetAttr \".su\" 1e40;\n", "2:16", "'1e40' is not a number"},
        BadScene{"a.ma", GW "\tsetAttr \".rfs\" 2.5;\n", "2:17", "'2.5' is not a whole number"},
        BadScene{"a.ma", GW "\tsetAttr \".rfs\" 0;\n", "2:17",
                 "reflectSamples: 0 is out of range: below maya's minimum 1"},
        BadScene{"a.ma", GW "\tsetAttr \".c\" -type \"string\" \"red\";\n", "2:10",
                 "'.c' is a colour and cannot take -type \"string\""},
        BadScene{"a.ma", GW "\tsetAttr \".su\" -type \"float3\" 1 2 3;\n", "2:10",
                 "'.su' is a float and cannot take -type \"float3\""},
        BadScene{"a.ma", GW "\tsetAttr \".c[0]\" 1;\n", "2:10", "unknown attribute '.c[0]'"},
        BadScene{"a.ma", GW "\tsetAttr \".c.ir\" 1;\n", "2:10", "unknown attribute '.c.ir'"},
        BadScene{"a.ma", GW "setAttr \"g.bogus\" 1;\n", "2:9", "unknown attribute '.bogus'"},
        BadScene{"a.ma", GW "connectAttr \"f.oc\" \"g.bogus\";\n", "2:20",
                 "unknown attribute '.bogus'"},
        BadScene{"a.ma", GW "\tsetAttr \".su\"\n\t\t3\n", "2:2",
                 "unterminated statement: no ';' after 'setAttr'"},
        BadScene{"a.ma", "createNode glintWeave -n \"g;\n", "1:26", "unterminated string"},
        BadScene{"a.ma", "fileInfo \"a\" \"b\\\" ;\ncreateNode glintWeave;\n", "1:14",
                 "unterminated string"},
        BadScene{"a.ma", "// a comment\ncreateNode lambert -n \"l\";\n\tsetAttr \".c\" 1 1 1;\n",
                 "0:0", "no glintWeave material in this scene"},
        BadScene{"a.ma", "", "0:0", "no glintWeave material"}));

INSTANTIATE_TEST_SUITE_P(
    MentalRay, BadScenes,
    ::testing::Values(
        BadScene{"a.mi", KL "\"bogus\" 1 )\n", "1:32",
                 "unknown parameter \"bogus\" of shader kl4v_glintWeave"},
        BadScene{"a.mi", KL "\"color\" 1 1 )\n", "1:32", "\"color\" takes 3 or 4 numbers, found 2"},
        BadScene{"a.mi", KL "\"color\" 1 1 1 1 1 )\n", "1:48",
                 "\"color\" takes 3 or 4 numbers, found more"},
        BadScene{"a.mi", KL "\"normalOffset\" 1 1 1 1 )\n", "1:53",
                 "\"normalOffset\" takes 3 numbers, found more"},
        BadScene{"a.mi", KL "\"diffuse\" \"x\" )\n", "1:42", "\"diffuse\" takes a float, found \"x\""},
        BadScene{"a.mi", KL "\"indirect\" maybe )\n", "1:43", "'maybe' is not a boolean"},
        BadScene{"a.mi", KL "\"reflectSamples\" 2.5 )\n", "1:49", "'2.5' is not a whole number"},
        BadScene{"a.mi", KL "\"reflectSamples\" 0 )\n", "1:49",
                 "reflectSamples: 0 is out of range: below mentalray's minimum 1"},
        BadScene{"a.mi", KL "\"light\" 3 )\n", "1:40", "\"light\" takes a list"},
        BadScene{"a.mi", KL "\"color\" = 3 )\n", "1:42", "expected a shader name in quotes"},
        BadScene{"a.mi", KL "\"diffuse\" 1\n\"specularU\" 2 )\n", "2:1",
                 "expected ',' or ')' after a parameter"},
        BadScene{"a.mi", KL "\"diffuse\" 1,\n", "1:1", "unterminated shader statement"},
        BadScene{"a.mi", "shader ( \"diffuse\" 1 )\n", "1:8", "expected the shader's name"},
        BadScene{"a.mi", "options \"o\"\n  samples 1\n", "1:1",
                 "unterminated options block: no 'end options'"},
        BadScene{"a.mi", "camera \"c\n", "1:8", "unterminated string"},
        BadScene{"a.mi", "declare shader color \"x\" ( scalar y ) end declare\n", "1:35",
                 "expected the parameter's name in quotes"},
        BadScene{"a.mi", "shader \"t\" \"mib_texture_lookup\" ( \"tex\" \"a.tif\" )\n", "0:0",
                 "no glintWeave material in this scene: it has no shader of type "
                 "\"kl4v_glintWeave\""}));

#undef GW
#undef KL

TEST(SceneReaders, AFileThatCannotBeReadIsNamed) {
  const auto schema = bothHosts();
  if (!schema) return;
  SceneFile f;
  std::string error;
  EXPECT_FALSE(readScene("/nonexistent/shot.ma", schema, f, error));
  EXPECT_EQ(error, "/nonexistent/shot.ma:0:0: cannot read the file: No such file or directory");
  // A folder says it is one, whatever its name.
  EXPECT_FALSE(readScene(GLINTWEAVE_TEST_SCENE_DIR, schema, f, error));
  EXPECT_EQ(error, GLINTWEAVE_TEST_SCENE_DIR ":0:0: is a folder, not a scene file (give the "
                   ".ma or .mi files in it)");
  char dir[] = "/tmp/gwscene-dir.XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  const std::string ma = std::string(dir) + "/looks-like.ma";
  ASSERT_EQ(::mkdir(ma.c_str(), 0755), 0);
  EXPECT_FALSE(readScene(ma, schema, f, error));
  EXPECT_EQ(error, ma + ":0:0: is a folder, not a scene file (give the .ma or .mi files in it)");
  ::rmdir(ma.c_str());
  ::rmdir(dir);
}

// ---- writers and the round trip --------------------------------------------------------------

// A random value the command line would accept: floats over many octaves
// (with -0 and exact zeros now and then), as the float they become. (-0 is
// written and read back as 0.)
Value randomValue(const MaterialSchema& schema, size_t input, std::mt19937& rng) {
  const MaterialInput& in = schema[input];
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_int_distribution<int> octave(-40, 40);
  auto component = [&](bool negativeAllowed) {
    const int pick = static_cast<int>(rng() % 8);
    if (pick == 0) return 0.0;
    if (pick == 1 && negativeAllowed) return -0.0;
    float f = std::ldexp(unit(rng) + 0.5f, octave(rng));
    if (negativeAllowed && (rng() & 1)) f = -f;
    return static_cast<double>(f);
  };
  Value v{0, 0, 0};
  switch (in.kind) {
    case ValueKind::kBool:
      v[0] = static_cast<double>(rng() & 1);
      break;
    case ValueKind::kInt:
      v[0] = static_cast<double>(1 + rng() % 100000);
      break;
    case ValueKind::kFloat:
      v[0] = component(false);
      break;
    case ValueKind::kColor:
    case ValueKind::kVector:
      for (double& c : v) c = component(in.kind == ValueKind::kVector);
      break;
  }
  return v;
}

bool sameBits(const Value& a, const Value& b) {
  for (size_t i = 0; i < 3; ++i) {
    const float fa = static_cast<float>(a[i]), fb = static_cast<float>(b[i]) + 0.0f;
    if (std::memcmp(&fa, &fb, sizeof fa) != 0 || a[i] != b[i]) return false;
  }
  return true;
}

TEST(SceneWriters, ExportThenReadGivesEveryValueBitForBit) {
  const auto schema = bothHosts();
  if (!schema) return;
  std::mt19937 rng(20240611);
  for (int round = 0; round < 200; ++round) {
    Material m(schema);
    for (size_t i = 0; i < schema->size(); ++i) {
      // Now and then an input keeps its default, which the .ma leaves out.
      if (rng() % 4 == 0) continue;
      m[i] = randomValue(*schema, i, rng);
      ASSERT_EQ(valueProblem(*schema, i, m[i]), "") << (*schema)[i].name;
    }
    const std::string name = "mat" + std::to_string(round);
    for (Host h : kHosts) {
      const std::string text = h == Host::kMaya ? mayaAsciiText(m, name, "x.ma")
                                                : mentalRayText(m, name, "x.mi");
      SceneFile f;
      std::string error;
      const bool ok = h == Host::kMaya ? readMayaAscii(text, "x.ma", schema, f, error)
                                       : readMentalRay(text, "x.mi", schema, f, error);
      ASSERT_TRUE(ok) << error << "\n" << text;
      ASSERT_EQ(f.materials.size(), 1u);
      EXPECT_EQ(f.materials[0].name, name);
      const HostSchema& host = *schema->host(h);
      for (size_t k = 0; k < host.inputs.size(); ++k) {
        const size_t i = static_cast<size_t>(schema->mergedIndex(h, k));
        EXPECT_TRUE(sameBits(f.materials[0].material[i], m[i]))
            << hostName(h) << " " << (*schema)[i].name << ": wrote "
            << formatValue((*schema)[i].kind, m[i]) << ", read "
            << formatValue((*schema)[i].kind, f.materials[0].material[i]) << "\n"
            << text;
      }
    }
  }
}

TEST(SceneWriters, MayaFormsShortNamesAndOnlyWhatDiffersFromTheDefaults) {
  const auto schema = bothHosts();
  if (!schema) return;
  Material m(schema);
  std::string error;
  for (const char* s : {"specularU=200", "color=0.2,0.4,0.8", "reflectSamples=6", "indirect=on",
                        "diffuse=0.8"}) {
    ASSERT_TRUE(applySetting(m, s, error)) << error;
  }
  EXPECT_EQ(mayaAsciiText(m, "steel", "dir/steel.ma"),
            "//Maya ASCII 2008 scene\n"
            "//Name: steel.ma\n"
            "//Codeset: UTF-8\n"
            "requires maya \"2008\";\n"
            "requires \"glintWeave\" \"1.0\";\n"
            "createNode glintWeave -n \"steel\";\n"
            "\tsetAttr \".c\" -type \"float3\" 0.2 0.4 0.8 ;\n"
            "\tsetAttr \".su\" 200;\n"
            "\tsetAttr \".rfs\" 6;\n"
            "// steel: not written: indirect=1 (only mentalray has indirect)\n"
            "// End of steel.ma\n");
  const std::string mi = mentalRayText(m, "steel", "steel.mi");
  for (const char* want :
       {"link \"kl4v_glintWeave.so\"\n", "$include \"kl4v_glintWeave.mi\"\n",
        "shader \"steel\"\n    \"kl4v_glintWeave\" (\n", "\"color\" 0.2 0.4 0.8 1,\n",
        "\"indirect\" on,\n", "\"indirectIntensity\" 1\n"}) {
    EXPECT_NE(mi.find(want), std::string::npos) << want << "\n" << mi;
  }
  for (const char* name : {"glintWeave1", "_a9", "Steel_2"}) {
    EXPECT_TRUE(validMaterialName(name, error)) << name;
  }
  // A Maya only input that is set has no place in a .mi: a comment says
  // so, and the file still reads back.
  ASSERT_TRUE(applySetting(m, "transparency=0.5", error)) << error;
  EXPECT_EQ(inputsWithoutPlace(m, Host::kMentalRay),
            std::vector<std::string>{"transparency=0.5,0.5,0.5 (only maya has transparency)"});
  EXPECT_NE(mentalRayText(m, "steel", "steel.mi")
                .find("# steel: not written: transparency=0.5,0.5,0.5 (only maya has "
                      "transparency)\nshader \"steel\"\n"),
            std::string::npos);

  // Several materials in one file read back as several, in order, under
  // names each host can take.
  std::vector<std::string> taken;
  const std::vector<std::pair<const char*, const char*>> names = {
      {"satin red", "satin_red"}, {"satin_red", "satin_red2"}, {"9lives", "_9lives"},
      {"ns:a.b", "ns_a_b"},       {"", "_"},                   {"plain", "plain"}};
  std::vector<NamedMaterial> several;
  for (const auto& [given, usable] : names) {
    EXPECT_EQ(usableMaterialName(given, taken), usable);
    several.push_back({usable, m});
  }
  for (Host h : kHosts) {
    const std::string text = h == Host::kMaya ? mayaAsciiText(several, "x.ma")
                                              : mentalRayText(several, "x.mi");
    SceneFile f;
    const bool ok = h == Host::kMaya ? readMayaAscii(text, "x.ma", schema, f, error)
                                     : readMentalRay(text, "x.mi", schema, f, error);
    ASSERT_TRUE(ok) << error << "\n" << text;
    ASSERT_EQ(f.materials.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(f.materials[i].name, names[i].second);
    EXPECT_EQ(f.materials.back().material.at("specularU")[0], 200.0);
  }
  for (const char* name : {"", "9lives", "a b", "a\"b", "a.b", "ns:a"}) {
    EXPECT_FALSE(validMaterialName(name, error)) << name;
  }
}

}  // namespace
}  // namespace gws
