#include "host/desk/plugin_icons.h"

namespace VardokHost {

HICON PluginIcons::iconOf(int iconId, int size) const {
  const auto icon = _icons.find(iconId);
  if (icon == _icons.end() || !icon->second.module) return nullptr;
  return static_cast<HICON>(LoadImageW(icon->second.module, MAKEINTRESOURCEW(icon->second.resourceId), IMAGE_ICON,
                                       size, size, LR_SHARED));
}

}  // namespace VardokHost
