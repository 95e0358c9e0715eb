// Contact sheets: where each cell's render goes and the text around it. A
// sweep sheet shows one grid per host, each cell labelled with its value(s)
// and the axes with the swept inputs' names; a scene sheet shows one swatch
// per material, labelled with the material's name and host, under a title
// naming the files. The default image is the simplest layout of all: the
// hosts' renders side by side, each named under itself.
#pragma once

#include <string>
#include <vector>

#include "label.h"

namespace gwp {

struct SheetCell {
  int x = 0;  // top-left corner of the cell's render
  int y = 0;
};

struct SheetLayout {
  int width = 0;
  int height = 0;
  std::vector<SheetCell> cells;
  std::vector<TextItem> texts;
};

// Sheet text sizes, in pixels.
constexpr float kTitleText = 15.0f;
constexpr float kLabelText = 12.0f;

// A sweep: one grid per entry of `groups` (the hosts), side by side, each
// of columnValues.size() x max(1, rowValues.size()) cells. Cells are listed
// group by group, row by row. `rowAxis` is empty for a sweep of one input.
// False with `error` when the sheet font is missing.
bool sweepSheet(const std::string& title, const std::vector<std::string>& groups,
                const std::string& columnAxis, const std::vector<std::string>& columnValues,
                const std::string& rowAxis, const std::vector<std::string>& rowValues, int cellW,
                int cellH, SheetLayout& out, std::string& error);

// Swatches in a grid `columns` wide, each labelled with its lines (the
// first bright, the others dim).
bool swatchSheet(const std::string& title, const std::vector<std::vector<std::string>>& labels,
                 int columns, int cellW, int cellH, SheetLayout& out, std::string& error);

// One render per host side by side, without a gap, each labelled with its
// host's name (`titles`) in a band under it. A lone render has no label and
// needs no font.
bool sideBySide(const std::vector<std::string>& titles, int cellW, int cellH, SheetLayout& out,
                std::string& error);

// The sheet's background, a dark neutral grey (linear).
constexpr float kSheetBackground = 0.012f;

}  // namespace gwp
