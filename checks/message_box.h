// The plug-in's message boxes: every one goes through ShowMessageBox, so a
// host or a test can see what would be shown. Any thread; the box blocks
// only the calling thread.
#pragma once

#include <string>

namespace Vardok {

using MessageBoxFunction = int (*)(const std::string& text, const std::string& caption, unsigned type);

// MessageBoxA with no owner window, or the function set below.
int ShowMessageBox(const std::string& text, const std::string& caption, unsigned type);

// Replaces the function that shows message boxes (null restores
// MessageBoxA). Answers the previous one.
MessageBoxFunction setMessageBoxFunction(MessageBoxFunction function);

}  // namespace Vardok
