// What starting a child process for a check needs, for the plug-in's
// command run and vardok-check's bridge alike: the list of the only
// handles it may inherit, and a job that ends its whole tree.
// Any thread.
#pragma once

#include <vector>

#include <windows.h>

#include "support/threads/unique_handle.h"

namespace Quorlin {

// The handles a child may inherit (PROC_THREAD_ATTRIBUTE_HANDLE_LIST), for
// STARTUPINFOEX with EXTENDED_STARTUPINFO_PRESENT. Without the list a child
// inherits every inheritable handle of its parent, among them the write
// ends of other children's pipes and the parent's own standard handles,
// and whatever it leaves running would hold those open.
class InheritList {
 public:
  explicit InheritList(std::vector<HANDLE> handles);
  ~InheritList();
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;
  // Null when the platform could not build the list.
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return _list; }
  // Start-up information that gives a child input as its standard input
  // and output as its standard output and error, and this list; pass it
  // with creationFlags().
  STARTUPINFOEXA startup(HANDLE input, HANDLE output) const;
  // EXTENDED_STARTUPINFO_PRESENT when there is a list, else 0.
  DWORD creationFlags() const { return _list ? EXTENDED_STARTUPINFO_PRESENT : 0; }

 private:
  std::vector<HANDLE> _handles;
  std::vector<char> _storage;
  LPPROC_THREAD_ATTRIBUTE_LIST _list = nullptr;
};

// A job that ends every process in it when it is closed; null when the
// platform makes none.
JobHandle killOnCloseJob();

// Clears kill-on-close, so that closing the job leaves its processes
// running: for a run that ended by itself, whose processes started on
// purpose outlive it.
void keepProcessesOnClose(HANDLE job);

}  // namespace Quorlin
