#include "image_io.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef GLINTWEAVE_PREVIEW_EXR
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfOutputFile.h>
#endif

namespace gwp {
namespace {

// libpng's output: appended to a string.
void appendPng(png_structp png, png_bytep data, png_size_t size) {
  auto* out = static_cast<std::string*>(png_get_io_ptr(png));
  out->append(reinterpret_cast<const char*>(data), size);
}
void flushPng(png_structp) {}

bool encodePng(const Image& image, const ViewTransform& view, std::string& out,
               std::string& error) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) {
    error = "cannot start the PNG writer";
    return false;
  }
  png_infop info = png_create_info_struct(png);
  std::vector<unsigned char> row(static_cast<size_t>(image.width) * 3);
  // libpng reports errors by longjmp; nothing with a destructor is created
  // between here and the end of the writes.
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    error = "the PNG writer failed";
    return false;
  }
  png_set_write_fn(png, &out, appendPng, flushPng);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  // A config's view encodes for its own display, which the file cannot
  // name: it is declared sRGB only when it is.
  if (view.isSrgb()) png_set_sRGB_gAMA_and_cHRM(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
  png_write_info(png, info);
  for (int y = 0; y < image.height; ++y) {
    view.toDisplay(&image.at(0, y), static_cast<size_t>(image.width), row.data());
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

#ifdef GLINTWEAVE_PREVIEW_EXR
// OpenEXR's output: a string it can seek in (it writes the table of line
// offsets last, over the space it kept for it).
class StringStream : public Imf::OStream {
 public:
  explicit StringStream(std::string& out) : Imf::OStream("memory"), out_(out) {}
  void write(const char c[], int n) override {
    const size_t end = pos_ + static_cast<size_t>(n);
    if (end > out_.size()) out_.resize(end);
    std::memcpy(&out_[pos_], c, static_cast<size_t>(n));
    pos_ = end;
  }
  uint64_t tellp() override { return pos_; }
  void seekp(uint64_t pos) override { pos_ = static_cast<size_t>(pos); }

 private:
  std::string& out_;
  size_t pos_ = 0;
};

bool encodeExr(const Image& image, std::string& out, std::string& error) {
  try {
    Imf::Header header(image.width, image.height);
    header.channels().insert("R", Imf::Channel(Imf::FLOAT));
    header.channels().insert("G", Imf::Channel(Imf::FLOAT));
    header.channels().insert("B", Imf::Channel(Imf::FLOAT));
    StringStream stream(out);
    Imf::OutputFile file(stream, header);
    Imf::FrameBuffer frame;
    char* base = reinterpret_cast<char*>(const_cast<Rgb*>(image.pixels.data()));
    const size_t xStride = sizeof(Rgb);
    const size_t yStride = sizeof(Rgb) * static_cast<size_t>(image.width);
    frame.insert("R", Imf::Slice(Imf::FLOAT, base + offsetof(Rgb, x), xStride, yStride));
    frame.insert("G", Imf::Slice(Imf::FLOAT, base + offsetof(Rgb, y), xStride, yStride));
    frame.insert("B", Imf::Slice(Imf::FLOAT, base + offsetof(Rgb, z), xStride, yStride));
    file.setFrameBuffer(frame);
    file.writePixels(image.height);
  } catch (const std::exception& e) {
    error = std::string("the OpenEXR writer failed: ") + e.what();
    return false;
  }
  return true;
}
#endif

}  // namespace

ImageFormat formatForPath(const std::string& path) {
  if (path.size() >= 4) {
    std::string ext = path.substr(path.size() - 4);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == ".exr") return ImageFormat::kExr;
  }
  return ImageFormat::kPng;
}

bool checkImageExtension(const std::string& path, std::string& error) {
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return true;  // no extension: PNG
  std::string ext = name.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext == ".png" || ext == ".exr") return true;
  error = "cannot write " + path + ": " + name.substr(dot) +
          " is not an image format this tool writes (it writes .png and .exr)";
  return false;
}

bool exrSupported() {
#ifdef GLINTWEAVE_PREVIEW_EXR
  return true;
#else
  return false;
#endif
}

bool OutputFile::open(const std::string& path, std::string& error,
                      std::optional<ImageFormat> format) {
  format_ = format;
  if (path.empty()) {
    error = "the output path is empty";
    return false;
  }
  // A folder is refused as a folder, whatever its name looks like.
  struct stat st;
  const bool folder = ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (!folder && !checkImageExtension(path, error)) return false;
  if (format.value_or(formatForPath(path)) == ImageFormat::kExr && !exrSupported()) {
    error = "this build cannot write OpenEXR (install libopenexr-dev and rebuild)";
    return false;
  }
  return file_.open(path, error);
}

bool encodeImage(const Image& image, ImageFormat format, std::string& out, std::string& error) {
  return encodeImage(image, format, ViewTransform(), out, error);
}

bool encodeImage(const Image& image, ImageFormat format, const ViewTransform& view,
                 std::string& out, std::string& error) {
  out.clear();
  if (format == ImageFormat::kPng) return encodePng(image, view, out, error);
#ifdef GLINTWEAVE_PREVIEW_EXR
  return encodeExr(image, out, error);
#else
  error = "this build cannot write OpenEXR";
  return false;
#endif
}

bool OutputFile::commit(const Image& image, std::string& error) {
  return commit(image, ViewTransform(), error);
}

bool OutputFile::commit(const Image& image, const ViewTransform& view, std::string& error) {
  if (!file_.isOpen()) {
    error = "no output file is open";
    return false;
  }
  std::string bytes;
  // The commit syncs the bytes to the disk before the file takes the
  // destination's name: a crash leaves the old file or the new one.
  return encodeImage(image, format_.value_or(formatForPath(file_.path())), view, bytes, error) &&
         file_.write(bytes, error) && file_.commit(error);
}

unsigned char toSrgb8(float linear) {
  if (!(linear > 0.0f)) return 0;
  if (linear >= 1.0f) return 255;
  const float s =
      linear <= 0.0031308f ? 12.92f * linear : 1.055f * std::pow(linear, 1.0f / 2.4f) - 0.055f;
  return static_cast<unsigned char>(std::lround(s * 255.0f));
}

float fromSrgb8(unsigned char code) {
  const float s = static_cast<float>(code) / 255.0f;
  return s <= 0.04045f ? s / 12.92f : std::pow((s + 0.055f) / 1.055f, 2.4f);
}

bool readPng(const std::string& path, Image& image, std::string& error) {
  png_image img;
  std::memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&img, path.c_str())) {
    error = "cannot read " + path + ": " + img.message;
    return false;
  }
  img.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> data(PNG_IMAGE_SIZE(img));
  if (!png_image_finish_read(&img, nullptr, data.data(), 0, nullptr)) {
    error = "cannot read " + path + ": " + img.message;
    png_image_free(&img);
    return false;
  }
  image = Image(static_cast<int>(img.width), static_cast<int>(img.height));
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    image.pixels[i] = {fromSrgb8(data[i * 3]), fromSrgb8(data[i * 3 + 1]),
                       fromSrgb8(data[i * 3 + 2])};
  }
  return true;
}

}  // namespace gwp
