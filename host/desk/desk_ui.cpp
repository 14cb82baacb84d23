#include "host/desk/desk_ui.h"

#include <commctrl.h>

#include <algorithm>
#include <vector>

#include "host/desk/ui_handles.h"
#include "host/lib/display_text.h"
#include "host/lib/host_text.h"
#include "hostapi/protocol.h"

namespace VardokHost {

const wchar_t kRichTextClass[] = L"VardokRichText";

namespace {

std::vector<HWND>& dialogWindows() {
  static std::vector<HWND> windows;
  return windows;
}

// One run of the rich text: words in one style, or a line break.
struct Run {
  std::wstring text;
  bool bold = false, italic = false, small = false, lineBreak = false;
};

std::wstring decodeEntity(const std::wstring& name) {
  if (name == L"copy") return L"\u00A9";
  if (name == L"amp") return L"&";
  if (name == L"lt") return L"<";
  if (name == L"gt") return L">";
  if (name == L"quot") return L"\"";
  if (name == L"nbsp") return L"\u00A0";
  return L"&" + name + L";";
}

std::vector<Run> parseHtml(const std::wstring& html) {
  std::vector<Run> runs;
  int bold = 0, italic = 0, small = 0;
  std::wstring text;
  const auto flush = [&] {
    if (text.empty()) return;
    Run run;
    run.text = text;
    run.bold = bold > 0;
    run.italic = italic > 0;
    run.small = small > 0;
    runs.push_back(run);
    text.clear();
  };
  const auto lineBreak = [&] {
    flush();
    Run run;
    run.lineBreak = true;
    runs.push_back(run);
  };
  for (size_t i = 0; i < html.size(); ++i) {
    if (html[i] == L'<') {
      const size_t close = html.find(L'>', i);
      if (close == std::wstring::npos) break;
      std::wstring tag = html.substr(i + 1, close - i - 1);
      i = close;
      std::transform(tag.begin(), tag.end(), tag.begin(), ::towlower);
      if (!tag.empty() && tag.back() == L'/') tag.pop_back();
      flush();
      if (tag == L"b" || tag == L"strong") ++bold;
      if (tag == L"/b" || tag == L"/strong") bold = std::max(0, bold - 1);
      if (tag == L"i" || tag == L"em") ++italic;
      if (tag == L"/i" || tag == L"/em") italic = std::max(0, italic - 1);
      if (tag == L"small") ++small;
      if (tag == L"/small") small = std::max(0, small - 1);
      if (tag == L"br") lineBreak();
      if (tag == L"div" && !runs.empty() && !runs.back().lineBreak) lineBreak();
      continue;
    }
    if (html[i] == L'&') {
      const size_t semicolon = html.find(L';', i);
      if (semicolon != std::wstring::npos && semicolon - i <= 8) {
        text += decodeEntity(html.substr(i + 1, semicolon - i - 1));
        i = semicolon;
        continue;
      }
    }
    text += html[i] == L'\n' || html[i] == L'\r' ? L' ' : html[i];
  }
  flush();
  return runs;
}

HFONT runFont(const Run& run) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  LOGFONTW font = metrics.lfMessageFont;
  if (run.bold) font.lfWeight = FW_BOLD;
  if (run.italic) font.lfItalic = TRUE;
  if (run.small) font.lfHeight = font.lfHeight * 5 / 6;
  return CreateFontIndirectW(&font);
}

// Paints (or only measures) the runs word-wrapped into width; the height used.
int layoutRuns(HDC dc, const std::vector<Run>& runs, int width, bool paint) {
  int x = 0, y = 0, lineHeight = 0;
  for (const Run& run : runs) {
    if (run.lineBreak) {
      y += lineHeight ? lineHeight : 14;
      x = 0;
      lineHeight = 0;
      continue;
    }
    const FontHandle font(runFont(run));
    HGDIOBJ old = SelectObject(dc, font.get());
    TEXTMETRICW metrics;
    GetTextMetricsW(dc, &metrics);
    size_t at = 0;
    while (at < run.text.size()) {
      // A word with the spaces after it.
      size_t end = run.text.find(L' ', at);
      end = end == std::wstring::npos ? run.text.size() : end + 1;
      const std::wstring word = run.text.substr(at, end - at);
      SIZE size;
      GetTextExtentPoint32W(dc, word.c_str(), static_cast<int>(word.size()), &size);
      if (x > 0 && x + size.cx > width) {
        y += lineHeight;
        x = 0;
        lineHeight = 0;
      }
      if (paint) TextOutW(dc, x, y, word.c_str(), static_cast<int>(word.size()));
      x += size.cx;
      lineHeight = std::max<int>(lineHeight, metrics.tmHeight);
      at = end;
    }
    SelectObject(dc, old);
  }
  return y + lineHeight;
}

LRESULT CALLBACK richTextProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    const int length = GetWindowTextLengthW(window);
    std::wstring html(static_cast<size_t>(length) + 1, L'\0');
    GetWindowTextW(window, &html[0], length + 1);
    html.resize(static_cast<size_t>(length));
    layoutRuns(dc, parseHtml(html), client.right, true);
    EndPaint(window, &paint);
    return 0;
  }
  if (message == WM_SETTEXT) {
    const LRESULT result = DefWindowProcW(window, message, wParam, lParam);
    InvalidateRect(window, nullptr, TRUE);
    return result;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int richTextHeight(HWND control) {
  RECT client;
  GetClientRect(control, &client);
  const int length = GetWindowTextLengthW(control);
  std::wstring html(static_cast<size_t>(length) + 1, L'\0');
  GetWindowTextW(control, &html[0], length + 1);
  html.resize(static_cast<size_t>(length));
  HDC dc = GetDC(control);
  const int height = layoutRuns(dc, parseHtml(html), client.right, false);
  ReleaseDC(control, dc);
  return height;
}

int textWidth(HWND control, const std::wstring& text) {
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  SIZE size{0, 0};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return size.cx;
}

void registerWindowClass(const wchar_t* name, WNDPROC procedure, HBRUSH background) {
  WNDCLASSEXW windowClass{};
  if (GetClassInfoExW(GetModuleHandleW(nullptr), name, &windowClass)) return;
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // the arrow
  windowClass.hbrBackground = background;
  windowClass.lpszClassName = name;
  RegisterClassExW(&windowClass);
}

void registerDeskWindowClasses() { registerWindowClass(kRichTextClass, richTextProc, nullptr); }

void addListColumns(HWND list, std::initializer_list<std::pair<const wchar_t*, int>> columns) {
  int index = 0;
  for (const auto& title : columns) {
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    column.pszText = const_cast<wchar_t*>(title.first);
    column.cx = title.second;
    column.iSubItem = index;
    SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index++), reinterpret_cast<LPARAM>(&column));
  }
}

void setListItemText(HWND list, int item, int column, const std::wstring& text) {
  LVITEMW lv{};
  lv.iSubItem = column;
  lv.pszText = const_cast<wchar_t*>(text.c_str());
  SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&lv));
}

HFONT createUiFont(bool bold) {
  Run run;
  run.bold = bold;
  return runFont(run);
}

void addDialogWindow(HWND window) { dialogWindows().push_back(window); }

void removeDialogWindow(HWND window) {
  auto& windows = dialogWindows();
  windows.erase(std::remove(windows.begin(), windows.end(), window), windows.end());
}

bool isDialogMessageOfDesk(MSG* message) {
  for (HWND window : dialogWindows())
    if (window == message->hwnd || IsChild(window, message->hwnd)) return IsDialogMessageW(window, message) != FALSE;
  return false;
}

std::wstring plainFromHtml(const std::wstring& html) {
  std::wstring out;
  for (const Run& run : parseHtml(html)) out += run.lineBreak ? L"\n" : run.text;
  return out;
}

namespace {

VOID CALLBACK runQueuedCalls(HWND, UINT, UINT_PTR, DWORD) { SleepEx(0, TRUE); }

}  // namespace

int askAlertably(HWND owner, const std::wstring& text, UINT style) {
  // The box's own loop never waits alertably: a timer of this thread, which
  // that loop dispatches, runs the calls queued meanwhile.
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, runQueuedCalls);
  const int answer = MessageBoxW(owner, text.c_str(), L"Vardok", style);
  if (timer) KillTimer(nullptr, timer);
  return answer;
}

std::wstring listLineOf(const std::string& hostText) {
  // One byte a character: the first MiB is a whole number of characters.
  constexpr size_t kLineSourceBytes = 1u << 20;
  return wideFromUtf8(displayLine(fromHostText(hostText.substr(0, kLineSourceBytes))));
}

std::wstring detailTextOf(const std::string& hostText) {
  // Enough source for the bounded text however much markup it holds, and
  // not 16 MiB turned over twice for each refresh of the selected row.
  constexpr size_t kDetailSourceBytes = 4u << 20;
  const std::wstring text = wideFromUtf8(displayText(fromHostText(hostText.substr(0, kDetailSourceBytes))));
  std::wstring lines;
  lines.reserve(text.size() + text.size() / 16);
  for (wchar_t c : text) {
    if (c == L'\n') lines += L'\r';
    lines += c;
  }
  return lines;
}

std::wstring boundedTipText(const std::wstring& text, size_t most) {
  std::wstring tip = text.size() > most ? text.substr(0, most > 3 ? most - 3 : 0) + L"..." : text;
  for (wchar_t& c : tip)
    if ((c < 0x20 && c != L'\n' && c != L'\r') || (c >= 0x7F && c < 0xA0)) c = L' ';
  return tip;
}

}  // namespace VardokHost
