// The plug-in's message boxes: every one goes through ShowMessageBox, so a
// host or a test can see what would be shown (TestSeams). A run shows its
// boxes through RunControl::showBox, which asks first whether the run may
// still write. Any thread; the box blocks only the calling thread.
#pragma once

#include <string>

namespace Vardok {

// MessageBoxA with no owner window, or the function a test has set.
int ShowMessageBox(const std::string& text, const std::string& caption, unsigned type);

}  // namespace Vardok
