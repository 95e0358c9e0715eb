// Text on contact sheets, drawn with a real font (DejaVu Sans through
// stb_truetype): antialiased glyphs blended into the linear image.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "render.h"
#include "vec3.h"

namespace gwp {

class Font {
 public:
  // The sheet font, loaded once per process. Null with a one-line `error`
  // when the font file cannot be read.
  static const Font* sheetFont(std::string& error);

  // Loads a TrueType file. False with `error`.
  bool load(const std::string& path, std::string& error);

  // Width in pixels of `utf8` at `px` pixels (the font's ascent minus descent).
  int width(std::string_view utf8, float px) const;
  // `utf8` cut to fit `maxWidth` pixels, with "..." where it was cut.
  std::string fit(std::string_view utf8, float px, int maxWidth) const;
  // Draws `utf8` with its top-left corner at (x, y), clipped to the image.
  void draw(Image& image, int x, int y, std::string_view utf8, float px, Rgb colour) const;
  // The height of a line of text at `px`.
  int lineHeight(float px) const;

  Font();
  ~Font();
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One piece of text of a sheet: drawn at (x, y) (top-left), or centred on
// x when `centred`, cut with "..." to `maxWidth` pixels when it is positive.
struct TextItem {
  std::string text;
  int x = 0;
  int y = 0;
  float size = 12.0f;
  bool centred = false;
  int maxWidth = 0;
  bool dim = false;  // secondary text (a host name under a material's name)
};

// Draws every item. False with `error` when the sheet font is missing.
bool drawTexts(Image& image, const std::vector<TextItem>& items, std::string& error);

// The UTF-8 text's code points; malformed bytes become U+FFFD.
std::vector<char32_t> decodeUtf8(std::string_view utf8);

}  // namespace gwp
