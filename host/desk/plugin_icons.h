// The icons the plug-in registered (HM_ICON_REGISTER), by icon id, and their
// images at the sizes the desk host draws. Main thread.
#pragma once

#include <map>

#include <windows.h>

#include "host/lib/plugin_event.h"

namespace VardokHost {

class PluginIcons {
 public:
  void add(const IconRegistered& icon) { _icons[icon.iconId] = icon; }
  // The image of an icon id at 16 or 32 pixels, or null when the plug-in
  // registered none. Shared: the system keeps one copy per module,
  // resource and size, and frees it with the module.
  HICON iconOf(int iconId, int size) const;

 private:
  std::map<int, IconRegistered> _icons;
};

}  // namespace VardokHost
