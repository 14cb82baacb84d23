// Registration of the plug-in's three contact columns (HM_SETUP_COLUMNS).
// Their ids are kept in hostapi/column_ids.h.
#pragma once

#include "hostapi/column_ids.h"

namespace Vardok {

// HM_SETUP_COLUMNS: registers the check's columns (kCheckColumns:
// "Vardok/command", "Vardok/interval", "Vardok/enabled") in their order and
// keeps the ids. Main thread only.
int setupColumns();

// Sends one HM_COLUMN_REGISTER and answers the id the host assigned.
int RegisterColumn(int table, int column, int type, int defaultValue, const char* name);

}  // namespace Vardok
