#include "plugin/columns.h"

#include "hostapi/column_ids.h"
#include "hostapi/host.h"

namespace Vardok {

namespace {

constexpr int kTypeInt = 0;
constexpr int kTypeText = 1;

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
  for (int index = 0; index < kCheckColumnCount; ++index) {
    const CheckColumn& column = kCheckColumns[index];
    const bool text = column.kind == ColumnKind::Text;
    setColumnId(static_cast<CheckColumnIndex>(index),
                RegisterColumn(kContactTable, -1, text ? kTypeText : kTypeInt, text ? 0 : column.defaultValue,
                               column.name));
  }
  return 1;
}

}  // namespace Vardok
