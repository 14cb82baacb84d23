// The console host's output: lines from any thread, UTF-8 on the screen
// from the host's Windows-1250 texts, optional colours.
#pragma once

#include <mutex>
#include <string>

#include "host/lib/host_text.h"

namespace VardokHost {

class ConsoleOutput {
 public:
  ConsoleOutput();
  void setColor(bool on) { _color = on; }
  bool color() const { return _color; }

  // Writes one line (a newline is added). Any thread.
  void line(const std::string& utf8);
  // "[hh:mm:ss] text"
  void event(const std::string& utf8);

  // Wraps text in an ANSI colour when colours are on: 32 green, 33 yellow,
  // 31 red, 2 dim.
  std::string paint(const std::string& text, int code) const;

  // Whether standard output looks like a terminal that understands colours.
  static bool colorTerminal();

 private:
  std::mutex _lock;
  bool _color = false;
};

std::string clockTime();

// text followed by spaces up to width characters (UTF-8 characters, not
// bytes); longer text is left whole.
std::string padded(const std::string& text, size_t width);
// Up to the first line break.
std::string firstLine(const std::string& text);
// Text from a check or a contact as the console may show it: every C0
// control but tab (and, with keepLineBreaks, LF and the CR of a CR LF), DEL
// and every C1 control (U+0080 to U+009F) as a visible escape such as
// "\x1B" or "\u0090", so what a check prints or a contact is called can
// never drive the terminal.
std::string visible(const std::string& text, bool keepLineBreaks = false);
// The first line of text, visible, cut to width characters with its full
// size noted ("... [4194304 bytes]").
std::string fittedFirstLine(const std::string& text, size_t width);
// How much of a status text a line shows; fittedFirstLine notes the rest.
constexpr size_t kStatusWidth = 40;
// The width of the console the host writes to, or 160 without one.
size_t consoleWidth();
// How long ago a GetTickCount time was: "-" for none, "12s", "3m", "2h".
std::string ageText(unsigned long since);

}  // namespace VardokHost
