#include "host/lib/host_text.h"

#include <cstdio>
#include <vector>

#include <windows.h>

namespace VardokHost {

namespace {

std::wstring toWide(const std::string& text, UINT from) {
  if (text.empty()) return std::wstring();
  const int wide = MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), &out[0], wide);
  return out;
}

std::string fromWide(const std::wstring& wide, UINT to) {
  if (wide.empty()) return std::string();
  const int bytes = WideCharToMultiByte(to, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(to, 0, wide.data(), static_cast<int>(wide.size()), &out[0], bytes, nullptr, nullptr);
  return out;
}

}  // namespace

std::string fromHostText(const std::string& cp1250) { return fromWide(toWide(cp1250, 1250), CP_UTF8); }
std::string toHostText(const std::string& utf8) { return fromWide(toWide(utf8, CP_UTF8), 1250); }
std::wstring wideFromUtf8(const std::string& utf8) { return toWide(utf8, CP_UTF8); }
std::string utf8FromWide(const std::wstring& wide) { return fromWide(wide, CP_UTF8); }

std::string localStamp(int64_t unixMs) {
  const uint64_t ticks = static_cast<uint64_t>(unixMs) * 10000 + 116444736000000000ull;
  FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}, local;
  SYSTEMTIME time;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &time)) return "?";
  char text[32];
  snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u", time.wYear, time.wMonth, time.wDay, time.wHour,
           time.wMinute);
  return text;
}

bool isUtf8(const std::string& text) {
  return text.empty() ||
         MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0) > 0;
}

bool fitsHostText(const std::string& utf8) {
  if (utf8.empty()) return true;
  const int wide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (wide <= 0) return false;  // not UTF-8 at all
  std::vector<wchar_t> buffer(static_cast<size_t>(wide));
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), buffer.data(), wide);
  BOOL usedDefault = FALSE;
  WideCharToMultiByte(1250, WC_NO_BEST_FIT_CHARS, buffer.data(), wide, nullptr, 0, nullptr, &usedDefault);
  return !usedDefault;
}

}  // namespace VardokHost
