#include "host/desk/contact_dialog.h"

#include <cctype>
#include <string>

#include "host/desk/desk_ui.h"
#include "host/desk/ui_handles.h"
#include "host/lib/display_text.h"
#include "host/lib/host_text.h"

namespace VardokHost {

namespace {

constexpr wchar_t kDialogClass[] = L"VardokContactDialog";
enum Field : int { kName = 10, kNetwork, kInterval, kEnabled, kCommand, kIntervalWords };

struct Dialog {
  ContactEntry* entry = nullptr;
  bool done = false, accepted = false;
  HWND window = nullptr;
};

std::string textOf(HWND window, int id) {
  HWND control = GetDlgItem(window, id);
  const int length = GetWindowTextLengthW(control);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  GetWindowTextW(control, &text[0], length + 1);
  text.resize(static_cast<size_t>(length));
  return utf8FromWide(text);
}

// Why a field's text is no whole number the file holds ("the interval
// is too large"), or empty when *value took it.
std::string numberProblem(const std::string& text, const std::string& what, const std::string& unit, int* value) {
  if (parseInt(text, value)) return std::string();
  const bool negative = text.compare(0, 1, "-") == 0;
  const bool digits = text.size() > (negative ? 1u : 0u) && text.find_first_not_of("0123456789", negative ? 1 : 0) == std::string::npos;
  if (!digits) return "the " + what + " must be a whole number" + (unit.empty() ? "" : " of " + unit);
  return negative ? "the " + what + " is too small: the least is -2147483648"
                  : "the " + what + " is too large: the most is 2147483647" + (unit.empty() ? "" : " " + unit);
}

// What an interval typed means, in words beside the field.
std::wstring intervalMeaning(const std::string& text) {
  int seconds = 0;
  const std::string problem = numberProblem(text, "interval", "seconds", &seconds);
  if (problem.find("too large") != std::string::npos) return L"too large for the list";
  if (problem.find("too small") != std::string::npos) return L"too small for the list";
  if (!problem.empty()) return L"";
  if (seconds < 0) return L"not again for " + wideFromUtf8(intervalWords(seconds));
  if (seconds == 0) return L"back to back, without a pause";
  return L"every " + wideFromUtf8(intervalWords(seconds));
}

// Takes the fields into the entry; false (and says why) when one is wrong.
bool take(Dialog& dialog) {
  ContactEntry edited = *dialog.entry;
  edited.name = textOf(dialog.window, kName);
  edited.command = textOf(dialog.window, kCommand);
  // Spaces around the command mean nothing to it, and the file trims them.
  edited.command.erase(0, edited.command.find_first_not_of(" \t"));
  edited.command.erase(edited.command.find_last_not_of(" \t") + 1);
  // Nothing is taken that the contact file could not give back the same.
  const std::string nameWrong = nameProblem(edited.name), commandWrong = commandProblem(edited.command);
  std::string wrong;
  int field = 0;
  if (!nameWrong.empty()) {
    wrong = nameWrong;
    field = kName;
  } else if (!commandWrong.empty()) {
    wrong = commandWrong;
    field = kCommand;
  } else if (!(wrong = numberProblem(textOf(dialog.window, kNetwork), "network", "", &edited.network)).empty()) {
    field = kNetwork;
  } else if (!(wrong = numberProblem(textOf(dialog.window, kInterval), "interval", "seconds", &edited.interval))
                  .empty()) {
    field = kInterval;
  }
  if (!wrong.empty()) {
    wrong[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(wrong[0])));
    MessageBoxW(dialog.window, wideFromUtf8(wrong + ".").c_str(), L"Vardok", MB_OK | MB_ICONWARNING);
    SetFocus(GetDlgItem(dialog.window, field));
    return false;
  }
  // Back to back is asked for on purpose or not at all.
  if (edited.interval == 0 && dialog.entry->interval != 0 &&
      askAlertably(dialog.window,
                   L"An interval of 0 runs the check back to back: each run starts as soon as the one before it "
                   L"has ended, without a pause.\n\nTake it?",
                   MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
    SetFocus(GetDlgItem(dialog.window, kInterval));
    return false;
  }
  edited.enabled = SendDlgItemMessageW(dialog.window, kEnabled, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
  *dialog.entry = edited;
  return true;
}

LRESULT CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* dialog = reinterpret_cast<Dialog*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_NCCREATE:
      SetWindowLongPtrW(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
      break;
    case WM_COMMAND:
      if (LOWORD(wParam) == kInterval && HIWORD(wParam) == EN_CHANGE) {
        SetDlgItemTextW(window, kIntervalWords, intervalMeaning(textOf(window, kInterval)).c_str());
        return 0;
      }
      if (LOWORD(wParam) == IDOK && dialog && take(*dialog)) {
        dialog->accepted = true;
        dialog->done = true;
      } else if (LOWORD(wParam) == IDCANCEL && dialog) {
        dialog->done = true;
      }
      return 0;
    case WM_CLOSE:
      if (dialog) dialog->done = true;
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

bool editContact(HWND owner, const wchar_t* title, ContactEntry* entry) {
  registerWindowClass(kDialogClass, dialogProc, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  Dialog dialog;
  dialog.entry = entry;
  RECT frame{0, 0, 460, 232};
  AdjustWindowRectEx(&frame, WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_DLGMODALFRAME);
  RECT ownerFrame{};
  GetWindowRect(owner, &ownerFrame);
  dialog.window = CreateWindowExW(WS_EX_DLGMODALFRAME, kDialogClass, title, WS_CAPTION | WS_SYSMENU | WS_POPUP,
                                  ownerFrame.left + 60, ownerFrame.top + 60, frame.right - frame.left,
                                  frame.bottom - frame.top, owner, nullptr, GetModuleHandleW(nullptr), &dialog);
  if (!dialog.window) return false;
  const FontHandle font(createUiFont(false));
  const auto add = [&](const wchar_t* windowClass, const std::wstring& text, DWORD style, int x, int y, int w, int h,
                       int id) {
    HWND control = CreateWindowExW(std::wstring(windowClass) == L"EDIT" ? WS_EX_CLIENTEDGE : 0, windowClass,
                                   text.c_str(), WS_CHILD | WS_VISIBLE | style, x, y, w, h, dialog.window,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
    return control;
  };
  const struct {
    const wchar_t* caption;
    int id;
    std::wstring value;
    int width;
  } fields[] = {{L"Name", kName, wideFromUtf8(entry->name), 320},
                {L"Network", kNetwork, std::to_wstring(entry->network), 80},
                {L"Interval (s)", kInterval, std::to_wstring(entry->interval), 80},
                {L"Command", kCommand, wideFromUtf8(entry->command), 320}};
  int y = 14;
  for (const auto& field : fields) {
    if (field.id == kCommand) {
      HWND box = add(L"BUTTON", L"Enabled", WS_TABSTOP | BS_AUTOCHECKBOX, 110, y, 200, 20, kEnabled);
      SendMessageW(box, BM_SETCHECK, entry->enabled ? BST_CHECKED : BST_UNCHECKED, 0);
      y += 30;
    }
    add(L"STATIC", field.caption, SS_LEFT, 14, y + 3, 90, 18, 0);
    add(L"EDIT", field.value, WS_TABSTOP | ES_AUTOHSCROLL, 110, y, field.width, 22, field.id);
    if (field.id == kInterval)
      add(L"STATIC", intervalMeaning(utf8FromWide(field.value)), SS_LEFT, 200, y + 3, 246, 18, kIntervalWords);
    y += 32;
  }
  add(L"BUTTON", L"OK", WS_TABSTOP | BS_DEFPUSHBUTTON, 270, y + 4, 80, 25, IDOK);
  add(L"BUTTON", L"Cancel", WS_TABSTOP | BS_PUSHBUTTON, 360, y + 4, 80, 25, IDCANCEL);

  EnableWindow(owner, FALSE);
  addDialogWindow(dialog.window);
  ShowWindow(dialog.window, SW_SHOWNORMAL);
  SetFocus(GetDlgItem(dialog.window, kName));
  // The modal loop waits alertably, as the host's main loop does.
  while (!dialog.done) {
    MSG message;
    while (!dialog.done && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(message.wParam));
        dialog.done = true;
        break;
      }
      if (isDialogMessageOfDesk(&message)) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (!dialog.done) MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_ALERTABLE | MWMO_INPUTAVAILABLE);
  }
  removeDialogWindow(dialog.window);
  EnableWindow(owner, TRUE);
  SetWindowLongPtrW(dialog.window, GWLP_USERDATA, 0);
  DestroyWindow(dialog.window);
  SetForegroundWindow(owner);
  return dialog.accepted;
}

}  // namespace VardokHost
