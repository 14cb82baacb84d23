// The DLL's entry hook only succeeds: real start-up happens when the host
// sends its messages (HM_ATTACH_CORE, ...). At unload it only notes whether
// the process is ending, for what the threading runtime gives back.
#include <windows.h>

#include "plugin/threading_runtime.h"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) Vardok::threadingRuntimeProcessEnding(reserved != nullptr);
  return TRUE;
}
