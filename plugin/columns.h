// The plug-in's three contact columns.
//
// The host assigns their ids at HM_SETUP_COLUMNS; they are kept for the
// library's life. Written on the main thread before any check runs, read
// from any thread afterwards.
#pragma once

namespace Vardok {

int commandColumn();
int intervalColumn();
int enabledColumn();

// HM_SETUP_COLUMNS: registers "Vardok/command", "Vardok/interval" and
// "Vardok/enabled" in this order and keeps the ids. Main thread only.
int setupColumns();

// Sends one HM_COLUMN_REGISTER and answers the id the host assigned.
int RegisterColumn(int table, int column, int type, int defaultValue, const char* name);

}  // namespace Vardok
