#include "plugin/dispatch.h"

#include "checks/registry.h"
#include "checks/run_queue.h"
#include "plugin/columns.h"
#include "plugin/contact_events.h"
#include "hostapi/host.h"
#include "hostapi/messages.h"
#include "plugin/settings_page.h"
#include "plugin/threading_runtime.h"
#include "hostapi/texts.h"
#include "support/boundary.h"
#include "support/win32_error.h"

namespace Vardok {

namespace {

// Bytes of a record before the message id ends: anything shorter has no id.
constexpr uint16_t kHeaderBytes = 6;

int notHandled() {
  ReportNotHandled(1);
  return 0;
}

int answerText(const char* text) { return reinterpret_cast<int>(text); }

void defineNotification(const char* name, const char* description) {
  NotifyDefine record{};
  record.size = sizeof(NotifyDefine);
  record.id = HM_NOTIFY_DEFINE;
  record.routeType = kNotifyRouteType;
  record.routeTarget = kNotifyRouteTarget;
  record.minusOne = -1;
  record.name = name;
  record.description = description;
  record.one = 1;
  record.zero = 0;
  Send(reinterpret_cast<HostMessage*>(&record));
}

// HM_DETACH_CORE. Runs in progress are ended first, so their workers stop
// calling the host; then the calls already inside the host are waited for.
// The items' timers are cancelled with any firing already queued: a timer
// routine is code of this DLL, and the host may free it before its next
// alertable wait. The core is forgotten whatever ending the runs threw.
int detach() {
  const bool ended = Quorlin::guarded("HM_DETACH_CORE", [] { runQueue().shutDown(); });
  // Whatever ending the runs threw.
  Quorlin::guarded("HM_DETACH_CORE", [] { disarmItems(); });
  Quorlin::setFailureLog(nullptr);
  detachCore();
  threadingRuntimeThreadDone();
  return ended ? 1 : 0;
}

int dispatch(HostMessage* message) {
  if (!message || message->size < kHeaderBytes) return notHandled();
  // The parameters p1 and p2 are there only in a full 30-byte record.
  const HostMessage* params = message->size >= sizeof(HostMessage) ? message : nullptr;

  switch (message->id) {
    case HM_ATTACH_CORE:
      if (!params || !params->p1) return notHandled();
      attachCore(reinterpret_cast<HostCore*>(params->p1));
      Quorlin::setFailureLog(&LogPlatformFailure);
      Quorlin::setOutOfMemoryWords(Texts::kOutOfMemory);
      runQueue().open();
      return 1;
    case HM_DETACH_CORE:
      return detach();
    case HM_PROBE_1:
      return 2;
    case HM_PROBE_2:
      return 59;
    case HM_UPGRADE:
      if (!params) return notHandled();
      return migrateContacts(params->p1);
    case HM_SETUP_COLUMNS:
      return setupColumns();
    case HM_SETUP_UI:
      return setupUi();
    case HM_START:
      return onStart();
    case HM_START_ACK:
      return 1;
    case HM_ACTION: {
      if (!params || !params->p1) return notHandled();
      return onAction(reinterpret_cast<const ActionEvent*>(params->p1));
    }
    case HM_CONTACT_REMOVING:
      if (!params) return notHandled();
      return onContactRemoving(params->p1);
    case HM_CONTACT_NEW:
      if (!params) return notHandled();
      return onContactNew(params->p1);
    case HM_CONTACT_CHANGED: {
      if (message->size < sizeof(HostMessage3)) return notHandled();
      const auto* changed = reinterpret_cast<const HostMessage3*>(message);
      return onContactChanged(changed->head.p1, changed->head.p2, changed->p3);
    }
    case HM_ID_NET:
      return kNetwork;
    case HM_ID_TYPE_BITS:
      return kTypeBits;
    case HM_ID_RESERVED_1:
    case HM_ID_RESERVED_2:
      return 0;
    case HM_ID_TAG:
      return answerText(kPluginTag);
    case HM_ID_PLATFORM_TAG:
      return answerText(kPlatformTag);
    case HM_ID_NAME:
    case HM_ID_NET_NAME:
      return answerText(kPluginName);
    case HM_CONTACT_ACTIVATE:
      if (!params) return notHandled();
      return onContactActivate(params->p1);
    case HM_REGISTER_NOTIFICATIONS:
      defineNotifications();
      return 0;
    default:
      return notHandled();
  }
}

}  // namespace

int migrateContacts(int32_t previousVersion) {
  if (previousVersion == 0 || previousVersion >= kVersionNoMigration) return 0;
  const int count = SendSimple(HM_CONTACT_COUNT, 0, 0);
  // Row 0 is visited too: contacts of the old network may sit anywhere.
  for (int row = 0; row < count; ++row) {
    if (GetContactInt(row, kColumnNetwork) != kOldNetwork) continue;
    if (GetContactText(row, commandColumn()).empty()) continue;
    Log(Texts::kMigrated, row);
    SetContactInt(row, kColumnNetwork, kNetwork, -1);
  }
  return 0;
}

void defineNotifications() {
  defineNotification(Texts::kFailedName, Texts::kFailedDescription);
  defineNotification(Texts::kCriticalName, Texts::kCriticalDescription);
}

}  // namespace Vardok

namespace Vardok {

namespace {

// "IMessageProc(ID)" for a record with an id, else "IMessageProc".
void nameEntry(const HostMessage* message, char (&where)[32]) {
  static const char kName[] = "IMessageProc";
  size_t used = 0;
  for (const char* c = kName; *c; ++c) where[used++] = *c;
  if (message && message->size >= kHeaderBytes) {
    char digits[12];
    size_t count = 0;
    uint32_t id = message->id;
    do {
      digits[count++] = static_cast<char>('0' + id % 10);
      id /= 10;
    } while (id);
    where[used++] = '(';
    while (count) where[used++] = digits[--count];
    where[used++] = ')';
  }
  where[used] = '\0';
}

}  // namespace

}  // namespace Vardok

// A boundary: nothing thrown reaches the host. A message whose handling
// threw is told to the host's log at the error level and answered 0, the
// interface's answer for a message that was not handled (a null text for
// the text answers); the host goes on as with any such answer.
extern "C" int __stdcall IMessageProc(Vardok::HostMessage* message) {
  try {
    return Vardok::dispatch(message);
  } catch (...) {
    char where[32];
    Vardok::nameEntry(message, where);
    Quorlin::reportCaught(where);
    return 0;
  }
}
