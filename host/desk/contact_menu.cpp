#include "host/desk/contact_menu.h"

#include <string>

#include "host/desk/ui_handles.h"
#include "host/lib/host_text.h"
#include "hostapi/item_text.h"
#include "hostapi/messages.h"
#include "hostapi/protocol.h"

namespace VardokHost {

using namespace Vardok;

void ContactMenu::show(HWND owner, const HostSession::Check& check, POINT at, bool historyKept) {
  const MenuHandle menu(CreatePopupMenu());
  if (!menu) return;
  AppendMenuW(menu.get(), MF_STRING, kProperties, L"&Properties");
  AppendMenuW(menu.get(), MF_STRING | (historyKept ? 0 : MF_GRAYED), kHistory, L"&History...\tCtrl+H");
  AppendMenuW(menu.get(), MF_STRING, kEdit, L"&Edit...");
  AppendMenuW(menu.get(), MF_STRING, kToggle, check.entry.enabled ? L"&Disable" : L"&Enable");
  AppendMenuW(menu.get(), MF_STRING, kRemove, L"&Remove");
  bool separated = false;
  _row = check.row;
  _itemIds.clear();
  for (const UiItemCopy& item : _host.uiItems()) {
    if (item.item.parent != kContactMenuGroup || item.item.kindOrState != kKindMenuItem) continue;
    const int itemId = item.item.id;
    ActionEvent shown{sizeof(ActionEvent), itemId, kContactMenuGroup, check.row, kEventQueryShown, {0, 0, 0}};
    if (!_host.post(HM_ACTION, reinterpret_cast<int32_t>(&shown))) continue;
    const int itemState = askItemState(itemId, kContactMenuGroup, check.row);
    if (!separated) AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
    separated = true;
    const std::wstring text = wideFromUtf8(fromHostText(visibleItemText(item.text)));
    AppendMenuW(menu.get(), MF_STRING | (itemState != 0 ? MF_GRAYED : 0),
                static_cast<UINT_PTR>(kPluginItem + _itemIds.size()), text.c_str());
    _itemIds.push_back(itemId);
  }
  SetForegroundWindow(owner);
  _shown = menu.get();
  TrackPopupMenu(menu.get(), TPM_RIGHTBUTTON, at.x, at.y, 0, owner, nullptr);
  _shown = nullptr;
}

void ContactMenu::pluginItemPicked(int command) {
  const size_t which = static_cast<size_t>(command - kPluginItem);
  if (command < kPluginItem || which >= _itemIds.size()) return;
  ActionEvent clicked{sizeof(ActionEvent), _itemIds[which], kContactMenuGroup, _row, kEventActivated, {0, 0, 0}};
  _host.post(HM_ACTION, reinterpret_cast<int32_t>(&clicked));
}

int ContactMenu::askItemState(int itemId, int parent, int row) {
  {
    std::lock_guard<std::mutex> guard(_statesLock);
    _states.erase({itemId, row});
  }
  ActionEvent query{sizeof(ActionEvent), itemId, parent, row, kEventQueryState, {0, 0, 0}};
  _host.post(HM_ACTION, reinterpret_cast<int32_t>(&query));
  std::lock_guard<std::mutex> guard(_statesLock);
  const auto set = _states.find({itemId, row});
  return set == _states.end() ? 0 : set->second;
}

void ContactMenu::onItemState(const ItemStateSet& state) {
  std::lock_guard<std::mutex> guard(_statesLock);
  _states[{state.itemId, state.contact}] = state.state;
}

}  // namespace VardokHost
