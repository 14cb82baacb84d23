// HostSession: one host's run of the plug-in over one contact list, the
// part the console host, the desk host, the tests and the benchmarks share;
// each of them is a view over it.
//
// It holds the list's lock (contacts_lock.h) from before the list is read
// until after it is saved, the list as read, the plug-in module, the
// ContactHost that answers the plug-in, a served site, and the checks (one
// per contact of the list, in its order). It adds, changes and removes
// checks as the host interface tells the plug-in, saves the list, decodes
// the plug-in's events once (plugin_event.h) for the view, and detaches
// and waits for the plug-in to let go, the one unload sequence.
//
// Threads: main thread (the one that loads the plug-in and sends it every
// message) for everything, except the event sink, which runs on whichever
// thread the plug-in called the host from, and resultsOf / nameOf, which
// any thread may call. Owns everything it holds; the plug-in goes before
// the lock.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

#include "host/history/history_store.h"
#include "host/lib/contact_host.h"
#include "host/lib/contacts_file.h"
#include "host/lib/contacts_lock.h"
#include "host/lib/plugin_event.h"
#include "host/lib/plugin_module.h"
#include "host/lib/served_site.h"

namespace VardokHost {

class HostSession {
 public:
  // A contact of the list as the session runs it.
  struct Check {
    int row = 0;  // the host's row id
    ContactEntry entry;
    // Counted by the event intake on any thread (under the session's
    // lock), the time stored before the count: a reader that loads the
    // count first and sees a result sees its time.
    std::atomic<size_t> results{0};
    std::atomic<DWORD> lastResult{0};  // GetTickCount of the last result
    // The history's handle of the contact, -1 without a history.
    int historyHandle = -1;
    // GetTickCount when its run read its command, the run's start (0: no
    // run seen since its last result).
    DWORD runStart = 0;
    // The last result's Unix time in ms (0: none yet) and how long its run
    // took (-1: unknown).
    int64_t lastUnixMs = 0;
    int32_t lastDurationMs = -1;

    Check() = default;
    Check(const Check& other) { *this = other; }
    Check& operator=(const Check& other);
  };

  // What a host keeps of the plug-in's events (the last 1000, at most
  // 1 KiB of text each), and how long its end waits for the plug-in to let
  // its DLL go.
  static constexpr size_t kEventsKept = 1000;
  static constexpr size_t kEventTextBytes = 1024;
  static constexpr DWORD kUnloadWaitMs = 5000;

  HostSession() = default;
  // Detaches a started plug-in and waits for it, when that has not been
  // done.
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // --- the contact list (main thread) ---
  // Takes the list's lock (when lock is set) and reads the list at path:
  // empty, the user's default file, or the demo list where none exists
  // (which then counts as changed, to become the user's file). False with
  // the reason in *error, holding nothing.
  bool openContacts(const std::string& path, bool lock, std::string* error);
  // The lock held, or null; its warning() says when it holds nothing.
  const ContactsLock* contactsLock() const { return _lock.get(); }
  // Frees the list without saving (a host that did not start).
  void releaseContacts() { _lock.reset(); }
  const std::string& filePath() const { return _filePath; }
  // Whether the list is the built-in demo list (the user having none).
  bool builtInList() const { return _builtInList; }
  // The list's contacts, which a host may fit before start (the demo list
  // to what its run can serve).
  std::vector<ContactEntry>& listContacts() { return _file.contacts; }
  bool changed() const { return _changed; }
  // Writes the list when it changed; false with the reason.
  bool save(std::string* error);

  // --- the history (main thread) ---
  // Keeps the checks' history in history.db beside the list (history.h);
  // notice hears, on the writer's thread, when it cannot be kept and when
  // it can again. Before start.
  void openHistory(std::function<void(const std::string&)> notice);
  // The store, or null when the host keeps none.
  HistoryStore* history() const { return _history.get(); }
  // Where the list's history is kept: history.db in the list's folder.
  std::string historyPath() const;
  // The key a check's history goes by.
  std::string historyKeyOf(size_t index) const;

  // --- the plug-in (main thread) ---
  // Loads Vardok.dll from the program's folder; false with the reason.
  bool loadPlugin(std::string* error);
  // Takes a plug-in the caller made (a linked one, in tests).
  void usePlugin(std::unique_ptr<PluginModule> plugin);
  PluginModule* plugin() const { return _plugin.get(); }
  HMODULE pluginModule() const { return _plugin ? _plugin->module() : nullptr; }
  ContactHost& host() { return _host; }
  const ContactHost& host() const { return _host; }
  // Keeps the site served until the plug-in has let go.
  void serve(std::unique_ptr<iServedSite> site) { _site = std::move(site); }

  // --- start and the plug-in's events ---
  // Hears each decoded event of the plug-in, after the session has counted
  // a result, on the thread that made it. Set before start.
  void setEventSink(std::function<void(const PluginEvent&)> sink) { _sink = std::move(sink); }
  // Adds the list's contacts as checks and starts the plug-in with them
  // (ContactHost::startChecks), keeping at most maxEvents events of at most
  // maxTextBytes of text each. Main thread.
  void start(size_t maxEvents = kEventsKept, size_t maxTextBytes = kEventTextBytes);

  // --- the checks (main thread, but for resultsOf and nameOf) ---
  const std::vector<Check>& checks() const { return _checks; }
  int indexOfRow(int row) const;
  size_t resultsOf(int row) const;  // any thread
  std::string nameOf(int row) const;  // any thread
  // The checks as a reader on another thread sees them (a copy).
  std::vector<Check> checksCopy() const;
  // Waiting until its first result (and for a contact that is no check).
  CheckState stateOf(const Check& check) const;
  // The id of a check column (kCheckColumns), 0 before it is registered.
  int columnOf(Vardok::CheckColumnIndex column) const;
  // Adds a contact as a check and tells the plug-in; the reason when the
  // file could not hold it (nothing is added then), else empty.
  std::string add(const ContactEntry& entry);
  // Tells the plug-in the contact goes, then removes it.
  void remove(size_t index);
  // Takes an edited contact (its line in the file kept) and tells the
  // plug-in; a new network recreates its check.
  void replace(size_t index, const ContactEntry& edited);
  // Writes one check column of a contact, in its entry and in the host;
  // the plug-in hears of it with tellChanged.
  void setColumn(size_t index, Vardok::CheckColumnIndex column, const std::string& utf8, int number);
  // HM_CONTACT_CHANGED for the contact's columns.
  void tellChanged(size_t index);

  // --- the end (main thread) ---
  // For a plug-in with no DLL of its own (linked): when it has let go.
  void setLetGoTest(std::function<bool()> letGo) { _letGo = std::move(letGo); }
  // HM_DETACH_CORE, FreeLibrary, then waits until the plug-in has let go
  // (its DLL is gone), serving what is sent to this thread and the APCs
  // the plug-in queues; the served site stops then. For quietMs first it
  // only waits alertably, serving nothing sent (a host busy elsewhere).
  // Either way the event sink hears nothing more once this returns. False
  // when timeoutMs passed first: then what the plug-in may still call (the
  // ContactHost, the module) is left to the process's end rather than
  // freed under its threads.
  bool detachAndWait(DWORD timeoutMs = kUnloadWaitMs, DWORD quietMs = 0);
  // Started and not yet detached.
  bool running() const { return _started && !_detached; }

 private:
  // The plug-in's threads reach the session through this gate, which the
  // ContactHost's observer shares: closed, it lets nothing through, and a
  // call in flight ends before it closes. It outlives the session.
  struct EventGate {
    std::recursive_mutex lock;
    HostSession* session = nullptr;  // null: closed
  };
  void onHostEvent(const HostEvent& event);  // any thread, through the gate
  void onColumnRead(int row, int column);    // any thread, through the gate
  void record(Check& check, DWORD time);     // under _checksLock
  Check* checkOfRow(int row);                // under _checksLock

  // Held from before the list is read until after it is saved: the last
  // member to go.
  std::unique_ptr<ContactsLock> _lock;
  ContactsFile _file;
  std::string _filePath;
  bool _changed = false;
  bool _builtInList = false;
  std::unique_ptr<iServedSite> _site;
  std::unique_ptr<HistoryStore> _history;
  DWORD _mainThreadId = 0;
  std::shared_ptr<EventGate> _gate = std::make_shared<EventGate>();
  // Owned here, and left alone by a session whose plug-in did not let go.
  std::unique_ptr<ContactHost> _hostOwner = std::make_unique<ContactHost>();
  ContactHost& _host = *_hostOwner;
  bool _letGoFailed = false;
  std::unique_ptr<PluginModule> _plugin;
  std::string _pluginPath;  // of a loaded DLL
  bool _started = false, _detached = false;
  std::function<bool()> _letGo;
  std::function<void(const PluginEvent&)> _sink;
  // The checks change on the main thread, and the event intake finds its
  // check, under this lock.
  std::vector<Check> _checks;
  mutable std::mutex _checksLock;
};

}  // namespace VardokHost
