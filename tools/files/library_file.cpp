#include "library_file.h"

#include <cstring>
#include <fstream>
#include <vector>

#if defined(__linux__)
#include <elf.h>
#endif

namespace gwf {

bool libraryFileLoadable(const std::string& what, const std::string& path, std::string& error) {
  const std::string why = libraryFileProblem(path);
  if (why.empty()) return true;
  error = "cannot load the " + what + " " + path + ": " + why;
  return false;
}

std::string libraryFileProblem(const std::string& path) {
#if defined(__linux__)
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) return {};  // the loader reports a missing or unreadable file
  const auto size = static_cast<unsigned long long>(file.tellg());
  file.seekg(0);
  Elf64_Ehdr header;
  if (!file.read(reinterpret_cast<char*>(&header), sizeof header) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) {
    return {};  // not a 64-bit ELF file: the loader says so itself
  }
  if (header.e_phentsize != sizeof(Elf64_Phdr) ||
      header.e_phoff + static_cast<unsigned long long>(header.e_phnum) * sizeof(Elf64_Phdr) >
          size) {
    return "the file is cut short (its program headers are missing)";
  }
  std::vector<Elf64_Phdr> segments(header.e_phnum);
  file.seekg(static_cast<std::streamoff>(header.e_phoff));
  file.read(reinterpret_cast<char*>(segments.data()),
            static_cast<std::streamsize>(segments.size() * sizeof(Elf64_Phdr)));
  if (!file) return "the file is cut short (its program headers are missing)";
  for (const Elf64_Phdr& s : segments) {
    if (s.p_type == PT_LOAD && s.p_offset + s.p_filesz > size) {
      return "the file is cut short (" + std::to_string(size) + " bytes; its code needs " +
             std::to_string(s.p_offset + s.p_filesz) + ")";
    }
  }
#else
  (void)path;
#endif
  return {};
}

}  // namespace gwf
