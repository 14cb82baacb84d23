// The main window's list of contacts: one row per check of the session, in
// its order, with the icon the plug-in registered for the contact's
// status, its status text, interval, the time since its last result and
// its description, each as the plain line a person reads (no markup, no
// control characters), the interval in words from an hour on. Activating
// a row is the plug-in's to answer (it runs the check); the whole
// description shows in the main window's detail pane. Main thread.
#pragma once

#include <map>

#include <windows.h>

#include "host/desk/plugin_icons.h"
#include "host/desk/ui_handles.h"
#include "host/lib/host_session.h"

namespace VardokHost {

class ContactListView {
 public:
  ContactListView(HostSession& session, const PluginIcons& icons) : _session(session), _icons(icons) {}

  void create(HWND parent, int id, HFONT font);
  HWND window() const { return _list; }

  // A row for the session's check at index, just added there.
  void insert(size_t index);
  void remove(size_t index);
  // Shows the check at index as it now is.
  void refresh(size_t index);
  void refreshAges();
  // The selected row, or -1.
  int selected() const;
  // Where a contact menu opened from the keyboard goes: under the row.
  POINT menuPointOf(int index) const;
  void onNotify(NMHDR* header);

 private:
  int imageOf(int iconId);

  HostSession& _session;
  const PluginIcons& _icons;
  HWND _list = nullptr;  // a child of the main window
  ImageListHandle _smallImages, _largeImages;
  std::map<int, int> _imageOfIcon;  // icon id -> image list index
};

}  // namespace VardokHost
