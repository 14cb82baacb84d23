#include "host/console/message_boxes.h"

#include <atomic>
#include <string>

#include "host/lib/pe_image.h"

namespace VardokHost {

namespace {

// The installed object: the import hook is a plain function.
std::atomic<ConsoleMessageBoxes*> g_installed{nullptr};

// Wine without an X display cannot show a box.
bool canShowBoxes() {
  const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  // An empty DISPLAY is no display either (asked with no buffer, the
  // length of an empty value is 1, for its terminating zero).
  char display[2] = "";
  return !wine || GetEnvironmentVariableA("DISPLAY", display, sizeof display) > 0;
}

std::string indented(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') continue;
    out += c;
    if (c == '\n') out += "    ";
  }
  return out;
}

}  // namespace

ConsoleMessageBoxes::ConsoleMessageBoxes(ConsoleOutput& out) : _out(out) {}

ConsoleMessageBoxes::~ConsoleMessageBoxes() {
  ConsoleMessageBoxes* self = this;
  g_installed.compare_exchange_strong(self, nullptr);
}

void ConsoleMessageBoxes::install(HMODULE plugin) {
  _realBoxes = canShowBoxes();
  g_installed = this;
  _system = reinterpret_cast<MessageBoxFunction>(
      replaceImport(plugin, "user32.dll", "MessageBoxA", reinterpret_cast<void*>(&ConsoleMessageBoxes::show)));
}

int WINAPI ConsoleMessageBoxes::show(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  ConsoleMessageBoxes* self = g_installed.load();
  if (!self) return IDOK;
  if (self->_realBoxes && self->_system) return self->_system(owner, text, caption, type);
  const char* kind = (type & 0xF0) == MB_ICONERROR ? "error" : "message";
  std::string shown = visible(fromHostText(text ? text : ""), true);
  while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
  self->_out.event(std::string(kind) + " box \"" + visible(fromHostText(caption ? caption : "")) + "\":\n    " +
                   indented(shown));
  return IDOK;
}

}  // namespace VardokHost
