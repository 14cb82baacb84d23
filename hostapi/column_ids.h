// The plug-in's contact columns (protocol/result_protocol.h), by the ids
// the host assigned.
//
// The host assigns them at HM_SETUP_COLUMNS; they are kept for the
// library's life. Written on the main thread before any check runs, read
// from any thread afterwards.
#pragma once

#include "protocol/result_protocol.h"

namespace Vardok {

int columnId(CheckColumnIndex column);
inline int commandColumn() { return columnId(kCommandColumn); }
inline int intervalColumn() { return columnId(kIntervalColumn); }
inline int enabledColumn() { return columnId(kEnabledColumn); }

// Keeps the id the host assigned to a column. Main thread only.
void setColumnId(CheckColumnIndex column, int id);

}  // namespace Vardok
