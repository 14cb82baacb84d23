#include "plugin/contact_events.h"

#include "checks/registry.h"
#include "plugin/columns.h"
#include "hostapi/host.h"
#include "hostapi/messages.h"
#include "plugin/settings_page.h"

namespace Vardok {

namespace {

// The contact's network, read fresh from the host every time.
bool isCheck(int contact) { return GetContactInt(contact, kColumnNetwork) == kNetwork; }

// Bytes of an ActionEvent up to and including its code.
constexpr uint16_t kActionEventReadBytes = 18;

}  // namespace

int onStart() {
  const int count = SendSimple(HM_CONTACT_COUNT, 0, 0);
  // Row 0 is the user's own entry, never a check.
  for (int row = 1; row < count; ++row)
    if (GetContactInt(row, kColumnNetwork) == kNetwork) ensureItem(GetRowId(kContactTable, row));
  return 1;
}

int onContactNew(int contact) {
  if (isCheck(contact)) ensureItem(contact);
  return 0;
}

int onContactRemoving(int contact) {
  if (isCheck(contact)) removeItem(contact);
  return 0;
}

int onContactChanged(int contact, int changeBits, int previousNetwork) {
  if (!(changeBits & kChangeBitsRecreate) && isCheck(contact)) {
    ensureItem(contact);
    return 0;
  }
  if (previousNetwork == kNetwork) removeItem(contact);
  if (isCheck(contact)) ensureItem(contact);
  return 0;
}

int onAction(const ActionEvent* event) {
  if (event->size < kActionEventReadBytes) {
    ReportNotHandled(1);
    return 0;
  }
  const bool is82 = isCheck(event->contact);
  const int shownState = is82 ? 0 : -1;

  if (event->id == kPageId) {
    if (event->code == kEventQueryState) SetUiItemState(kPageId, event->parent, event->contact, shownState, 1);
    return 0;
  }
  if (event->id != kCheckActionId) return 0;

  if (event->parent == kPageId) {
    // The page's button runs what the command field holds now, saved or not.
    if (event->code == kEventActivated) {
      const char* text = GetUiItemValue(kBoundControlId | commandColumn(), kPageId, event->contact, true);
      runItemNow(event->contact, text ? text : "");
    }
    return 0;
  }
  // The contact-menu item.
  switch (event->code) {
    case kEventActivated:
      runItemNow(event->contact, std::string());
      return 0;
    case kEventQueryState:
      SetUiItemState(kCheckActionId, event->parent, event->contact, shownState, 1);
      return 0;
    case kEventQueryShown:
      return is82 ? 1 : 0;
    default:
      return 0;
  }
}

int onContactActivate(int contact) {
  if (!isCheck(contact)) {
    ReportNotHandled(1);
    return 0;
  }
  // Asks the host to press the page's check button for this contact; the
  // host hands the event back to us as HM_ACTION.
  ActionEvent event{};
  event.size = sizeof event;
  event.id = kCheckActionId;
  event.parent = kPageId;
  event.contact = contact;
  event.code = kEventActivated;
  CallUiAction(&event);
  return 0;
}

}  // namespace Vardok
