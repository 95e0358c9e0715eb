// Reading environment images: OpenEXR through the OpenEXR library, Radiance
// .hdr through stb_image. Both see untrusted bytes (uploads reach them), so
// the size is checked from the header before any pixel is decoded, and every
// failure becomes one line naming the image.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <exception>
#include <fstream>
#include <mutex>
#include <stdexcept>

#include "environment.h"

#ifdef GLINTWEAVE_STAGE_EXR
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfInputFile.h>
#endif

// Only the Radiance decoder, compiled here (not taken from Debian's libstb,
// which carries every format): the fewer decoders untrusted bytes can reach,
// the better, and its functions stay private to this file.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_HDR
#define STBI_NO_STDIO
#include <stb_image.h>

namespace gwst {
namespace {

constexpr unsigned char kExrMagic[4] = {0x76, 0x2f, 0x31, 0x01};
constexpr char kRadianceMagic[2] = {'#', '?'};

// A library's message on one line: the errors the tools print are one line
// per problem.
std::string oneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool startsWith(std::string_view bytes, const void* magic, size_t size) {
  return bytes.size() >= size && std::memcmp(bytes.data(), magic, size) == 0;
}

// The shape check every image passes before its pixels are decoded.
bool checkSize(int64_t width, int64_t height, const std::string& name, std::string& error) {
  if (width < 1 || height < 1) {
    error = name + ": has no pixels";
    return false;
  }
  if (width * height > kMaxEnvironmentPixels || width > kMaxEnvironmentPixels ||
      height > kMaxEnvironmentPixels) {
    error = name + ": is " + std::to_string(width) + " x " + std::to_string(height) +
            " pixels; environments are limited to " + std::to_string(kMaxEnvironmentPixels) +
            " pixels (8192 x 4096)";
    return false;
  }
  if (width != 2 * height) {
    error = name + ": is " + std::to_string(width) + " x " + std::to_string(height) +
            "; a latitude-longitude environment is twice as wide as it is high (2:1)";
    return false;
  }
  return true;
}

// NaN and infinities are refused (they would spread over every pixel the
// environment lights); negatives are clamped to 0 and huge values to
// kMaxRadiance.
bool checkPixels(LatLongImage& image, const std::string& name, std::string& error) {
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      Rgb& p = image.pixels[static_cast<size_t>(y) * image.width + x];
      for (float* c : {&p.x, &p.y, &p.z}) {
        if (!std::isfinite(*c)) {
          error = name + ": has a NaN or infinite value at pixel (" + std::to_string(x) + ", " +
                  std::to_string(y) + ")";
          return false;
        }
        *c = std::clamp(*c, 0.0f, kMaxRadiance);
      }
    }
  }
  return true;
}

#ifdef GLINTWEAVE_STAGE_EXR
// OpenEXR's input over bytes in memory. A read past the end throws, which
// the library reports as a damaged file.
class MemoryStream : public Imf::IStream {
 public:
  MemoryStream(std::string_view bytes, const char* name) : Imf::IStream(name), bytes_(bytes) {}

  bool read(char c[], int n) override {
    if (n < 0 || pos_ > bytes_.size() || static_cast<uint64_t>(n) > bytes_.size() - pos_) {
      throw std::runtime_error("the file ends early");
    }
    std::memcpy(c, bytes_.data() + pos_, static_cast<size_t>(n));
    pos_ += static_cast<uint64_t>(n);
    return pos_ < bytes_.size();
  }
  uint64_t tellg() override { return pos_; }
  void seekg(uint64_t pos) override { pos_ = pos; }

 private:
  std::string_view bytes_;
  uint64_t pos_ = 0;
};

bool readExr(std::string_view bytes, const std::string& name, LatLongImage& out,
             std::string& error) {
  // The library sizes its tables from the header before we see it: its own
  // bound on image and tile sizes keeps a forged header from asking for
  // gigabytes. The bound is far above any image the tools write.
  static std::once_flag bounds;
  std::call_once(bounds, [] {
    Imf::Header::setMaxImageSize(1 << 16, 1 << 16);
    Imf::Header::setMaxTileSize(1 << 13, 1 << 13);
  });
  try {
    MemoryStream stream(bytes, name.c_str());
    Imf::InputFile file(stream);
    const Imath::Box2i window = file.header().dataWindow();
    const int64_t width = int64_t{window.max.x} - window.min.x + 1;
    const int64_t height = int64_t{window.max.y} - window.min.y + 1;
    if (!checkSize(width, height, name, error)) return false;

    const Imf::ChannelList& channels = file.header().channels();
    const bool rgb = channels.findChannel("R") || channels.findChannel("G") ||
                     channels.findChannel("B");
    const bool luminance = channels.findChannel("Y") != nullptr;
    if (!rgb && !luminance) {
      error = name + ": has no R, G, B or Y channel to light with";
      return false;
    }
    LatLongImage image;
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.pixels.assign(static_cast<size_t>(width * height), Rgb{});
    char* base = reinterpret_cast<char*>(image.pixels.data());
    Imf::FrameBuffer frame;
    const auto slice = [&](size_t offset) {
      return Imf::Slice::Make(Imf::FLOAT, base + offset, window, sizeof(Rgb),
                              sizeof(Rgb) * static_cast<size_t>(width));
    };
    if (rgb) {
      // A channel the file lacks reads as 0.
      frame.insert("R", slice(offsetof(Rgb, x)));
      frame.insert("G", slice(offsetof(Rgb, y)));
      frame.insert("B", slice(offsetof(Rgb, z)));
    } else {
      frame.insert("Y", slice(offsetof(Rgb, x)));
    }
    file.setFrameBuffer(frame);
    file.readPixels(window.min.y, window.max.y);
    if (!rgb) {
      for (Rgb& p : image.pixels) p.y = p.z = p.x;
    }
    if (!checkPixels(image, name, error)) return false;
    out = std::move(image);
    return true;
  } catch (const std::exception& e) {
    error = name + ": is not a readable OpenEXR image: " + oneLine(e.what());
  } catch (...) {
    error = name + ": is not a readable OpenEXR image";
  }
  return false;
}
#endif

// stb_image's input over bytes in memory. The decoder reads zeros past the
// end of its input without complaint, so a truncated file would decode into
// a black band; a read asked for after the last byte marks it truncated.
struct RadianceInput {
  std::string_view bytes;
  size_t pos = 0;
  bool overrun = false;

  static int read(void* user, char* data, int size) {
    auto* in = static_cast<RadianceInput*>(user);
    const size_t left = in->bytes.size() - in->pos;
    if (left == 0) {
      in->overrun = true;
      return 0;
    }
    const size_t n = std::min(left, static_cast<size_t>(std::max(size, 0)));
    std::memcpy(data, in->bytes.data() + in->pos, n);
    in->pos += n;
    return static_cast<int>(n);
  }
  static void skip(void* user, int n) {
    // A negative count "ungets" bytes already read.
    auto* in = static_cast<RadianceInput*>(user);
    const int64_t target = static_cast<int64_t>(in->pos) + n;
    in->pos = static_cast<size_t>(
        std::clamp<int64_t>(target, 0, static_cast<int64_t>(in->bytes.size())));
  }
  static int eof(void* user) {
    auto* in = static_cast<RadianceInput*>(user);
    return in->pos >= in->bytes.size() ? 1 : 0;
  }
};

bool readRadiance(std::string_view bytes, const std::string& name, LatLongImage& out,
                  std::string& error) {
  const stbi_io_callbacks callbacks{&RadianceInput::read, &RadianceInput::skip,
                                    &RadianceInput::eof};
  int width = 0;
  int height = 0;
  int components = 0;
  RadianceInput header{bytes};
  if (!stbi_info_from_callbacks(&callbacks, &header, &width, &height, &components)) {
    error = name + ": is not a readable Radiance image: " + oneLine(stbi_failure_reason());
    return false;
  }
  if (!checkSize(width, height, name, error)) return false;

  RadianceInput input{bytes};
  float* data = stbi_loadf_from_callbacks(&callbacks, &input, &width, &height, &components, 3);
  if (data == nullptr) {
    error = name + ": is not a readable Radiance image: " + oneLine(stbi_failure_reason());
    return false;
  }
  if (input.overrun) {
    stbi_image_free(data);
    error = name + ": is truncated (its pixels end early)";
    return false;
  }
  LatLongImage image;
  image.width = width;
  image.height = height;
  image.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    image.pixels[i] = {data[3 * i], data[3 * i + 1], data[3 * i + 2]};
  }
  stbi_image_free(data);
  if (!checkPixels(image, name, error)) return false;
  out = std::move(image);
  return true;
}

}  // namespace

bool LatLongImage::fromMemory(std::string_view bytes, const std::string& name, LatLongImage& out,
                              std::string& error) {
  if (bytes.empty()) {
    error = name + ": is empty";
    return false;
  }
  if (bytes.size() > kMaxEnvironmentFileBytes) {
    error = name + ": is " + std::to_string(bytes.size() >> 20) +
            " MB; environment images are limited to " +
            std::to_string(kMaxEnvironmentFileBytes >> 20) + " MB";
    return false;
  }
  if (startsWith(bytes, kExrMagic, sizeof kExrMagic)) {
#ifdef GLINTWEAVE_STAGE_EXR
    return readExr(bytes, name, out, error);
#else
    error = name + ": is an OpenEXR image, and this build cannot read OpenEXR (install "
                   "libopenexr-dev and rebuild)";
    return false;
#endif
  }
  if (startsWith(bytes, kRadianceMagic, sizeof kRadianceMagic)) {
    return readRadiance(bytes, name, out, error);
  }
  error = name + ": is neither an OpenEXR nor a Radiance .hdr image";
  return false;
}

bool LatLongImage::fromFile(const std::string& path, LatLongImage& out, std::string& error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    error = path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    error = path + ": is a folder, not an image file";
    return false;
  }
  // A device or a pipe could be endless or block forever.
  if (!S_ISREG(st.st_mode)) {
    error = path + ": is not a regular file";
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxEnvironmentFileBytes) {
    error = path + ": is " + std::to_string(static_cast<uint64_t>(st.st_size) >> 20) +
            " MB; environment images are limited to " +
            std::to_string(kMaxEnvironmentFileBytes >> 20) + " MB";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  // Read up to one byte past the size seen, so a file that grew meanwhile is
  // still bounded.
  std::string bytes(static_cast<size_t>(st.st_size) + 1, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) {
    error = path + ": cannot read: " + std::strerror(errno);
    return false;
  }
  bytes.resize(static_cast<size_t>(in.gcount()));
  return fromMemory(bytes, path, out, error);
}

}  // namespace gwst
