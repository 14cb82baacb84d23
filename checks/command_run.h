// The command run's plumbing that others name: the default output pipe.
// Item::runCommand itself is declared in item.h.
#pragma once

#include <windows.h>

namespace Vardok {

// The default output pipe of a child: a named pipe of this process, one
// instance, overlapped on the read side; the write end is inheritable.
// Answers false (and no handles) when either end cannot be made.
bool createOverlappedPipe(HANDLE* readEnd, HANDLE* writeEnd);

}  // namespace Vardok
