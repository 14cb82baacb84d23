// The console host's view of a contact's settings page, drawn from the
// interface items the plug-in inserted. Main thread.
#pragma once

#include "host/console/console_output.h"
#include "host/lib/contact_host.h"

namespace VardokHost {

// Prints the page of the plug-in (kPageId) for the contact row: captions,
// fields with the contact's values, the check box, the button and the
// information box's text.
void printSettingsPage(ConsoleOutput& out, const ContactHost& host, int row);

}  // namespace VardokHost
