// Making the plug-in's platform calls fail on purpose: a stand-in is put
// into the loaded DLL's import table for one function (or for every
// allocation function at once), and it answers the function's failure
// (its failure value, with the last error set) when the fault's mode says
// so, and hands every other call on to the function itself.
//
// Modes: at the first call only, at every call, at every Nth call, and at
// every call that asks for at least a number of bytes (the last two for
// allocation functions). Calls are counted from the moment the fault is
// installed; for all allocation functions together, in one count.
//
// install() on the host's main thread, before the plug-in runs; the
// stand-ins run on any thread. One fault per process: the stand-ins keep
// their state in this module's globals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

namespace VardokFaults {

// The bytes a standard-call function takes off the stack, from the import
// libraries (generated: import_signatures.py).
struct ImportSignature {
  const char* dll;
  const char* function;
  int argumentBytes;
};
extern const ImportSignature kImportSignatures[];
extern const size_t kImportSignatureCount;

enum class Mode { First, Every, Nth, Above };

struct Fault {
  // "KERNEL32.dll" and "CreateEventA"; the function "allocations" with
  // any dll stands for every allocation function the module imports.
  std::string dll;
  std::string function;
  Mode mode = Mode::Every;
  uint64_t n = 0;       // Nth: every nth call; Above: the least size that fails
};

// "first", "every", "nth:29", "above:262144" and back.
bool parseMode(const std::string& text, Mode* mode, uint64_t* n);
std::string modeText(Mode mode, uint64_t n);

// What is known of a function the module imports.
struct FunctionFacts {
  bool known = false;        // its argument size is known (or it is a C call)
  int argumentBytes = 0;     // taken off the stack by the callee (0: C call)
  bool allocation = false;   // answers memory of a size it is given
  bool canFail = true;       // has a failure answer at all
  bool release = false;      // gives something back: failing it keeps what it held
  std::string why;           // why it cannot be made to fail
};
FunctionFacts factsOf(const std::string& dll, const std::string& function);

// The allocation functions among a module's imports.
std::vector<std::pair<std::string, std::string>> allocationImports(HMODULE module);

// Puts the fault's stand-ins into module's import table. False, with why,
// when it cannot (not imported, argument size unknown, nothing to fail).
bool install(HMODULE module, const Fault& fault, std::string* why);

// Calls of the faulted functions since install, and how many of them failed.
uint64_t callsSeen();
uint64_t callsFailed();

}  // namespace VardokFaults
