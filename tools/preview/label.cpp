#include "label.h"

#include <stb_truetype.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <mutex>

namespace gwp {

struct Font::Impl {
  std::vector<unsigned char> data;
  stbtt_fontinfo info{};
  int ascent = 0, descent = 0, lineGap = 0;

  float scale(float px) const { return stbtt_ScaleForPixelHeight(&info, px); }
};

Font::Font() : impl_(std::make_unique<Impl>()) {}
Font::~Font() = default;

bool Font::load(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read the font " + path;
    return false;
  }
  impl_->data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  const int offset = stbtt_GetFontOffsetForIndex(impl_->data.data(), 0);
  if (impl_->data.size() < 12 || offset < 0 ||
      !stbtt_InitFont(&impl_->info, impl_->data.data(), offset)) {
    error = path + " is not a TrueType font";
    return false;
  }
  stbtt_GetFontVMetrics(&impl_->info, &impl_->ascent, &impl_->descent, &impl_->lineGap);
  return true;
}

const Font* Font::sheetFont(std::string& error) {
  static std::once_flag once;
  static std::unique_ptr<Font> font;
  static std::string failure;
  std::call_once(once, [] {
    // The build's font first, then where Debian installs fonts-dejavu-core.
    const char* candidates[] = {
#ifdef GLINTWEAVE_PREVIEW_FONT
        GLINTWEAVE_PREVIEW_FONT,
#endif
        "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
    };
    for (const char* path : candidates) {
      auto f = std::make_unique<Font>();
      std::string why;
      if (f->load(path, why)) {
        font = std::move(f);
        return;
      }
      if (failure.empty()) failure = why;
    }
    failure = "cannot label the sheet: " + failure + " (install fonts-dejavu-core)";
  });
  if (!font) error = failure;
  return font.get();
}

std::vector<char32_t> decodeUtf8(std::string_view s) {
  std::vector<char32_t> out;
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    char32_t cp = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
    bool ok = extra >= 0;
    for (int k = 1; ok && k <= extra; ++k) {
      if (i + static_cast<size_t>(k) >= s.size()) {
        ok = false;
        break;
      }
      const auto c = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
      ok = (c >> 6) == 2;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!ok) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    out.push_back(cp);
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

int Font::lineHeight(float px) const {
  const float s = impl_->scale(px);
  return static_cast<int>(std::ceil(static_cast<float>(impl_->ascent - impl_->descent) * s));
}

int Font::width(std::string_view utf8, float px) const {
  const float s = impl_->scale(px);
  const auto cps = decodeUtf8(utf8);
  float w = 0.0f;
  for (size_t i = 0; i < cps.size(); ++i) {
    int advance = 0, bearing = 0;
    stbtt_GetCodepointHMetrics(&impl_->info, static_cast<int>(cps[i]), &advance, &bearing);
    w += static_cast<float>(advance) * s;
    if (i + 1 < cps.size()) {
      w += static_cast<float>(stbtt_GetCodepointKernAdvance(&impl_->info, static_cast<int>(cps[i]),
                                                            static_cast<int>(cps[i + 1]))) *
           s;
    }
  }
  return static_cast<int>(std::ceil(w));
}

std::string Font::fit(std::string_view utf8, float px, int maxWidth) const {
  if (maxWidth <= 0 || width(utf8, px) <= maxWidth) return std::string(utf8);
  // Cut whole code points off the end until the text and "..." fit.
  std::string s(utf8);
  while (!s.empty()) {
    size_t cut = s.size() - 1;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    s.resize(cut);
    if (width(s + "...", px) <= maxWidth) return s + "...";
  }
  return "...";
}

void Font::draw(Image& image, int x, int y, std::string_view utf8, float px, Rgb colour) const {
  const float s = impl_->scale(px);
  const int baseline = y + static_cast<int>(std::lround(static_cast<float>(impl_->ascent) * s));
  const auto cps = decodeUtf8(utf8);
  float pen = static_cast<float>(x);
  std::vector<unsigned char> glyph;
  for (size_t i = 0; i < cps.size(); ++i) {
    const int cp = static_cast<int>(cps[i]);
    int x0, y0, x1, y1;
    stbtt_GetCodepointBitmapBox(&impl_->info, cp, s, s, &x0, &y0, &x1, &y1);
    const int w = x1 - x0, h = y1 - y0;
    if (w > 0 && h > 0) {
      glyph.assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0);
      stbtt_MakeCodepointBitmap(&impl_->info, glyph.data(), w, h, w, s, s, cp);
      const int left = static_cast<int>(std::lround(pen)) + x0;
      for (int gy = 0; gy < h; ++gy) {
        const int iy = baseline + y0 + gy;
        if (iy < 0 || iy >= image.height) continue;
        for (int gx = 0; gx < w; ++gx) {
          const int ix = left + gx;
          if (ix < 0 || ix >= image.width) continue;
          const float a =
              static_cast<float>(glyph[static_cast<size_t>(gy) * static_cast<size_t>(w) +
                                       static_cast<size_t>(gx)]) /
              255.0f;
          if (a <= 0.0f) continue;
          Rgb& p = image.at(ix, iy);
          p = p * (1.0f - a) + colour * a;
        }
      }
    }
    int advance = 0, bearing = 0;
    stbtt_GetCodepointHMetrics(&impl_->info, cp, &advance, &bearing);
    pen += static_cast<float>(advance) * s;
    if (i + 1 < cps.size()) {
      pen += static_cast<float>(
                 stbtt_GetCodepointKernAdvance(&impl_->info, cp, static_cast<int>(cps[i + 1]))) *
             s;
    }
  }
}

bool drawTexts(Image& image, const std::vector<TextItem>& items, std::string& error) {
  const Font* font = Font::sheetFont(error);
  if (!font) return false;
  // Linear values whose sRGB codes are a light and a mid grey.
  const Rgb bright{0.78f, 0.78f, 0.78f};
  const Rgb dim{0.3f, 0.3f, 0.3f};
  for (const TextItem& t : items) {
    const std::string text = font->fit(t.text, t.size, t.maxWidth);
    int x = t.x;
    if (t.centred) x -= font->width(text, t.size) / 2;
    font->draw(image, x, t.y, text, t.size, t.dim ? dim : bright);
  }
  return true;
}

}  // namespace gwp
