#include "plugin/columns.h"

#include "hostapi/column_ids.h"
#include "hostapi/host.h"

namespace Vardok {

namespace {

constexpr int kTypeInt = 0;
constexpr int kTypeText = 1;
constexpr int kDefaultInterval = 120;

}  // namespace

int RegisterColumn(int table, int column, int type, int defaultValue, const char* name) {
  ColumnRegister record{};
  record.size = sizeof(ColumnRegister);
  record.id = HM_COLUMN_REGISTER;
  record.table = static_cast<uint8_t>(table);
  record.column = column;
  record.type = type;
  record.defaultValue = defaultValue;
  record.name = name;
  return Send(reinterpret_cast<HostMessage*>(&record));
}

int setupColumns() {
  const int command = RegisterColumn(kContactTable, -1, kTypeText, 0, "Vardok/command");
  const int interval = RegisterColumn(kContactTable, -1, kTypeInt, kDefaultInterval, "Vardok/interval");
  const int enabled = RegisterColumn(kContactTable, -1, kTypeInt, 0, "Vardok/enabled");
  setColumnIds(command, interval, enabled);
  return 1;
}

}  // namespace Vardok
