// The main window's list of contacts: one row per check of the session, in
// its order, with the icon the plug-in registered for the contact's
// status, its status text, its last results as a sparkline
// (sparkline.h), its uptime over the last 24 hours, interval, the time
// since its last result and its description, each as the plain line a
// person reads (no markup, no control characters), the interval in words
// from an hour on. Activating a row is the plug-in's to answer (it runs
// the check); the whole description shows in the main window's detail
// pane.
//
// The sparkline and the uptime come from the history's memory
// (HistoryStore::glance), never from its file: read again when the row is
// refreshed and each second (the uptime changes once a minute, and a
// contact's earlier results come from the file a moment after the start),
// and the sparkline is drawn in the list's custom draw, after the row.
// Main thread.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <windows.h>
#include <commctrl.h>

#include "host/desk/plugin_icons.h"
#include "host/desk/sparkline.h"
#include "host/desk/ui_handles.h"
#include "host/lib/host_session.h"

namespace VardokHost {

class ContactListView {
 public:
  // The columns, by subitem. The history's two come after the first five
  // and show between the status and the interval.
  enum Column : int { kName, kStatusText, kInterval, kLastResult, kDescription, kUptime, kRecent };

  ContactListView(HostSession& session, const PluginIcons& icons) : _session(session), _icons(icons) {}

  void create(HWND parent, int id, HFONT font);
  HWND window() const { return _list; }

  // A row for the session's check at index, just added there.
  void insert(size_t index);
  void remove(size_t index);
  // Shows the check at index as it now is.
  void refresh(size_t index);
  // The time since each last result, and what the history's memory holds
  // now.
  void refreshAges();
  // The selected row, or -1.
  int selected() const;
  // Where a contact menu opened from the keyboard goes: under the row.
  POINT menuPointOf(int index) const;
  // A notification of the list; the answer it wants (its custom draw's
  // stages ask what to be told of).
  LRESULT onNotify(NMHDR* header);
  // The results the sparkline of the row at index shows, oldest first.
  std::vector<RawResult> sparkResults(size_t index) const;
  // Where the sparkline of the row at index is drawn, in the list's client
  // coordinates.
  RECT sparkArea(size_t index) const;

 private:
  // What a row shows of the contact's history.
  struct Glance {
    std::vector<RawResult> last;
    std::wstring uptime;
  };
  int imageOf(int iconId);
  int rowIdOf(size_t index) const;
  // Reads the history's memory of the check at index again and shows what
  // changed.
  void refreshHistory(size_t index);
  LRESULT onCustomDraw(NMLVCUSTOMDRAW* draw);

  HostSession& _session;
  const PluginIcons& _icons;
  HWND _list = nullptr;  // a child of the main window
  ImageListHandle _smallImages, _largeImages;
  std::map<int, int> _imageOfIcon;  // icon id -> image list index
  std::map<int, Glance> _glances;   // by row id
  Sparkline _sparkline;
};

}  // namespace VardokHost
