#include "host/lib/plugin_event.h"

#include "hostapi/messages.h"
#include "hostapi/protocol.h"

namespace VardokHost {

using namespace Vardok;

CheckState stateOfStatus(int status) {
  switch (status) {
    case kStatusOk: return CheckState::Well;
    case kStatusProblem: return CheckState::Problem;
    default: return CheckState::Critical;
  }
}

const char* stateWord(CheckState state, int status) {
  switch (state) {
    case CheckState::Waiting: return "waiting";
    case CheckState::Well: return "well";
    case CheckState::Problem: return "problem";
    case CheckState::Critical: return status == kStatusCritical ? "critical" : "unknown";
  }
  return "unknown";
}

bool LogLine::saysLate() const { return text.compare(0, sizeof kLatenessLogPrefix - 1, kLatenessLogPrefix) == 0; }

PluginEvent decodeEvent(const HostEvent& event) {
  PluginEvent decoded;
  decoded.time = event.time;
  if (event.kind == HostEvent::Kind::ColumnWrite && event.answer) decoded.what = ColumnWritten{event.row, event.column};
  if (event.kind != HostEvent::Kind::Message) return decoded;
  switch (event.id) {
    case HM_CONTACT_REFRESH:
      decoded.what = ContactRefreshed{event.p1()};
      break;
    case HM_NOTIFY_SHOW: {
      const auto show = event.recordAs<NotifyShow>();
      decoded.what = PopupShown{event.text, static_cast<int>(show.iconId), show.wellFlag != 0,
                                (show.okFlag & kPopupOkFlag) != 0};
      break;
    }
    case HM_NOTIFY_RAISE:
      decoded.what = NotificationRaised{event.p2(), event.text};
      break;
    case HM_LOG:
      decoded.what = LogLine{event.p2(), event.text};
      break;
    case HM_ICON_REGISTER:
      if (event.payload.size() >= sizeof(IconRecord)) {
        const auto icon = event.payloadAs<IconRecord>();
        decoded.what = IconRegistered{icon.iconId, icon.module, icon.resourceId};
      }
      break;
    case HM_UI_SET_STATE:
      if (event.payload.size() >= offsetof(UiItem, stateMask) + sizeof(int32_t)) {
        const auto item = event.payloadAs<UiItem>();
        decoded.what = ItemStateSet{item.id, item.contact, item.kindOrState};
      }
      break;
    default:
      break;
  }
  return decoded;
}

}  // namespace VardokHost
