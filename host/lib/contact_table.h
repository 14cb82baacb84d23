// The host's contact table (table 1): rows by index and by id, columns by
// number with their defaults, text cells the host owns.
//
// Any thread; every method takes the table's lock. Texts handed to the
// plug-in are copies the host keeps per thread, valid until that thread's
// next call.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "hostapi/records.h"

namespace VardokHost {

class ContactTable {
 public:
  static constexpr int kRowIdBase = 0x40000000;
  static constexpr int kFirstColumnId = 1000;

  // The host's own columns and row 0, the user's own entry.
  ContactTable();

  // Adds a row and answers its id.
  int addContact(int network);
  void removeContact(int rowId);
  int rowCount() const;
  int rowIdAt(int index) const;      // -1 when there is no such row
  int rowIndexOf(int rowId) const;   // -1 when there is no such row
  int getInt(int row, int column) const;
  std::optional<std::string> getText(int row, int column) const;
  // The first line of a text column (up to a line break), at most maxBytes
  // of it: without copying a long text whole.
  std::string firstLine(int row, int column, size_t maxBytes) const;
  void setInt(int row, int column, int value);
  void setText(int row, int column, const std::string& text);
  std::string statusText(int row) const;
  // The id of a column by name ("Vardok/command"), 0 when not registered.
  int columnId(const std::string& name) const;

  // A new column (HM_COLUMN_REGISTER); answers its id.
  int registerColumn(const std::string& name, int type, int defaultValue);
  // HM_SET_STATUS: the status byte and the status text of a row.
  void setStatus(int row, int status, const char* text);

  // GetValue as the host interface fixes it; answers non-zero when the row
  // and column exist.
  int readValue(int row, int column, Vardok::ColumnValue* value) const;
  // SetValue: answers non-zero when the row and column exist. *rowId gets
  // the row's id (or row itself when there is none), *written the text
  // stored for a text write.
  int writeValue(int row, int column, const Vardok::ColumnValue* value, int* rowId, std::string* written);
  // The text of a column as an item bound to it shows it, or null when the
  // row does not exist; stays valid until this thread's next call.
  const char* boundText(int row, int column) const;
  // Keeps a copy of text for the calling thread and answers it; it stays
  // valid until that thread's next copy.
  const char* threadCopy(const std::string& text) const;
  // How many threads' copies are kept.
  size_t threadCopies() const;

 private:
  struct Cell {
    bool hasInt = false;
    int intValue = 0;
    bool hasText = false;
    std::string text;
  };
  struct Row {
    int id = 0;
    std::map<int, Cell> cells;
    std::string statusText;
  };
  struct Column {
    std::string name;
    int type = 0;  // 0 integer, 1 text
    int defaultValue = 0;
  };

  Row* findRowLocked(int row);
  const Row* findRowLocked(int row) const;
  bool hasColumnLocked(int column) const;

  mutable std::mutex _lock;
  std::vector<Row> _rows;
  std::unordered_map<int, size_t> _positions;  // row id -> index in _rows
  int _nextSerial = 0;
  std::map<int, Column> _columns;
  int _nextColumn = kFirstColumnId;

  mutable std::mutex _answersLock;  // taken inside _lock, never around it
  mutable std::map<unsigned long, std::string> _answers;  // by thread id
  mutable size_t _answersAfterPrune = 0;  // how many were left at the last pruning
};

}  // namespace VardokHost
