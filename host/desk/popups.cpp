#include "host/desk/popups.h"

#include <algorithm>

#include "host/desk/desk_host.h"
#include "host/desk/desk_ui.h"

namespace VardokHost {

const wchar_t kPopupClass[] = L"VardokPopup";

namespace {

constexpr int kWidth = 320, kHeight = 78, kGap = 6;
constexpr UINT kShownMs = 6000;
constexpr UINT_PTR kCloseTimer = 1;
// At most this many on the screen: the oldest goes first.
constexpr size_t kMostShown = 6;

struct PopupData {
  Popups* owner;
  HICON icon;
  bool well;
  HFONT font;
};

}  // namespace

Popups::Popups(DeskHost& desk) : _desk(desk) {
  registerWindowClass(kPopupClass, windowProc, GetSysColorBrush(COLOR_INFOBK));
  _font.reset(createUiFont(false));
}

Popups::~Popups() {
  for (HWND window : std::vector<HWND>(_windows)) DestroyWindow(window);
}

void Popups::show(const std::wstring& text, int iconId, bool well, bool) {
  while (_windows.size() >= kMostShown) DestroyWindow(_windows.front());
  auto* data = new PopupData{this, _desk.iconOf(iconId, 32), well, _font.get()};
  HWND window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kPopupClass,
                                boundedTipText(text, 2000).c_str(), WS_POPUP | WS_BORDER, 0, 0, kWidth, kHeight,
                                _desk.mainWindow(), nullptr, GetModuleHandleW(nullptr), data);
  if (!window) {
    delete data;
    return;
  }
  _windows.push_back(window);
  restack();
  ShowWindow(window, SW_SHOWNOACTIVATE);
  SetTimer(window, kCloseTimer, kShownMs, nullptr);
}

void Popups::closed(HWND window) {
  _windows.erase(std::remove(_windows.begin(), _windows.end(), window), _windows.end());
  restack();
}

void Popups::restack() {
  // Newest at the bottom right of the work area, older ones above it.
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  int y = work.bottom - kGap - kHeight;
  for (auto it = _windows.rbegin(); it != _windows.rend(); ++it, y -= kHeight + kGap)
    SetWindowPos(*it, HWND_TOPMOST, work.right - kGap - kWidth, y, kWidth, kHeight, SWP_NOACTIVATE);
}

LRESULT CALLBACK Popups::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* data = reinterpret_cast<PopupData*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_NCCREATE:
      SetWindowLongPtrW(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
      break;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT client;
      GetClientRect(window, &client);
      // A stripe for the flags: green when the status is well, red when not.
      RECT stripe{0, 0, 5, client.bottom};
      const BrushHandle brush(CreateSolidBrush(data && data->well ? RGB(40, 160, 60) : RGB(200, 40, 40)));
      FillRect(dc, &stripe, brush.get());
      if (data && data->icon) DrawIconEx(dc, 14, 10, data->icon, 32, 32, 0, nullptr, DI_NORMAL);
      const int length = GetWindowTextLengthW(window);
      std::wstring text(static_cast<size_t>(length) + 1, L'\0');
      GetWindowTextW(window, &text[0], length + 1);
      text.resize(static_cast<size_t>(length));
      RECT area{56, 8, client.right - 8, client.bottom - 6};
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, GetSysColor(COLOR_INFOTEXT));
      HGDIOBJ old = SelectObject(dc, data ? data->font : GetStockObject(DEFAULT_GUI_FONT));
      DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area, DT_WORDBREAK | DT_END_ELLIPSIS | DT_NOPREFIX);
      SelectObject(dc, old);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_TIMER:
    case WM_LBUTTONUP:
      DestroyWindow(window);
      return 0;
    case WM_MOUSEACTIVATE:
      return MA_NOACTIVATE;
    case WM_NCDESTROY:
      if (data) {
        data->owner->closed(window);
        delete data;
      }
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      break;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace VardokHost
