// The studio's engine: both deliverables loaded once into their stand-in
// hosts, and the clients (browser pages) that render through them.
//
// Each client refines one image at a time: the first pass (one sample per
// pixel) right after a change, then passes that add samples until the
// target. A client's request supersedes the one it has in flight, which
// stops within a row of pixels; frames are pulled by the page one at a time,
// so nothing queues behind a change.
//
// A bounded number of renders run at once, each in a render slot of its
// own: slot s renders with material 1 + s of both backends (material 0 is
// the floor), written just before its render starts, so a render only ever
// sees the material it was asked for. First passes go before refinement: a
// first pass that waits for the processor stops the refinement passes in
// flight, which are then rendered again after it. A request that finds no
// slot within a while is refused (busy).
//
// Every request also names a stage (shape, environment, camera; see
// stage.h), and the backends render one scene at a time: renders of the
// same stage run together, and a request for another one waits until they
// are done (no new render of theirs starts meanwhile), then the scene is
// changed while nothing renders. The look (exposure, view transform) is
// only how the sums are shown, like the difference view's gain.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backend.h"
#include "render.h"
#include "request.h"
#include "scene.h"
#include "uploads.h"
#include "view_transform.h"

namespace gwstudio {

enum class SceneKind {
  kStudio,       // the preview's default scene: three spheres, area key light, point fill
  kPointLights,  // the same with the key light a point light
  kAgreement,    // one sphere and point lights, where the two hosts agree
};

const char* sceneName(SceneKind scene);
bool parseSceneKind(const std::string& text, SceneKind& out);
gwp::Scene makeScene(SceneKind scene);

struct StudioOptions {
  SceneKind scene = SceneKind::kStudio;
  int renderSlots = 2;     // renders at once
  int maxClients = 16;     // clients with an image of their own
  int threadsPerRender = 0;  // 0: every core
  gwp::LibraryPaths libraries;
  // How long a request may wait for a render slot before it is refused.
  std::chrono::milliseconds queueWait{3000};
  // Refinement passes grow until one takes about this long: long enough to
  // make a pass's fixed costs small, short enough that a change or a
  // waiting client is answered soon.
  double passSeconds = 0.25;
  // An OpenColorIO config whose views the page offers beside the sRGB
  // curve (--ocio, or the OCIO variable's); empty: the sRGB curve alone.
  std::string ocioConfig;
  bool ocioFromEnvironment = false;
  UploadLimits uploads;
};

class StageScenes;

struct Frame {
  int width = 0;  // of the RGBA image: per host, twice that side by side
  int height = 0;
  int passes = 0;   // passes accumulated
  int samples = 0;  // samples per pixel accumulated
  int target = 0;
  std::vector<uint8_t> rgba;  // 8-bit sRGB, alpha 255, top row first
  // With both hosts rendered: how far apart they are, in linear values over
  // every pixel and channel (Maya minus mental ray, no gain), and the part
  // of that the sampling noise alone explains (see DiffFigures).
  bool hasDiff = false;
  double diffRmse = 0.0;
  double diffMax = 0.0;
  double diffNoise = 0.0;
};

// The difference of two hosts' progressive images, per pixel and channel.
// A pass of n samples gives a mean x_p whose variance is s^2 / n; over P
// passes with N samples in all, sum(n_p (x_p - mean)^2) / (P - 1) estimates
// s^2 whatever the passes' sizes, and s^2 / N is the noise variance of the
// mean. `sum` holds sum(n_p x_p), `sumSq` sum(n_p x_p^2), one entry per
// pixel and channel.
struct DiffFigures {
  double rmse = 0.0;   // of the mean difference
  double max = 0.0;    // largest absolute channel difference
  double noise = 0.0;  // root mean square of the estimated noise; 0 before two passes
};
DiffFigures diffFigures(const std::vector<double>& sum, const std::vector<double>& sumSq,
                        int samples, int passes);

// The measured lobe of both hosts (see Backend::measureLobe). `map` holds
// kAzimuthSteps x kElevationSteps luminances, elevation-major: entry
// (j * kAzimuthSteps + i) is the light at azimuth (i + 0.5) * 4 degrees from
// the first tangent and (j + 0.5) * 2 degrees from the normal. `plane`
// holds kPlaneSteps values across the plane of incidence, the light at
// -90 + k degrees from the normal, positive on the mirror side.
struct Lobe {
  static constexpr int kAzimuthSteps = 90;
  static constexpr int kElevationSteps = 45;
  static constexpr int kPlaneSteps = 181;
  bool has[2] = {false, false};  // maya, mentalray
  std::vector<float> map[2];
  std::vector<float> plane[2];
};

enum class Outcome {
  kOk,
  kSuperseded,  // a newer request of the same client took over
  kBusy,        // no render slot or client slot in time
  kFailed,      // the host failed; the message says how
};

class Studio {
 public:
  static std::unique_ptr<Studio> create(const StudioOptions& options, std::string& error);
  ~Studio();
  Studio(const Studio&) = delete;
  Studio& operator=(const Studio&) = delete;

  // Renders the client's next pass for `params` (the first, when anything
  // but the view's gain changed) and returns the image so far.
  Outcome frame(const StudioParams& params, Frame& out, std::string& error);
  // The client's current image as `params.view` shows it, in linear values,
  // without rendering: what the page shows, for saving.
  Outcome image(const StudioParams& params, gwp::Image& out, std::string& error);
  Outcome lobe(const StudioParams& params, Lobe& out, std::string& error);

  // Stops every render and refuses new ones; for shutting down.
  void stop();

  bool hasHost(gwp::Host host) const;
  // Whether the request's stage and look can be had here: its uploads are
  // held, its view transform is one of the config's. False with the
  // parameter at fault.
  bool checkRequest(const StudioParams& params, ParamError& error) const;
  // The view transform of `name` ("" is the sRGB curve); null for a name
  // the config does not have.
  const gwp::ViewTransform* transform(const std::string& name) const;
  // The config's views, in its order; empty without a config.
  const std::vector<std::string>& transformNames() const { return transformNames_; }
  // How far the default camera is from what it orbits.
  float cameraDistance() const;
  Uploads& uploads() { return uploads_; }
  const Uploads& uploads() const { return uploads_; }
  // The deliverables' inputs, read once when the studio starts: what every
  // request's material is parsed and checked by.
  const std::shared_ptr<const gws::MaterialSchema>& schema() const { return schema_; }
  // The loaded deliverables and their scene, for benchmarks that render the
  // same image without the studio (material 1 is render slot 0's). Not
  // while the studio renders. The studio hands a slot's material to a
  // backend only when it differs from the one it handed over last: a
  // material set here must not be followed by a request for the one the
  // studio last rendered in that slot.
  gwp::Backend* backend(gwp::Host host) const;
  const gwp::Scene& sceneData() const { return scene_; }
  SceneKind scene() const { return options_.scene; }
  const StudioOptions& options() const { return options_; }
  size_t clientCount() const;
  // Render passes that stopped early because they were superseded or
  // pre-empted, since the start.
  uint64_t stoppedPasses() const { return stoppedPasses_.load(); }
  // Render slots in use now.
  int rendersRunning();

 private:
  struct Client;
  struct Slot;
  explicit Studio(const StudioOptions& options);

  std::shared_ptr<Client> enter(const std::string& id, std::string& error);
  Outcome acquireSlot(Client& client, uint64_t ticket, bool first, const Stage& stage,
                      gwp::Scene& scene, int& slot, std::string& error);
  void releaseSlot(int slot, bool first);
  Outcome renderPass(Client& client, uint64_t ticket, const StudioParams& params, int samples,
                     gwp::Image& pass, std::string& error);
  void account(const std::vector<gwp::Host>& panelHosts, const gwp::RenderStats& stats);
  bool openLooks(std::string& error);
  bool setStage(const Stage& stage, gwp::Scene& scene, std::string& error);
  bool startOver(Client& client, const StudioParams& params, const std::vector<gwp::Host>& hosts);
  int passSize(const Client& client, const StudioParams& params) const;
  void accumulate(Client& client, const StudioParams& params, const gwp::Image& pass, int samples,
                  double seconds);
  void present(Client& client, const StudioParams& params, Frame& out) const;
  void levelTickets(int slot, const std::atomic<bool>* cancel);
  bool preparePanels(int slot, const std::vector<gwp::Host>& hosts, const StudioParams& params,
                     std::vector<gwp::Panel>& panels, std::string& error);

  StudioOptions options_;
  std::shared_ptr<const gws::MaterialSchema> schema_;
  gwp::Scene scene_;
  std::vector<gwp::Material> materials_;  // floor, then one per render slot
  // Per render slot and host, the material last handed to the backend.
  // Read and written only by the render holding the slot.
  std::vector<std::array<gwp::Material, 2>> written_;
  std::unique_ptr<gwp::Backend> backends_[2];

  // The stage: scene_ is the one the backends render, that of activeStage_;
  // it changes only while no render runs (see acquireSlot).
  Uploads uploads_;
  std::unique_ptr<StageScenes> stages_;
  Stage activeStage_;
  std::vector<const Stage*> stagesWaiting_;  // under slotsMutex_
  gwp::ViewTransform srgb_;
  std::map<std::string, std::unique_ptr<gwp::ViewTransform>> transforms_;
  std::vector<std::string> transformNames_;

  mutable std::mutex clientsMutex_;
  std::map<std::string, std::shared_ptr<Client>> clients_;
  uint64_t clock_ = 0;  // orders the clients' last use

  std::mutex slotsMutex_;
  std::condition_variable slotsChanged_;
  std::vector<Slot> slots_;
  int firstWaiting_ = 0;
  int firstRunning_ = 0;
  bool stopping_ = false;

  // How many more stream tickets the Maya deliverable has handed out than
  // the mental ray one, counted in tile warm-ups (see levelTickets).
  std::mutex ledgerMutex_;
  int64_t ticketLead_ = 0;

  std::atomic<int> lobesRunning_{0};
  std::atomic<uint64_t> stoppedPasses_{0};
};

// Encodes linear values as 8-bit sRGB RGBA through a table (a pass's
// conversion must cost little next to its render).
void encodeRgba(const gwp::Rgb* pixels, size_t count, float scale, uint8_t* out);

}  // namespace gwstudio
