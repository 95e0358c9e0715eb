#include "uploads.h"

#include <cstdio>
#include <random>

namespace gwstudio {

std::string Uploads::newId() {
  // Unguessable enough that one page cannot stumble on another's upload by
  // counting, and never the same twice in a run.
  static thread_local std::mt19937_64 random{std::random_device{}()};
  char text[32];
  std::snprintf(text, sizeof text, "upload-%016llx",
                static_cast<unsigned long long>(random() ^ (++counter_ * 0x9E3779B97F4A7C15ull)));
  return text;
}

bool Uploads::add(const UploadRequest& request, const std::string& bytes, Upload& out,
                  std::string& error) {
  const std::string& name = request.file;
  if (bytes.empty()) {
    error = name + ": the file is empty";
    return false;
  }
  if (bytes.size() > limits_.maxBytes) {
    error = name + ": larger than the studio's upload bound of " +
            std::to_string(limits_.maxBytes >> 20) + " MiB";
    return false;
  }
  auto upload = std::make_shared<Upload>();
  upload->file = name;
  upload->kind = request.kind;
  if (request.kind == UploadRequest::Kind::kModel) {
    gwst::TriangleMesh mesh;
    if (!gwst::readMeshFromMemory(bytes.data(), bytes.size(), request.format, name, mesh, error,
                                  limits_.readSeconds)) {
      return false;
    }
    upload->bytes = mesh.dataBytes();
    upload->mesh = std::make_shared<const gwst::TriangleMesh>(std::move(mesh));
  } else {
    if (request.format != "exr" && request.format != "hdr") {
      error = name + ": not an environment image (upload a latitude-longitude .exr or .hdr)";
      return false;
    }
    gwst::LatLongImage image;
    if (!gwst::LatLongImage::fromMemory(bytes, name, image, error)) return false;
    if (int64_t{image.width} * image.height > limits_.maxMapPixels) {
      error = name + ": " + std::to_string(image.width) + "x" + std::to_string(image.height) +
              " is larger than the studio takes for a map (4096x2048; the preview's --env takes "
              "larger ones)";
      return false;
    }
    upload->bytes = image.pixels.size() * sizeof(image.pixels[0]);
    upload->image = std::make_shared<const gwst::LatLongImage>(std::move(image));
  }
  if (upload->bytes > limits_.maxHeld) {
    error = name + ": too large once decoded (" + std::to_string(upload->bytes >> 20) + " MiB)";
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  upload->id = newId();
  size_t held = upload->bytes;
  for (const auto& u : kept_) held += u->bytes;
  // The oldest go first, until the new one fits in count and in memory.
  while (!kept_.empty() && (kept_.size() + 1 > limits_.maxKept || held > limits_.maxHeld)) {
    held -= kept_.front()->bytes;
    kept_.pop_front();
  }
  kept_.push_back(upload);
  out = *upload;
  return true;
}

std::shared_ptr<const Upload> Uploads::find(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& u : kept_) {
    if (u->id == id) return u;
  }
  return nullptr;
}

std::string missingUploadMessage(const std::string& what, const std::string& id) {
  return what + ": the upload " + id +
         " is not on this studio any more (uploads live in its memory only, until it stops or "
         "newer ones take their place): upload the file again";
}

}  // namespace gwstudio
