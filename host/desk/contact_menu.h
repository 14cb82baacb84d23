// The contact menu (right click, or the menu key, on a row): the desk
// host's own commands (Properties, History, Edit, Enable or Disable,
// Remove), then the plug-in's items of the per-contact action
// group, each shown when the plug-in says so and in the state it sets.
// Picking a plug-in item hands it to the plug-in as the host does. Main
// thread, but for onItemState and shown.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include <windows.h>

#include "host/lib/contact_host.h"
#include "host/lib/host_session.h"

namespace VardokHost {

// The main window's commands, from its menu bar, its keys and the contact
// menu.
enum DeskCommand : int {
  kAdd = 100,
  kEdit,
  kProperties,
  kRemove,
  kToggle,
  kExit,
  kHistory,
  kPluginItem = 1000,  // + the index of the plug-in's item in the contact menu
};

class ContactMenu {
 public:
  explicit ContactMenu(ContactHost& host) : _host(host) {}

  // Shows the menu for a check at a screen point and returns once it is
  // closed; the choice comes to owner as WM_COMMAND. History is greyed
  // where the host keeps none.
  void show(HWND owner, const HostSession::Check& check, POINT at, bool historyKept);
  // A command at or past kPluginItem: hands the item picked to the plug-in.
  void pluginItemPicked(int command);
  // The contact menu while it is up, else null.
  HMENU shown() const { return _shown.load(); }

  // The state the plug-in gives one of its items for a contact, asked as
  // the host asks (HM_ACTION code 10, answered with HM_UI_SET_STATE): 0
  // shown and usable, anything else hidden or greyed.
  int askItemState(int itemId, int parent, int row);
  // HM_UI_SET_STATE, from any thread.
  void onItemState(const ItemStateSet& state);

 private:
  ContactHost& _host;
  // The menu last shown: its contact and the plug-in's item ids.
  int _row = 0;
  std::vector<int> _itemIds;
  std::atomic<HMENU> _shown{nullptr};
  std::mutex _statesLock;
  std::map<std::pair<int, int>, int> _states;  // (item id, contact) -> state
};

}  // namespace VardokHost
