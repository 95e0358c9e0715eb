#include "sheet.h"

#include <algorithm>

namespace gwp {
namespace {

constexpr int kMargin = 8;
constexpr int kGap = 6;        // between cells
constexpr int kGroupGap = 16;  // between the hosts' grids

}  // namespace

bool sweepSheet(const std::string& title, const std::vector<std::string>& groups,
                const std::string& columnAxis, const std::vector<std::string>& columnValues,
                const std::string& rowAxis, const std::vector<std::string>& rowValues, int cellW,
                int cellH, SheetLayout& out, std::string& error) {
  const Font* font = Font::sheetFont(error);
  if (!font) return false;
  out = SheetLayout{};
  const int line = font->lineHeight(kLabelText) + 2;
  const int titleLine = font->lineHeight(kTitleText) + 6;
  const int cols = static_cast<int>(columnValues.size());
  const int rows = std::max<int>(1, static_cast<int>(rowValues.size()));
  const bool twoD = !rowValues.empty();

  // The row axis: its name above the rows, each row's value beside it.
  int leftBand = 0;
  if (twoD) {
    leftBand = font->width(rowAxis, kLabelText);
    for (const std::string& v : rowValues) leftBand = std::max(leftBand, font->width(v, kLabelText));
    leftBand = std::min(leftBand, 160) + kGap;
  }
  const int groupW = cols * cellW + (cols - 1) * kGap;
  int y = kMargin;
  out.texts.push_back({title, kMargin, y, kTitleText, false, 0, false});
  y += titleLine;
  const int groupY = y;
  y += line;
  const int axisY = y;
  y += line;
  const int gridY = y;
  const int rowPitch = cellH + line + kGap;

  for (size_t g = 0; g < groups.size(); ++g) {
    const int gx = kMargin + leftBand + static_cast<int>(g) * (groupW + kGroupGap);
    out.texts.push_back({groups[g], gx + groupW / 2, groupY, kLabelText, true, groupW, true});
    out.texts.push_back({columnAxis, gx + groupW / 2, axisY, kLabelText, true, groupW, false});
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < cols; ++c) {
        const SheetCell cell{gx + c * (cellW + kGap), gridY + r * rowPitch};
        out.cells.push_back(cell);
        std::string value = columnValues[static_cast<size_t>(c)];
        if (twoD) value += ", " + rowValues[static_cast<size_t>(r)];
        out.texts.push_back(
            {value, cell.x + cellW / 2, cell.y + cellH + 1, kLabelText, true, cellW, false});
      }
    }
  }
  if (twoD) {
    out.texts.push_back({rowAxis, kMargin, axisY, kLabelText, false, leftBand - kGap, false});
    for (int r = 0; r < rows; ++r) {
      out.texts.push_back({rowValues[static_cast<size_t>(r)], kMargin,
                           gridY + r * rowPitch + (cellH - line) / 2, kLabelText, false,
                           leftBand - kGap, true});
    }
  }
  const int groupsW = static_cast<int>(groups.size()) * groupW +
                      (static_cast<int>(groups.size()) - 1) * kGroupGap;
  out.width = kMargin + leftBand + groupsW + kMargin;
  out.height = gridY + rows * rowPitch - kGap + kMargin;
  // The title needs room too.
  out.width = std::max(out.width, std::min(kMargin * 2 + font->width(title, kTitleText), 640));
  out.texts.front().maxWidth = out.width - 2 * kMargin;
  return true;
}

bool swatchSheet(const std::string& title, const std::vector<std::vector<std::string>>& labels,
                 int columns, int cellW, int cellH, SheetLayout& out, std::string& error) {
  const Font* font = Font::sheetFont(error);
  if (!font) return false;
  out = SheetLayout{};
  const int line = font->lineHeight(kLabelText) + 2;
  const int titleLine = font->lineHeight(kTitleText) + 6;
  size_t lines = 1;
  for (const auto& l : labels) lines = std::max(lines, l.size());
  const int count = static_cast<int>(labels.size());
  const int cols = std::max(1, std::min(columns, count));
  const int rows = (count + cols - 1) / cols;
  const int rowPitch = cellH + static_cast<int>(lines) * line + kGap;
  const int gridY = kMargin + titleLine;
  out.texts.push_back({title, kMargin, kMargin, kTitleText, false, 0, false});
  for (int i = 0; i < count; ++i) {
    const SheetCell cell{kMargin + (i % cols) * (cellW + kGap), gridY + (i / cols) * rowPitch};
    out.cells.push_back(cell);
    const auto& l = labels[static_cast<size_t>(i)];
    for (size_t k = 0; k < l.size(); ++k) {
      out.texts.push_back({l[k], cell.x + cellW / 2,
                           cell.y + cellH + 1 + static_cast<int>(k) * line, kLabelText, true,
                           cellW, k > 0});
    }
  }
  out.width = kMargin * 2 + cols * cellW + (cols - 1) * kGap;
  out.height = gridY + rows * rowPitch - kGap + kMargin;
  out.width = std::max(out.width, std::min(kMargin * 2 + font->width(title, kTitleText), 640));
  out.texts.front().maxWidth = out.width - 2 * kMargin;
  return true;
}

bool sideBySide(const std::vector<std::string>& titles, int cellW, int cellH, SheetLayout& out,
                std::string& error) {
  out = SheetLayout{};
  const int count = static_cast<int>(titles.size());
  for (int i = 0; i < count; ++i) out.cells.push_back({i * cellW, 0});
  out.width = count * cellW;
  out.height = cellH;
  if (count < 2) return true;
  const Font* font = Font::sheetFont(error);
  if (!font) return false;
  constexpr int kPad = 3;  // above and below the names
  for (int i = 0; i < count; ++i) {
    out.texts.push_back({titles[static_cast<size_t>(i)],
                         out.cells[static_cast<size_t>(i)].x + cellW / 2, cellH + kPad, kLabelText,
                         true, cellW, false});
  }
  out.height += font->lineHeight(kLabelText) + 2 * kPad;
  return true;
}

}  // namespace gwp
