#include "host/desk/contact_list_view.h"

#include <commctrl.h>

#include <algorithm>
#include <string>

#include "host/desk/desk_ui.h"
#include "host/lib/display_text.h"
#include "host/lib/host_text.h"
#include "hostapi/messages.h"
#include "hostapi/protocol.h"

namespace VardokHost {

using namespace Vardok;

namespace {

constexpr int kName = ContactListView::kName, kStatusText = ContactListView::kStatusText,
              kInterval = ContactListView::kInterval, kLastResult = ContactListView::kLastResult,
              kDescription = ContactListView::kDescription, kUptime = ContactListView::kUptime,
              kRecent = ContactListView::kRecent;
// The sparkline's room: its bars and a margin at each side and above.
constexpr int kSparkMargin = 4, kSparkTopMargin = 2;
constexpr int kRecentWidth = sparklineWidth(HistoryStore::kGlanceResults) + 2 * kSparkMargin + 2;

// "12 s ago", "5 min ago", "-" before the first result.
std::wstring ageText(size_t results, DWORD lastResult) {
  if (results == 0) return L"-";
  const DWORD seconds = (GetTickCount() - lastResult) / 1000;
  if (seconds < 120) return std::to_wstring(seconds) + L" s ago";
  if (seconds < 7200) return std::to_wstring(seconds / 60) + L" min ago";
  return std::to_wstring(seconds / 3600) + L" h ago";
}

}  // namespace

void ContactListView::create(HWND parent, int id, HFONT font) {
  _list = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                          WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_SINGLESEL |
                              LVS_SHAREIMAGELISTS,
                          0, 0, 0, 0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                          nullptr);
  SendMessageW(_list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
               LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP | LVS_EX_DOUBLEBUFFER);
  // The image lists are this view's own: the list view only shows them
  // (LVS_SHAREIMAGELISTS), so it does not free them when it goes.
  _smallImages.reset(ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 4, 4));
  _largeImages.reset(ImageList_Create(32, 32, ILC_COLOR32 | ILC_MASK, 4, 4));
  SendMessageW(_list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(_smallImages.get()));
  SendMessageW(_list, LVM_SETIMAGELIST, LVSIL_NORMAL, reinterpret_cast<LPARAM>(_largeImages.get()));
  addListColumns(_list, {{L"Name", 150},
                         {L"Status", 200},
                         {L"Interval", 70},
                         {L"Last result", 80},
                         {L"Description", 300},
                         {L"Uptime (24 h)", 90},
                         {L"Last results", kRecentWidth}});
  // The history's columns show after the status (their subitems are the
  // last two, so the others keep theirs).
  int order[] = {kName, kStatusText, kRecent, kUptime, kInterval, kLastResult, kDescription};
  SendMessageW(_list, LVM_SETCOLUMNORDERARRAY, sizeof order / sizeof order[0], reinterpret_cast<LPARAM>(order));
  SendMessageW(_list, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void ContactListView::insert(size_t index) {
  const HostSession::Check& check = _session.checks()[index];
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_PARAM | LVIF_IMAGE;
  item.iItem = static_cast<int>(index);
  const std::wstring name = wideFromUtf8(check.entry.name);
  item.pszText = const_cast<wchar_t*>(name.c_str());
  item.lParam = check.row;
  item.iImage = I_IMAGENONE;
  SendMessageW(_list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
  refresh(index);
}

void ContactListView::remove(size_t index) {
  _glances.erase(rowIdOf(index));
  SendMessageW(_list, LVM_DELETEITEM, index, 0);
}

int ContactListView::rowIdOf(size_t index) const {
  LVITEMW item{};
  item.mask = LVIF_PARAM;
  item.iItem = static_cast<int>(index);
  if (!SendMessageW(_list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) return 0;
  return static_cast<int>(item.lParam);
}

int ContactListView::selected() const {
  return static_cast<int>(SendMessageW(_list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

POINT ContactListView::menuPointOf(int index) const {
  RECT row{LVIR_BOUNDS, 0, 0, 0};
  SendMessageW(_list, LVM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&row));
  POINT at{row.left + 20, row.bottom};
  ClientToScreen(_list, &at);
  return at;
}

LRESULT ContactListView::onNotify(NMHDR* header) {
  const auto& checks = _session.checks();
  ContactHost& host = _session.host();
  switch (header->code) {
    case NM_DBLCLK: {
      const int index = reinterpret_cast<NMITEMACTIVATE*>(header)->iItem;
      if (index >= 0 && static_cast<size_t>(index) < checks.size())
        host.post(HM_CONTACT_ACTIVATE, checks[static_cast<size_t>(index)].row);
      return 0;
    }
    case NM_CUSTOMDRAW:
      return onCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(header));
    default:
      return 0;
  }
}

RECT ContactListView::sparkArea(size_t index) const {
  // LVM_GETSUBITEMRECT takes the subitem in top and the part in left.
  RECT cell{LVIR_BOUNDS, kRecent, 0, 0};
  if (!SendMessageW(_list, LVM_GETSUBITEMRECT, index, reinterpret_cast<LPARAM>(&cell))) return RECT{};
  return RECT{cell.left + kSparkMargin, cell.top + kSparkTopMargin, cell.right - kSparkMargin, cell.bottom - 1};
}

std::vector<RawResult> ContactListView::sparkResults(size_t index) const {
  const auto found = _glances.find(rowIdOf(index));
  return found == _glances.end() ? std::vector<RawResult>() : found->second.last;
}

LRESULT ContactListView::onCustomDraw(NMLVCUSTOMDRAW* draw) {
  switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
      return CDRF_NOTIFYPOSTPAINT;
    case CDDS_ITEMPOSTPAINT: {
      // The row is drawn (its sparkline's cell empty): the bars over it.
      const auto found = _glances.find(static_cast<int>(draw->nmcd.lItemlParam));
      if (found == _glances.end() || found->second.last.empty()) return CDRF_DODEFAULT;
      RECT area = sparkArea(static_cast<size_t>(draw->nmcd.dwItemSpec));
      // Never over the header, where a row scrolled half under it is.
      RECT header{};
      if (HWND headerWindow = reinterpret_cast<HWND>(SendMessageW(_list, LVM_GETHEADER, 0, 0));
          headerWindow && IsWindowVisible(headerWindow)) {
        GetWindowRect(headerWindow, &header);
        MapWindowPoints(nullptr, _list, reinterpret_cast<POINT*>(&header), 2);
      }
      if (area.top < header.bottom) return CDRF_DODEFAULT;
      _sparkline.paint(draw->nmcd.hdc, area, found->second.last);
      return CDRF_DODEFAULT;
    }
    default:
      return CDRF_DODEFAULT;
  }
}

void ContactListView::refreshHistory(size_t index) {
  const HostSession::Check& check = _session.checks()[index];
  Glance& shown = _glances[check.row];
  const HistoryStore* history = _session.history();
  Glance now;
  if (history) {
    HistoryGlance glance = history->glance(historyKey(check.entry));
    now.last = std::move(glance.last);
    now.uptime = wideFromUtf8(uptimeText(glance.uptime.day));
  } else {
    now.uptime = L"-";
  }
  if (now.uptime != shown.uptime) setListItemText(_list, static_cast<int>(index), kUptime, now.uptime);
  const bool sameBars =
      now.last.size() == shown.last.size() &&
      (now.last.empty() || (now.last.back().timeMs == shown.last.back().timeMs &&
                            now.last.front().timeMs == shown.last.front().timeMs));
  shown.uptime = std::move(now.uptime);
  if (sameBars) return;
  shown.last = std::move(now.last);
  RECT cell{LVIR_BOUNDS, kRecent, 0, 0};
  if (SendMessageW(_list, LVM_GETSUBITEMRECT, index, reinterpret_cast<LPARAM>(&cell)))
    InvalidateRect(_list, &cell, FALSE);
}

int ContactListView::imageOf(int iconId) {
  const auto known = _imageOfIcon.find(iconId);
  if (known != _imageOfIcon.end()) return known->second;
  HICON small = _icons.iconOf(iconId, 16), large = _icons.iconOf(iconId, 32);
  if (!small || !large) return I_IMAGENONE;
  const int image = ImageList_AddIcon(_smallImages.get(), small);
  ImageList_AddIcon(_largeImages.get(), large);
  _imageOfIcon[iconId] = image;
  return image;
}

void ContactListView::refresh(size_t index) {
  const HostSession::Check& check = _session.checks()[index];
  ContactHost& host = _session.host();
  const int item = static_cast<int>(index);
  LVITEMW image{};
  image.mask = LVIF_IMAGE;
  image.iItem = item;
  // The icon the plug-in registered for the contact's status.
  image.iImage = _session.stateOf(check) == CheckState::Waiting
                     ? I_IMAGENONE
                     : imageOf(static_cast<int>(StatusIconId(static_cast<uint8_t>(host.getInt(check.row, kColumnStatus)))));
  SendMessageW(_list, LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&image));
  std::wstring status;
  if (check.entry.network != kNetwork)
    status = L"(not a check)";
  else if (check.results == 0)
    status = check.entry.enabled ? L"(waiting)" : L"(disabled)";
  else
    status = listLineOf(host.statusText(check.row));
  setListItemText(_list, item, kName, wideFromUtf8(check.entry.name));
  setListItemText(_list, item, kStatusText, status);
  setListItemText(_list, item, kInterval, wideFromUtf8(intervalWords(check.entry.interval)));
  const size_t results = check.results;  // before its time (see HostSession::Check)
  setListItemText(_list, item, kLastResult, ageText(results, check.lastResult));
  setListItemText(_list, item, kDescription, listLineOf(host.getText(check.row, kColumnDescription).value_or("")));
  refreshHistory(index);
}

void ContactListView::refreshAges() {
  const auto& checks = _session.checks();
  for (size_t i = 0; i < checks.size(); ++i) {
    if (const size_t results = checks[i].results)
      setListItemText(_list, static_cast<int>(i), kLastResult, ageText(results, checks[i].lastResult));
    refreshHistory(i);
  }
}

}  // namespace VardokHost
