// The report of a finished run: the contact's description, status, icon,
// notifications and pop-up.
#include <cerrno>

#include <windows.h>

#include "checks/item.h"
#include "checks/message_box.h"
#include "checks/result_tags.h"
#include "hostapi/host.h"
#include "hostapi/messages.h"
#include "hostapi/protocol.h"
#include "hostapi/texts.h"

namespace Vardok {

void Item::report(int32_t exitCode, std::string output, const std::string& command, bool interactive) {
  normalizeLineEndings(output);
  const bool well = exitCode == 0;
  const std::string info = getTagValue(output, "info", well ? Texts::kInfoOk : Texts::kInfoProblem);
  const std::string notify = getTagValue(output, "notify", well ? Texts::kNotifyOk : Texts::kNotifyProblem);
  const int32_t icon = parseNumber(getTagValue(output, "icon", std::string()), 255);

  if (interactive && !output.empty())
    ShowMessageBox(output, command, MB_ICONINFORMATION);
  else
    SetContactText(_contact, kColumnDescription, output);

  LogIf(kLogResult, Texts::kResultLog, exitCode, errno, output.c_str());

  const uint8_t status = statusOf(exitCode);
  const uint8_t previous = static_cast<uint8_t>(GetContactInt(_contact, kColumnStatus));
  if (status != previous || status == kStatusCritical) {
    if (status == kStatusProblem) RaiseNotification(Texts::kFailedName, _contact);
    if (status == kStatusCritical) RaiseNotification(Texts::kCriticalName, _contact);
    if (SendRouted(HM_ID_NET, kPopupRouteType, kPopupRouteTarget, 0, 0) != 0) {
      const std::string text = notify + " (" + GetContactText(_contact, kColumnDisplay) + ")";
      NotifyShow popup{};
      popup.size = sizeof popup;
      popup.id = HM_NOTIFY_SHOW;
      popup.routeType = kPopupRouteType;
      popup.routeTarget = kPopupRouteTarget;
      popup.text = text.c_str();
      popup.okFlag = well ? kPopupOkFlag : 0;
      popup.wellFlag = status == kStatusOk ? 1 : 0;
      popup.iconId = StatusIconId(status);
      popup.minusTwo = -2;
      Send(reinterpret_cast<HostMessage*>(&popup));
    }
  }

  SetContactInt(_contact, kColumnIcon, icon, -1);
  SetContactStatus(_contact, status, info.c_str());
  SendSimple(HM_CONTACT_REFRESH, static_cast<int32_t>(_contact), 0);
  // The re-arming follows on the main thread: the worker hands the item
  // over with finishRun.
}

}  // namespace Vardok
