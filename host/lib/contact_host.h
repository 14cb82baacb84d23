// ContactHost: the host side of the plug-in interface.
//
// It plays the closed host application: it answers the core interface and
// the host messages exactly as the host interface fixes them over its
// contact table (ContactTable), records every message, routed message and
// column write byte for byte (EventLog), and delivers HM_UI_CALL and SendTo
// back to the plug-in.
//
// Thread affinity: the plug-in may call the HostCore entries from any
// thread. post(), startUp(), shutDown() and the pump belong to the host's
// main thread, the one that loaded the plug-in.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "host/lib/contact_table.h"
#include "host/lib/contacts_file.h"
#include "host/lib/event_log.h"
#include "host/lib/host_event.h"
#include "host/lib/plugin_module.h"
#include "hostapi/host_core.h"

namespace VardokHost {

// A check contact as a host adds it: network 82 unless said otherwise, the
// three columns of the plug-in, and a display name.
struct CheckContact {
  std::string name;
  std::string command;
  int interval = 120;
  int enabled = 0;
  int network = 82;
};

// A contact of a host's list as the host adds it: its texts in Windows-1250.
CheckContact checkContactOf(const ContactEntry& entry);

class ContactHost final : public Vardok::HostCore {
 public:
  static constexpr int kRowIdBase = ContactTable::kRowIdBase;
  static constexpr int kFirstColumnId = ContactTable::kFirstColumnId;

  ContactHost() = default;
  ContactHost(const ContactHost&) = delete;
  ContactHost& operator=(const ContactHost&) = delete;
  virtual ~ContactHost() = default;

  // --- the contact table (any thread) ---
  ContactTable& table() { return _table; }
  // Adds a row and answers its id. Row 0, the user's own entry, exists from
  // the start.
  int addContact(int network) { return _table.addContact(network); }
  void removeContact(int rowId) { _table.removeContact(rowId); }
  int rowCount() const { return _table.rowCount(); }
  int rowIdAt(int index) const { return _table.rowIdAt(index); }
  int rowIndexOf(int rowId) const { return _table.rowIndexOf(rowId); }
  int getInt(int row, int column) const { return _table.getInt(row, column); }
  std::optional<std::string> getText(int row, int column) const { return _table.getText(row, column); }
  std::string firstLine(int row, int column, size_t maxBytes) const { return _table.firstLine(row, column, maxBytes); }
  void setInt(int row, int column, int value) { _table.setInt(row, column, value); }
  void setText(int row, int column, const std::string& text) { _table.setText(row, column, text); }
  std::string statusText(int row) const { return _table.statusText(row); }
  // The id of a column by name ("Vardok/command"), 0 when not registered.
  int columnId(const std::string& name) const { return _table.columnId(name); }

  // Adds a check contact with its name and columns and, when announce is
  // set, tells the plug-in (HM_CONTACT_NEW). Answers the row id.
  int addCheck(const CheckContact& check, bool announce = true);
  // Writes the name and the plug-in's columns of a row; columns the
  // plug-in has not registered yet are left out.
  void writeCheck(int row, const CheckContact& check);

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
  // The live text of one control a window shows for a contact (itemId is
  // the item's id, e.g. a bound control's), answered to HM_UI_GET_VALUE
  // before anything else; nullopt forgets it (the window closed).
  void setLiveValue(int contact, int itemId, std::optional<std::string> text);

  // --- the plug-in (main thread) ---
  void attach(PluginModule* plugin);
  PluginModule* plugin() const { return _plugin; }
  int post(uint32_t id, int32_t p1 = 0, int32_t p2 = 0);
  int postChanged(int contact, int changeBits, int previousNetwork);
  int postRecord(Vardok::HostMessage* message);
  // HM_ATTACH_CORE ... HM_START_ACK in the host's order; afterColumns runs
  // once the plug-in's columns are registered, before HM_UPGRADE.
  void startUp(int previousVersion = 0, const std::function<void()>& afterColumns = {});
  // Adds each contact as a check, tells added the rows (in the contacts'
  // order) before the plug-in can report on any, then attaches the plug-in
  // and starts it up; each contact's plug-in columns are written once it
  // has registered them.
  void startChecks(PluginModule* plugin, const std::vector<CheckContact>& contacts,
                   const std::function<void(const std::vector<int>& rows)>& added);
  // HM_DETACH_CORE, then FreeLibrary.
  void shutDown();

  // --- serving the plug-in's calls on the main thread ---
  // On: core calls the plug-in makes on other threads (Send, GetValue,
  // SetValue, IsLogLevelOn) are served on this thread, through a message
  // sent to a message-only window of it, as many real hosts do; they wait
  // until this thread pumps sent messages. Main thread.
  void serveCallsOnThisThread(bool on);
  // Calls of other threads waiting for this thread now.
  int callsWaitingForMainThread() const { return _callsWaiting.load(); }

  // --- the main thread's alertable wait ---
  // Waits alertably until done() holds; false when timeoutMs passed first.
  bool pumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
  void pumpFor(DWORD ms);

  // --- what the plug-in did (any thread) ---
  const EventLog& log() const { return _log; }
  std::vector<HostEvent> events() const { return _log.events(); }
  std::vector<HostEvent> messages(uint32_t id) const { return _log.messages(id); }
  std::vector<HostEvent> columnWrites(int rowId, int column) const { return _log.columnWrites(rowId, column); }
  size_t notHandledCount() const { return _log.notHandledCount(); }
  std::vector<UiItemCopy> uiItems() const;
  // The words the plug-in gave a notification kind when it defined it
  // (HM_NOTIFY_DEFINE), in Windows-1250; empty for a kind it never defined.
  std::string notificationWords(const std::string& name) const;
  std::vector<std::string> logLines() const { return _log.logLines(); }
  void clearEvents() { _log.clear(); }
  // Bounds what the host keeps of the plug-in's doings (see EventLog).
  void setEventLimits(size_t maxEvents, size_t maxTextBytes) { _log.setLimits(maxEvents, maxTextBytes); }
  // Called after each event is recorded, outside the host's locks, on the
  // thread that made the event (often one of the plug-in's workers).
  void setObserver(std::function<void(const HostEvent&)> observer) { _log.setObserver(std::move(observer)); }
  // Hears each GetValue of the plug-in's (table 1), row and column, on the
  // calling thread before it is answered (a run reads its command as it
  // starts). Set before the plug-in starts.
  void setReadObserver(std::function<void(int row, int column)> observer) { _readObserver = std::move(observer); }

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
  // Runs call here, or on the main thread when calls are served there.
  int served(const std::function<int()>& call);
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  int sendHere(Vardok::HostMessage* message);
  int getValueHere(int table, int row, int column, Vardok::ColumnValue* value);
  int setValueHere(int table, int row, int column, Vardok::ColumnValue* value);

  // The host's answer to a message; *deliver: hand it on as HM_ACTION.
  int answer(Vardok::HostMessage* message, const HostEvent& event, bool* deliver);

  ContactTable _table;
  EventLog _log;
  std::function<void(int row, int column)> _readObserver;

  // Scripted answers and the inserted items.
  mutable std::mutex _lock;
  std::vector<UiItemCopy> _uiItems;
  std::map<std::string, std::string> _notificationWords;  // by the kind's name
  bool _popupService = true;
  bool _allLogLevels = true;
  std::map<int, bool> _logLevels;
  int _hostMode = 0;
  int _pluginId = 7;
  int _pluginVersion = 0x10302000;
  std::map<int, std::optional<std::string>> _uiValues;
  std::map<std::pair<int, int>, std::string> _liveValues;  // (contact, item id)

  PluginModule* _plugin = nullptr;

  // The message-only window that serves calls, and its thread: set and
  // cleared on the main thread, read by every thread that calls the host.
  std::atomic<HWND> _window{nullptr};
  std::atomic<DWORD> _windowThread{0};
  std::atomic<int> _callsWaiting{0};
};

}  // namespace VardokHost
