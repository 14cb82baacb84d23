#include "host/console/rotating_log.h"

#include <windows.h>

namespace VardokHost {

void RotatingLog::reopen(DWORD disposition) {
  _file.reset(CreateFileA(_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  _size = _file && GetFileSizeEx(_file.get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

bool RotatingLog::open(const std::string& path, uint64_t limitBytes) {
  std::lock_guard<std::mutex> guard(_lock);
  _path = path;
  _limit = limitBytes ? limitBytes : kDefaultLimit;
  reopen(OPEN_ALWAYS);
  return static_cast<bool>(_file);
}

void RotatingLog::write(const std::string& line) {
  std::lock_guard<std::mutex> guard(_lock);
  if (!_file) return;
  if (_size > 0 && _size + line.size() > _limit) {
    _file.reset();
    // Should the move fail (another program holds FILE.1), the log starts
    // over in place rather than grow without bound.
    const bool moved = MoveFileExA(_path.c_str(), (_path + ".1").c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    reopen(moved ? CREATE_NEW : CREATE_ALWAYS);
    if (!_file) reopen(OPEN_ALWAYS);
    if (!_file) return;
  }
  DWORD written = 0;
  if (WriteFile(_file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) _size += written;
}

}  // namespace VardokHost
