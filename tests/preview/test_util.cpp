#include "test_util.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>

namespace gwp::test {

std::shared_ptr<const MaterialSchema> builtSchema() {
  std::string error;
  auto schema = gws::loadMaterialSchema({}, {}, error);
  if (!schema) throw std::runtime_error("the deliverables' inputs cannot be read: " + error);
  return schema;
}

std::string makeTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/gwpreview-test.XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  return buf.data();
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
  }
  return names;
}

}  // namespace gwp::test
