#include "hostapi/column_ids.h"

namespace Vardok {

namespace {

int g_commandColumn = 0;
int g_intervalColumn = 0;
int g_enabledColumn = 0;

}  // namespace

int commandColumn() { return g_commandColumn; }
int intervalColumn() { return g_intervalColumn; }
int enabledColumn() { return g_enabledColumn; }

void setColumnIds(int command, int interval, int enabled) {
  g_commandColumn = command;
  g_intervalColumn = interval;
  g_enabledColumn = enabled;
}

}  // namespace Vardok
