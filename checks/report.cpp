// The report of a finished run: the contact's description, status, icon,
// notifications and pop-up.
#include <cerrno>
#include <cstdio>

#include <windows.h>

#include "checks/item.h"
#include "checks/line_endings.h"
#include "checks/result_tags.h"
#include "checks/run_control.h"
#include "hostapi/column_ids.h"
#include "hostapi/host.h"
#include "hostapi/messages.h"
#include "hostapi/protocol.h"
#include "hostapi/texts.h"
#include "support/internet/url.h"

namespace Vardok {

namespace {

// The log line's text: a line keeps 254 characters, so no more of the
// output is handed to the formatter (which would read all of it).
constexpr size_t kLogOutputBytes = 254;

void showPopup(uint32_t contact, const std::string& notify, uint8_t status, bool well) {
  if (SendRouted(HM_ID_NET, kPopupRouteType, kPopupRouteTarget, 0, 0) == 0) return;
  const std::string text = notify + " (" + GetContactText(contact, kColumnDisplay) + ")";
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

}  // namespace

void Item::report(int32_t exitCode, std::string output, const std::string& command, bool interactive,
                  RunControl& run) {
  normalizeLineEndings(output);
  // The bound holds for what is reported, line endings included.
  if (output.size() > kMaxOutput) output.resize(kMaxOutput);
  const bool well = exitCode == 0;
  const ResultTags tags =
      readTags(output, well ? Texts::kInfoOk : Texts::kInfoProblem, well ? Texts::kNotifyOk : Texts::kNotifyProblem);
  const std::string& info = tags.info;
  const std::string& notify = tags.notify;
  const int32_t icon = parseNumber(tags.icon, 255);

  // An interactive run shows its output in a box, which may stay up for a
  // long time; the run may be ended meanwhile, and then writes nothing more.
  const bool boxed = interactive && !output.empty();
  if (boxed) run.showBox(output, Quorlin::hidePasswords(command), MB_ICONINFORMATION);
  if (!run.beginWrite()) return;
  struct EndWrite {
    RunControl& run;
    ~EndWrite() { run.endWrite(); }
  } endWrite{run};

  if (!boxed) SetContactText(_contact, kColumnDescription, output);

  const int error = errno;
  LogIf(kLogResult, Texts::kResultLog, exitCode, error, output.substr(0, kLogOutputBytes).c_str());

  const uint8_t status = statusOf(exitCode);
  const uint8_t previous = static_cast<uint8_t>(GetContactInt(_contact, kColumnStatus));
  if (status != previous || status == kStatusCritical) {
    if (status == kStatusProblem) RaiseNotification(Texts::kFailedName, _contact);
    if (status == kStatusCritical) RaiseNotification(Texts::kCriticalName, _contact);
    showPopup(_contact, notify, status, well);
  }

  SetContactInt(_contact, kColumnIcon, icon, -1);
  SetContactStatus(_contact, status, info.c_str());
  SendSimple(HM_CONTACT_REFRESH, static_cast<int32_t>(_contact), 0);
  // The re-arming follows on the main thread: the worker hands the item
  // over with finishRun.
}

void Item::reportOverdue(const RunControl& run) {
  // The queue gave this report the run's turn: the run's own report waits.
  const unsigned seconds = static_cast<unsigned>((GetTickCount64() - run.startedMs()) / 1000);
  const unsigned limit = static_cast<unsigned>(run.limitMs() / 1000);
  const std::string command = run.command().empty() ? GetContactText(_contact, commandColumn()) : run.command();
  LogIf(kLogError, Texts::kOverdueLog, static_cast<unsigned>(_contact), Quorlin::hidePasswords(command).c_str(), limit);

  char status[64];
  snprintf(status, sizeof status, Texts::kOverdueStatus, seconds);
  RaiseNotification(Texts::kCriticalName, _contact);
  showPopup(_contact, status, kStatusCritical, false);
  SetContactStatus(_contact, kStatusCritical, status);
  SendSimple(HM_CONTACT_REFRESH, static_cast<int32_t>(_contact), 0);
}

}  // namespace Vardok

namespace Vardok {

void Item::reportStarved(unsigned seconds, const char* reason) {
  LogIf(kLogError, Texts::kStarvedLog, static_cast<unsigned>(_contact), seconds, reason);
  char status[160];
  snprintf(status, sizeof status, Texts::kStarvedStatus, seconds, reason);
  RaiseNotification(Texts::kCriticalName, _contact);
  showPopup(_contact, status, kStatusCritical, false);
  SetContactStatus(_contact, kStatusCritical, status);
  SendSimple(HM_CONTACT_REFRESH, static_cast<int32_t>(_contact), 0);
}

}  // namespace Vardok
