#include "host/console/console_output.h"

#include <cstdio>
#include <vector>

#include <windows.h>

namespace VardokHost {

std::string clockTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char text[16];
  snprintf(text, sizeof text, "%02u:%02u:%02u", now.wHour, now.wMinute, now.wSecond);
  return text;
}

ConsoleOutput::ConsoleOutput() { SetConsoleOutputCP(CP_UTF8); }

void ConsoleOutput::line(const std::string& utf8) {
  std::lock_guard<std::mutex> guard(_lock);
  const std::string text = utf8 + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void ConsoleOutput::event(const std::string& utf8) { line(paint("[" + clockTime() + "]", 2) + " " + utf8); }

std::string ConsoleOutput::paint(const std::string& text, int code) const {
  if (!_color) return text;
  return "\x1b[" + std::to_string(code) + "m" + text + "\x1b[0m";
}

bool ConsoleOutput::colorTerminal() {
  char term[64];
  const DWORD length = GetEnvironmentVariableA("TERM", term, sizeof term);
  if (length == 0 || length >= sizeof term || std::string(term) == "dumb") return false;
  if (GetEnvironmentVariableA("NO_COLOR", nullptr, 0) > 0) return false;
  return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR;
}

std::string padded(const std::string& text, size_t width) {
  size_t chars = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++chars;
  // A text as wide as its column or wider still keeps one space after it.
  return chars >= width ? text + ' ' : text + std::string(width - chars, ' ');
}

std::string firstLine(const std::string& text) {
  const size_t end = text.find_first_of("\r\n");
  return end == std::string::npos ? text : text.substr(0, end);
}

std::string ageText(unsigned long since) {
  if (!since) return "-";
  const DWORD seconds = (GetTickCount() - since) / 1000;
  if (seconds < 60) return std::to_string(seconds) + "s";
  if (seconds < 3600) return std::to_string(seconds / 60) + "m";
  return std::to_string(seconds / 3600) + "h";
}

std::string visible(const std::string& text, bool keepLineBreaks) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // C1 controls (U+0080 to U+009F) are two bytes in UTF-8: C2 80 to C2 9F.
    if (c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned char>(text[++i]));
      out += escape;
      continue;
    }
    const bool control = c < 0x20 || c == 0x7F;
    // A carriage return with no line feed after it would write over the line.
    const bool lineBreak = c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
    if (!control || c == '\t' || (keepLineBreaks && lineBreak)) {
      out += static_cast<char>(c);
      continue;
    }
    char escape[8];
    snprintf(escape, sizeof escape, "\\x%02X", c);
    out += escape;
  }
  return out;
}

std::string fittedFirstLine(const std::string& text, size_t width) {
  const std::string line = firstLine(text);
  if (line.size() <= width) return visible(line);
  // Cut on a character boundary of the UTF-8 text.
  size_t cut = width;
  while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
  return visible(line.substr(0, cut)) + "... [" + std::to_string(text.size()) + " bytes]";
}

size_t consoleWidth() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    if (width > 20) return static_cast<size_t>(width);
  }
  return 160;
}

}  // namespace VardokHost
