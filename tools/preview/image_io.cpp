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
#include <ImfOutputFile.h>
#endif

namespace gwp {
namespace {

bool writePng(FILE* file, const Image& image, std::string& error) {
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
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_sRGB_gAMA_and_cHRM(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
  png_write_info(png, info);
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const Rgb& c = image.at(x, y);
      unsigned char* out = &row[static_cast<size_t>(x) * 3];
      out[0] = toSrgb8(c.x);
      out[1] = toSrgb8(c.y);
      out[2] = toSrgb8(c.z);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

#ifdef GLINTWEAVE_PREVIEW_EXR
bool writeExr(const std::string& path, const Image& image, std::string& error) {
  try {
    Imf::Header header(image.width, image.height);
    header.channels().insert("R", Imf::Channel(Imf::FLOAT));
    header.channels().insert("G", Imf::Channel(Imf::FLOAT));
    header.channels().insert("B", Imf::Channel(Imf::FLOAT));
    Imf::OutputFile file(path.c_str(), header);
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

bool exrSupported() {
#ifdef GLINTWEAVE_PREVIEW_EXR
  return true;
#else
  return false;
#endif
}

bool OutputFile::open(const std::string& path, std::string& error) {
  if (path.empty()) {
    error = "the output path is empty";
    return false;
  }
  if (formatForPath(path) == ImageFormat::kExr && !exrSupported()) {
    error = "this build cannot write OpenEXR (install libopenexr-dev and rebuild)";
    return false;
  }
  return file_.open(path, error);
}

bool OutputFile::commit(const Image& image, std::string& error) {
  if (!file_.isOpen()) {
    error = "no output file is open";
    return false;
  }
  const std::string& path = file_.path();
  bool ok = false;
  if (formatForPath(path) == ImageFormat::kPng) {
    FILE* file = ::fdopen(file_.fd(), "wb");
    if (!file) {
      error = gwf::systemError("cannot write", file_.tempPath());
      return false;
    }
    file_.release();  // owned by `file` now
    ok = writePng(file, image, error);
    if (std::fflush(file) != 0 || ::fsync(::fileno(file)) != 0) {
      if (ok) error = gwf::systemError("cannot write", path);
      ok = false;
    }
    if (std::fclose(file) != 0 && ok) {
      error = gwf::systemError("cannot write", path);
      ok = false;
    }
  } else {
#ifdef GLINTWEAVE_PREVIEW_EXR
    ::close(file_.release());
    ok = writeExr(file_.tempPath(), image, error);
#else
    error = "this build cannot write OpenEXR";
#endif
  }
  return ok && file_.commit(error);
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
