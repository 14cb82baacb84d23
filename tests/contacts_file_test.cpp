// The console host's contact file: reading, the field parsers, rendering
// that keeps what the user wrote, and saving beside then renaming.
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "host/lib/contacts_file.h"
#include "host/serve/demo_list.h"

using namespace VardokHost;

namespace {

TEST(ContactsFile, ReadsContactsAndKeepsEverythingElse) {
  ContactsFile file;
  std::string error;
  ASSERT_TRUE(parseContacts("# my checks\r\n\ndisk | 82 | 60 | yes | cmd /c echo a|b\n  chat | 3 | 0 | off |  \n",
                            "c.txt", &file, &error))
      << error;
  ASSERT_EQ(file.lines.size(), 4u);
  EXPECT_EQ(file.lines[0], "# my checks");
  ASSERT_EQ(file.contacts.size(), 2u);
  EXPECT_EQ(file.contacts[0].name, "disk");
  EXPECT_EQ(file.contacts[0].interval, 60);
  EXPECT_EQ(file.contacts[0].enabled, 1);
  EXPECT_EQ(file.contacts[0].command, "cmd /c echo a|b");  // the rest of the line, bars and all
  EXPECT_EQ(file.contacts[0].line, 2);
  EXPECT_EQ(file.contacts[1].network, 3);
  EXPECT_EQ(file.contacts[1].command, "");
}

TEST(ContactsFile, ANameIsTakenOnlyWhenItReadsBackTheSame) {
  const std::string names[] = {
      "#hidden", " #hidden", "a|b", "line\nbreak", "line\rbreak", " lead", "trail ", "\ttab", "", "   ",
      "\xE6\x97\xA5",                                       // no Windows-1250 form
      "a#b", "x y", "Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87", "100%", "\"quoted\"", "semi;colon", "~/path\\name",
  };
  for (const std::string& name : names) {
    const std::string problem = nameProblem(name);
    if (!problem.empty()) continue;  // refused with its reason: never written
    ContactEntry entry;
    entry.name = name;
    entry.command = "cmd /c echo a | b";
    ContactsFile file, reread;
    std::string error;
    ASSERT_TRUE(parseContacts(renderContacts(file, {entry}), "list.txt", &reread, &error)) << name << ": " << error;
    ASSERT_EQ(reread.contacts.size(), 1u) << name;
    EXPECT_EQ(reread.contacts[0].name, name);
    EXPECT_EQ(reread.contacts[0].command, entry.command) << name;
  }
  // What is refused, and why.
  EXPECT_EQ(nameProblem("#hidden"), "a name may not begin with '#': the file would read the line as a comment");
  EXPECT_EQ(nameProblem("a|b"), "a name may not hold '|': it parts the fields of the file");
  EXPECT_EQ(nameProblem("line\nbreak"), "a name may not hold a line break");
  EXPECT_EQ(nameProblem(" lead"), "a name may not begin or end with a space");
  EXPECT_EQ(nameProblem("   "), "a name is needed");
  EXPECT_NE(nameProblem("\xE6\x97\xA5"), "");
  EXPECT_EQ(nameProblem("a#b"), "");
  EXPECT_EQ(commandProblem("cmd /c echo a\r\nb"), "a command may not hold a line break");
  EXPECT_EQ(commandProblem("cmd /c echo a | b"), "");
}

TEST(ContactsFile, ErrorsNameTheFileAndTheLine) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"a | 82 | 1 | yes | x\nb | 82 | 1\n", "list.txt:2: expected 'name | network | interval | enabled | command'"},
      {"\n | 82 | 1 | yes | x\n", "list.txt:2: the name is empty"},
      {"a | x82 | 1 | yes | x\n", "list.txt:1: the network 'x82' is not a number"},
      {"a | 82 | 99999999999 | yes | x\n", "list.txt:1: the interval '99999999999' is not a number"},
      {"a | 82 | 1 | maybe | x\n", "list.txt:1: enabled must be 0, 1, yes, no, on or off, not 'maybe'"},
  };
  for (const Case& c : cases) {
    ContactsFile file;
    std::string error;
    EXPECT_FALSE(parseContacts(c.text, "list.txt", &file, &error)) << c.text;
    EXPECT_EQ(error, c.error);
  }
}

TEST(ContactsFile, FieldParsersAreTheFilesOwn) {
  int value = -7;
  EXPECT_TRUE(parseInt("-15", &value));
  EXPECT_EQ(value, -15);
  EXPECT_FALSE(parseInt("15s", &value));
  // Leading zeros are taken, as vardok-check takes them; signs and spaces
  // around the digits are not.
  EXPECT_TRUE(parseInt("007", &value));
  EXPECT_EQ(value, 7);
  for (const char* refused : {"+7", " 7", "7 ", "-", "--7"}) EXPECT_FALSE(parseInt(refused, &value)) << refused;
  EXPECT_FALSE(parseInt("", &value));
  EXPECT_FALSE(parseInt("2147483648", &value));
  EXPECT_TRUE(parseSwitch("on", &value));
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(parseSwitch("no", &value));
  EXPECT_EQ(value, 0);
  EXPECT_TRUE(parseSwitch("3", &value));
  EXPECT_EQ(value, 3);
  EXPECT_FALSE(parseSwitch("true", &value));
}

TEST(ContactsFile, RenderingRewritesOnlyWhatChanged) {
  ContactsFile file;
  std::string error;
  ASSERT_TRUE(parseContacts("# keep\na |82|1|1|x\nb | 82 | 2 | no | y\nc | 82 | 3 | no | z\n", "f", &file, &error));
  std::vector<ContactEntry> current = file.contacts;
  current[1].interval = 20;
  current[1].changed = true;
  current.erase(current.begin() + 2);  // c removed
  ContactEntry added;
  added.name = "d";
  added.command = "cmd /c exit 1";
  current.push_back(added);
  EXPECT_EQ(renderContacts(file, current),
            "# keep\na |82|1|1|x\nb | 82 | 20 | no | y\nd | 82 | 120 | no | cmd /c exit 1\n");
}

TEST(ContactsFile, HistoryIdsGoWithTheirContactsAndOnlyWhereTheNameAgrees) {
  ContactsFile file;
  std::string error;
  const std::string text =
      "#id 1a2b3c4d5e6f Web\n"
      "Web | 82 | 5 | yes | cmd /c exit 0\n"
      "#id 0f0f0f0f0f0f Gone\n"         // left by an older host above another contact
      "Mail | 82 | 5 | yes | cmd /c exit 0\n"
      "#id  77 Disk  \n"                 // spaces a person typed
      "Disk | 82 | 5 | yes | cmd /c exit 0\n"
      "Disk | 82 | 9 | yes | cmd /c exit 1\n";
  ASSERT_TRUE(parseContacts(text, "f", &file, &error)) << error;
  ASSERT_EQ(4u, file.contacts.size());
  EXPECT_EQ("1a2b3c4d5e6f", file.contacts[0].id);
  EXPECT_EQ("1a2b3c4d5e6f", historyKey(file.contacts[0]));
  EXPECT_EQ("", file.contacts[1].id) << "an id line naming another contact is a comment";
  EXPECT_EQ("name:Mail", historyKey(file.contacts[1]));
  EXPECT_EQ("77", file.contacts[2].id);
  EXPECT_EQ("name:Disk", historyKey(file.contacts[3]));

  // Unchanged, the file keeps its bytes.
  EXPECT_EQ(text, renderContacts(file, file.contacts));

  // Two of one name: the second gets an id of its own, written above it.
  std::vector<ContactEntry> current = file.contacts;
  current[2].id.clear();
  current[2].idLine = -1;
  EXPECT_TRUE(separateHistoryKeys(current));
  EXPECT_TRUE(current[2].id.empty());
  ASSERT_EQ(12u, current[3].id.size());
  EXPECT_NE(current[3].id, newContactId());
  EXPECT_FALSE(separateHistoryKeys(current));

  // Renamed, removed, added: the id line follows its contact, goes with it,
  // and a new contact with an id gets one.
  current = file.contacts;
  current[0].name = "Web server";
  current[0].changed = true;
  current.erase(current.begin() + 2);  // Disk (the one with "#id  77")
  ContactEntry added;
  added.name = "New";
  added.id = "abcdefabcdef";
  added.command = "cmd /c exit 0";
  current.push_back(added);
  EXPECT_EQ(renderContacts(file, current),
            "#id 1a2b3c4d5e6f Web server\n"
            "Web server | 82 | 5 | yes | cmd /c exit 0\n"
            "#id 0f0f0f0f0f0f Gone\n"
            "Mail | 82 | 5 | yes | cmd /c exit 0\n"
            "Disk | 82 | 9 | yes | cmd /c exit 1\n"
            "#id abcdefabcdef New\n"
            "New | 82 | 120 | no | cmd /c exit 0\n");
  // And it reads back the same.
  ContactsFile again;
  ASSERT_TRUE(parseContacts(renderContacts(file, current), "f", &again, &error));
  EXPECT_EQ("1a2b3c4d5e6f", again.contacts[0].id);
  EXPECT_EQ("abcdefabcdef", again.contacts[3].id);
}

TEST(ContactsFile, SavingWritesBesideThenRenames) {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  const std::string path = std::string(folder) + "vardok-contacts-file-test.txt";
  DeleteFileA(path.c_str());
  std::string error, text;
  ASSERT_TRUE(replaceTextFile(path, "first\n", &error)) << error;
  ASSERT_TRUE(replaceTextFile(path, "second\n", &error)) << error;
  ASSERT_TRUE(readTextFile(path, &text, &error));
  EXPECT_EQ(text, "second\n");
  EXPECT_EQ(GetFileAttributesA((path + ".new").c_str()), INVALID_FILE_ATTRIBUTES);
  // A folder that does not exist: nothing written, and the error says where.
  EXPECT_FALSE(replaceTextFile(std::string(folder) + "no-such-folder\\c.txt", "x", &error));
  EXPECT_NE(error.find("no-such-folder"), std::string::npos);
  EXPECT_FALSE(readTextFile(std::string(folder) + "no-such-file.txt", &text, &error));
  EXPECT_NE(error.find("(error 2)"), std::string::npos) << error;
  DeleteFileA(path.c_str());
}

TEST(ContactsFile, ByteOrderMarkAndLineEndingsAreKept) {
  ContactsFile file;
  std::string error;
  // A mark before a comment, and before a contact: neither is part of a line.
  ASSERT_TRUE(parseContacts("\xEF\xBB\xBF# mine\r\nA | 82 | 1 | no | x\r\n", "f", &file, &error)) << error;
  EXPECT_EQ(file.lines[0], "# mine");
  ASSERT_TRUE(parseContacts("\xEF\xBB\xBF" "A | 82 | 1 | no | x\r\n", "f", &file, &error)) << error;
  EXPECT_EQ(file.contacts[0].name, "A");
  std::vector<ContactEntry> current = file.contacts;
  current[0].interval = 5;
  current[0].changed = true;
  EXPECT_EQ(renderContacts(file, current), "\xEF\xBB\xBF" "A | 82 | 5 | no | x\r\n");
  ASSERT_TRUE(parseContacts("A | 82 | 1 | no | x\n", "f", &file, &error));
  EXPECT_EQ(renderContacts(file, file.contacts), "A | 82 | 1 | no | x\n");
}

TEST(ContactsFile, AReadOnlyFileIsNotReplacedAndTheChangesAreKeptBeside) {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  const std::string path = std::string(folder) + "vardok-contacts-readonly.txt";
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(path.c_str());
  std::string error, text;
  ASSERT_TRUE(replaceTextFile(path, "mine\n", &error)) << error;
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(replaceTextFile(path, "changed\n", &error));
  EXPECT_NE(error.find("read-only"), std::string::npos) << error;
  ASSERT_TRUE(readTextFile(path, &text, &error));
  EXPECT_EQ(text, "mine\n");
  EXPECT_NE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  ASSERT_TRUE(readTextFile(path + ".new", &text, &error));
  EXPECT_EQ(text, "changed\n");
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(path.c_str());
  DeleteFileA((path + ".new").c_str());
}

// The demo list as a run fits it: only what this run cannot serve or has
// not got is turned off, each with its reason; the rest stays as written.
TEST(DemoList, ChecksOfWhatThisRunLacksAreTurnedOffWithTheReason) {
  ContactsFile demo;
  std::string error;
  ASSERT_TRUE(parseContacts(kDefaultContacts, "demo", &demo, &error)) << error;
  const auto offAfter = [&](const DemoReach& reach, std::vector<std::string>* said) {
    std::vector<ContactEntry> contacts = demo.contacts;
    *said = fitDemoList(reach, &contacts);
    std::vector<std::string> off;
    for (size_t i = 0; i < contacts.size(); ++i) {
      EXPECT_EQ(contacts[i].changed, contacts[i].enabled != demo.contacts[i].enabled) << contacts[i].name;
      if (demo.contacts[i].enabled && !contacts[i].enabled) off.push_back(contacts[i].name);
    }
    return off;
  };
  char appData[MAX_PATH] = "";
  GetEnvironmentVariableA("APPDATA", appData, MAX_PATH);
  // The list's check names its file as %APPDATA%\..., in any case.
  const std::string listPath = std::string(appData) + "\\VARDOK\\Contacts.txt";
  std::vector<std::string> said;
  EXPECT_TRUE(offAfter({true, true, true, listPath}, &said).empty());
  EXPECT_TRUE(said.empty());
  EXPECT_EQ(offAfter({true, false, true, listPath}, &said),
            (std::vector<std::string>{"Secure page", "Demo certificate"}));
  ASSERT_EQ(said.size(), 2u);
  EXPECT_NE(said[0].find("\"Secure page\" is off: the demo page is not served over HTTPS"), std::string::npos) << said[0];
  EXPECT_EQ(offAfter({false, true, true, listPath}, &said),
            (std::vector<std::string>{"Demo port", "Status page", "Demo users"}));
  // A port another program holds: that program is not the demo's to judge.
  EXPECT_EQ(offAfter({false, false, true, listPath, "cannot listen on 127.0.0.82 port 80 (in use)",
                      "cannot listen on 127.0.0.1 port 48282 (in use)"},
                     &said),
            (std::vector<std::string>{"Demo port", "Status page", "Secure page", "Demo certificate", "Demo users"}));
  EXPECT_NE(said[0].find("not served (cannot listen on 127.0.0.82 port 80 (in use))"), std::string::npos) << said[0];
  EXPECT_NE(said[2].find("over HTTPS (cannot listen on 127.0.0.1 port 48282 (in use))"), std::string::npos) << said[2];
  EXPECT_EQ(offAfter({true, true, false, listPath}, &said), (std::vector<std::string>{"List age"}));
  EXPECT_NE(said[0].find("no file"), std::string::npos) << said[0];
}

}  // namespace
