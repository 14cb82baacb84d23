// The DLL's threading runtime: what it takes from the host's process is
// given back when the DLL is unloaded (threading_runtime.cpp).
#pragma once

namespace Vardok {

// DllMain, at DLL_PROCESS_DETACH: whether the process is ending (then the
// system frees everything, and nothing is given back by hand).
void threadingRuntimeProcessEnding(bool ending);

}  // namespace Vardok
