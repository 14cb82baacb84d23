// Reading a loaded module's export and import tables, and redirecting one
// of its imports (how a host shows a plug-in's message boxes its own way).
// Any thread; the module must stay loaded while these run.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

namespace VardokHost {

std::vector<std::string> exportedNames(HMODULE module);
// The DLL names the module imports from, as the import table spells them.
std::vector<std::string> importedDlls(HMODULE module);
// One function the module imports by name: the DLL as the import table
// spells it, and the function's name.
struct ImportedFunction {
  std::string dll;
  std::string function;
};
// Every function the module imports by name, in the table's order
// (imports by ordinal are left out).
std::vector<ImportedFunction> importedFunctions(HMODULE module);

// Points the module's import of dll!function at replacement and answers
// the address it had, or null when the module does not import it.
void* replaceImport(HMODULE module, const char* dll, const char* function, void* replacement);

}  // namespace VardokHost
