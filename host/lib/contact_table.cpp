#include "host/lib/contact_table.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "hostapi/messages.h"

namespace VardokHost {

using namespace Vardok;

namespace {

bool threadAlive(DWORD id) {
  const HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, id);
  if (!thread) return false;
  const bool alive = WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
  CloseHandle(thread);
  return alive;
}

}  // namespace

const char* ContactTable::threadCopy(const std::string& text) const {
  // Kept per thread in the table, not in thread_local storage: the copies
  // are touched by the plug-in's threads, and the runtime's destructors of
  // thread_local objects at their exit free what another module's heap
  // blocks hold (and can deadlock the program's exit).
  std::lock_guard<std::mutex> guard(_answersLock);
  const DWORD self = GetCurrentThreadId();
  // Threads come and go (the plug-in adds workers while runs wait): the
  // copies of threads that have ended are dropped as the map doubles, so
  // it stays the size of the threads alive.
  if (_answers.size() >= 2 * _answersAfterPrune + 16 && !_answers.count(self)) {
    for (auto it = _answers.begin(); it != _answers.end();)
      it = threadAlive(it->first) ? std::next(it) : _answers.erase(it);
    _answersAfterPrune = _answers.size();
  }
  std::string& answer = _answers[self];
  answer = text;
  return answer.c_str();
}

size_t ContactTable::threadCopies() const {
  std::lock_guard<std::mutex> guard(_answersLock);
  return _answers.size();
}

ContactTable::ContactTable() {
  _columns[kColumnNetwork] = {"network", 0, 0};
  _columns[kColumnStatus] = {"status", 0, 0};
  _columns[kColumnDisplay] = {"display", 1, 0};
  _columns[kColumnIcon] = {"icon", 0, 0};
  _columns[kColumnDescription] = {"description", 1, 0};
  addContact(0);  // the user's own entry
}

int ContactTable::addContact(int network) {
  std::lock_guard<std::mutex> guard(_lock);
  Row row;
  row.id = kRowIdBase + _nextSerial++;
  row.cells[kColumnNetwork].hasInt = true;
  row.cells[kColumnNetwork].intValue = network;
  _rows.push_back(std::move(row));
  _positions[_rows.back().id] = _rows.size() - 1;
  return _rows.back().id;
}

void ContactTable::removeContact(int rowId) {
  std::lock_guard<std::mutex> guard(_lock);
  const auto found = _positions.find(rowId);
  if (found == _positions.end()) return;
  // The rows after it move up one place.
  const size_t at = found->second;
  _positions.erase(found);
  _rows.erase(_rows.begin() + static_cast<std::ptrdiff_t>(at));
  for (size_t i = at; i < _rows.size(); ++i) _positions[_rows[i].id] = i;
}

int ContactTable::rowCount() const {
  std::lock_guard<std::mutex> guard(_lock);
  return static_cast<int>(_rows.size());
}

int ContactTable::rowIdAt(int index) const {
  std::lock_guard<std::mutex> guard(_lock);
  if (index < 0 || index >= static_cast<int>(_rows.size())) return -1;
  return _rows[index].id;
}

int ContactTable::rowIndexOf(int rowId) const {
  std::lock_guard<std::mutex> guard(_lock);
  const auto found = _positions.find(rowId);
  return found == _positions.end() ? -1 : static_cast<int>(found->second);
}

ContactTable::Row* ContactTable::findRowLocked(int row) {
  if (row >= 0 && row < kRowIdBase) return row < static_cast<int>(_rows.size()) ? &_rows[row] : nullptr;
  // Looked up on every column read and write of every check: by id, not
  // by walking the rows.
  const auto found = _positions.find(row);
  return found == _positions.end() ? nullptr : &_rows[found->second];
}

const ContactTable::Row* ContactTable::findRowLocked(int row) const {
  return const_cast<ContactTable*>(this)->findRowLocked(row);
}

bool ContactTable::hasColumnLocked(int column) const { return _columns.count(column) != 0; }

int ContactTable::getInt(int row, int column) const {
  std::lock_guard<std::mutex> guard(_lock);
  const Row* r = findRowLocked(row);
  if (!r || !hasColumnLocked(column)) return 0;
  auto cell = r->cells.find(column);
  if (cell != r->cells.end() && cell->second.hasInt) return cell->second.intValue;
  return _columns.at(column).defaultValue;
}

std::optional<std::string> ContactTable::getText(int row, int column) const {
  std::lock_guard<std::mutex> guard(_lock);
  const Row* r = findRowLocked(row);
  if (!r || !hasColumnLocked(column)) return std::nullopt;
  auto cell = r->cells.find(column);
  if (cell == r->cells.end() || !cell->second.hasText) return std::nullopt;
  return cell->second.text;
}

std::string ContactTable::firstLine(int row, int column, size_t maxBytes) const {
  std::lock_guard<std::mutex> guard(_lock);
  const Row* r = findRowLocked(row);
  if (!r || !hasColumnLocked(column)) return std::string();
  auto cell = r->cells.find(column);
  if (cell == r->cells.end() || !cell->second.hasText) return std::string();
  const std::string& text = cell->second.text;
  const size_t end = std::min({text.find_first_of("\r\n"), text.size(), maxBytes});
  return text.substr(0, end);
}

void ContactTable::setInt(int row, int column, int value) {
  std::lock_guard<std::mutex> guard(_lock);
  if (Row* r = findRowLocked(row)) {
    r->cells[column].hasInt = true;
    r->cells[column].intValue = value;
  }
}

void ContactTable::setText(int row, int column, const std::string& text) {
  std::lock_guard<std::mutex> guard(_lock);
  if (Row* r = findRowLocked(row)) {
    r->cells[column].hasText = true;
    r->cells[column].text = text;
  }
}

std::string ContactTable::statusText(int row) const {
  std::lock_guard<std::mutex> guard(_lock);
  const Row* r = findRowLocked(row);
  return r ? r->statusText : std::string();
}

int ContactTable::columnId(const std::string& name) const {
  std::lock_guard<std::mutex> guard(_lock);
  for (const auto& column : _columns)
    if (column.first >= kFirstColumnId && column.second.name == name) return column.first;
  return 0;
}

int ContactTable::registerColumn(const std::string& name, int type, int defaultValue) {
  std::lock_guard<std::mutex> guard(_lock);
  const int id = _nextColumn++;
  _columns[id] = {name, type, defaultValue};
  return id;
}

void ContactTable::setStatus(int row, int status, const char* text) {
  std::lock_guard<std::mutex> guard(_lock);
  if (Row* r = findRowLocked(row)) {
    r->cells[kColumnStatus].hasInt = true;
    r->cells[kColumnStatus].intValue = status & 0xFF;
    r->statusText = text ? text : "";
  }
}

int ContactTable::readValue(int row, int column, ColumnValue* value) const {
  std::lock_guard<std::mutex> guard(_lock);
  const Row* r = findRowLocked(row);
  const bool found = r && hasColumnLocked(column);
  if (value->kind == kColumnInt) {
    value->value = 0;
    if (!found) return 0;
    auto cell = r->cells.find(column);
    value->value = cell != r->cells.end() && cell->second.hasInt ? cell->second.intValue
                                                                  : _columns.at(column).defaultValue;
    return 1;
  }
  const std::string* text = nullptr;
  if (found) {
    auto cell = r->cells.find(column);
    if (cell != r->cells.end() && cell->second.hasText) text = &cell->second.text;
  }
  if (value->bufferSize > 0) {
    char* buffer = reinterpret_cast<char*>(value->value);
    if (buffer) snprintf(buffer, value->bufferSize, "%s", text ? text->c_str() : "");
  } else {
    value->value = text ? reinterpret_cast<int32_t>(threadCopy(*text)) : 0;
  }
  return found ? 1 : 0;
}

int ContactTable::writeValue(int row, int column, const ColumnValue* value, int* rowId, std::string* written) {
  std::lock_guard<std::mutex> guard(_lock);
  Row* r = findRowLocked(row);
  *rowId = r ? r->id : row;
  if (!r || !hasColumnLocked(column)) return 0;
  Cell& cell = r->cells[column];
  if (value->kind == kColumnText) {
    const char* text = reinterpret_cast<const char*>(value->value);
    cell.hasText = true;
    cell.text = text ? text : "";
    *written = cell.text;
  } else {
    cell.hasInt = true;
    cell.intValue = value->value;
  }
  return 1;
}

const char* ContactTable::boundText(int row, int column) const {
  std::lock_guard<std::mutex> guard(_lock);
  const Row* r = findRowLocked(row);
  if (!r) return nullptr;
  auto cell = r->cells.find(column);
  return threadCopy(cell != r->cells.end() && cell->second.hasText ? cell->second.text : "");
}

}  // namespace VardokHost
