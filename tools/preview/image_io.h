// Writing the rendered image: PNG (8-bit sRGB) or, for a path ending in
// ".exr", OpenEXR with linear 32-bit float values.
//
// Images are encoded in memory (encodeImage), then written through
// gwf::AtomicFile: nothing is ever half-written in a file (a temporary file
// beside the destination is renamed over it only when complete; a link's
// target is what gets replaced, a device or FIFO is written through). The
// destination is made ready before rendering starts, so an unwritable one
// fails at once instead of after a long render.
#pragma once

#include <optional>
#include <string>

#include "atomic_file.h"
#include "render.h"
#include "view_transform.h"

namespace gwp {

enum class ImageFormat { kPng, kExr };

// The format a path asks for: EXR for ".exr" (any case), PNG otherwise.
ImageFormat formatForPath(const std::string& path);

// False, with a one-line `error` naming the formats this tool writes, when
// the path's file name ends in an extension other than .png or .exr (any
// case). A name without one (a device such as /dev/null, say) gets PNG.
bool checkImageExtension(const std::string& path, std::string& error);

// Whether this build can write OpenEXR files.
bool exrSupported();

// The bytes of `image` as a file of `format`: what OutputFile writes, and
// what the studio sends, from the one encoder. False with a one-line `error`
// (an OpenEXR image in a build without OpenEXR, a failing encoder).
bool encodeImage(const Image& image, ImageFormat format, std::string& out, std::string& error);
// The same, a PNG's codes through `view` (an OpenEXR file is linear whatever
// the view).
bool encodeImage(const Image& image, ImageFormat format, const ViewTransform& view,
                 std::string& out, std::string& error);

class OutputFile {
 public:
  // Creates the temporary file next to `path`. False with a one-line `error`.
  // `format`, when given, is the format to write (for a name without an
  // extension); otherwise the name's.
  bool open(const std::string& path, std::string& error,
            std::optional<ImageFormat> format = std::nullopt);
  // Writes `image` into the temporary file and renames it to the path.
  bool commit(const Image& image, std::string& error);
  bool commit(const Image& image, const ViewTransform& view, std::string& error);
  const std::string& path() const { return file_.path(); }

 private:
  gwf::AtomicFile file_;
  std::optional<ImageFormat> format_;
};

// Linear value to an 8-bit sRGB code, clamped to [0, 1] first.
unsigned char toSrgb8(float linear);
// The inverse, for tests and for reading reference images.
float fromSrgb8(unsigned char code);

// Reads an 8-bit RGB or RGBA PNG as linear values (for tests). False with
// `error` when the file is not such a PNG.
bool readPng(const std::string& path, Image& image, std::string& error);

}  // namespace gwp
