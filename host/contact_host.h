// ContactHost: the host side of the plug-in interface, over a contact table.
//
// It plays the closed host application: it answers the core interface and
// the host messages exactly as the host interface fixes them, keeps a
// contact table (rows by index and by id, columns by number, text cells the
// host owns), records every message, routed message and column write byte
// for byte, and delivers HM_UI_CALL and SendTo back to the plug-in.
//
// Thread affinity: the plug-in may call the HostCore entries from any
// thread. post(), startUp(), shutDown() and the pump belong to the host's
// main thread, the one that loaded the plug-in.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "plugin/host_core.h"

namespace VardokHost {

using MessageProc = int(__stdcall*)(Vardok::HostMessage*);

// One thing the plug-in did to the host, in the order it happened.
struct HostEvent {
  enum class Kind { Message, ColumnWrite, NotHandled };

  Kind kind = Kind::Message;
  uint64_t sequence = 0;
  DWORD thread = 0;
  DWORD time = 0;      // GetTickCount when it happened
  int64_t ticks = 0;   // QueryPerformanceCounter when it happened

  // A message: its bytes, as many as its size field states.
  uint32_t id = 0;
  std::vector<uint8_t> record;
  // The record that p1 points to (interface items, icon records, events).
  std::vector<uint8_t> payload;
  // The texts the message points to, copied while the send was in progress.
  bool hasText = false;
  std::string text;
  std::string text2;
  int answer = 0;

  // A column write.
  int row = 0;  // row id
  int column = 0;
  bool isText = false;
  int value = 0;

  int32_t i32(size_t offset) const;
  int16_t i16(size_t offset) const;
  uint16_t u16(size_t offset) const;
  uint8_t u8(size_t offset) const;
  int32_t payloadI32(size_t offset) const;
  int16_t payloadI16(size_t offset) const;
};

// The folder of the running program, with a trailing separator: where a
// host finds Vardok.dll.
std::string programFolder();

// The plug-in as the host holds it: a loaded DLL, or the procedure of the
// plug-in's static library linked into the same program.
class PluginModule {
 public:
  // Loads a DLL and looks up "_IMessageProc@4". On failure answers null
  // and says why in *error.
  static std::unique_ptr<PluginModule> load(const std::string& path, std::string* error);
  static std::unique_ptr<PluginModule> linked(MessageProc proc);
  ~PluginModule();

  MessageProc proc() const { return _proc; }
  HMODULE module() const { return _module; }
  // FreeLibrary of a loaded DLL; nothing for a linked one.
  void unload();

 private:
  PluginModule(MessageProc proc, HMODULE module, bool owned);
  MessageProc _proc;
  HMODULE _module;
  bool _owned;
};

struct UiItemCopy {
  std::vector<uint8_t> record;
  bool hasText = false;
  std::string text;
  int32_t i32(size_t offset) const;
  int16_t i16(size_t offset) const;
};

class ContactHost final : public Vardok::HostCore {
 public:
  static constexpr int kRowIdBase = 0x40000000;
  static constexpr int kFirstColumnId = 1000;

  ContactHost();
  ContactHost(const ContactHost&) = delete;
  ContactHost& operator=(const ContactHost&) = delete;
  virtual ~ContactHost();

  // --- the contact table (any thread) ---
  // Adds a row and answers its id. Row 0, the user's own entry, exists from
  // the start.
  int addContact(int network);
  void removeContact(int rowId);
  int rowCount() const;
  int rowIdAt(int index) const;      // -1 when there is no such row
  int rowIndexOf(int rowId) const;   // -1 when there is no such row
  int getInt(int row, int column) const;
  std::optional<std::string> getText(int row, int column) const;
  void setInt(int row, int column, int value);
  void setText(int row, int column, const std::string& text);
  std::string statusText(int row) const;
  // The id of a column by name ("Vardok/command"), 0 when not registered.
  int columnId(const std::string& name) const;

  // --- scripted answers (any thread) ---
  void setPopupService(bool present);
  void setLogLevels(bool on);
  void setLogLevel(int level, bool on);
  void setHostMode(int mode);
  void setPluginId(int id);
  void setPluginVersion(int packedVersion);
  // What HM_UI_GET_VALUE answers for a contact: a text, or null. Without a
  // scripted answer a bound control answers its column's value.
  void setUiValue(int contact, std::optional<std::string> value);

  // --- the plug-in (main thread) ---
  void attach(PluginModule* plugin);
  PluginModule* plugin() const { return _plugin; }
  int post(uint32_t id, int32_t p1 = 0, int32_t p2 = 0);
  int postChanged(int contact, int changeBits, int previousNetwork);
  int postRecord(Vardok::HostMessage* message);
  // HM_ATTACH_CORE ... HM_START_ACK in the host's order; afterColumns runs
  // once the plug-in's columns are registered, before HM_UPGRADE.
  void startUp(int previousVersion = 0, const std::function<void()>& afterColumns = {});
  // HM_DETACH_CORE, then FreeLibrary.
  void shutDown();

  // --- the main thread's alertable wait ---
  // Waits alertably until done() holds; false when timeoutMs passed first.
  bool pumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
  void pumpFor(DWORD ms);

  // --- what the plug-in did (any thread) ---
  std::vector<HostEvent> events() const;
  std::vector<HostEvent> messages(uint32_t id) const;
  std::vector<HostEvent> columnWrites(int rowId, int column) const;
  size_t notHandledCount() const;
  std::vector<UiItemCopy> uiItems() const;
  std::vector<std::string> logLines() const;
  void clearEvents();
  // Called after each event is recorded, outside the host's lock.
  void setObserver(std::function<void(const HostEvent&)> observer);

  // --- HostCore ---
  int __stdcall Reserved0() override { return 0; }
  int __stdcall GetPluginId() override;
  int __stdcall Reserved2() override { return 0; }
  HINSTANCE __stdcall GetPluginInstance() override;
  int __stdcall GetHostMode() override;
  int __stdcall ReportNotHandled(int code) override;
  int __stdcall Reserved6() override { return 0; }
  int __stdcall Send(Vardok::HostMessage* message) override;
  int __stdcall SendTo(int pluginId, Vardok::HostMessage* message) override;
  int __stdcall Reserved9() override { return 0; }
  int __stdcall GetRowId(int table, int index) override;
  int __stdcall Reserved11() override { return 0; }
  int __stdcall Reserved12() override { return 0; }
  int __stdcall Reserved13() override { return 0; }
  int __stdcall Reserved14() override { return 0; }
  int __stdcall Reserved15() override { return 0; }
  int __stdcall Reserved16() override { return 0; }
  int __stdcall Reserved17() override { return 0; }
  int __stdcall Reserved18() override { return 0; }
  int __stdcall Reserved19() override { return 0; }
  int __stdcall Reserved20() override { return 0; }
  int __stdcall GetValue(int table, int row, int column, Vardok::ColumnValue* value) override;
  int __stdcall SetValue(int table, int row, int column, Vardok::ColumnValue* value) override;
  int __stdcall Reserved23() override { return 0; }
  int __stdcall Reserved24() override { return 0; }
  int __stdcall Reserved25() override { return 0; }
  int __stdcall Reserved26() override { return 0; }
  int __stdcall Reserved27() override { return 0; }
  int __stdcall Reserved28() override { return 0; }
  int __stdcall Reserved29() override { return 0; }
  int __stdcall IsLogLevelOn(int level) override;

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
  int answerLocked(Vardok::HostMessage* message, HostEvent& event, bool* deliver);
  void record(HostEvent event);

  mutable std::mutex _lock;
  std::vector<Row> _rows;
  int _nextSerial = 0;
  std::map<int, Column> _columns;
  int _nextColumn = kFirstColumnId;
  std::vector<UiItemCopy> _uiItems;
  std::vector<HostEvent> _events;
  uint64_t _sequence = 0;
  std::function<void(const HostEvent&)> _observer;

  bool _popupService = true;
  bool _allLogLevels = true;
  std::map<int, bool> _logLevels;
  int _hostMode = 0;
  int _pluginId = 7;
  int _pluginVersion = 0x10302000;
  std::map<int, std::optional<std::string>> _uiValues;

  PluginModule* _plugin = nullptr;
};

// The dotted form of a packed version: major.minor.release, and .build
// when the build number is not 0.
std::string versionText(int packedVersion);

}  // namespace VardokHost
