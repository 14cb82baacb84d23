// The console host's log file, bounded: when a line would take it past its
// size, the file becomes FILE.1 (replacing an older one) and a new FILE is
// begun, so the log never holds more than twice its size on disk.
// Any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "support/threads/unique_handle.h"

namespace VardokHost {

class RotatingLog {
 public:
  static constexpr uint64_t kDefaultLimit = 1u << 20;

  // Opens path for appending; false when it cannot be opened (nothing is
  // logged then).
  bool open(const std::string& path, uint64_t limitBytes);
  void write(const std::string& line);

 private:
  void reopen(DWORD disposition);

  std::mutex _lock;
  std::string _path;
  uint64_t _limit = kDefaultLimit;
  uint64_t _size = 0;
  Quorlin::FileHandle _file;
};

}  // namespace VardokHost
