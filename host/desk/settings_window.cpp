#include "host/desk/settings_window.h"

#include <commctrl.h>

#include <algorithm>

#include "host/desk/desk_host.h"
#include "host/desk/desk_ui.h"
#include "host/lib/host_text.h"
#include "hostapi/item_text.h"
#include "hostapi/messages.h"
#include "hostapi/protocol.h"

namespace VardokHost {

using namespace Vardok;

namespace {

constexpr wchar_t kSettingsClass[] = L"VardokSettings";
constexpr int kOk = IDOK, kCancel = IDCANCEL, kApply = 3;
constexpr int kFirstButton = 100;

// The layout: a column of controls inside the window's margins.
constexpr int kMargin = 12;
constexpr int kContentWidth = 440;
constexpr int kRowHeight = 24;
constexpr int kGroupTitleRoom = 18;
constexpr int kTextLineHeight = 15;

std::wstring wide(const std::string& cp1250) { return wideFromUtf8(fromHostText(cp1250)); }

}  // namespace

SettingsWindow::SettingsWindow(DeskHost& desk, int row, const std::string& contactName) : _desk(desk), _row(row) {
  registerWindowClass(kSettingsClass, windowProc, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  _font.reset(createUiFont(false));
  _window = CreateWindowExW(WS_EX_DLGMODALFRAME, kSettingsClass, (wideFromUtf8(contactName) + L" - Properties").c_str(),
                            WS_CAPTION | WS_SYSMENU, 120, 80, 200, 200, desk.mainWindow(), nullptr,
                            GetModuleHandleW(nullptr), this);
  if (!_window) return;
  _tips = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, _window, nullptr, GetModuleHandleW(nullptr),
                          nullptr);
  build();
  for (Bound& bound : _bound) bound.shown = controlValue(bound);
  addDialogWindow(_window);
  ShowWindow(_window, SW_SHOWNORMAL);
}

SettingsWindow::~SettingsWindow() {
  for (const Bound& bound : _bound)
    if (bound.kind == kKindTextEdit) _desk.host().setLiveValue(_row, bound.itemId, std::nullopt);
  if (_window) {
    removeDialogWindow(_window);
    SetWindowLongPtrW(_window, GWLP_USERDATA, 0);
    DestroyWindow(_window);
  }
}

HWND SettingsWindow::addControl(const wchar_t* windowClass, const std::wstring& text, DWORD style, int x, int y,
                                int width, int height, int id) {
  HWND control = CreateWindowExW(0, windowClass, text.c_str(), WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                                 _window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                                 nullptr);
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(_font.get()), TRUE);
  return control;
}

void SettingsWindow::addTip(HWND control, const std::wstring& text) {
  if (!_tips || text.empty()) return;
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = _window;
  tool.uId = reinterpret_cast<UINT_PTR>(control);
  tool.lpszText = const_cast<wchar_t*>(text.c_str());
  SendMessageW(_tips, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void SettingsWindow::build() {
  ContactHost& host = _desk.host();
  int y = kMargin;
  // The plug-in's page only where the plug-in shows it for this contact
  // (its own contacts, not those of other networks).
  const bool pageShown = _desk.askItemState(kPageId, kSettingsGroup, _row) == 0;
  if (!pageShown) {
    addControl(L"STATIC", L"Vardok has no settings for this contact.", SS_LEFT, kMargin, y, kContentWidth, 18);
    y += 26;
  }
  std::vector<int> groupStarts;
  int left = kMargin;
  // A caption waits for the control it names, which then sits beside it.
  int captionRight = -1;
  // The information box's image: the text beside it starts to its right.
  int imageRight = -1, imageTop = 0, imageBottom = 0;
  for (const UiItemCopy& item : pageShown ? host.uiItems() : std::vector<UiItemCopy>()) {
    const int id = item.item.id, kind = item.item.kindOrState, param = item.item.param;
    const int width = item.item.width, height = item.item.height;
    if (item.item.parent != kPageId) continue;
    const std::string text = item.text;
    const std::wstring visible = wide(visibleItemText(text));
    const int innerLeft = left + static_cast<int>(groupStarts.size()) * 8;
    const int innerWidth = kContentWidth - 2 * static_cast<int>(groupStarts.size()) * 8;
    switch (kind) {
      case kKindGroupOpen:
        groupStarts.push_back(y);
        y += kGroupTitleRoom;
        break;
      case kKindGroupClose: {
        if (groupStarts.empty()) break;
        const int top = groupStarts.back();
        groupStarts.pop_back();
        const int outer = left + static_cast<int>(groupStarts.size()) * 8;
        y += 6;
        HWND group = addControl(L"BUTTON", visible, BS_GROUPBOX, outer, top,
                                kContentWidth - 2 * static_cast<int>(groupStarts.size()) * 8, y - top);
        // Beneath what it groups, which was made before it.
        SetWindowPos(group, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        y += 8;
        break;
      }
      case kKindInfoImage: {
        // "res://dll/101.ico": icon 101 of the plug-in's module.
        const std::string url = itemParam(text, "imgurl");
        int resource = 0;
        if (url.compare(0, 10, "res://dll/") == 0) resource = std::atoi(url.c_str() + 10);
        const int iconSize = std::max(16, std::atoi(itemParam(text, "iconsize").c_str()));
        const int w = width > 0 ? width : iconSize, h = height > 0 ? height : iconSize;
        HWND image = addControl(L"STATIC", L"", SS_ICON | SS_CENTERIMAGE, innerLeft, y, w, h);
        if (resource)
          SendMessageW(image, STM_SETICON,
                       reinterpret_cast<WPARAM>(LoadImageW(_desk.pluginModule(), MAKEINTRESOURCEW(resource), IMAGE_ICON,
                                                           iconSize, iconSize, LR_SHARED)),
                       0);
        // Its rich tip, reduced to text.
        addTip(image, plainFromHtml(wide(itemParam(text, "tipRich"))));
        imageRight = innerLeft + w + 10;
        imageTop = y;
        imageBottom = y + h;
        break;
      }
      case kKindInfoText: {
        // Beside the image when one came before it.
        const int x = imageRight >= 0 ? imageRight : innerLeft;
        const int top = imageRight >= 0 ? imageTop : y;
        const int w = width > 0 ? std::min(width, innerLeft + innerWidth - x) : innerLeft + innerWidth - x;
        // A negative height counts lines.
        int h = height < 0 ? -height * kTextLineHeight : height > 0 ? height : 3 * kTextLineHeight;
        HWND rich = addControl(kRichTextClass, wide(text), 0, x, top, w, h);
        // Never cut: as high as its text needs at that width.
        h = std::max(h, richTextHeight(rich));
        SetWindowPos(rich, nullptr, 0, 0, w, h, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        y = std::max(imageRight >= 0 ? imageBottom : 0, top + h) + 6;
        imageRight = -1;
        break;
      }
      case kKindCaption: {
        // At least the asked width; wider when its text needs it.
        HWND caption = addControl(L"STATIC", visible, SS_LEFT, innerLeft, y + 3, width > 0 ? width : 80, 16);
        const int w = std::max(width > 0 ? width : 80, textWidth(caption, visible) + 2);
        SetWindowPos(caption, nullptr, 0, 0, w, 16, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        captionRight = innerLeft + w + 6;
        break;
      }
      case kKindTextEdit:
      case kKindNumberEdit: {
        const bool number = kind == kKindNumberEdit;
        const int x = captionRight >= 0 ? captionRight : innerLeft;
        const int w = width > 0 ? width : number ? 80 : innerLeft + innerWidth - x;
        std::wstring value;
        if ((id & kBoundControlMask) == kBoundControlId)
          value = number ? std::to_wstring(host.getInt(_row, param)) : wide(host.getText(_row, param).value_or(""));
        const int controlId = kFirstButton + 500 + static_cast<int>(_bound.size());
        // A text wraps rather than scrolls: Wine draws nothing of a line
        // wider than 32,767 pixels (about 4,700 characters), so a long
        // command showed as an empty field. The text has no line break
        // (apply refuses one), and Enter still presses OK.
        const DWORD shape = number ? ES_AUTOHSCROLL | ES_NUMBER : ES_MULTILINE | ES_AUTOVSCROLL;
        HWND edit = addControl(L"EDIT", value, WS_TABSTOP | WS_BORDER | shape, x, y, w, height > 0 ? height : 21,
                               controlId);
        SetWindowLongPtrW(edit, GWL_EXSTYLE, GetWindowLongPtrW(edit, GWL_EXSTYLE) | WS_EX_CLIENTEDGE);
        addTip(edit, wide(itemParam(text, "tip")));
        // A bound control is asked for by its id with its column.
        _bound.push_back({edit, (id & kBoundControlMask) == kBoundControlId ? kBoundControlId | param : id, kind, param});
        if (!number) liveValueChanged(_bound.back());
        captionRight = -1;
        y += kRowHeight + 4;
        break;
      }
      case kKindCheckBox: {
        HWND box = addControl(L"BUTTON", visible, WS_TABSTOP | BS_AUTOCHECKBOX, innerLeft, y,
                              width > 0 ? width : innerWidth, height > 0 ? height : 20);
        if ((id & kBoundControlMask) == kBoundControlId)
          SendMessageW(box, BM_SETCHECK, host.getInt(_row, param) ? BST_CHECKED : BST_UNCHECKED, 0);
        addTip(box, wide(itemParam(text, "tip")));
        _bound.push_back({box, (id & kBoundControlMask) == kBoundControlId ? kBoundControlId | param : id, kind, param});
        y += kRowHeight;
        break;
      }
      case kKindSeparator:
        addControl(L"STATIC", L"", SS_ETCHEDHORZ, innerLeft, y + 4, innerWidth, 2);
        y += 12;
        break;
      case kKindButton: {
        const int controlId = kFirstButton + static_cast<int>(_buttonItems.size());
        HWND button = addControl(L"BUTTON", visible, WS_TABSTOP | BS_PUSHBUTTON, innerLeft, y, width > 0 ? width : 100,
                                 height > 0 ? height : 25, controlId);
        addTip(button, wide(itemParam(text, "tip")));
        _buttonItems.push_back(id);
        y += (height > 0 ? height : 25) + 6;
        break;
      }
      default:
        break;
    }
  }
  // The host's own buttons.
  y += 6;
  const int right = kMargin + kContentWidth;
  addControl(L"BUTTON", L"OK", WS_TABSTOP | BS_DEFPUSHBUTTON, right - 3 * 80 - 12, y, 80, 25, kOk);
  addControl(L"BUTTON", L"Cancel", WS_TABSTOP | BS_PUSHBUTTON, right - 2 * 80 - 6, y, 80, 25, kCancel);
  addControl(L"BUTTON", L"Apply", WS_TABSTOP | BS_PUSHBUTTON, right - 80, y, 80, 25, kApply);
  y += 25 + kMargin;
  RECT frame{0, 0, kContentWidth + 2 * kMargin, y};
  AdjustWindowRectEx(&frame, WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_DLGMODALFRAME);
  SetWindowPos(_window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void SettingsWindow::liveValueChanged(const Bound& bound) {
  const int length = GetWindowTextLengthW(bound.control);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  GetWindowTextW(bound.control, &text[0], length + 1);
  text.resize(static_cast<size_t>(length));
  _desk.host().setLiveValue(_row, bound.itemId, toHostText(utf8FromWide(text)));
}

std::string SettingsWindow::controlValue(const Bound& bound) const {
  if (bound.kind == kKindCheckBox) return SendMessageW(bound.control, BM_GETCHECK, 0, 0) == BST_CHECKED ? "1" : "0";
  const int length = GetWindowTextLengthW(bound.control);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  GetWindowTextW(bound.control, &text[0], length + 1);
  text.resize(static_cast<size_t>(length));
  return utf8FromWide(text);
}

std::string SettingsWindow::columnValue(const Bound& bound) const {
  ContactHost& host = _desk.host();
  if (bound.kind == kKindCheckBox) return host.getInt(_row, bound.column) ? "1" : "0";
  if (bound.kind == kKindNumberEdit) return std::to_string(host.getInt(_row, bound.column));
  return utf8FromWide(wide(host.getText(_row, bound.column).value_or("")));
}

bool SettingsWindow::apply() {
  // Only what was changed here is written: a field left as it was shown
  // keeps what the contact holds now, an edit made elsewhere since
  // included (and shows it). A field changed both here and elsewhere is
  // not written over the other change without a word.
  for (Bound& bound : _bound) {
    if ((bound.itemId & kBoundControlMask) != kBoundControlId) continue;
    const std::string now = columnValue(bound);
    if (now == bound.shown) continue;
    const std::string mine = controlValue(bound);
    if (mine == now) {  // the same change made in both places
      bound.shown = now;
      continue;
    }
    if (mine == bound.shown) {
      if (bound.kind == kKindCheckBox)
        SendMessageW(bound.control, BM_SETCHECK, now == "1" ? BST_CHECKED : BST_UNCHECKED, 0);
      else
        SetWindowTextW(bound.control, wideFromUtf8(now).c_str());
      bound.shown = now;
      continue;
    }
    std::string reads = now.size() > 80 ? now.substr(0, 80) + "..." : now;
    const std::wstring text = L"This contact was changed elsewhere since this window showed it: a field you changed "
                              L"now reads \"" + wideFromUtf8(reads) + L"\".\n\nNothing was saved. Close this window "
                              L"and open it again to see the contact as it is.";
    MessageBoxW(_window, text.c_str(), L"Vardok", MB_OK | MB_ICONWARNING);
    SetFocus(bound.control);
    return false;
  }
  // Every changed value first, so that nothing is written when one cannot
  // be; a field not changed here is not judged.
  struct Value {
    Bound* bound;
    std::string text;
    int number = 0;
  };
  std::vector<Value> values;
  for (Bound& bound : _bound) {
    if ((bound.itemId & kBoundControlMask) != kBoundControlId || controlValue(bound) == bound.shown) continue;
    Value value{&bound, std::string(), 0};
    if (bound.kind == kKindCheckBox) {
      value.number = SendMessageW(bound.control, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
    } else {
      const int length = GetWindowTextLengthW(bound.control);
      std::wstring text(static_cast<size_t>(length) + 1, L'\0');
      GetWindowTextW(bound.control, &text[0], length + 1);
      text.resize(static_cast<size_t>(length));
      value.text = utf8FromWide(text);
      // Spaces at either end mean nothing to a command, and the contact
      // file trims them.
      value.text.erase(0, value.text.find_first_not_of(" \t"));
      value.text.erase(value.text.find_last_not_of(" \t") + 1);
      if (bound.kind == kKindNumberEdit) {
        if (value.text.empty() || value.text.size() > 9 || value.text.find_first_not_of("0123456789") != std::string::npos) {
          MessageBoxW(_window, L"The number is not valid.", L"Vardok", MB_OK | MB_ICONWARNING);
          SetFocus(bound.control);
          return false;
        }
        value.number = std::atoi(value.text.c_str());
      } else if (value.text.find_first_of("\r\n") != std::string::npos) {
        MessageBoxW(_window, L"The text may not hold a line break.", L"Vardok", MB_OK | MB_ICONWARNING);
        SetFocus(bound.control);
        return false;
      } else if (!fitsHostText(value.text)) {
        MessageBoxW(_window, L"The text has a character that Windows-1250 cannot hold.", L"Vardok",
                    MB_OK | MB_ICONWARNING);
        SetFocus(bound.control);
        return false;
      }
    }
    values.push_back(value);
  }
  for (const Value& value : values) {
    Bound& bound = *value.bound;
    _desk.writeColumn(_row, bound.column, bound.kind == kKindTextEdit, value.text, value.number);
    // What the column holds now ("30" for "030"), shown as it is.
    bound.shown = columnValue(bound);
    if (bound.kind != kKindCheckBox && controlValue(bound) != bound.shown)
      SetWindowTextW(bound.control, wideFromUtf8(bound.shown).c_str());
  }
  if (!values.empty()) _desk.columnsWritten(_row);
  return true;
}

LRESULT CALLBACK SettingsWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<SettingsWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->_window = window;
  }
  auto* self = reinterpret_cast<SettingsWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return DefWindowProcW(window, message, wParam, lParam);
  return self->onMessage(message, wParam, lParam);
}

LRESULT SettingsWindow::onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (HIWORD(wParam) == EN_CHANGE) {
        for (const Bound& bound : _bound)
          if (bound.control == reinterpret_cast<HWND>(lParam) && bound.kind == kKindTextEdit) liveValueChanged(bound);
        return 0;
      }
      if (id == kOk || id == kApply) {
        if (apply() && id == kOk) PostMessageW(_window, WM_CLOSE, 0, 0);
        return 0;
      }
      if (id == kCancel) {
        PostMessageW(_window, WM_CLOSE, 0, 0);
        return 0;
      }
      if (id >= kFirstButton && id < kFirstButton + static_cast<int>(_buttonItems.size())) {
        // The page's button: its item, on this page, for this contact, with
        // the fields' live texts as they are now (a multi-line field says
        // nothing of a text set in it without typing).
        for (const Bound& bound : _bound)
          if (bound.kind == kKindTextEdit) liveValueChanged(bound);
        ActionEvent pressed{sizeof(ActionEvent), _buttonItems[static_cast<size_t>(id - kFirstButton)], kPageId, _row,
                            kEventActivated, {0, 0, 0}};
        _desk.host().post(HM_ACTION, reinterpret_cast<int32_t>(&pressed));
      }
      return 0;
    }
    case WM_CLOSE:
      ShowWindow(_window, SW_HIDE);
      _desk.closeSettings(_row);  // deletes this
      return 0;
    case WM_NCDESTROY:
      // Gone with its owner, the main window: nothing is left to free.
      _window = nullptr;
      return DefWindowProcW(window(), message, wParam, lParam);
    default:
      return DefWindowProcW(_window, message, wParam, lParam);
  }
}

}  // namespace VardokHost
