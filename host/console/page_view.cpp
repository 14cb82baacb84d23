#include "host/console/page_view.h"

#include <sstream>
#include <string>

#include "hostapi/protocol.h"
#include "support/internet/url.h"

namespace VardokHost {

using namespace Vardok;

namespace {

std::string stripHtml(const std::string& html) {
  std::string out;
  bool inTag = false;
  for (size_t i = 0; i < html.size(); ++i) {
    const char c = html[i];
    if (c == '<') {
      if (html.compare(i, 5, "<div>") == 0 && !out.empty()) out += "\n";
      if (html.compare(i, 5, "<br/>") == 0) out += "\n";
      inTag = true;
    } else if (c == '>') {
      inTag = false;
    } else if (!inTag) {
      out += c;
    }
  }
  size_t at;
  while ((at = out.find("&copy;")) != std::string::npos) out.replace(at, 6, "(c)");
  return out;
}

// The visible part of an item text: up to a character below 8 or the
// parameter mark.
std::string visibleText(const std::string& text) {
  size_t end = 0;
  while (end < text.size() && static_cast<unsigned char>(text[end]) >= 8 && text[end] != kParamMark) ++end;
  return text.substr(0, end);
}

std::string paramValue(const std::string& text, const std::string& key) {
  const std::string marker = std::string(1, kParamMark) + key + "=";
  const size_t at = text.find(marker);
  if (at == std::string::npos) return std::string();
  const size_t from = at + marker.size();
  const size_t end = text.find(kParamMark, from);
  return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

// Offsets of the interface-item record that the page view reads.
constexpr size_t kItemId = 2, kItemParent = 6, kItemKind = 34, kItemParam = 62;

}  // namespace

void printSettingsPage(ConsoleOutput& out, const ContactHost& host, int row) {
  std::string pendingCaption;
  for (const UiItemCopy& item : host.uiItems()) {
    const int id = item.i32(kItemId), parent = item.i32(kItemParent), kind = item.i32(kItemKind),
              param = item.i32(kItemParam);
    const std::string text = fromHostText(item.text);
    if (id == kPageId) {
      out.line("== " + visibleText(text) + " ==");
      continue;
    }
    if (parent != kPageId) continue;
    switch (kind) {
      case kKindInfoImage:
      case kKindInfoText:
        for (std::istringstream lines(stripHtml(kind == kKindInfoText ? text : paramValue(text, "tipRich")));
             std::getline(lines, pendingCaption);)
          out.line("  " + pendingCaption);
        pendingCaption.clear();
        break;
      case kKindCaption:
        pendingCaption = visibleText(text);
        break;
      case kKindTextEdit:
      case kKindNumberEdit: {
        // A URL's password shows as ***, whatever it holds.
        const std::string value = kind == kKindTextEdit
                                      ? visibleText(Quorlin::hidePasswords(fromHostText(host.getText(row, param).value_or(""))))
                                      : std::to_string(host.getInt(row, param));
        out.line("  " + padded(pendingCaption + ":", 12) + "[" + value + "]");
        pendingCaption.clear();
        break;
      }
      case kKindCheckBox:
        out.line("  " + std::string(host.getInt(row, param) ? "[x] " : "[ ] ") + visibleText(text));
        break;
      case kKindButton: {
        const std::string tip = paramValue(text, "tip");
        out.line("  [ " + visibleText(text) + " ]" + (tip.empty() ? "" : "  (" + tip + ")"));
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace VardokHost
