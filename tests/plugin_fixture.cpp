#include "tests/plugin_fixture.h"

#include <atomic>
#include <sstream>
#include <thread>

#include <windows.h>

#include "checks/run_queue.h"
#include "hostapi/protocol.h"
#include "protocol/result_protocol.h"
#include "plugin/dispatch.h"
#include "support/threads/unique_handle.h"

namespace VardokTest {

namespace {

// Children of the checks inherit every inheritable handle of the test
// program; keep the test runner's output pipe out of them, so that a child
// that outlives its test cannot hold the runner.
struct KeepStandardHandlesToOurselves {
  KeepStandardHandlesToOurselves() {
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
      SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
  }
} g_keepStandardHandles;

}  // namespace

namespace {

// The linked plug-in has let go when the run queue's threads have ended:
// the test program must not end under them.
bool linkedLetGo() { return Vardok::runQueue().threads() == 0; }

}  // namespace

void LinkedPluginTest::SetUp() {
  session.usePlugin(VardokHost::PluginModule::linked(&IMessageProc));
  session.setLetGoTest(&linkedLetGo);
  plugin = session.plugin();
}

void LinkedPluginTest::TearDown() { session.detachAndWait(kLetGoMs); }

void LinkedPluginTest::attachCore() {
  host.post(Vardok::HM_ATTACH_CORE,
            reinterpret_cast<int32_t>(static_cast<Vardok::HostCore*>(&host)));
}

void LoadedPluginTest::SetUp() {
  std::string error;
  ASSERT_TRUE(session.loadPlugin(&error)) << error;
  plugin = session.plugin();
}

void LoadedPluginTest::TearDown() { session.detachAndWait(kLetGoMs); }

bool waitForUnload(VardokHost::ContactHost& host) {
  // The plug-in's threads and queued calls keep the DLL loaded after the
  // host's FreeLibrary; the test program must not end under them.
  return host.pumpUntil([] { return GetModuleHandleA("Vardok.dll") == nullptr; }, 10000);
}

}  // namespace VardokTest

#include <mutex>

#include "checks/test_seams.h"
#include "host/lib/pe_image.h"
#include "support/threads/child_process.h"

namespace VardokTest {

namespace {

std::mutex g_boxLock;
std::vector<ShownBox> g_boxes;

void recordBox(const char* text, const char* caption, unsigned type) {
  std::lock_guard<std::mutex> guard(g_boxLock);
  g_boxes.push_back({text ? text : "", caption ? caption : "", type, GetCurrentThreadId()});
}

std::atomic<HANDLE> g_boxRelease{nullptr};

int answerBox(const char* text, const char* caption, unsigned type) {
  recordBox(text, caption, type);
  if (HANDLE released = g_boxRelease.load()) WaitForSingleObject(released, 60000);
  return IDOK;
}

int WINAPI hookedMessageBox(HWND, LPCSTR text, LPCSTR caption, UINT type) { return answerBox(text, caption, type); }

int linkedMessageBox(const std::string& text, const std::string& caption, unsigned type) {
  return answerBox(text.c_str(), caption.c_str(), type);
}

}  // namespace

MessageBoxRecorder::MessageBoxRecorder(HMODULE module) : _module(module) {
  clear();
  if (module)
    _previous = VardokHost::replaceImport(module, "user32.dll", "MessageBoxA",
                                          reinterpret_cast<void*>(&hookedMessageBox));
  else
    _previous = reinterpret_cast<void*>(Vardok::TestSeams::setMessageBoxFunction(&linkedMessageBox));
}

MessageBoxRecorder::~MessageBoxRecorder() {
  if (!_module) Vardok::TestSeams::setMessageBoxFunction(reinterpret_cast<Vardok::TestSeams::MessageBoxFunction>(_previous));
}

std::vector<ShownBox> MessageBoxRecorder::shown() {
  std::lock_guard<std::mutex> guard(g_boxLock);
  return g_boxes;
}

void MessageBoxRecorder::holdUntil(HANDLE released) { g_boxRelease = released; }

void MessageBoxRecorder::clear() {
  std::lock_guard<std::mutex> guard(g_boxLock);
  g_boxes.clear();
}

void CheckTest::SetUp() {
  if (_loaded) {
    std::string error;
    ASSERT_TRUE(session.loadPlugin(&error)) << error;
    boxes.reset(new MessageBoxRecorder(session.pluginModule()));
  } else {
    session.usePlugin(VardokHost::PluginModule::linked(&IMessageProc));
    session.setLetGoTest(&linkedLetGo);
    boxes.reset(new MessageBoxRecorder(nullptr));
  }
  plugin = session.plugin();
  host.startUp();
  commandColumn = host.columnId(Vardok::kCheckColumns[Vardok::kCommandColumn].name);
  intervalColumn = host.columnId(Vardok::kCheckColumns[Vardok::kIntervalColumn].name);
  enabledColumn = host.columnId(Vardok::kCheckColumns[Vardok::kEnabledColumn].name);
}

void CheckTest::TearDown() {
  // Remove every check so that no run outlives the test, then detach.
  for (int index = host.rowCount() - 1; index > 0; --index) {
    const int contact = host.rowIdAt(index);
    host.post(Vardok::HM_CONTACT_REMOVING, contact);
  }
  // Removed contacts' runs are ended; detach ends the queue's threads, and
  // the test program must not end under them.
  host.pumpFor(50);
  EXPECT_TRUE(session.detachAndWait(kLetGoMs)) << "the plug-in's threads kept it";
  host.pumpFor(50);
  boxes.reset();
}

int CheckTest::addCheck(const std::string& command, int interval, int enabled) {
  VardokHost::CheckContact check;
  check.command = command;
  check.interval = interval;
  check.enabled = enabled;
  const int contact = host.addCheck(check, false);
  // Named after its row id, which the pop-up shows.
  host.setText(contact, Vardok::kColumnDisplay, "check " + std::to_string(contact & 0xFFFF));
  host.post(Vardok::HM_CONTACT_NEW, contact);
  return contact;
}

void CheckTest::setCommand(int contact, const std::string& command) {
  host.setText(contact, commandColumn, command);
}

size_t CheckTest::reports(int contact) const {
  size_t count = 0;
  for (const auto& e : host.messages(Vardok::HM_CONTACT_REFRESH))
    if (e.p1() == contact) ++count;
  return count;
}

bool CheckTest::waitForReports(int contact, size_t count, DWORD timeoutMs) {
  return host.pumpUntil([&] { return reports(contact) >= count; }, timeoutMs);
}

bool CheckTest::waitForBoxes(size_t count, DWORD timeoutMs) {
  return host.pumpUntil([&] { return MessageBoxRecorder::shown().size() >= count; }, timeoutMs);
}

std::vector<VardokHost::HostEvent> CheckTest::reportEvents(int contact, size_t n) const {
  std::vector<VardokHost::HostEvent> selected;
  size_t seen = 0;
  for (const auto& e : host.events()) {
    if (e.thread == GetCurrentThreadId()) continue;  // the worker's calls only
    if (seen + 1 == n) selected.push_back(e);
    if (e.kind == VardokHost::HostEvent::Kind::Message && e.id == Vardok::HM_CONTACT_REFRESH &&
        e.p1() == contact && ++seen == n)
      break;
  }
  return selected;
}

std::string CheckTest::writeTempFile(const std::string& name, const std::string& bytes) {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  return writeFile(std::string(folder) + name, bytes);
}

std::string CheckTest::readTempFile(const std::string& path) { return readFile(path); }

std::string CheckTest::child(const std::string& arguments) {
  return "\"" + programFolder() + "vardok-test-child.exe\" " + arguments;
}

void CheckTest::pressCheckButton(int contact) {
  Vardok::ActionEvent event{30, Vardok::kCheckActionId, Vardok::kPageId, contact, Vardok::kEventActivated, {0, 0, 0}};
  host.post(Vardok::HM_ACTION, reinterpret_cast<int32_t>(&event));
}

void CheckTest::runFromMenu(int contact) {
  Vardok::ActionEvent event{30, Vardok::kCheckActionId, Vardok::kContactMenuGroup, contact, Vardok::kEventActivated,
                            {0, 0, 0}};
  host.post(Vardok::HM_ACTION, reinterpret_cast<int32_t>(&event));
}

bool CheckTest::processGone(DWORD processId, DWORD timeoutMs) {
  const Quorlin::ProcessHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
  return !process || WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
}

void CheckTest::reopenQueue() {
  host.post(Vardok::HM_DETACH_CORE);
  host.pumpUntil([] { return Vardok::runQueue().threads() == 0; }, 10000);
  host.post(Vardok::HM_ATTACH_CORE, reinterpret_cast<int32_t>(static_cast<Vardok::HostCore*>(&host)));
}

}  // namespace VardokTest

namespace VardokTest {

namespace {

std::string readAll(HANDLE pipe) {
  std::string text;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
  return text;
}

}  // namespace

std::string uniqueTempFile(const std::string& stem, const std::string& extension) {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  const std::string path = std::string(folder) + stem + "-" + std::to_string(GetCurrentProcessId()) + extension;
  DeleteFileA(path.c_str());
  return path;
}

std::vector<DWORD> treePids(const std::string& text) {
  std::istringstream in(text);
  std::vector<DWORD> pids;
  for (DWORD pid; in >> pid;) pids.push_back(pid);
  return pids;
}

std::string writeFile(const std::string& path, const std::string& bytes) {
  const Quorlin::FileHandle file(
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return path;
}

std::string readFile(const std::string& path) {
  const Quorlin::FileHandle file(
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  return file ? readAll(file.get()) : std::string();
}

ProgramRun runProgram(const std::string& commandLine, bool mergeErrors, DWORD timeoutMs) {
  // Standard error, when it is read apart, goes to a file of its own: a
  // new one each time, since the console helper of an earlier program may
  // still hold the last one open.
  static std::atomic<unsigned> serial{0};
  const std::string errorsPath = uniqueTempFile("vardok-errors-" + std::to_string(serial++));
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  Quorlin::FileHandle errors;
  if (!mergeErrors)
    errors.reset(CreateFileA(errorsPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
  Quorlin::ChildOptions options;
  options.creationFlags = CREATE_NO_WINDOW;
  options.errors = errors.get();
  Quorlin::ChildProcess::Failure failure;
  DWORD error;
  ProgramRun run;
  const std::unique_ptr<Quorlin::ChildProcess> child =
      Quorlin::ChildProcess::start(commandLine, options, &failure, &error);
  if (!child) return run;
  errors.reset();  // the child holds its own
  child->resume();
  if (!child->read(timeoutMs)) child->endTree(1);
  child->keepDescendants();
  run.output = child->takeOutput();
  run.exitCode = static_cast<int>(child->exitCode());
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(child->process(), &created, &exited, &kernel, &user)) {
    const auto ticks = [](const FILETIME& time) {
      return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    run.processMs = static_cast<DWORD>((ticks(exited) - ticks(created)) / 10000);
  }
  if (!mergeErrors) {
    run.errors = readFile(errorsPath);
    DeleteFileA(errorsPath.c_str());
  }
  return run;
}

}  // namespace VardokTest
