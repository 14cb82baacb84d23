#include "plugin/columns.h"

#include "plugin/host.h"

namespace Vardok {

namespace {

int g_commandColumn = 0;
int g_intervalColumn = 0;
int g_enabledColumn = 0;

constexpr int kTypeInt = 0;
constexpr int kTypeText = 1;
constexpr int kDefaultInterval = 120;

}  // namespace

int commandColumn() { return g_commandColumn; }
int intervalColumn() { return g_intervalColumn; }
int enabledColumn() { return g_enabledColumn; }

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
  g_commandColumn = RegisterColumn(kContactTable, -1, kTypeText, 0, "Vardok/command");
  g_intervalColumn = RegisterColumn(kContactTable, -1, kTypeInt, kDefaultInterval, "Vardok/interval");
  g_enabledColumn = RegisterColumn(kContactTable, -1, kTypeInt, 0, "Vardok/enabled");
  return 1;
}

}  // namespace Vardok
