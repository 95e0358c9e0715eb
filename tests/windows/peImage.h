// What tests need to see of Windows modules (PE images) beyond what the
// loader offers: the names a loaded module exports, a symbol's address from
// the file's own symbol table, and redirection of a module's imports.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace petest {

// The names in a loaded module's export directory: all that GetProcAddress
// can find by name there.
inline std::set<std::string> exportedNames(const void* module) {
  const auto* base = static_cast<const unsigned char*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  std::set<std::string> names;
  if (directory.Size == 0) return names;
  const auto* exports =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
  const auto* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    names.insert(reinterpret_cast<const char*>(base + nameRvas[i]));
  return names;
}

// Points the module's import of `function` (from any DLL) at `replacement`
// and returns what it pointed at before, or null when the module does not
// import it. Calls the module makes through its import table then land in
// the replacement; this is how a test watches what a library asks of the
// system, Windows having no interposition by name.
inline void* redirectImport(void* module, const char* function, void* replacement) {
  auto* base = static_cast<unsigned char*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.Size == 0) return nullptr;
  for (auto* dll =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
       dll->Name != 0; ++dll) {
    const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
      DWORD protection = 0;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                          &protection))
        return nullptr;
      void* const previous = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
      return previous;
    }
  }
  return nullptr;
}

// A symbol's address relative to the image base once loaded (its RVA), read
// from the file's own COFF symbol table, which MinGW's linker keeps unless the
// file is stripped: a test can so look at a variable the module does not
// export, such as the instance handle its load notification records.
inline std::optional<std::uint32_t> symbolRva(const std::string& path, const std::string& name) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> file{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
  auto u16 = [&](size_t at) -> std::uint32_t { return file[at] | (file[at + 1] << 8); };
  auto u32 = [&](size_t at) -> std::uint32_t { return u16(at) | (u16(at + 2) << 16); };
  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') return std::nullopt;
  const size_t pe = u32(0x3C);
  if (pe + 24 > file.size() || std::memcmp(&file[pe], "PE\0\0", 4) != 0) return std::nullopt;
  const size_t header = pe + 4;  // IMAGE_FILE_HEADER
  const std::uint32_t sectionCount = u16(header + 2);
  const size_t symbols = u32(header + 8);
  const std::uint32_t symbolCount = u32(header + 12);
  const size_t sections = header + 20 + u16(header + 16);
  const size_t strings = symbols + 18 * size_t{symbolCount};
  if (symbols == 0 || strings + 4 > file.size()) return std::nullopt;

  for (std::uint32_t i = 0; i < symbolCount; ++i) {
    const size_t at = symbols + 18 * size_t{i};
    std::string symbol;
    if (u32(at) == 0) {  // a long name, in the string table
      const size_t offset = strings + u32(at + 4);
      if (offset >= file.size()) return std::nullopt;
      symbol = reinterpret_cast<const char*>(&file[offset]);
    } else {
      symbol.assign(reinterpret_cast<const char*>(&file[at]), 8);
      symbol.resize(std::strlen(symbol.c_str()));
    }
    const std::uint32_t section = u16(at + 12);
    if (symbol == name && section >= 1 && section <= sectionCount) {
      const size_t sectionHeader = sections + 40 * size_t{section - 1};
      return u32(sectionHeader + 12) + u32(at + 8);  // VirtualAddress + value
    }
    i += file[at + 17];  // skip the auxiliary records
  }
  return std::nullopt;
}

}  // namespace petest
