#include "checks/message_box.h"

#include <atomic>

#include <windows.h>

namespace Vardok {

namespace {

int systemMessageBox(const std::string& text, const std::string& caption, unsigned type) {
  return MessageBoxA(nullptr, text.c_str(), caption.c_str(), type);
}

std::atomic<MessageBoxFunction> g_messageBox{&systemMessageBox};

}  // namespace

int ShowMessageBox(const std::string& text, const std::string& caption, unsigned type) {
  return g_messageBox.load()(text, caption, type);
}

MessageBoxFunction setMessageBoxFunction(MessageBoxFunction function) {
  return g_messageBox.exchange(function ? function : &systemMessageBox);
}

}  // namespace Vardok
