// The page's files, embedded into the executable when it is built (see
// embed_assets.cmake), so that the studio works from any folder and serves
// nothing from the file system.
#pragma once

#include <cstddef>
#include <string>

namespace gwstudio {

struct Asset {
  const char* path;  // as requested, e.g. "/index.html", "/js/studio.js"
  const char* type;  // Content-Type
  const unsigned char* data;
  size_t size;
};

// The embedded file at `path`, or null.
const Asset* findAsset(const std::string& path);

}  // namespace gwstudio
