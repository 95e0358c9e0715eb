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
#include "path.h"

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

// How many bytes the library reads for an attribute's value. Most types
// are read at their own fixed size whatever the declared size says; a
// channel list is read up to its empty name; strings, vectors and types it
// does not know are read at the declared size. 0 when the value would run
// past the end (`left` bytes remain).
uint64_t exrValueSize(std::string_view type, std::string_view bytes, size_t pos,
                      uint32_t declared) {
  struct Fixed {
    const char* type;
    uint64_t size;
  };
  static constexpr Fixed kFixed[] = {
      {"box2i", 16},
      {"box2f", 16},
      {"chromaticities", 32},
      {"compression", 1},
      {"deepImageState", 1},
      {"double", 8},
      {"envmap", 1},
      {"float", 4},
      {"int", 4},
      {"keycode", 28},
      {"lineOrder", 1},
      {"m33f", 36},
      {"m33d", 72},
      {"m44f", 64},
      {"m44d", 128},
      {"rational", 8},
      {"tiledesc", 9},
      {"timecode", 8},
      {"v2i", 8},
      {"v2f", 8},
      {"v2d", 16},
      {"v3i", 12},
      {"v3f", 12},
      {"v3d", 24},
  };
  const uint64_t left = bytes.size() - pos;
  uint64_t size = declared;
  for (const Fixed& f : kFixed) {
    if (type == f.type) size = f.size;
  }
  if (type == "chlist") {
    // Channels (a name, then 16 bytes) up to an empty name.
    size_t at = pos;
    for (;;) {
      if (at >= bytes.size()) return 0;
      if (bytes[at] == '\0') return at + 1 - pos;
      const size_t end = bytes.find('\0', at);
      if (end == std::string_view::npos || end - at > 255) return 0;
      at = end + 1 + 16;
    }
  }
  if (type == "preview") {
    // Width and height, then 4 bytes a pixel: the library allocates them first.
    if (left < 8) return 0;
    const auto le32 = [&](size_t i) {
      uint32_t v = 0;
      for (int k = 3; k >= 0; --k) v = v << 8 | static_cast<unsigned char>(bytes[i + k]);
      return uint64_t{v};
    };
    size = 8 + 4 * le32(pos) * le32(pos + 4);
  }
  return size <= left ? size : 0;
}

// Whether every attribute of the file's header (or headers, in a
// multi-part file) lies within the file, walked the way the library reads
// them. The library allocates an attribute's declared size before reading
// it, so a forged size of 2 GB in a 100-byte upload would cost 2 GB; such a
// file is refused first.
bool exrHeadersFit(std::string_view bytes) {
  constexpr uint32_t kMultiPart = 0x1000;  // the version field's multi-part flag
  constexpr size_t kLongestName = 255;
  if (bytes.size() < 8) return false;
  const auto le32 = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
    return v;
  };
  const bool multiPart = (le32(4) & kMultiPart) != 0;
  size_t pos = 8;
  const auto word = [&](std::string_view& out) {  // a null-terminated name
    const size_t end = bytes.find('\0', pos);
    if (end == std::string_view::npos || end - pos > kLongestName) return false;
    out = bytes.substr(pos, end - pos);
    pos = end + 1;
    return true;
  };
  for (;;) {
    // One header: attributes (name, type, size, value) up to an empty name.
    for (;;) {
      if (pos >= bytes.size()) return false;
      if (bytes[pos] == '\0') {
        ++pos;
        break;
      }
      std::string_view name;
      std::string_view type;
      if (!word(name) || !word(type) || bytes.size() - pos < 4) return false;
      const uint32_t declared = le32(pos);
      pos += 4;
      if (declared > bytes.size() - pos) return false;
      const uint64_t size = exrValueSize(type, bytes, pos, declared);
      if (size == 0 && declared != 0) return false;
      pos += static_cast<size_t>(size);
    }
    // A multi-part file's headers end with an empty one.
    if (!multiPart) return true;
    if (pos >= bytes.size()) return false;
    if (bytes[pos] == '\0') return true;
  }
}

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
  if (!exrHeadersFit(bytes)) {
    error = name + ": is not a readable OpenEXR image: its header runs past the end of the file";
    return false;
  }
  try {
    MemoryStream stream(bytes, name.c_str());
    Imf::InputFile file(stream);
    const Imath::Box2i window = file.header().dataWindow();
    const int64_t width = int64_t{window.max.x} - window.min.x + 1;
    const int64_t height = int64_t{window.max.y} - window.min.y + 1;
    if (!checkSize(width, height, name, error)) return false;

    const Imf::ChannelList& channels = file.header().channels();
    const bool rgb =
        channels.findChannel("R") || channels.findChannel("G") || channels.findChannel("B");
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
    in->pos =
        static_cast<size_t>(std::clamp<int64_t>(target, 0, static_cast<int64_t>(in->bytes.size())));
  }
  static int eof(void* user) {
    auto* in = static_cast<RadianceInput*>(user);
    return in->pos >= in->bytes.size() ? 1 : 0;
  }
};

// Whether the pixels after the header are all there, walked with the
// decoder's own grammar: its run-length loop reads zeros past the end of its
// input and, on a zero count, never leaves, so a file cut short inside a
// run-length scanline would hang it. A file this walk completes keeps the
// decoder within the bytes; what the walk leaves undecided (a bad scanline
// length, a run too long) the decoder refuses itself.
bool radiancePixelsComplete(std::string_view bytes, int width, int height) {
  // The header: the magic line, lines up to an empty one, then the
  // resolution line.
  size_t pos = 0;
  const auto line = [&]() -> std::string_view {
    const size_t end = bytes.find('\n', pos);
    const size_t stop = end == std::string_view::npos ? bytes.size() : end;
    const std::string_view text = bytes.substr(pos, stop - pos);
    pos = end == std::string_view::npos ? bytes.size() : end + 1;
    return text;
  };
  line();
  while (pos < bytes.size() && !line().empty()) {
  }
  line();
  const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  const auto left = [&] { return static_cast<uint64_t>(bytes.size() - pos); };
  if (width < 8 || width >= 32768) return left() >= 4 * pixels;  // stored flat
  const auto byte = [&] { return static_cast<unsigned char>(bytes[pos++]); };
  for (int j = 0; j < height; ++j) {
    if (left() < 4) return false;
    const unsigned char c1 = byte();
    const unsigned char c2 = byte();
    const unsigned char high = byte();
    if (c1 != 2 || c2 != 2 || (high & 0x80) != 0) {
      // Then the decoder reads the whole image flat, from these 3 bytes on
      // (it starts again at the first pixel, whatever row this was).
      return left() + 3 >= 4 * pixels;
    }
    if ((high << 8 | byte()) != width) return true;  // the decoder refuses it
    for (int k = 0; k < 4; ++k) {
      for (int i = 0; i < width;) {
        if (left() < 1) return false;
        int count = byte();
        if (count > 128) {
          if (left() < 1) return false;
          ++pos;
          count -= 128;
          if (count > width - i) return true;  // the decoder refuses it
        } else {
          if (count > width - i) return true;
          if (left() < static_cast<uint64_t>(count)) return false;
          pos += static_cast<size_t>(count);
        }
        i += count;
      }
    }
  }
  return true;
}

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
  if (!radiancePixelsComplete(bytes, width, height)) {
    error = name + ": is truncated (its pixels end early)";
    return false;
  }

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
    error = name +
            ": is an OpenEXR image, and this build cannot read OpenEXR (install "
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
  uint64_t size = 0;
  if (!gwf::regularFileSize(path, "an image file", "cannot open: ", size, error)) return false;
  if (size > kMaxEnvironmentFileBytes) {
    error = path + ": is " + std::to_string(size >> 20) +
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
  std::string bytes(static_cast<size_t>(size) + 1, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) {
    error = path + ": cannot read: " + std::strerror(errno);
    return false;
  }
  bytes.resize(static_cast<size_t>(in.gcount()));
  return fromMemory(bytes, path, out, error);
}

}  // namespace gwst
