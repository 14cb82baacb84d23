#include <winsock2.h>

#include "tests/fault_host/fault_injection.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include "host/lib/pe_image.h"

namespace VardokFaults {

namespace {

bool same(const std::string& a, const char* b) { return lstrcmpiA(a.c_str(), b) == 0; }

bool isCRuntime(const std::string& dll) { return same(dll, "msvcrt.dll"); }

bool inList(const std::string& function, std::initializer_list<const char*> names) {
  for (const char* name : names)
    if (function == name) return true;
  return false;
}

// The allocation functions, and the size each call asks for.
const std::initializer_list<const char*> kAllocations = {"malloc", "calloc", "realloc", "_strdup",
                                                         "HeapAlloc", "HeapReAlloc", "LocalAlloc", "GlobalAlloc"};

uint64_t sizeAsked(const std::string& function, const DWORD* arguments) {
  if (function == "malloc") return arguments[0];
  if (function == "calloc") return static_cast<uint64_t>(arguments[0]) * arguments[1];
  if (function == "realloc") return arguments[1];
  if (function == "_strdup") return arguments[0] ? std::strlen(reinterpret_cast<const char*>(arguments[0])) + 1 : 0;
  if (function == "HeapAlloc") return arguments[2];
  if (function == "HeapReAlloc") return arguments[3];
  if (function == "LocalAlloc" || function == "GlobalAlloc") return arguments[1];
  return 0;
}

// Why a function has no failure to answer, or "" when it has one.
std::string cannotFail(const std::string& dll, const std::string& function) {
  if (isCRuntime(dll)) {
    if (inList(function, {"_iob", "__mb_cur_max"})) return "data, not a function";
    if (inList(function, {"abort", "exit", "_amsg_exit", "_assert", "_endthreadex", "longjmp", "_setjmp3"}))
      return "does not return to fail";
    if (inList(function, kAllocations) ||
        inList(function, {"_beginthreadex", "fputc", "fputs", "fwrite", "fprintf", "vfprintf", "printf", "setlocale",
                          "_read", "_close", "fopen", "fclose", "fflush"}))
      return "";
    return "no failure answer";
  }
  if (inList(function, {"FreeLibraryAndExitThread", "ExitThread", "ExitProcess", "RaiseException"}))
    return "does not return to fail";
  if (inList(function, {"AcquireSRWLockExclusive", "ReleaseSRWLockExclusive", "AcquireSRWLockShared",
                        "ReleaseSRWLockShared", "EnterCriticalSection", "LeaveCriticalSection",
                        "InitializeCriticalSection", "DeleteCriticalSection", "WakeAllConditionVariable",
                        "WakeConditionVariable", "SetLastError", "Sleep", "OutputDebugStringA",
                        "DeleteProcThreadAttributeList", "GetSystemTimeAsFileTime"}))
    return "no failure answer";
  if (inList(function, {"GetCurrentProcess", "GetCurrentProcessId", "GetCurrentThread", "GetCurrentThreadId",
                        "GetLastError", "GetTickCount", "GetTickCount64", "IsDebuggerPresent", "IsDBCSLeadByteEx"}))
    return "answers a fact, cannot fail";
  if (function == "TlsGetValue") return "cannot fail for an index it holds";
  // The first 64 slots are in every thread; only a later index needs the
  // thread's expansion slots, made on its first use.
  if (function == "TlsSetValue") return "cannot fail for an index below 64, and the process's are";
  if (function == "SleepConditionVariableSRW")
    return "0 means timed out; a stand-in cannot let go of the lock it waits with";
  if (function == "TryEnterCriticalSection") return "0 means busy, not failed";
  if (function == "PeekMessageA") return "0 means no message, not failed";
  if (function == "FreeLibrary") return "refusing it keeps the DLL loaded by definition";
  return "";
}

bool isRelease(const std::string& function) {
  return inList(function, {"CloseHandle", "LocalFree", "TlsFree", "RemoveVectoredExceptionHandler",
                           "InternetCloseHandle", "WSACleanup", "free", "fclose", "_close"});
}

// What a failed call answers, and the error it leaves.
struct Failure {
  DWORD value = 0;
  bool valueIsFirstArgument = false;  // LocalFree answers the handle it could not free
  DWORD error = ERROR_NOT_ENOUGH_MEMORY;
  int cError = 0;                     // errno, for the C runtime
};

Failure failureOf(const std::string& dll, const std::string& function) {
  Failure failure;
  if (isCRuntime(dll)) {
    failure.cError = ENOMEM;
    if (function == "_beginthreadex") failure.cError = EAGAIN;
    if (inList(function, {"fputc", "fputs", "fprintf", "vfprintf", "printf", "_read", "_close", "fclose", "fflush"})) {
      failure.value = static_cast<DWORD>(-1);
      failure.cError = EIO;
    }
    return failure;
  }
  if (inList(function, {"CreateFileA", "CreateFileW", "CreateNamedPipeA", "CreateNamedPipeW",
                        "CreateToolhelp32Snapshot", "FindFirstFileA", "FindFirstFileW"}))
    failure.value = reinterpret_cast<DWORD>(INVALID_HANDLE_VALUE);
  if (inList(function, {"ResumeThread", "SuspendThread", "TlsAlloc", "WaitForSingleObject", "WaitForSingleObjectEx",
                        "WaitForMultipleObjects", "WaitForMultipleObjectsEx", "MsgWaitForMultipleObjectsEx",
                        "MsgWaitForMultipleObjects", "SignalObjectAndWait"}))
    failure.value = static_cast<DWORD>(-1);
  if (function == "GetThreadPriority") failure.value = THREAD_PRIORITY_ERROR_RETURN;
  if (function == "LocalFree") failure.valueIsFirstArgument = true;
  if (same(dll, "ws2_32.dll")) {
    failure.error = WSAENOBUFS;
    failure.value = static_cast<DWORD>(SOCKET_ERROR);
    if (function == "WSAStartup") failure.value = WSASYSNOTREADY;
    if (function == "socket" || function == "accept") failure.value = static_cast<DWORD>(INVALID_SOCKET);
  }
  return failure;
}

int knownArgumentBytes(const std::string& dll, const std::string& function) {
  if (isCRuntime(dll)) return 0;
  for (size_t i = 0; i < kImportSignatureCount; ++i)
    if (same(dll, kImportSignatures[i].dll) && function == kImportSignatures[i].function)
      return kImportSignatures[i].argumentBytes;
  return -1;
}

// --- the stand-ins ---

constexpr unsigned kSlots = 16;

struct Slot {
  std::string function;
  bool allocation = false;
  Failure failure;
};

Slot g_slots[kSlots];
Mode g_mode = Mode::Every;
uint64_t g_n = 0;
std::atomic<uint64_t> g_calls{0};
std::atomic<uint64_t> g_failed{0};

}  // namespace

}  // namespace VardokFaults

// Read by the stand-ins' common code (below), by slot.
extern "C" {
void* g_faultOriginals[VardokFaults::kSlots];
DWORD g_faultValues[VardokFaults::kSlots];
DWORD g_faultArgumentBytes[VardokFaults::kSlots];

// Decides one call of the function in slot: nonzero fails it (with the
// slot's value and error set), zero hands it on. Keeps the caller's last
// error when it hands the call on.
int faultDecide(unsigned slot, const DWORD* arguments) {
  using namespace VardokFaults;
  const DWORD error = GetLastError();
  const Slot& s = g_slots[slot];
  const uint64_t call = ++g_calls;
  bool fail = false;
  switch (g_mode) {
    case Mode::First: fail = call == 1; break;
    case Mode::Every: fail = true; break;
    case Mode::Nth: fail = g_n && call % g_n == 0; break;
    case Mode::Above: fail = sizeAsked(s.function, arguments) >= g_n; break;
  }
  if (!fail) {
    SetLastError(error);
    return 0;
  }
  ++g_failed;
  if (s.failure.valueIsFirstArgument) g_faultValues[slot] = arguments[0];
  if (s.failure.cError) errno = s.failure.cError;
  SetLastError(s.failure.error);
  return 1;
}
}

// Each slot's entry pushes its slot number and jumps here, with the
// caller's return address and arguments on the stack as the caller left
// them. A call handed on jumps to the function with the stack untouched;
// a failed one answers the slot's value and takes the function's
// arguments off the stack as the function would (none for a C call).
asm(R"(
    .text
    .p2align 4
_faultCommon:
    leal 8(%esp), %eax
    pushl %eax
    pushl 4(%esp)
    call _faultDecide
    addl $8, %esp
    popl %ecx
    testl %eax, %eax
    jnz 1f
    jmp *_g_faultOriginals(,%ecx,4)
1:
    movl _g_faultValues(,%ecx,4), %eax
    movl _g_faultArgumentBytes(,%ecx,4), %edx
    popl %ecx
    addl %edx, %esp
    jmp *%ecx
    .globl _faultCommonAddress
    .data
    .p2align 2
_faultCommonAddress:
    .long _faultCommon
    .text
)");

extern "C" void* faultCommonAddress;

namespace VardokFaults {

namespace {

// The entries: "push slot; jmp common", 10 bytes each, in executable memory.
unsigned char* entries() {
  static unsigned char* code = [] {
    auto* memory = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    for (unsigned slot = 0; memory && slot < kSlots; ++slot) {
      unsigned char* entry = memory + slot * 16;
      entry[0] = 0x68;  // push imm32
      std::memcpy(entry + 1, &slot, 4);
      entry[5] = 0xE9;  // jmp rel32
      const int32_t relative = static_cast<int32_t>(reinterpret_cast<uintptr_t>(faultCommonAddress) -
                                                    reinterpret_cast<uintptr_t>(entry + 10));
      std::memcpy(entry + 6, &relative, 4);
    }
    if (memory) FlushInstructionCache(GetCurrentProcess(), memory, 4096);
    return memory;
  }();
  return code;
}

}  // namespace

bool parseMode(const std::string& text, Mode* mode, uint64_t* n) {
  *n = 0;
  if (text == "first") return *mode = Mode::First, true;
  if (text == "every") return *mode = Mode::Every, true;
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string name = text.substr(0, colon);
  char* end = nullptr;
  *n = std::strtoull(text.c_str() + colon + 1, &end, 10);
  if (*end || *n == 0) return false;
  if (name == "nth") return *mode = Mode::Nth, true;
  if (name == "above") return *mode = Mode::Above, true;
  return false;
}

std::string modeText(Mode mode, uint64_t n) {
  switch (mode) {
    case Mode::First: return "first";
    case Mode::Every: return "every";
    case Mode::Nth: return "nth:" + std::to_string(n);
    case Mode::Above: return "above:" + std::to_string(n);
  }
  return "?";
}

FunctionFacts factsOf(const std::string& dll, const std::string& function) {
  FunctionFacts facts;
  facts.argumentBytes = knownArgumentBytes(dll, function);
  facts.known = facts.argumentBytes >= 0;
  facts.allocation = inList(function, kAllocations);
  facts.why = cannotFail(dll, function);
  facts.canFail = facts.why.empty();
  if (facts.canFail && !facts.known) {
    facts.canFail = false;
    facts.why = "argument size unknown";
  }
  facts.release = isRelease(function);
  return facts;
}

std::vector<std::pair<std::string, std::string>> allocationImports(HMODULE module) {
  std::vector<std::pair<std::string, std::string>> found;
  for (const auto& imported : VardokHost::importedFunctions(module))
    if (inList(imported.function, kAllocations)) found.emplace_back(imported.dll, imported.function);
  return found;
}

bool install(HMODULE module, const Fault& fault, std::string* why) {
  std::vector<std::pair<std::string, std::string>> targets;
  if (fault.function == "allocations")
    targets = allocationImports(module);
  else
    targets.emplace_back(fault.dll, fault.function);
  if (targets.empty() || targets.size() > kSlots) return *why = "no such import", false;
  unsigned char* code = entries();
  if (!code) return *why = "no executable memory", false;
  g_mode = fault.mode;
  g_n = fault.n;
  for (unsigned slot = 0; slot < targets.size(); ++slot) {
    const FunctionFacts facts = factsOf(targets[slot].first, targets[slot].second);
    if (!facts.canFail) return *why = facts.why, false;
    if ((fault.mode == Mode::Above || fault.mode == Mode::Nth) && !facts.allocation)
      return *why = "not an allocation", false;
    g_slots[slot].function = targets[slot].second;
    g_slots[slot].allocation = facts.allocation;
    g_slots[slot].failure = failureOf(targets[slot].first, targets[slot].second);
    g_faultValues[slot] = g_slots[slot].failure.value;
    g_faultArgumentBytes[slot] = static_cast<DWORD>(facts.argumentBytes);
    // The original is in place before the table points at the entry.
    g_faultOriginals[slot] = reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA(targets[slot].first.c_str()), targets[slot].second.c_str()));
    void* previous = VardokHost::replaceImport(module, targets[slot].first.c_str(), targets[slot].second.c_str(),
                                               code + slot * 16);
    if (!previous) return *why = "no such import", false;
    // Whatever the table held (a host's own stand-in, say) stays the target.
    g_faultOriginals[slot] = previous;
  }
  return true;
}

uint64_t callsSeen() { return g_calls.load(); }
uint64_t callsFailed() { return g_failed.load(); }

}  // namespace VardokFaults
