#include "host/lib/pe_image.h"

#include <cstring>

namespace VardokHost {

namespace {

const IMAGE_DATA_DIRECTORY* directory(HMODULE module, int index) {
  auto* base = reinterpret_cast<const BYTE*>(module);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return nullptr;
  const IMAGE_DATA_DIRECTORY* entry = &nt->OptionalHeader.DataDirectory[index];
  return entry->VirtualAddress ? entry : nullptr;
}

template <typename T>
const T* at(HMODULE module, DWORD rva) {
  return reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(module) + rva);
}

}  // namespace

std::vector<std::string> exportedNames(HMODULE module) {
  std::vector<std::string> names;
  const IMAGE_DATA_DIRECTORY* dir = directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
  if (!dir) return names;
  auto* exports = at<IMAGE_EXPORT_DIRECTORY>(module, dir->VirtualAddress);
  auto* nameRvas = at<DWORD>(module, exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) names.push_back(at<char>(module, nameRvas[i]));
  return names;
}

std::vector<std::string> importedDlls(HMODULE module) {
  std::vector<std::string> dlls;
  const IMAGE_DATA_DIRECTORY* dir = directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
  if (!dir) return dlls;
  for (auto* entry = at<IMAGE_IMPORT_DESCRIPTOR>(module, dir->VirtualAddress); entry->Name; ++entry)
    dlls.push_back(at<char>(module, entry->Name));
  return dlls;
}

std::vector<ImportedFunction> importedFunctions(HMODULE module) {
  std::vector<ImportedFunction> functions;
  const IMAGE_DATA_DIRECTORY* dir = directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
  if (!dir) return functions;
  for (auto* entry = at<IMAGE_IMPORT_DESCRIPTOR>(module, dir->VirtualAddress); entry->Name; ++entry) {
    const char* dll = at<char>(module, entry->Name);
    auto* names = at<IMAGE_THUNK_DATA>(module, entry->OriginalFirstThunk ? entry->OriginalFirstThunk
                                                                         : entry->FirstThunk);
    for (; names->u1.AddressOfData; ++names) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* byName = at<IMAGE_IMPORT_BY_NAME>(module, names->u1.AddressOfData);
      functions.push_back({dll, reinterpret_cast<const char*>(byName->Name)});
    }
  }
  return functions;
}

void* replaceImport(HMODULE module, const char* dll, const char* function, void* replacement) {
  const IMAGE_DATA_DIRECTORY* dir = directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
  if (!dir) return nullptr;
  for (auto* entry = at<IMAGE_IMPORT_DESCRIPTOR>(module, dir->VirtualAddress); entry->Name; ++entry) {
    if (lstrcmpiA(at<char>(module, entry->Name), dll) != 0) continue;
    auto* names = at<IMAGE_THUNK_DATA>(module, entry->OriginalFirstThunk ? entry->OriginalFirstThunk
                                                                         : entry->FirstThunk);
    auto* slots = const_cast<IMAGE_THUNK_DATA*>(at<IMAGE_THUNK_DATA>(module, entry->FirstThunk));
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* byName = at<IMAGE_IMPORT_BY_NAME>(module, names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
      DWORD oldProtection;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &oldProtection))
        return nullptr;
      void* previous = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<DWORD_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, oldProtection, &oldProtection);
      return previous;
    }
  }
  return nullptr;
}

}  // namespace VardokHost
