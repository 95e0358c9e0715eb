// The plan of a run of glintweave-preview: one render job, whatever the
// command asks for. The default scene side by side, a sweep's contact sheet
// and a scene file's swatches differ only in the materials, the cells and
// the text around them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "backend.h"
#include "options.h"
#include "render.h"
#include "scene.h"
#include "scene_file.h"
#include "sheet.h"

namespace gwp {

// One cell of the image: a material through a host.
struct Swatch {
  int material = 0;  // index into RenderJob::materials
  Host host = Host::kMaya;
};

struct RenderJob {
  Scene scene;
  std::vector<Material> materials;  // the floor's first, then the swatches'
  std::vector<Swatch> swatches;     // one per cell of `layout`, in order
  std::vector<Host> hosts;          // the hosts the swatches use, in order of first use
  SheetLayout layout;  // where each swatch goes, the text (on the sheet background), the size
  int cellWidth = 0;
  int cellHeight = 0;
  RenderSettings settings;
};

// Plans what `options` render; `scenes` are the --scene files, read
// already. False with a one-line `error`.
bool planRender(const Options& options, const std::vector<gws::SceneFile>& scenes, RenderJob& job,
                std::string& error);

// The panels that render `job`, each through the backend of its host
// (`backends` is indexed by Host). `job` must outlive them.
std::vector<Panel> jobPanels(const RenderJob& job,
                             const std::vector<std::unique_ptr<Backend>>& backends);

// The last component of `path`: how sheets and progress name a file.
std::string baseName(const std::string& path);

}  // namespace gwp
