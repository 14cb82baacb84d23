#include "host/console/page_view.h"

#include <sstream>
#include <string>

#include "hostapi/item_text.h"
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

}  // namespace

void printSettingsPage(ConsoleOutput& out, const ContactHost& host, int row) {
  std::string pendingCaption;
  for (const UiItemCopy& item : host.uiItems()) {
    const int id = item.item.id, parent = item.item.parent, kind = item.item.kindOrState, param = item.item.param;
    const std::string text = fromHostText(item.text);
    if (id == kPageId) {
      out.line("== " + visibleItemText(text) + " ==");
      continue;
    }
    if (parent != kPageId) continue;
    switch (kind) {
      case kKindInfoImage:
      case kKindInfoText:
        for (std::istringstream lines(stripHtml(kind == kKindInfoText ? text : itemParam(text, "tipRich")));
             std::getline(lines, pendingCaption);)
          out.line("  " + pendingCaption);
        pendingCaption.clear();
        break;
      case kKindCaption:
        pendingCaption = visibleItemText(text);
        break;
      case kKindTextEdit:
      case kKindNumberEdit: {
        // A URL's password shows as ***, whatever it holds.
        const std::string value = kind == kKindTextEdit
                                      ? visibleItemText(Quorlin::hidePasswords(fromHostText(host.getText(row, param).value_or(""))))
                                      : std::to_string(host.getInt(row, param));
        out.line("  " + padded(pendingCaption + ":", 12) + "[" + value + "]");
        pendingCaption.clear();
        break;
      }
      case kKindCheckBox:
        out.line("  " + std::string(host.getInt(row, param) ? "[x] " : "[ ] ") + visibleItemText(text));
        break;
      case kKindButton: {
        const std::string tip = itemParam(text, "tip");
        out.line("  [ " + visibleItemText(text) + " ]" + (tip.empty() ? "" : "  (" + tip + ")"));
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace VardokHost
