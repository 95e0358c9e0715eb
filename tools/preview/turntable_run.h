// The turntable runner of glintweave-preview: the frames of a turntable,
// each rendered in a process of its own, and the labelled contact sheet of
// them. A frame's process starts from the same state whichever way it is
// asked for (the deliverables' generators take their streams in the order
// threads first draw, process-wide), so --frame K writes the same file byte
// for byte as the whole run writes for frame K.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "image_io.h"
#include "options.h"
#include "render.h"
#include "sheet.h"

namespace gwp {

// The contact sheet of a turntable: a cell per frame, the frame shrunk to
// fit, labelled with its number and the camera's azimuth.
struct TurntableSheet {
  OutputFile file;
  SheetLayout layout;
  Image image;
  int factor = 1;  // a cell is the frame shrunk this many times
  int cellWidth = 0;
  int cellHeight = 0;
  size_t framePixels = 0;  // a frame's size

  // Shrinks frame `index` (0-based) into its cell.
  void place(int index, const Image& frame);
};

// Lays out the sheet of `options`' turntable, whose frames are
// frameWidth x frameHeight: labels, cells, the sheet's title; the image
// cleared to the sheet's background. False with a one-line `error` when
// the sheet would be too large.
bool layOutTurntableSheet(const Options& options, int frameWidth, int frameHeight,
                          TurntableSheet& sheet, std::string& error);

// Renders a frame in the process that runs it: `frame` is 1-based; the
// plain render goes to `sendTo` when it is a descriptor (not -1). Returns
// the process's exit status, having reported any error itself.
using FrameRenderer = std::function<int(int frame, int sendTo)>;

// Renders frames 1 to `frames`, each in a child process started for it,
// one after the other, passing on the signals that stop this one; with
// `sheet`, each frame's plain render comes back and is placed on it.
// kExitOk, or kExitError with `error` the message to report (empty when the
// frame has reported why itself). `out` and `err` are flushed before each
// start, so no line is written twice.
int renderFrames(int frames, TurntableSheet* sheet, const FrameRenderer& render, std::FILE* out,
                 std::FILE* err, std::string& error);

// A frame's plain render, from the process that renders it to the one that
// makes the turntable's sheet: width, height, then the pixels. False when
// the pipe fails.
bool sendFrame(int fd, const Image& image);

}  // namespace gwp
