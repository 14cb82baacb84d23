#include "hostapi/column_ids.h"

namespace Vardok {

namespace {

int g_columnIds[kCheckColumnCount] = {};

}  // namespace

int columnId(CheckColumnIndex column) { return g_columnIds[column]; }

void setColumnId(CheckColumnIndex column, int id) { g_columnIds[column] = id; }

}  // namespace Vardok
