// The plug-in's three contact columns, by the ids the host assigned.
//
// The host assigns them at HM_SETUP_COLUMNS; they are kept for the
// library's life. Written on the main thread before any check runs, read
// from any thread afterwards.
#pragma once

namespace Vardok {

int commandColumn();
int intervalColumn();
int enabledColumn();

// Keeps the ids the host assigned. Main thread only.
void setColumnIds(int command, int interval, int enabled);

}  // namespace Vardok
