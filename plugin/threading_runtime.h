// The DLL's threading runtime: what it takes from the host's process is
// given back when the DLL is unloaded (threading_runtime.cpp).
#pragma once

namespace Vardok {

// HM_DETACH_CORE, on the host's thread: that thread makes no more calls
// into the DLL (until an attach), so the runtime's record of it is given
// back now; the DLL is unloaded by whichever thread lets it go last, and
// could not give back another thread's record then.
void threadingRuntimeThreadDone();

// DllMain, at DLL_PROCESS_DETACH: whether the process is ending (then the
// system frees everything, and nothing is given back by hand).
void threadingRuntimeProcessEnding(bool ending);

}  // namespace Vardok
