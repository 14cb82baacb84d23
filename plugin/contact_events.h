// The start-up scan, the contact events and the user's actions: they keep
// the check registry in step with the host's contact list and turn the
// page's button and the contact-menu item into immediate runs.
//
// Main thread only (called from IMessageProc).
#pragma once

#include "hostapi/records.h"

namespace Vardok {

int onStart();
int onContactNew(int contact);
int onContactRemoving(int contact);
int onContactChanged(int contact, int changeBits, int previousNetwork);
int onAction(const ActionEvent* event);
int onContactActivate(int contact);

}  // namespace Vardok
