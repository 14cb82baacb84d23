// The history under faults: killed while it writes, a read-only file, a
// full disk. The first runs anywhere; the others want the folders that
// tests/servers/with-small-disks.sh mounts (a read-only one and a full
// one, named in VARDOK_READ_ONLY_DIR and VARDOK_FULL_DIR) and skip without
// them.
#include <cstdlib>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include <sqlite3.h>

#include "host/history/history_store.h"
#include "support/threads/unique_handle.h"
#include "tests/local_servers.h"
#include "tests/plugin_fixture.h"

namespace {

int64_t numberIn(const std::string& path) {
  const std::string text = VardokTest::readFile(path);
  return text == "<missing>" || text.empty() ? 0 : std::atoll(text.c_str());
}

std::string integrity(const std::string& path) {
  sqlite3* db = nullptr;
  std::string answer = "cannot open";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* check = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK &&
        sqlite3_step(check) == SQLITE_ROW)
      answer = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
    sqlite3_finalize(check);
  }
  sqlite3_close_v2(db);
  return answer;
}

TEST(HistoryFaults, ThirtyKillsDuringWritesLoseAtMostTheLastTwoSeconds) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string folder = std::string(temp) + "vardok-history-kills-" + std::to_string(GetCurrentProcessId()) + "\\";
  CreateDirectoryA(folder.c_str(), nullptr);
  const std::string db = folder + "history.db", progress = folder + "progress.txt";
  // A copy of the victim under a name of its own, so that the kill reaches
  // it alone.
  const std::string name = "history-victim-" + std::to_string(GetCurrentProcessId());
  const std::string victim = VardokTest::programFolder() + name + ".exe";
  ASSERT_TRUE(CopyFileA((VardokTest::programFolder() + "history-victim.exe").c_str(), victim.c_str(), FALSE));
  std::mt19937 random(42);
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE("round " + std::to_string(round + 1));
    DeleteFileA(progress.c_str());
    std::string command = "\"" + victim + "\" \"" + db + "\" \"" + progress + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &started));
    const Quorlin::ProcessHandle process(started.hProcess);
    CloseHandle(started.hThread);
    // Killed at a moment of its writing: 1 to 3.5 s into it.
    const int64_t first = [&] {
      for (int i = 0; i < 600 && numberIn(progress) == 0; ++i) Sleep(50);
      return numberIn(progress);
    }();
    ASSERT_GT(first, 0) << "the victim never recorded";
    const int64_t until = first + 1000 + static_cast<int64_t>(random() % 2500);
    for (int i = 0; i < 1200 && numberIn(progress) < until; ++i) Sleep(10);
    ASSERT_EQ(VardokTest::runUnix("/usr/bin/pkill -KILL -f " + name, 20000, Sleep), 0);
    ASSERT_EQ(WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0);
    const int64_t recorded = numberIn(progress);

    ASSERT_EQ("ok", integrity(db));
    VardokHost::HistoryStore store(db);
    const std::vector<VardokHost::RawResult> last = store.lastResults("c0", 1);
    ASSERT_EQ(1u, last.size());
    EXPECT_GE(last[0].timeMs, recorded - 2000) << "more than the last 2 s were lost";
  }
  DeleteFileA(victim.c_str());
  for (const char* file : {"history.db", "history.db-wal", "history.db-shm", "progress.txt"})
    DeleteFileA((folder + file).c_str());
  RemoveDirectoryA(folder.c_str());
}

// The Windows path of a Linux folder named in an environment variable.
std::string folderFrom(const char* variable) {
  const char* unix = std::getenv(variable);
  if (!unix || !*unix) return std::string();
  std::string path = std::string("Z:") + unix + "\\";
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

// The console host's --once over one well check, its list in folder.
VardokTest::ProgramRun onceIn(const std::string& folder) {
  SetEnvironmentVariableA("DISPLAY", nullptr);
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  return VardokTest::runProgram("\"" + VardokTest::programFolder() + "vardok-host.exe\" --no-color --once --log \"" +
                                    temp + "vardok-history-faults.log\" --contacts \"" + folder + "contacts.txt\"",
                                true, 60000);
}

size_t count(const std::string& text, const std::string& word) {
  size_t found = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++found;
  return found;
}

TEST(HistoryFaults, AReadOnlyHistoryIsSaidOnceAndTheChecksGoOn) {
  const std::string folder = folderFrom("VARDOK_READ_ONLY_DIR");
  if (folder.empty()) GTEST_SKIP() << "no read-only folder (run through tests/servers/with-small-disks.sh as root)";
  // The folder holds a list and a history file, both read-only.
  const VardokTest::ProgramRun run = onceIn(folder);
  EXPECT_EQ(0, run.exitCode) << run.output;
  EXPECT_EQ(1u, count(run.output, "history is not kept")) << run.output;
  EXPECT_NE(run.output.find("well"), std::string::npos) << run.output;
}

TEST(HistoryFaults, AFullDiskIsSaidOnceAndTheChecksGoOn) {
  const std::string folder = folderFrom("VARDOK_FULL_DIR");
  if (folder.empty()) GTEST_SKIP() << "no small disk (run through tests/servers/with-small-disks.sh as root)";
  VardokTest::writeFile(folder + "contacts.txt", "Fine | 82 | 1 | yes | cmd /c echo fine\n");
  // Filled to the last byte.
  {
    const Quorlin::FileHandle filler(
        CreateFileA((folder + "filler").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(filler);
    const std::string block(4096, 'x');
    DWORD written = 0;
    for (int i = 0; i < 100000 && WriteFile(filler.get(), block.data(), 4096, &written, nullptr) && written == 4096; ++i) {
    }
    for (int i = 0; i < 4096 && WriteFile(filler.get(), "x", 1, &written, nullptr) && written == 1; ++i) {
    }
  }
  const VardokTest::ProgramRun run = onceIn(folder);
  EXPECT_EQ(0, run.exitCode) << run.output;
  EXPECT_EQ(1u, count(run.output, "history is not kept")) << run.output;
  EXPECT_NE(run.output.find("well"), std::string::npos) << run.output;
}

}  // namespace
