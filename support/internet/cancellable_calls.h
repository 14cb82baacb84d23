// Quorlin::CancellableCalls: makes the blocking network calls that WinINet
// makes on the calling thread cancellable from another thread.
//
// A WinINet request in synchronous mode waits inside Winsock. Closing its
// handle from another thread does not wake it under every WinINet (Wine's
// keeps waiting until the server answers or goes away), and closing a
// handle that another thread may still pass to WinINet is unsafe in any
// case: the value can be handed to the next handle opened. What does wake
// it is CancelSynchronousIo on the waiting thread, which cancels the
// thread's synchronous I/O. Winsock opens overlapped sockets by default,
// whose waits that call does not reach; SO_OPENTYPE set to
// SO_SYNCHRONOUS_NONALERT makes the sockets this thread opens from now on
// synchronous, and WinINet opens its connections on the thread that makes
// the request. So: a thread that owns this for as long as it makes
// requests can be stopped in any wait of theirs (name look-ups excepted,
// which the platform makes without a socket).
//
// Owns the thread's Winsock start-up and its socket-open type for its
// scope. The thread that made it only.
#pragma once

namespace Quorlin {

class CancellableCalls {
 public:
  CancellableCalls();
  ~CancellableCalls();
  CancellableCalls(const CancellableCalls&) = delete;
  CancellableCalls& operator=(const CancellableCalls&) = delete;

  // False when the platform would not make this thread's sockets
  // synchronous: its calls then end only by themselves.
  bool active() const { return _active; }

 private:
  bool _started = false;
  bool _active = false;
  int _previous = 0;
};

}  // namespace Quorlin
