// The plug-in's one entry point: the host delivers every message here.
//
// Main thread only: the host calls it from its main thread, one call at a
// time. A text answer is the address of a constant string that lives as
// long as the library.
#pragma once

#include "hostapi/records.h"

extern "C" int __stdcall IMessageProc(Vardok::HostMessage* message);

namespace Vardok {

// HM_UPGRADE: moves contacts of the old network that have a command to the
// plug-in's network. previousVersion is the packed version that last ran.
int migrateContacts(int32_t previousVersion);

// HM_REGISTER_NOTIFICATIONS: defines "vardokFailed" and "vardokCritical".
void defineNotifications();

}  // namespace Vardok
