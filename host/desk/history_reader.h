// Reads what the History windows show of a contact from the history file
// (its rollups over a window of time, its incidents, its uptime), on a
// thread of its own, so that the main thread never waits for the disk.
//
// A window asks with a reply box of its own (HistoryReplies); the answer
// is put in the box and one message posted to the window, which takes it
// from there. A window that goes closes its box first: an answer read for
// it after that is dropped, and nothing is posted to the window that was.
// A read still waiting for the same box is replaced by a newer one (a
// person flipping through the ranges waits for the last only).
//
// Threads: ask(), the main thread; the reads, the reader's thread;
// HistoryReplies as said there. The reader must go before the store it
// reads: its destructor lets the read in progress end, drops the rest and
// joins its thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "host/history/history_store.h"

namespace VardokHost {

struct HistoryQuery {
  std::string key;        // the contact's history key
  int64_t spanMs = 0;     // how far back from now
  int64_t bucketMs = 0;   // the width of the chart's spans
  size_t incidents = 100; // at most this many incidents
  uint64_t serial = 0;    // the asker's, given back with the answer
};

struct HistoryAnswer {
  HistoryQuery query;
  int64_t nowMs = 0;                // the store's time when read: the window's end
  std::vector<Rollup> rollups;      // over [nowMs - spanMs, nowMs), in order, empty spans left out
  std::vector<Incident> incidents;  // overlapping the window, newest first
  Uptime uptime;
};

// Where the answers for one window go. Main thread, but for deliver.
class HistoryReplies {
 public:
  HistoryReplies(HWND window, UINT message) : _window(window), _message(message) {}
  // The window goes: nothing more is posted to it, and what comes is dropped.
  void close();
  // The answer put here last, once.
  std::optional<HistoryAnswer> take();
  // The reader's thread: keeps the answer and tells the window.
  void deliver(HistoryAnswer answer);

 private:
  std::mutex _lock;
  HWND _window;
  UINT _message;
  bool _posted = false;  // a message is on its way
  std::optional<HistoryAnswer> _answer;
};

class HistoryReader {
 public:
  explicit HistoryReader(HistoryStore& store);
  ~HistoryReader();
  HistoryReader(const HistoryReader&) = delete;
  HistoryReader& operator=(const HistoryReader&) = delete;

  void ask(const std::shared_ptr<HistoryReplies>& replies, const HistoryQuery& query);

 private:
  void readerMain();
  HistoryAnswer read(const HistoryQuery& query);

  HistoryStore& _store;
  std::mutex _lock;
  std::condition_variable _wake;
  bool _stop = false;
  std::deque<std::pair<std::shared_ptr<HistoryReplies>, HistoryQuery>> _queue;
  std::thread _thread;
};

}  // namespace VardokHost
