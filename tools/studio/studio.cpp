#include "studio.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <thread>
#include <utility>

#include "display.h"
#include "image_io.h"
#include "stage.h"

namespace gwstudio {

using gwp::Host;
using gwp::Image;
using gwp::Rgb;
using gwp::Vec3;

namespace {

constexpr int kPassTileSize = 32;

constexpr std::pair<SceneKind, const char*> kScenes[] = {{SceneKind::kStudio, "studio"},
                                                         {SceneKind::kPointLights, "point-lights"},
                                                         {SceneKind::kAgreement, "agreement"}};

}  // namespace

const char* sceneName(SceneKind scene) { return nameIn(kScenes, scene); }

bool parseSceneKind(const std::string& text, SceneKind& out) { return valueIn(kScenes, text, out); }

gwp::Scene makeScene(SceneKind scene) {
  switch (scene) {
    case SceneKind::kStudio:
      return gwp::defaultScene(false);
    case SceneKind::kPointLights:
      return gwp::defaultScene(true);
    case SceneKind::kAgreement:
      break;
  }
  // One sphere, so that no reflection ray meets another surface (the Maya
  // node traces from depth 0 only), and point lights only.
  gwp::Scene s = gwp::sweepCellScene();
  for (gwp::Light& l : s.lights) l.kind = gwp::Light::Kind::kPoint;
  return s;
}

struct Studio::Client {
  std::string id;
  std::atomic<uint64_t> ticket{0};  // the newest request's number
  std::atomic<bool> stop{false};    // the render in flight is to stop
  std::mutex request;               // held by the request in flight

  std::mutex accum;  // guards what follows
  // What the sums are of: a request for anything else starts them again.
  std::vector<Host> hosts;
  int width = 0;  // per host
  int height = 0;
  gwp::Material material;
  Stage stage;
  std::vector<Rgb> sum;  // (width * hosts) x height
  // With both hosts: per pixel and channel, the passes' Maya minus mental
  // ray differences weighted by their samples, and their squares (see
  // DiffFigures); empty otherwise.
  std::vector<double> diffSum;
  std::vector<double> diffSumSq;
  int samples = 0;
  int passes = 0;
  double secondsPerSample = 0.0;  // of the last pass, per sample per pixel

  // Under clientsMutex_.
  int users = 0;
  uint64_t lastUse = 0;
};

struct Studio::Slot {
  bool busy = false;
  bool first = false;      // renders a first pass
  bool preempted = false;  // stopped to let a first pass go first
  Client* client = nullptr;
};

Studio::Studio(const StudioOptions& options) : options_(options), uploads_(options.uploads) {}

Studio::~Studio() { stop(); }

std::unique_ptr<Studio> Studio::create(const StudioOptions& options, std::string& error) {
  std::unique_ptr<Studio> studio(new Studio(options));
  studio->options_.renderSlots = std::max(1, options.renderSlots);
  studio->options_.maxClients = std::max(1, options.maxClients);
  if (studio->options_.threadsPerRender <= 0) {
    studio->options_.threadsPerRender =
        static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  }
  if (!studio->openLooks(error)) return nullptr;
  studio->scene_ = makeScene(options.scene);
  studio->stages_ = std::make_unique<StageScenes>(studio->scene_, studio->uploads_);
  // The deliverables' own inputs, read before a backend holds the plug-in.
  studio->schema_ = gws::loadMaterialSchema(
      {options.libraries.mayaPlugin, options.libraries.mentalRayShader}, {}, error);
  if (!studio->schema_) return nullptr;
  studio->materials_.assign(static_cast<size_t>(1 + studio->options_.renderSlots),
                            gwp::Material(studio->schema_));
  studio->materials_[0] = gwp::floorMaterial(studio->schema_);
  // What each backend holds for each slot: the materials it is made with.
  studio->written_.assign(static_cast<size_t>(studio->options_.renderSlots),
                          {studio->materials_[1], studio->materials_[1]});
  studio->slots_.resize(static_cast<size_t>(studio->options_.renderSlots));
  std::string missing;
  for (Host host : {Host::kMaya, Host::kMentalRay}) {
    std::string why;
    auto backend = gwp::createBackend(host, studio->scene_, studio->materials_,
                                      options.libraries, why);
    if (backend) {
      studio->backends_[hostIndex(host)] = std::move(backend);
    } else {
      missing += (missing.empty() ? "" : "; ") + why;
    }
  }
  if (!studio->backends_[0] && !studio->backends_[1]) {
    error = missing;
    return nullptr;
  }
  return studio;
}

bool Studio::hasHost(Host host) const { return backends_[hostIndex(host)] != nullptr; }

gwp::Backend* Studio::backend(Host host) const { return backends_[hostIndex(host)].get(); }

size_t Studio::clientCount() const {
  std::lock_guard<std::mutex> lock(clientsMutex_);
  return clients_.size();
}

int Studio::rendersRunning() {
  std::lock_guard<std::mutex> lock(slotsMutex_);
  return static_cast<int>(std::count_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.busy; }));
}

void Studio::stop() {
  std::lock_guard<std::mutex> lock(slotsMutex_);
  stopping_ = true;
  for (Slot& s : slots_) {
    if (s.busy && s.client) s.client->stop = true;
  }
  slotsChanged_.notify_all();
}

std::shared_ptr<Studio::Client> Studio::enter(const std::string& id, std::string& error) {
  std::lock_guard<std::mutex> lock(clientsMutex_);
  auto it = clients_.find(id);
  if (it == clients_.end()) {
    if (clients_.size() >= static_cast<size_t>(options_.maxClients)) {
      // The client unused longest gives its place up, unless every client
      // has a request in flight.
      auto victim = clients_.end();
      for (auto c = clients_.begin(); c != clients_.end(); ++c) {
        if (c->second->users == 0 &&
            (victim == clients_.end() || c->second->lastUse < victim->second->lastUse)) {
          victim = c;
        }
      }
      if (victim == clients_.end()) {
        error = "the studio is serving " + std::to_string(clients_.size()) +
                " pages already; try again shortly";
        return nullptr;
      }
      clients_.erase(victim);
    }
    auto client = std::make_shared<Client>();
    client->id = id;
    it = clients_.emplace(id, std::move(client)).first;
  }
  it->second->users += 1;
  it->second->lastUse = ++clock_;
  return it->second;
}

Outcome Studio::acquireSlot(Client& client, uint64_t ticket, bool first, const Stage& stage,
                            gwp::Scene& scene, int& slot, std::string& error) {
  std::unique_lock<std::mutex> lock(slotsMutex_);
  const auto deadline = std::chrono::steady_clock::now() + options_.queueWait;
  if (first) ++firstWaiting_;
  // Renders of one stage run together; another stage waits until they are
  // done, and meanwhile no new one of theirs starts, so it is not passed over.
  stagesWaiting_.push_back(&stage);
  Outcome outcome = Outcome::kOk;
  while (true) {
    if (stopping_ || client.ticket.load() != ticket) {
      outcome = Outcome::kSuperseded;
      break;
    }
    if (first) {
      // Refinement waits for first passes: stop what refines now.
      for (Slot& s : slots_) {
        if (s.busy && !s.first && !s.preempted) {
          s.preempted = true;
          s.client->stop = true;
        }
      }
    }
    const bool idle = std::none_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.busy; });
    const bool otherWaits = std::any_of(stagesWaiting_.begin(), stagesWaiting_.end(),
                                        [&](const Stage* w) { return *w != activeStage_; });
    const bool stageFits = idle || (stage == activeStage_ && !otherWaits);
    const bool mayRun = stageFits && (first || (firstWaiting_ == 0 && firstRunning_ == 0));
    auto free = std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.busy; });
    if (mayRun && free != slots_.end()) {
      // Reset before the ticket is read again: a newer request raises the
      // flag after it bumps the ticket, so neither is missed.
      client.stop = false;
      if (client.ticket.load() != ticket) {
        outcome = Outcome::kSuperseded;
        break;
      }
      if (stage != activeStage_ && !setStage(stage, scene, error)) {
        outcome = Outcome::kFailed;
        break;
      }
      *free = Slot{true, first, false, &client};
      slot = static_cast<int>(free - slots_.begin());
      if (first) ++firstRunning_;
      break;
    }
    if (slotsChanged_.wait_until(lock, deadline) == std::cv_status::timeout) {
      outcome = Outcome::kBusy;
      error = "every render slot is taken; try again shortly";
      break;
    }
  }
  stagesWaiting_.erase(std::find(stagesWaiting_.begin(), stagesWaiting_.end(), &stage));
  if (first) --firstWaiting_;
  // Waiting renders may go now (this one left the queue, or started).
  slotsChanged_.notify_all();
  return outcome;
}

// Under slotsMutex_, with no render running: the backends' scene becomes
// `scene`, and the hosts take what they copied of it again.
bool Studio::setStage(const Stage& stage, gwp::Scene& scene, std::string& error) {
  scene_ = std::move(scene);
  activeStage_ = stage;
  for (const auto& backend : backends_) {
    if (backend && !backend->sceneChanged(error)) {
      // Nothing may render a scene a host did not take: the next stage
      // sets it again.
      activeStage_.shape.clear();
      return false;
    }
  }
  return true;
}

void Studio::releaseSlot(int slot, bool first) {
  std::lock_guard<std::mutex> lock(slotsMutex_);
  slots_[static_cast<size_t>(slot)] = Slot{};
  if (first) --firstRunning_;
  slotsChanged_.notify_all();
}

// Each deliverable seeds a tile thread's random stream from a ticket of its
// own, taken at the thread's first draw, which a render makes in tile order
// (see render.h). A render of both hosts therefore gives Maya's tile k and
// mental ray's tile k the same stream exactly when both deliverables have
// handed out the same number of tickets before it; then, shading the same
// camera rays, they draw the same numbers for the same pixels and the
// sampling noise cancels in their difference. (Sub-pixel positions that
// differed between the panels made a camera sample hit the sphere on one
// host and miss it on the other at the silhouette; from there on the tile's
// draws went out of step, so tiles inside the sphere cancelled and the
// others did not.) A render of one host only, or one stopped part-way
// (Maya's tiles come first), leaves one deliverable ahead, and no tile would
// line up again. The studio counts every render's warm-ups per host and,
// before rendering both, lets the host behind warm up as many throwaway
// tiles as it lags. (Every warm-up takes a ticket when its materials draw
// at all, and then on both hosts alike: reflectSamples is at least 1.)
void Studio::account(const std::vector<Host>& panelHosts, const gwp::RenderStats& stats) {
  int64_t lead = 0;
  for (size_t i = 0; i < panelHosts.size() && i < stats.warmedTiles.size(); ++i) {
    const auto n = static_cast<int64_t>(stats.warmedTiles[i]);
    lead += panelHosts[i] == Host::kMaya ? n : -n;
  }
  std::lock_guard<std::mutex> lock(ledgerMutex_);
  ticketLead_ += lead;
}

void Studio::levelTickets(int slot, const std::atomic<bool>* cancel) {
  int64_t lead = 0;
  {
    std::lock_guard<std::mutex> lock(ledgerMutex_);
    lead = ticketLead_;
  }
  if (lead == 0) return;
  // A thread per tile: bounded per pass, the rest follows before the next.
  constexpr int64_t kMaxPerPass = 4096;
  const Host behind = lead > 0 ? Host::kMentalRay : Host::kMaya;
  const int count = static_cast<int>(std::min<int64_t>(lead > 0 ? lead : -lead, kMaxPerPass));
  gwp::Panel p;
  p.backend = backends_[hostIndex(behind)].get();
  p.scene = &scene_;
  p.materialOfSlot[gwp::kHeroSlot] = 1 + slot;
  p.materialOfSlot[gwp::kFloorSlot] = 0;
  p.width = count;
  p.height = 1;
  gwp::RenderSettings settings;
  settings.threads = options_.threadsPerRender;
  settings.tileSize = 1;
  settings.cancel = cancel;
  Image throwaway(count, 1);
  gwp::RenderStats stats;
  std::string error;
  gwp::render({p}, settings, throwaway, stats, nullptr, error);
  account({behind}, stats);
}

bool Studio::preparePanels(int slot, const std::vector<Host>& hosts, const StudioParams& params,
                           std::vector<gwp::Panel>& panels, std::string& error) {
  for (size_t i = 0; i < hosts.size(); ++i) {
    const size_t host = hostIndex(hosts[i]);
    gwp::Backend* backend = backends_[host].get();
    // The slot is this render's alone: what it last handed the backend is
    // still there, and a material the backend holds already is not handed
    // over again.
    gwp::Material& written = written_[static_cast<size_t>(slot)][host];
    if (written != params.material) {
      if (!backend->setMaterial(static_cast<size_t>(1 + slot), params.material, error)) return false;
      written = params.material;
    }
    gwp::Panel p;
    p.backend = backend;
    p.scene = &scene_;
    p.materialOfSlot[gwp::kHeroSlot] = 1 + slot;
    p.materialOfSlot[gwp::kFloorSlot] = 0;
    p.x0 = static_cast<int>(i) * params.width;
    p.width = params.width;
    p.height = params.height;
    panels.push_back(p);
  }
  return true;
}

Outcome Studio::renderPass(Client& client, uint64_t ticket, const StudioParams& params,
                           int samples, Image& pass, std::string& error) {
  const std::vector<Host> hosts = hostsOf(params.view);
  // Only this request writes the client's counts (it holds the client's
  // request lock), so they need no other lock to be read here.
  const int firstSample = client.samples;
  const bool first = firstSample == 0;
  // The stage's scene, made (or found made) before a slot is taken.
  gwp::Scene staged;
  ParamError stageError;
  if (!stages_->scene(params.stage, staged, stageError)) {
    error = stageError.message;
    return Outcome::kFailed;
  }
  while (true) {
    int slot = -1;
    gwp::Scene scene = staged;  // the backends' scene, if this render changes the stage
    const Outcome got = acquireSlot(client, ticket, first, params.stage, scene, slot, error);
    if (got != Outcome::kOk) return got;

    std::vector<gwp::Panel> panels;
    bool ok = preparePanels(slot, hosts, params, panels, error);
    if (ok && hosts.size() == 2) levelTickets(slot, &client.stop);
    if (ok) {
      gwp::RenderSettings settings;
      settings.samplesPerPixel = samples;
      settings.threads = options_.threadsPerRender;
      // Every pass starts a thread per tile and warms each tile's generator
      // up: larger tiles than a single render's keep that cost small next
      // to a pass, and still give every thread several tiles.
      settings.tileSize = kPassTileSize;
      settings.firstSample = firstSample;
      settings.progressive = true;
      // Both hosts' panels shade the same camera rays, so that where a
      // tile of each draws from the same random stream (the deliverables
      // seed a tile's thread by a ticket, in tile order, each host its own
      // tickets), both draw the same numbers for the same pixels and the
      // sampling noise cancels in the difference.
      settings.sameJitterPerPanel = true;
      settings.cancel = &client.stop;
      gwp::RenderStats stats;
      ok = gwp::render(panels, settings, pass, stats, nullptr, error);
      account(hosts, stats);
    }
    bool preempted = false;
    {
      std::lock_guard<std::mutex> lock(slotsMutex_);
      preempted = slots_[static_cast<size_t>(slot)].preempted;
    }
    releaseSlot(slot, first);
    if (ok) return client.ticket.load() == ticket ? Outcome::kOk : Outcome::kSuperseded;
    if (error != gwp::kCancelled) return Outcome::kFailed;
    ++stoppedPasses_;
    if (client.ticket.load() != ticket) return Outcome::kSuperseded;
    if (!preempted) return Outcome::kSuperseded;  // the studio is stopping
    error.clear();
  }
}

namespace {

struct Leave {
  std::mutex& mutex;
  int& users;
  ~Leave() {
    std::lock_guard<std::mutex> lock(mutex);
    --users;
  }
};

}  // namespace

// Starts the client's sums again when the request asks for anything else
// than they hold (what the look changes is not in them). True when it did.
bool Studio::startOver(Client& client, const StudioParams& params, const std::vector<Host>& hosts) {
  std::lock_guard<std::mutex> lock(client.accum);
  if (client.hosts == hosts && client.width == params.width && client.height == params.height &&
      client.material == params.material && client.stage == params.stage) {
    return false;
  }
  client.hosts = hosts;
  client.width = params.width;
  client.height = params.height;
  client.material = params.material;
  client.stage = params.stage;
  const size_t pixels = static_cast<size_t>(params.width) * static_cast<size_t>(params.height);
  client.sum.assign(pixels * hosts.size(), Rgb{});
  const size_t channels = hosts.size() == 2 ? 3 * pixels : 0;
  client.diffSum.assign(channels, 0.0);
  client.diffSumSq.assign(channels, 0.0);
  client.samples = 0;
  client.passes = 0;
  return true;
}

// One sample first; then passes that double what there is, as long as one
// stays near the pass length. Only the request in flight writes the counts.
int Studio::passSize(const Client& client, const StudioParams& params) const {
  const int have = client.samples;
  if (have == 0) return 1;
  int n = have;
  if (client.secondsPerSample > 0.0) {
    const double fits = options_.passSeconds / client.secondsPerSample;
    n = std::min(n, static_cast<int>(std::max(1.0, std::min(fits, 1e6))));
  }
  return std::min(n, params.target - have);
}

void Studio::accumulate(Client& client, const StudioParams& params, const Image& pass, int n,
                        double seconds) {
  std::lock_guard<std::mutex> lock(client.accum);
  const float weight = static_cast<float>(n);
  for (size_t i = 0; i < client.sum.size(); ++i) client.sum[i] += pass.pixels[i] * weight;
  if (!client.diffSum.empty()) {
    // Maya's panel on the left, mental ray's on the right.
    const int w = params.width;
    size_t k = 0;
    for (int y = 0; y < params.height; ++y) {
      for (int x = 0; x < w; ++x) {
        const Rgb d = pass.at(x, y) - pass.at(w + x, y);
        for (const float c : {d.x, d.y, d.z}) {
          client.diffSum[k] += static_cast<double>(weight) * c;
          client.diffSumSq[k] += static_cast<double>(weight) * c * c;
          ++k;
        }
      }
    }
  }
  client.samples += n;
  client.passes += 1;
  client.secondsPerSample = seconds / n;
}

void Studio::present(Client& client, const StudioParams& params, Frame& out) const {
  std::lock_guard<std::mutex> lock(client.accum);
  Image shown;
  compose(client.sum, client.hosts, client.width, client.height, client.samples, params.view,
          params.gain, shown);
  out.width = shown.width;
  out.height = shown.height;
  out.passes = client.passes;
  out.samples = client.samples;
  out.target = params.target;
  toRgba(shown, params.view, params.look, transform(params.look.transform), out.rgba);
  out.hasDiff = !client.diffSum.empty() && client.samples > 0;
  if (out.hasDiff) {
    const DiffFigures f = diffFigures(client.diffSum, client.diffSumSq, client.samples, client.passes);
    out.diffRmse = f.rmse;
    out.diffMax = f.max;
    out.diffNoise = f.noise;
  }
}

Outcome Studio::frame(const StudioParams& params, Frame& out, std::string& error) {
  const std::vector<Host> hosts = hostsOf(params.view);
  for (Host h : hosts) {
    if (!hasHost(h)) {
      error = std::string("this studio has no ") + gwp::hostName(h) + " host";
      return Outcome::kFailed;
    }
  }
  ParamError refused;
  if (!checkRequest(params, refused)) {
    error = refused.message;
    return Outcome::kFailed;
  }
  std::shared_ptr<Client> client = enter(params.client, error);
  if (!client) return Outcome::kBusy;
  Leave leave{clientsMutex_, client->users};

  // Supersede the request in flight, then wait for it to let go.
  const uint64_t ticket = ++client->ticket;
  client->stop = true;
  slotsChanged_.notify_all();
  std::lock_guard<std::mutex> request(client->request);
  if (client->ticket.load() != ticket) return Outcome::kSuperseded;

  startOver(*client, params, hosts);
  if (client->samples < params.target) {
    const int n = passSize(*client, params);
    Image pass(params.width * static_cast<int>(hosts.size()), params.height);
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = renderPass(*client, ticket, params, n, pass, error);
    if (o != Outcome::kOk) return o;
    accumulate(*client, params, pass, n,
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  present(*client, params, out);
  return Outcome::kOk;
}

Outcome Studio::image(const StudioParams& params, Image& out, std::string& error) {
  std::shared_ptr<Client> client = enter(params.client, error);
  if (!client) return Outcome::kBusy;
  Leave leave{clientsMutex_, client->users};
  std::lock_guard<std::mutex> lock(client->accum);
  if (client->samples == 0 ||
      !compose(client->sum, client->hosts, client->width, client->height, client->samples,
               params.view, params.gain, out)) {
    error = std::string("nothing rendered yet for the ") + viewName(params.view) + " view";
    return Outcome::kFailed;
  }
  return Outcome::kOk;
}

}  // namespace gwstudio
