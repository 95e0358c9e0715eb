// Models and environment images uploaded from the page, held in the
// server's memory only: nothing is written anywhere. An upload is read and
// checked once, when it arrives (a model by the mesh reader's child
// process, with its deadline, never in the server itself), and is then
// named by a random id that the page's address carries. The store keeps the
// newest few; an id it no longer has is reported as such, never guessed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "environment.h"
#include "mesh.h"
#include "request.h"

namespace gwstudio {

struct Upload {
  std::string id;
  std::string file;  // the name it was uploaded under
  UploadRequest::Kind kind = UploadRequest::Kind::kModel;
  std::shared_ptr<const gwst::TriangleMesh> mesh;    // a model's triangles
  std::shared_ptr<const gwst::LatLongImage> image;  // an environment's map
  size_t bytes = 0;  // what it holds in memory, decoded
};

struct UploadLimits {
  size_t maxBytes = size_t{16} << 20;  // of one upload's file (the request body bound)
  size_t maxKept = 8;                  // uploads kept; the oldest goes first
  size_t maxHeld = size_t{768} << 20;  // decoded bytes kept in all
  // An uploaded map's pixels: every change of its rotation or intensity
  // makes the map's lights again, which must stay quick.
  int64_t maxMapPixels = int64_t{4096} * 2048;
  double readSeconds = 30.0;           // a model's read, in its child process
};

class Uploads {
 public:
  explicit Uploads(const UploadLimits& limits = {}) : limits_(limits) {}

  // Reads `bytes` as `request` says and keeps the result under a new id.
  // False with a one-line `error` naming the file and the problem.
  bool add(const UploadRequest& request, const std::string& bytes, Upload& out, std::string& error);

  // The upload `id` names, or null when the store does not hold it (never
  // had it, or let it go).
  std::shared_ptr<const Upload> find(const std::string& id) const;

  const UploadLimits& limits() const { return limits_; }

 private:
  std::string newId();

  UploadLimits limits_;
  mutable std::mutex mutex_;
  std::deque<std::shared_ptr<const Upload>> kept_;  // oldest first
  uint64_t counter_ = 0;
};

// The message for a link whose `what` ("shape", "env") names an upload the
// studio does not hold.
std::string missingUploadMessage(const std::string& what, const std::string& id);

}  // namespace gwstudio
