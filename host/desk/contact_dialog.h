// The dialog for adding or editing a contact: name, network, interval,
// enabled and command, checked as the contact file reads them (a name, a
// command that Windows-1250 can hold, whole numbers). Modal over owner;
// while it is up the main thread keeps waiting alertably, as the plug-in
// needs. Main thread.
#pragma once

#include <windows.h>

#include "host/lib/contacts_file.h"

namespace VardokHost {

// True when the user pressed OK; *entry then holds what was entered.
bool editContact(HWND owner, const wchar_t* title, ContactEntry* entry);

}  // namespace VardokHost
