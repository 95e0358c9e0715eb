// The studio without a browser: request parsing, the HTTP answers to good
// and bad requests, what one client's change does to its render in flight,
// many clients at once, and the executable's command line and signals.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "image_io.h"
#include "request.h"
#include "schemas.h"
#include "server.h"
#include "studio.h"

namespace gwstudio {
namespace {

using nlohmann::json;

// Under valgrind a model's reader, a child forked from this threaded
// process, sees memory only the other threads' stacks pointed at as lost,
// and valgrind's error status turns its clean exit into a failed read.
bool underValgrind() { return std::getenv("GLINTWEAVE_UNDER_VALGRIND") != nullptr; }

bool sanitized() {
  return std::string(GLINTWEAVE_TEST_SANITIZER) != "" ||
         std::getenv("GLINTWEAVE_UNDER_VALGRIND") != nullptr;
}

// ---- request parameters -------------------------------------------------------

// This build's deliverables' inputs, as the studio loads them when it starts.
const std::shared_ptr<const gws::MaterialSchema>& schema() {
  static const std::shared_ptr<const gws::MaterialSchema> loaded = [] {
    std::string error;
    auto s = gws::loadMaterialSchema({}, {}, error);
    if (!s) ADD_FAILURE() << error;
    return s;
  }();
  return loaded;
}

struct ParamCase {
  std::string query;  // as a page sends it, already decoded
  std::string field;  // the parameter blamed; empty when the query is good
  std::string message;
};

Query queryOf(const std::string& text) {
  Query q;
  std::stringstream in(text);
  std::string pair;
  while (std::getline(in, pair, '&')) {
    const size_t eq = pair.find('=');
    q.emplace(pair.substr(0, eq), eq == std::string::npos ? "" : pair.substr(eq + 1));
  }
  return q;
}

TEST(StudioParams, BadValuesNameTheirParameterAndGoodOnesApply) {
  const std::vector<ParamCase> cases = {
      {"client=a&view=diff&w=64&h=32&spp=9&gain=2.5", "", ""},
      {"specularU=abc", "specularU", "specularU: 'abc' is not a finite number"},
      {"specularPower=-0.5", "specularPower", "specularPower: "},
      {"reflectSamples=0", "reflectSamples", "out of range"},
      {"reflectSamples=2.5", "reflectSamples", "not an integer"},
      {"color=1,2", "color", "three components"},
      {"indirect=maybe", "indirect", "not a boolean"},
      {"w=8", "w", "width: 8 is out of range [16, 1024]"},
      {"h=100000000000000000000", "h", "not an integer"},
      {"spp=0", "spp", "sample target"},
      {"gain=nan", "gain", "not a finite number"},
      {"vt=90", "vt", "out of range"},
      {"view=top", "view", "unknown view 'top'"},
      {"preset=velvet", "preset", "unknown preset 'velvet'"},
      {"client=a b", "client", "client"},
      {"client=", "client", "client"},
      {"bogus=1", "bogus", "unknown parameter 'bogus'"},
      {"specularu=1", "specularu", "unknown parameter 'specularu' (did you mean specularU?)"},
      {"specularU=1&specularU=2", "specularU", "more than once"},
      {"name=1node", "name", "name"},
      // The stage and the look.
      {"shape=torus&env=studio&envRotate=-90&envIntensity=2.5&azimuth=30&elevation=-20"
       "&distance=4&turntable=8&frame=3&exposure=1.5&viewTransform=Film",
       "", ""},
      {"shape=upload-0123456789abcdef&env=upload-fedcba9876543210&distance=0", "", ""},
      {"shape=cube", "shape", "unknown shape 'cube' (one of spheres, sphere, torus"},
      {"shape=upload-0123", "shape", "unknown shape"},
      {"shape=upload-0123456789ABCDEF", "shape", "unknown shape"},
      {"env=sky", "env", "unknown environment 'sky'"},
      {"envRotate=721", "envRotate", "out of range"},
      {"envIntensity=-1", "envIntensity", "out of range"},
      {"elevation=90", "elevation", "camera elevation: 90 is out of range"},
      {"azimuth=inf", "azimuth", "not a finite number"},
      {"distance=0.1", "distance", "camera distance"},
      {"turntable=73", "turntable", "out of range"},
      {"turntable=4&frame=5", "frame", "past the turntable's 4 frames"},
      {"frame=0", "frame", "out of range"},
      {"exposure=31", "exposure", "out of range"},
      {"viewTransform=a\001b", "viewTransform", "viewTransform"},
      {"envrotate=1", "envrotate", "did you mean envRotate?"},
  };
  for (const ParamCase& c : cases) {
    SCOPED_TRACE(c.query);
    StudioParams p;
    ParamError error;
    EXPECT_EQ(parseParams(queryOf(c.query), schema(), p, error), c.field.empty());
    EXPECT_EQ(error.field, c.field);
    EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
  }

  // An upload's own query: its kind and the file's name, with its format.
  const std::vector<ParamCase> uploads = {
      {"kind=model&file=Teapot.OBJ", "", ""},
      {"kind=environment&file=sky.hdr", "", ""},
      {"kind=texture&file=a.png", "kind", "model or environment"},
      {"file=a.obj", "kind", "kind"},
      {"kind=model", "file", "file"},
      {"kind=model&file=noextension", "file", "extension"},
      {"kind=model&file=../a.obj", "file", "file"},
      {"kind=model&file=a.", "file", "extension"},
      {"kind=model&file=a.obj&x=1", "x", "unknown parameter"},
      {"kind=model&kind=model&file=a.obj", "kind", "more than once"},
  };
  for (const ParamCase& c : uploads) {
    SCOPED_TRACE(c.query);
    UploadRequest u;
    ParamError error;
    EXPECT_EQ(parseUploadRequest(queryOf(c.query), u, error), c.field.empty());
    EXPECT_EQ(error.field, c.field);
    EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
    if (c.field.empty()) {
      EXPECT_TRUE(u.format == "obj" || u.format == "hdr") << u.format;
    }
  }

  // The preset first, then the inputs, whatever their order in the query.
  StudioParams p;
  ParamError error;
  ASSERT_TRUE(parseParams(queryOf("specularU=7&preset=satin&view=maya"), schema(), p, error));
  EXPECT_EQ(p.material.scalar("specularU"), 7.0f);
  EXPECT_EQ(p.material.scalar("specularV"), 90.0f);  // from the preset
  EXPECT_EQ(p.view, View::kMaya);
  // The canonical form reads back to the same material, bit for bit, also
  // where a float is written with an exponent ("1e+20": a bare '+' in a
  // query is a space) and where a value is given as -0 (kept as 0, so it
  // is never written as -0).
  for (const char* given : {"specularV=3.5e21&color=1e-7,0.5,0.25",
                            "indirect=on&normalOffset=0.0,0,-0."}) {
    SCOPED_TRACE(given);
    ASSERT_TRUE(parseParams(queryOf(given), schema(), p, error));
    const std::string canonical = materialQuery(p.material);
    EXPECT_EQ(canonical.find('+'), std::string::npos) << canonical;
    EXPECT_EQ(canonical.find("normalOffset"), std::string::npos) << canonical;  // 0,0,-0 is 0
    Query decoded;
    httplib::detail::parse_query_text(canonical, decoded);
    StudioParams back;
    ASSERT_TRUE(parseParams(decoded, schema(), back, error)) << error.message << " in " << canonical;
    EXPECT_TRUE(back.material == p.material) << canonical;
  }
}

// ---- the server, in process ---------------------------------------------------

struct Answer {
  int status = 0;
  std::string body;
  std::map<std::string, std::string> headers;
};

// One request over a fresh socket, the path sent exactly as given.
Answer rawGet(int port, const std::string& path) {
  Answer a;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return a;
  }
  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (::send(fd, request.data(), request.size(), 0) < 0) {
    ::close(fd);
    return a;
  }
  std::string response;
  char buf[4096];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) response.append(buf, static_cast<size_t>(n));
  ::close(fd);
  std::sscanf(response.c_str(), "HTTP/1.1 %d", &a.status);
  const size_t end = response.find("\r\n\r\n");
  if (end != std::string::npos) a.body = response.substr(end + 4);
  return a;
}

class Server : public ::testing::Test {
 protected:
  static constexpr size_t kTestMaxBody = 64u << 10;
  static void SetUpTestSuite() {
    StudioOptions options;
    options.scene = SceneKind::kAgreement;
    options.queueWait = std::chrono::milliseconds(3000);
    std::string error;
    studio_ = Studio::create(options, error).release();
    ASSERT_NE(studio_, nullptr) << error;
    // A small body bound, so that the test of it sends little: the server
    // reads an oversized body to its end before it answers 413, and 16 MiB
    // through a loaded sanitizer build can outlast its read timeout.
    ServerOptions serverOptions;
    serverOptions.maxBody = kTestMaxBody;
    // Valgrind runs one thread at a time, and a sanitizer's build on a
    // loaded machine is many times slower: fifty clients at once can leave
    // one a second or more between its connect and its request, and the
    // server would close the connection unanswered.
    if (sanitized()) serverOptions.keepAliveSeconds = 10;
    server_ = new StudioServer(*studio_, serverOptions);
    ASSERT_TRUE(server_->bind(error)) << error;
    thread_ = new std::thread([] { server_->run(); });
    // The server stops only once it is listening: a test that ends before
    // the thread gets there would leave the teardown's join waiting forever.
    for (int i = 0; i < 1200 && !client()->Get("/api/inputs"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  static void TearDownTestSuite() {
    if (server_) server_->stop();
    if (thread_) thread_->join();
    delete thread_;
    delete server_;
    delete studio_;
  }

  static std::unique_ptr<httplib::Client> client() {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    c->set_read_timeout(120, 0);
    // Sending a large body to a server under a loaded sanitizer build can stall
    // for seconds at a time; the default write timeout would fail the request.
    c->set_write_timeout(120, 0);
    c->set_connection_timeout(30, 0);
    return c;
  }
  static httplib::Result get(const std::string& path) { return client()->Get(path.c_str()); }

  static Studio* studio_;
  static StudioServer* server_;
  static std::thread* thread_;
};
Studio* Server::studio_ = nullptr;
StudioServer* Server::server_ = nullptr;
std::thread* Server::thread_ = nullptr;

TEST(ServerLoop, AStopBeforeOrJustAfterTheLoopStartsIsNotLost) {
  // The HTTP library forgets a stop that comes before its accept loop runs;
  // the studio's server must not (a test's teardown, a signal right after
  // the address line).
  StudioOptions options;
  options.scene = SceneKind::kAgreement;
  std::string error;
  auto studio = Studio::create(options, error);
  ASSERT_TRUE(studio) << error;
  for (int attempt = 0; attempt < 20; ++attempt) {
    StudioServer server(*studio, ServerOptions{});
    ASSERT_TRUE(server.bind(error)) << error;
    if (attempt == 0) server.stop();  // before run()
    auto loop = std::async(std::launch::async, [&] { server.run(); });
    if (attempt > 0) server.stop();
    if (loop.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      ADD_FAILURE() << "run() did not return after stop(), attempt " << attempt;
      std::_Exit(1);  // the loop cannot be joined; do not hang the suite
    }
  }
}

TEST_F(Server, BadValuesGet400WithAJsonErrorNamingTheParameter) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/api/frame?client=t&specularU=abc", "specularU"},
      {"/api/frame?client=t&w=5", "w"},
      {"/api/frame?client=t&spp=99999", "spp"},
      {"/api/frame?client=t&view=top", "view"},
      {"/api/frame?client=t&bogus=1", "bogus"},
      {"/api/frame?client=t&client=u", "client"},
      {"/api/frame?client=a%20b", "client"},
      {"/api/frame", "client"},
      {"/api/frame?client=t&color=-1,0,0", "color"},
      {"/api/frame?client=t&specularU=%FF%01%C3", "specularU"},  // quoted back as valid JSON
      {"/api/lobe?vt=95", "vt"},
      {"/api/image?client=t&format=gif", "format"},
      {"/api/export?format=ma&specularV=x", "specularV"},
      // A link to an upload the studio does not hold (any more) says so.
      {"/api/frame?client=t&shape=upload-0123456789abcdef", "shape"},
      {"/api/frame?client=t&env=upload-0123456789abcdef", "env"},
      {"/api/image?client=t&env=upload-0123456789abcdef", "env"},
      {"/api/frame?client=t&viewTransform=Film", "viewTransform"},
      {"/api/frame?client=t&turntable=2&frame=3", "frame"},
  };
  for (const auto& [path, field] : cases) {
    SCOPED_TRACE(path);
    const auto res = get(path);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    const json body = json::parse(res->body);
    EXPECT_EQ(body.value("field", ""), field);
    EXPECT_FALSE(body.value("error", "").empty());
  }
}

// A page checks all its fields in one request: every bad one is named, the
// good ones are not, whatever their order or number.
TEST_F(Server, CheckNamesEveryBadParameterAtOnce) {
  const auto res =
      get("/api/check?specularU=abc&view=side&w=5&specularV=40&bogus=1&color=-1,0,0&spp=2&spp=x");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  const json body = json::parse(res->body);
  std::vector<std::string> fields;
  for (const json& p : body.at("problems")) {
    fields.push_back(p.at("field").get<std::string>());
    EXPECT_FALSE(p.at("error").get<std::string>().empty()) << fields.back();
  }
  std::sort(fields.begin(), fields.end());
  EXPECT_EQ(fields, (std::vector<std::string>{"bogus", "color", "specularU", "spp", "w"}));
  EXPECT_EQ(json::parse(get("/api/check?specularU=40&view=diff")->body).at("problems").size(), 0u);
}

TEST_F(Server, UnknownPathsAndPathsWithDotDotGet404AndThePageIsServed) {
  for (const char* path : {"/nope", "/api/nope", "/index.htm", "/js/../index.html",
                           "/../../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd",
                           "/js/%2E%2E/index.html", "/studio.css/..", "/..%2fetc%2fpasswd"}) {
    SCOPED_TRACE(path);
    const Answer a = rawGet(server_->port(), path);
    EXPECT_EQ(a.status, 404);
    EXPECT_NE(a.body.find("\"error\""), std::string::npos) << a.body;
    EXPECT_EQ(a.body.find("root:"), std::string::npos);
  }
  const Answer page = rawGet(server_->port(), "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<canvas id=\"image\""), std::string::npos);
  for (const char* module : {"/js/studio.js", "/js/controls.js", "/js/lobe.js", "/studio.css"}) {
    EXPECT_EQ(rawGet(server_->port(), module).status, 200) << module;
  }
}

TEST_F(Server, RequestSizeIsBounded) {
  // A query past the URI bound and a body past the upload bound are refused
  // before anything reads them.
  EXPECT_EQ(rawGet(server_->port(), "/api/lobe?x=" + std::string(20000, 'a')).status, 414);
  EXPECT_EQ(ServerOptions{}.maxBody, 16u << 20);  // what a real studio allows
  for (const size_t size : {kTestMaxBody, kTestMaxBody + 1}) {
    SCOPED_TRACE(size);
    const auto res = client()->Post("/api/import?file=big.ma", std::string(size, ' '), "text/plain");
    ASSERT_TRUE(res);
    if (size > kTestMaxBody) {
      EXPECT_EQ(res->status, 413);
    } else {
      EXPECT_NE(res->status, 413);
    }
  }
}

// A small Radiance image, 8 x 4, every pixel 0.5 (flat scanlines).
std::string smallHdr() {
  std::string hdr = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 4 +X 8\n";
  for (int i = 0; i < 8 * 4; ++i) hdr += std::string("\x80\x80\x80\x80", 4);
  return hdr;
}

const char* kTriangleObj = "v -1 0 0\nv 1 0 0\nv 0 2 0\nv 0 1 -1\nf 1 2 3\nf 1 3 4\nf 2 4 3\n";

// Models and images are read in memory when they arrive, and a bad one is
// refused with a message naming the file; an upload is then a stage's shape
// or environment by its id, and only where it fits.
TEST_F(Server, UploadsAreReadInMemoryAndBadOnesAreRefused) {
  struct Case {
    std::string query;
    std::string body;
    int status;
    std::string message;  // in the error, when refused
  };
  const std::vector<Case> cases = {
      {"kind=model&file=tri.obj", kTriangleObj, 200, ""},
      {"kind=environment&file=sky.hdr", smallHdr(), 200, ""},
      {"kind=model&file=garbage.obj", "this is not a model\n\x01\x02", 400, "garbage.obj"},
      {"kind=model&file=empty.stl", "", 400, "empty.stl: the file is empty"},
      {"kind=environment&file=garbage.hdr", "#?RADIANCE\nnonsense\n", 400, "garbage.hdr"},
      {"kind=environment&file=sky.png", smallHdr(), 400, "upload a latitude-longitude .exr or .hdr"},
      {"kind=environment&file=big.hdr", std::string(kTestMaxBody + 1, 'x'), 413, "MiB"},
      {"kind=texture&file=a.png", "x", 400, "kind"},
  };
  std::map<std::string, std::string> ids;  // kind -> id
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    if (underValgrind() && c.status == 200 && c.query.find("model") != std::string::npos) continue;
    const auto res = client()->Post(("/api/upload?" + c.query).c_str(), c.body,
                                    "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status) << res->body;
    const json body = json::parse(res->body);
    if (c.status == 200) {
      ids[body.at("kind").get<std::string>()] = body.at("id").get<std::string>();
      EXPECT_TRUE(isUploadId(body.at("id").get<std::string>())) << res->body;
    } else {
      EXPECT_NE(body.value("error", "").find(c.message), std::string::npos) << res->body;
      EXPECT_EQ(body.value("error", "").find('\n'), std::string::npos);
    }
  }
  ASSERT_EQ(ids.size(), underValgrind() ? 1u : 2u);
  if (underValgrind()) ids["model"] = "torus";
  // The uploads render, through both hosts; each only in its own place.
  const std::string stage = "&shape=" + ids["model"] + "&env=" + ids["environment"];
  const auto frame = get("/api/frame?client=up&w=32&h=24&spp=1" + stage);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->status, 200) << frame->body;
  EXPECT_EQ(frame->body.size(), 2u * 32 * 24 * 4);
  std::vector<std::pair<std::string, std::string>> misplaced{{"shape=" + ids["environment"], "shape"}};
  if (!underValgrind()) misplaced.emplace_back("env=" + ids["model"], "env");
  for (const auto& [query, field] : misplaced) {
    const auto res = get("/api/frame?client=up&" + query);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_EQ(json::parse(res->body).value("field", ""), field);
    const auto check = json::parse(get("/api/check?" + query)->body).at("problems");
    ASSERT_EQ(check.size(), 1u);
    EXPECT_NE(check[0].at("error").get<std::string>().find("not a"), std::string::npos);
  }
}

// The stage changes what is rendered; the look only how it is shown: a
// brighter exposure shows the same samples brighter, without rendering.
TEST_F(Server, TheStageChangesTheImageAndTheLookOnlyItsCodes) {
  auto frameOf = [](const std::string& extra) {
    const auto res = get("/api/frame?client=look&view=maya&w=32&h=24&spp=1" + extra);
    EXPECT_TRUE(res && res->status == 200) << (res ? res->body : "no answer");
    return res ? res->body : std::string();
  };
  auto mean = [](const std::string& rgba) {
    double sum = 0.0;
    for (size_t i = 0; i < rgba.size(); i += 4) sum += static_cast<unsigned char>(rgba[i + 1]);
    return sum / static_cast<double>(rgba.size() / 4);
  };
  const std::string spheres = frameOf("");
  const std::string torus = frameOf("&shape=torus&env=studio");
  EXPECT_NE(spheres, torus);
  const std::string turned = frameOf("&shape=torus&env=studio&azimuth=60&elevation=20");
  EXPECT_NE(turned, torus);
  const std::string brighter = frameOf("&shape=torus&env=studio&azimuth=60&elevation=20&exposure=1");
  EXPECT_GT(mean(brighter), mean(turned) + 5.0);
  EXPECT_NE(frameOf("&shape=torus&env=studio&azimuth=60&elevation=20&turntable=4&frame=3"), turned);
}

// Beyond loopback a studio takes no uploads unless told to; the refusal
// names the flag.
TEST(ServerUploads, BeyondLoopbackUploadsNeedAllowUploads) {
  StudioOptions options;
  options.scene = SceneKind::kAgreement;
  std::string error;
  auto studio = Studio::create(options, error);
  ASSERT_TRUE(studio) << error;
  for (const bool allow : {false, true}) {
    SCOPED_TRACE(allow);
    ServerOptions serverOptions;
    serverOptions.bind = "0.0.0.0";
    serverOptions.allowUploads = allow;
    StudioServer server(*studio, serverOptions);
    ASSERT_TRUE(server.bind(error)) << error;
    std::thread loop([&] { server.run(); });
    httplib::Client c("127.0.0.1", server.port());
    int status = 0;
    std::string body;
    for (int i = 0; i < 600 && status == 0; ++i) {
      if (auto res = c.Post("/api/upload?kind=environment&file=sky.hdr", smallHdr(),
                            "application/octet-stream")) {
        status = res->status;
        body = res->body;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
    server.stop();
    loop.join();
    if (allow) {
      EXPECT_EQ(status, 200) << body;
    } else {
      EXPECT_EQ(status, 403);
      EXPECT_NE(body.find("--allow-uploads"), std::string::npos) << body;
    }
  }
  EXPECT_TRUE(isLoopback("127.0.0.1") && isLoopback("::1") && !isLoopback("0.0.0.0"));
}

// A studio started with an OpenColorIO config offers its views; each shows
// the same sums through its own transform, and a view the config lacks is
// refused naming the ones it has.
TEST(StudioLooks, TheConfigsViewsAreOfferedAndShowTheSameSums) {
  if (!gwp::ocioSupported()) GTEST_SKIP() << "built without OpenColorIO";
  char dir[] = "/tmp/glintweave-looks-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/looks.ocio";
  std::ofstream(path) << R"(ocio_profile_version: 1
roles:
  default: linear
  scene_linear: linear
displays:
  lab:
    - !<View> {name: raw, colorspace: linear}
    - !<View> {name: half, colorspace: halved}
active_displays: []
active_views: []
colorspaces:
  - !<ColorSpace>
    name: linear
    bitdepth: 32f
  - !<ColorSpace>
    name: halved
    bitdepth: 32f
    from_reference: !<MatrixTransform> {matrix: [0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 1]}
)";
  StudioOptions options;
  options.scene = SceneKind::kAgreement;
  options.ocioConfig = path;
  std::string error;
  auto studio = Studio::create(options, error);
  ASSERT_TRUE(studio) << error;
  EXPECT_EQ(studio->transformNames(), (std::vector<std::string>{"raw", "half"}));
  StudioParams p;
  ParamError perr;
  ASSERT_TRUE(parseParams(queryOf("client=looks&view=maya&w=16&h=16&spp=1"), studio->schema(), p, perr));
  auto codes = [&](const std::string& view) {
    p.look.transform = view;
    Frame f;
    EXPECT_EQ(studio->frame(p, f, error), Outcome::kOk) << error;
    return f.rgba;
  };
  const std::vector<uint8_t> raw = codes("raw");
  const std::vector<uint8_t> half = codes("half");
  ASSERT_EQ(raw.size(), half.size());
  int compared = 0;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (i % 4 == 3 || raw[i] == 255) continue;  // alpha; clipped
    EXPECT_NEAR(half[i], raw[i] / 2.0, 1.0) << i;
    ++compared;
  }
  EXPECT_GT(compared, 100);
  p.look.transform = "ACES";
  EXPECT_FALSE(studio->checkRequest(p, perr));
  EXPECT_EQ(perr.field, "viewTransform");
  EXPECT_NE(perr.message.find("its views: raw, half"), std::string::npos) << perr.message;
  studio.reset();
  options.ocioConfig = std::string(dir) + "/missing.ocio";
  EXPECT_FALSE(Studio::create(options, error));
  EXPECT_NE(error.find("missing.ocio"), std::string::npos) << error;
  std::remove(path.c_str());
  ::rmdir(dir);
}

TEST_F(Server, ListensOnLoopbackOnlyByDefault) {
  // The listening socket's local address, from the kernel's table.
  std::ifstream tcp("/proc/net/tcp");
  ASSERT_TRUE(tcp);
  char port[8];
  std::snprintf(port, sizeof port, "%04X", server_->port());
  std::string line;
  bool found = false;
  while (std::getline(tcp, line)) {
    std::istringstream in(line);
    std::string slot, local, remote, state;
    in >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() > 9 && local.substr(9) == port) {
      found = true;
      EXPECT_EQ(local.substr(0, 8), "0100007F") << "bound to " << local;
    }
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(server_->url(), "http://127.0.0.1:" + std::to_string(server_->port()) + "/");
}

TEST_F(Server, FramesRefineToTheTargetAndAChangeStartsOver) {
  const std::string base = "/api/frame?client=refine&w=32&h=24&spp=5";
  int passes = 0;
  int samples = 0;
  for (int i = 0; i < 10 && samples < 5; ++i) {
    const auto res = get(base + "&specularU=20&view=side");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(res->body.size(), 64u * 24u * 4u);
    EXPECT_EQ(res->get_header_value("X-Frame-Width"), "64");
    const int p = std::stoi(res->get_header_value("X-Frame-Passes"));
    const int s = std::stoi(res->get_header_value("X-Frame-Samples"));
    EXPECT_EQ(p, passes + 1);
    EXPECT_GT(s, samples);
    passes = p;
    samples = s;
  }
  EXPECT_EQ(samples, 5);
  // At the target the image is answered without rendering again.
  auto res = get(base + "&specularU=20&view=side");
  EXPECT_EQ(res->get_header_value("X-Frame-Passes"), std::to_string(passes));
  // A gain or the side of the view shown is no change of the image...
  res = get(base + "&specularU=20&view=diff&gain=8");
  EXPECT_EQ(res->get_header_value("X-Frame-Samples"), "5");
  EXPECT_EQ(res->get_header_value("X-Frame-Width"), "32");
  // ...a material input is.
  res = get(base + "&specularU=21&view=side");
  EXPECT_EQ(res->get_header_value("X-Frame-Samples"), "1");
  // What was shown can be saved: the very bytes the preview's file writer
  // writes for that image, encoded in memory. With no temporary folder to
  // write into, saving still works, and makes none.
  std::string scratch = "/tmp/gwstudio-test.XXXXXX";
  ASSERT_NE(::mkdtemp(scratch.data()), nullptr);
  const char* oldTmp = std::getenv("TMPDIR");
  const std::string savedTmp = oldTmp ? oldTmp : "";
  const std::string absent = scratch + "/absent";
  ::setenv("TMPDIR", absent.c_str(), 1);
  StudioParams shown;
  ParamError perr;
  ASSERT_TRUE(parseParams(queryOf("client=refine&view=side&specularU=21"), schema(), shown, perr));
  gwp::Image image;
  std::string error;
  ASSERT_EQ(studio_->image(shown, image, error), Outcome::kOk) << error;
  for (const std::string format : {"png", "exr"}) {
    if (format == "exr" && !gwp::exrSupported()) continue;
    res = get("/api/image?client=refine&view=side&format=" + format + "&specularU=21&name=silk_2");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << format << ": " << res->body;
    // Named after the material and the view.
    EXPECT_EQ(res->get_header_value("Content-Disposition"),
              "attachment; filename=\"silk_2-side." + format + "\"");
    const std::string path = scratch + "/saved." + format;
    gwp::OutputFile file;
    ASSERT_TRUE(file.open(path, error) && file.commit(image, error)) << error;
    std::ifstream written(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(written)),
                            std::istreambuf_iterator<char>());
    EXPECT_FALSE(bytes.empty());
    EXPECT_TRUE(res->body == bytes) << format << ": the route's bytes differ from the file's";
    std::remove(path.c_str());
  }
  struct stat st;
  EXPECT_NE(::stat(absent.c_str(), &st), 0) << "the studio made its temporary folder";
  if (oldTmp) {
    ::setenv("TMPDIR", savedTmp.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  ::rmdir(scratch.c_str());
  EXPECT_EQ(get("/api/image?client=never-rendered&format=png")->status, 409);
}

TEST_F(Server, ASupersededRenderStopsEarlyAndTheNewOneIsAnswered) {
  const std::string size = sanitized() ? "&w=256&h=192" : "&w=1024&h=768";
  const uint64_t stoppedBefore = studio_->stoppedPasses();
  std::optional<httplib::Result> slow;
  std::thread first([&] { slow.emplace(client()->Get(("/api/frame?client=busy" + size).c_str())); });
  // Once the big first pass is rendering, the same client changes a value.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (studio_->rendersRunning() == 0 && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_GT(studio_->rendersRunning(), 0);
  const auto fresh = get("/api/frame?client=busy&w=32&h=24&specularU=99");
  first.join();
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->status, 200);
  EXPECT_EQ(fresh->get_header_value("X-Frame-Samples"), "1");
  ASSERT_TRUE(slow && *slow);
  EXPECT_EQ((*slow)->status, 409) << (*slow)->body;
  EXPECT_GT(studio_->stoppedPasses(), stoppedBefore);
}

TEST_F(Server, ConcurrentClientsEachSeeOnlyTheirOwnMaterial) {
  // Without reflections the images are deterministic: a client's image must
  // be the same whether or not another client renders another material at
  // the same moment in the same deliverables.
  const std::string x = "&view=side&w=40&h=30&reflectivity=0&specularU=5";
  const std::string y =
      "&view=side&w=40&h=30&reflectivity=0&specularU=900&specularV=3&color=0.9,0.1,0.1";
  const auto alone = get("/api/frame?client=alone" + x);
  ASSERT_TRUE(alone);
  ASSERT_EQ(alone->status, 200);
  const int rounds = sanitized() ? 2 : 6;
  for (int round = 0; round < rounds; ++round) {
    std::optional<httplib::Result> a, b;
    const std::string n = std::to_string(round);
    std::thread ta([&] { a.emplace(client()->Get(("/api/frame?client=x" + n + x).c_str())); });
    std::thread tb([&] { b.emplace(client()->Get(("/api/frame?client=y" + n + y).c_str())); });
    ta.join();
    tb.join();
    ASSERT_TRUE(a && *a && b && *b);
    ASSERT_EQ((*a)->status, 200);
    ASSERT_EQ((*b)->status, 200);
    EXPECT_TRUE((*a)->body == alone->body) << "round " << round;
    EXPECT_FALSE((*b)->body == alone->body);
  }
}

long residentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST_F(Server, FiftyClientsAtOnceAllGetAnAnswerAndMemoryStaysBounded) {
  ASSERT_EQ(get("/api/frame?client=warm&w=32&h=24")->status, 200);
  const long before = residentKb();
  constexpr int kClients = 50;
  // A status, or the client's error when no answer came.
  std::vector<int> status(kClients, 0);
  std::vector<std::string> failure(kClients);
  std::vector<std::thread> threads;
  for (int round = 0; round < 2; ++round) {
    threads.clear();
    for (int i = 0; i < kClients; ++i) {
      threads.emplace_back([&, i] {
        const std::string path = "/api/frame?client=many" + std::to_string(i) +
                                 "&w=32&h=24&view=side&specularU=" + std::to_string(10 + i);
        const auto res = client()->Get(path.c_str());
        status[static_cast<size_t>(i)] = res ? res->status : -1;
        if (!res) failure[static_cast<size_t>(i)] = httplib::to_string(res.error());
      });
    }
    for (std::thread& t : threads) t.join();
    int ok = 0;
    for (size_t i = 0; i < status.size(); ++i) {
      EXPECT_TRUE(status[i] == 200 || status[i] == 503)
          << "client " << i << ": status " << status[i] << " " << failure[i];
      ok += status[i] == 200;
    }
    EXPECT_GT(ok, 0);
  }
  EXPECT_LE(studio_->clientCount(), static_cast<size_t>(studio_->options().maxClients));
  // Fifty clients of 32x24 images need little; a leak per request or an
  // unbounded queue of images would show here.
  EXPECT_LT(residentKb() - before, 150 * 1024) << "kB before: " << before;
}

// The difference's figures from pass sums: a pixel whose passes (1 sample
// at 0.1, 1 at 0.3, 2 at 0.2) average 0.2 with a spread that puts the
// noise of that mean at 0.05; one pass alone says nothing of the noise.
TEST(DiffFigures, MeasureTheMeanDifferenceAndTheNoiseOfItsPasses) {
  struct Case {
    std::vector<std::pair<int, double>> passes;  // samples, mean
    double rmse, max, noise;
  };
  const std::vector<Case> cases = {
      {{{1, 0.1}, {1, 0.3}, {2, 0.2}}, 0.2, 0.2, 0.05},
      {{{1, -0.2}}, 0.2, 0.2, 0.0},
      {{{2, 0.0}, {2, 0.0}}, 0.0, 0.0, 0.0},
  };
  for (const Case& c : cases) {
    std::vector<double> sum(3, 0.0), sumSq(3, 0.0);
    int samples = 0;
    for (const auto& [n, x] : c.passes) {
      for (size_t k = 0; k < 3; ++k) {
        sum[k] += n * x;
        sumSq[k] += n * x * x;
      }
      samples += n;
    }
    const DiffFigures f = diffFigures(sum, sumSq, samples, static_cast<int>(c.passes.size()));
    EXPECT_NEAR(f.rmse, c.rmse, 1e-12);
    EXPECT_NEAR(f.max, c.max, 1e-12);
    EXPECT_NEAR(f.noise, c.noise, 1e-9);
  }
}

// On the scene where the hosts agree, the difference of both hosts'
// progressive images is their disagreement, not their sampling noise: the
// same camera rays and the same random streams per tile make the noise
// cancel, also after renders of one host alone have put one deliverable's
// stream tickets ahead of the other's.
TEST_F(Server, TheDifferenceCancelsTheNoiseAndSaysHowLargeBothAre) {
  const std::string material =
      "&w=48&h=48&specularU=40&specularV=4&reflectSamples=4&specularPower=0.5&diffuse=0.8"
      "&color=0.5,0.5,0.5";
  auto figures = [&](const std::string& client, const std::string& query) {
    std::map<std::string, double> f;
    for (int i = 0; i < 40; ++i) {
      const auto res = get("/api/frame?client=" + client + material + query);
      EXPECT_TRUE(res && res->status == 200);
      if (!res || res->status != 200) break;
      for (const char* k : {"X-Diff-Rmse", "X-Diff-Max", "X-Diff-Noise"}) {
        if (res->has_header(k)) f[k] = std::stod(res->get_header_value(k));
      }
      if (res->get_header_value("X-Frame-Samples") == res->get_header_value("X-Frame-Target")) break;
    }
    return f;
  };
  const auto noiseless = figures("agree-0", "&view=diff&spp=4&reflectivity=0");
  ASSERT_EQ(noiseless.size(), 3u) << "a difference frame carries its figures";
  EXPECT_LT(noiseless.at("X-Diff-Noise"), 1e-6) << "nothing random, no noise";
  const auto aligned = figures("agree-1", "&view=diff&spp=6&reflectivity=1");
  EXPECT_GT(aligned.at("X-Diff-Noise"), 0.0);
  EXPECT_GE(aligned.at("X-Diff-Max"), aligned.at("X-Diff-Rmse"));
  // Maya alone, twice: its deliverable hands out tickets the other does not.
  EXPECT_TRUE(figures("agree-2", "&view=maya&spp=2&reflectivity=1").empty())
      << "one host has no difference";
  const auto after = figures("agree-3", "&view=diff&spp=6&reflectivity=1");
  // Out of step, the noise of the difference would be that of two
  // independent images, several times the cancelled one.
  EXPECT_LT(after.at("X-Diff-Noise"), 2.0 * aligned.at("X-Diff-Noise"))
      << "aligned " << aligned.at("X-Diff-Noise");
}

// The page's tooltips: every input's one-line description, the very
// sentence the material guide prints for it.
TEST_F(Server, EveryInputCarriesTheGuidesDescription) {
  const auto res = get("/api/inputs");
  ASSERT_TRUE(res);
  const json inputs = json::parse(res->body)["inputs"];
  ASSERT_FALSE(inputs.empty());
  for (const auto& in : inputs) {
    SCOPED_TRACE(in["name"].get<std::string>());
    ASSERT_TRUE(in.contains("description"));
    const std::string d = in["description"];
    EXPECT_GT(d.size(), 20u);
    EXPECT_EQ(d.find('|'), std::string::npos);
    EXPECT_EQ(d.back(), '.') << "a whole sentence";
  }
  // The guide's list, read here on its own: "name | ... | ... | sentence".
  std::ifstream guide(GLINTWEAVE_TEST_GUIDE_INPUTS);
  ASSERT_TRUE(guide) << GLINTWEAVE_TEST_GUIDE_INPUTS;
  size_t compared = 0;
  for (std::string line; std::getline(guide, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::string name = line.substr(0, line.find(" |"));
    const std::string sentence = line.substr(line.rfind("| ") + 2);
    for (const auto& in : inputs) {
      if (in["name"] != name) continue;
      EXPECT_EQ(in["description"], sentence) << name;
      ++compared;
    }
  }
  EXPECT_EQ(compared, inputs.size());
}

TEST_F(Server, TheLobeComesFromBothHostsAndShowsTheAnisotropy) {
  const auto res = get("/api/lobe?specularU=400&specularV=8&vt=30");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  const json lobe = json::parse(res->body);
  const int na = lobe["azimuthSteps"], ne = lobe["elevationSteps"];
  for (const char* host : {"maya", "mentalray"}) {
    SCOPED_TRACE(host);
    ASSERT_TRUE(lobe.contains(host));
    const auto& map = lobe[host]["map"];
    ASSERT_EQ(map.size(), static_cast<size_t>(na * ne));
    EXPECT_EQ(lobe[host]["plane"].size(), 181u);
    // Seen from 30 degrees at azimuth 0, the highlight is around the mirror
    // direction (azimuth 180, 30 degrees): narrow along the first tangent
    // (exponent 400), wide along the second (8). At the same angle from the
    // mirror direction (16 degrees: in the plane from 30 to 46 degrees, or
    // out of it by 32 degrees of azimuth), the response falls far more
    // across the first tangent than across the second.
    auto at = [&](int azimuthDeg, int thetaDeg) {
      return map[static_cast<size_t>((thetaDeg / 2) * na + azimuthDeg / 4)].get<double>();
    };
    const double peak = at(180, 30);
    const double alongV = at(180 + 32, 30);  // swung towards the second tangent
    const double alongU = at(180, 46);       // tilted in the plane of the first
    EXPECT_GT(peak, 0.0);
    EXPECT_GT(alongV, 3.0 * alongU) << "peak " << peak;
  }
}

TEST_F(Server, ExportsAndImportsGoThroughTheSceneFiles) {
  // Export: the value set, in each host's own form.
  auto res = get("/api/export?format=ma&name=silk&specularU=234.5&color=0.25,0.5,0.75");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  EXPECT_NE(res->body.find("createNode glintWeave -n \"silk\";"), std::string::npos) << res->body;
  EXPECT_NE(res->body.find("setAttr \".su\" 234.5;"), std::string::npos) << res->body;
  res = get("/api/export?format=mi&name=silk&specularU=234.5");
  ASSERT_EQ(res->status, 200) << res->body;
  EXPECT_NE(res->body.find("\"kl4v_glintWeave\""), std::string::npos) << res->body;
  EXPECT_NE(res->body.find("234.5"), std::string::npos) << res->body;
  EXPECT_EQ(get("/api/export?format=obj")->status, 400);
  // What a Maya node has no place for is carried as a comment and named in
  // a header, never dropped in silence.
  res = get("/api/export?format=ma&name=silk&indirect=on");
  ASSERT_EQ(res->status, 200) << res->body;
  EXPECT_NE(res->body.find("// silk: not written: indirect=1 (only mentalray has indirect)\n"),
            std::string::npos)
      << res->body;
  EXPECT_EQ(res->get_header_value("X-Glintweave-Not-Written"),
            "indirect=1 (only mentalray has indirect)");

  // Import: what was exported comes back, value for value; bad files say
  // where they went wrong.
  const std::string ma = get("/api/export?format=ma&name=silk&specularU=234.5")->body;
  struct Case {
    std::string file, body;
    int status;
    std::string expect;  // in the answer
  };
  const std::vector<Case> cases = {
      {"shot.ma", ma, 200, "specularU=234.5"},
      {"shot.mi",
       "shader \"velvet\" \"kl4v_glintWeave\" ( \"specularV\" 77, \"color\" 1 0 0 )\n", 200,
       "\"velvet\""},
      {"shot.ma", "createNode glintWeave -n \"x\";\n setAttr \".nosuch\" 1;\n", 400, "shot.ma:2:"},
      {"shot.ma", "createNode transform -n \"t\";\n", 400, "shot.ma:"},
      {"shot.obj", "v 0 0 0\n", 400, ".ma"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file + ": " + c.body.substr(0, 40));
    const auto r = client()->Post(("/api/import?file=" + c.file).c_str(), c.body, "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << r->body;
    EXPECT_NE(r->body.find(c.expect), std::string::npos) << r->body;
    EXPECT_TRUE(json::accept(r->body)) << r->body;
  }
}

// ---- the executable -------------------------------------------------------------

struct Process {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

Process start(const std::vector<std::string>& args) {
  int outPipe[2], errPipe[2];
  EXPECT_EQ(::pipe(outPipe), 0);
  EXPECT_EQ(::pipe(errPipe), 0);
  Process p;
  p.pid = ::fork();
  if (p.pid == 0) {
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    std::vector<char*> argv{const_cast<char*>(GLINTWEAVE_TEST_STUDIO_EXE)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  p.out = outPipe[0];
  p.err = errPipe[0];
  return p;
}

std::string readLine(int fd) {
  std::string line;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

std::string readAll(int fd) {
  std::string s;
  char buf[1024];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

// The exit status, or -1 if the process is still running after `seconds`
// (a guard against a hang, not a timing check).
int waitFor(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 100; ++i) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

// A stop may come from another thread at any point of a server's life:
// before it serves, while its accept loop starts, or while it serves. Each
// must end run(); a lost stop leaves run() serving and this test hanging.
TEST(ServerLifetime, AStopAtAnyPointEndsTheServer) {
  StudioOptions options;
  options.scene = SceneKind::kAgreement;
  std::string error;
  const std::unique_ptr<Studio> studio = Studio::create(options, error);
  ASSERT_NE(studio, nullptr) << error;
  {
    StudioServer server(*studio, ServerOptions{});
    ASSERT_TRUE(server.bind(error)) << error;
    server.stop();
    server.run();  // returns at once
  }
  for (int i = 0; i < 20; ++i) {
    StudioServer server(*studio, ServerOptions{});
    ASSERT_TRUE(server.bind(error)) << error;
    std::thread serving([&] { server.run(); });
    if (i % 2 == 1) std::this_thread::sleep_for(std::chrono::milliseconds(i));
    server.stop();
    serving.join();
  }
}

TEST(Executable, PrintsItsAddressFirstAndStopsCleanlyOnEachSignal) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    Process p = start({"--port", "0", "--scene", "agreement"});
    const std::string line = readLine(p.out);
    int port = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "glintweave-studio: http://127.0.0.1:%d/", &port), 1)
        << line;
    EXPECT_EQ(line, "glintweave-studio: http://127.0.0.1:" + std::to_string(port) + "/");
    // A page's connection kept alive, and a render going on, do not hold
    // the stop up.
    httplib::Client keepAlive("127.0.0.1", port);
    keepAlive.set_keep_alive(true);
    ASSERT_TRUE(keepAlive.Get("/api/inputs"));
    std::thread busy([port] {
      httplib::Client c("127.0.0.1", port);
      c.Get("/api/frame?client=big&w=1024&h=768");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::kill(p.pid, sig);
    EXPECT_EQ(waitFor(p.pid, 30), 0);
    busy.join();
    EXPECT_NE(readAll(p.err).find("stopped"), std::string::npos);
    ::close(p.out);
    ::close(p.err);
  }
}

TEST(Executable, APortInUseIsRefusedAndOneInTimeWaitIsTakenAgain) {
  Process first = start({"--port", "0"});
  const std::string line = readLine(first.out);
  const size_t colon = line.rfind(':');
  ASSERT_NE(colon, std::string::npos) << line;
  const std::string port = std::to_string(std::atoi(line.c_str() + colon + 1));
  // A second studio on the same port would share it, the kernel splitting
  // the connections between the two: it must stop instead.
  Process second = start({"--port", port});
  EXPECT_EQ(waitFor(second.pid, 30), 2);
  EXPECT_NE(readAll(second.err).find("cannot listen on 127.0.0.1 port " + port +
                                     ": address already in use"),
            std::string::npos);
  EXPECT_EQ(readAll(second.out), "");
  // A connection the studio closed leaves the port in TIME_WAIT: a studio
  // started again at once takes the port all the same.
  EXPECT_EQ(rawGet(std::atoi(port.c_str()), "/api/inputs").status, 200);
  ::kill(first.pid, SIGTERM);
  EXPECT_EQ(waitFor(first.pid, 30), 0);
  Process again = start({"--port", port});
  EXPECT_EQ(readLine(again.out), line);
  ::kill(again.pid, SIGTERM);
  EXPECT_EQ(waitFor(again.pid, 30), 0);
  for (const Process& p : {first, second, again}) {
    ::close(p.out);
    ::close(p.err);
  }
}

TEST(Executable, BadArgumentsGetOneLineAndStatusTwoAndOtherAddressesAWarning) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"--port", "70000"}, "--port"},
      {{"--scene", "moon"}, "unknown scene 'moon' (use studio"},
      {{"--scene", "agreemnt"}, "unknown scene 'agreemnt' (did you mean agreement? use studio"},
      {{"--frobnicate"}, "frobnicate"},
      // An address of no interface here (a documentation address: numeric,
      // so no name lookup is made).
      {{"--bind", "192.0.2.1", "--port", "0"}, "cannot listen on 192.0.2.1"},
      {{"--ocio", "/nonexistent/studio.ocio"}, "cannot read the OpenColorIO config /nonexistent"},
  };
  for (const auto& [args, message] : bad) {
    SCOPED_TRACE(args[0]);
    Process p = start(args);
    EXPECT_EQ(waitFor(p.pid, 60), 2);
    const std::string err = readAll(p.err);
    EXPECT_NE(err.find(message), std::string::npos) << err;
    EXPECT_EQ(readAll(p.out), "");
    ::close(p.out);
    ::close(p.err);
  }
  // Any address: served, with a warning that others can reach it. A stop
  // right after the address line, before the server's loop may have
  // started, still stops it (tried a few times: the window is short).
  for (int attempt = 0; attempt < 4; ++attempt) {
    Process p = start({"--port", "0", "--bind", "0.0.0.0"});
    EXPECT_EQ(readLine(p.out).rfind("glintweave-studio: http://127.0.0.1:", 0), 0u);
    ::kill(p.pid, SIGTERM);
    EXPECT_EQ(waitFor(p.pid, 30), 0);
    const std::string err = readAll(p.err);
    EXPECT_NE(err.find("warning: listening on 0.0.0.0"), std::string::npos) << err;
    EXPECT_NE(err.find("uploads refused (start with --allow-uploads"), std::string::npos) << err;
    ::close(p.out);
    ::close(p.err);
  }

  Process help = start({"--help"});
  EXPECT_EQ(waitFor(help.pid, 30), 0);
  const std::string text = readAll(help.out);
  for (const char* option : {"--port", "--bind", "--open", "--scene"}) {
    EXPECT_NE(text.find(option), std::string::npos) << option;
  }
  ::close(help.out);
  ::close(help.err);

  // The name and the version, the same one the preview prints.
  Process version = start({"--version"});
  EXPECT_EQ(waitFor(version.pid, 30), 0);
  EXPECT_EQ(readAll(version.out), std::string("glintweave-studio ") + gws::toolsVersion() + "\n");
  ::close(version.out);
  ::close(version.err);
}

}  // namespace
}  // namespace gwstudio
