// The console host's contact list: a plain text file a person can write.
//
//   # comment
//   name | network | interval | enabled | command
//
// One contact per line; blank lines and lines starting with '#' are kept as
// they are. A line "#id ID NAME" right above a contact of that name gives
// it a history id of its own; without one a contact's history goes by its name, so a list
// keeps its bytes until a contact is renamed (which writes the id line
// that keeps its history with it). Older hosts read the id lines as
// comments. The command is the rest of the line, so it may contain '|'.
// enabled is 0/1, yes/no or on/off. Saving keeps comments, blank lines and
// unchanged contact lines byte for byte, rewrites changed ones, drops
// removed ones and appends new ones; it writes beside the file and renames,
// so a failure never leaves the user's file half written.
#pragma once

#include <string>
#include <vector>

#include "protocol/result_protocol.h"

namespace VardokHost {

struct ContactEntry {
  std::string name;
  int network = 82;
  int interval = 120;
  int enabled = 0;
  std::string command;
  int line = -1;       // index into ContactsFile::lines; -1 for a new contact
  bool changed = false;
  std::string id;      // from its "#id" line; empty: its history goes by its name
  int idLine = -1;     // the index of that line, -1 when it has none in the file
};

// The key a contact's history is kept under: its id, or "name:" and its
// name.
std::string historyKey(const ContactEntry& entry);
// A new id for a contact: 12 random hex digits.
std::string newContactId();
// Gives each contact whose history key another one before it has (two of
// one name) an id of its own; true when it gave any.
bool separateHistoryKeys(std::vector<ContactEntry>& contacts);

// The entry's value of a check column (kCheckColumns): its text column, or
// one of its integer columns.
std::string& entryText(ContactEntry& entry, Vardok::CheckColumnIndex column);
int& entryNumber(ContactEntry& entry, Vardok::CheckColumnIndex column);

struct ContactsFile {
  std::vector<std::string> lines;  // as read, without line endings
  std::vector<ContactEntry> contacts;
  // Kept as the file had them, for saving: a UTF-8 byte order mark at the
  // start, and CR LF line endings (when the first line break is one).
  bool byteOrderMark = false;
  bool crlf = false;
};

// Parses text. On a bad line answers false and says "NAME:LINE: why" in
// *error; out is then unspecified.
bool parseContacts(const std::string& text, const std::string& name, ContactsFile* out, std::string* error);

// The file's text for the current contacts (see above).
std::string renderContacts(const ContactsFile& file, const std::vector<ContactEntry>& current);

std::string formatContact(const ContactEntry& entry);

// Why name cannot be a contact's name in the file, or empty when it can:
// it would read back otherwise or not at all (empty; a leading '#' makes
// the line a comment; a '|' parts the fields; a line break ends the line;
// a space or tab at either end is trimmed; a character Windows-1250 cannot
// hold). Both hosts refuse such a name with this reason.
std::string nameProblem(const std::string& name);
// Likewise for a command (the rest of the line: any '|' is kept): a line
// break, a space or tab at either end (callers trim them first: they mean
// nothing to a command), or a character Windows-1250 cannot hold.
std::string commandProblem(const std::string& command);

// The readers of single fields, as the file uses them: a decimal 32-bit
// integer (network, interval), and the enabled switch (0/1, yes/no, on/off
// or a number). False for anything else.
bool parseInt(const std::string& text, int* value);
bool parseSwitch(const std::string& text, int* value);

bool readTextFile(const std::string& path, std::string* text, std::string* error);

// Reads a host's contact list: the file at path, or, with path empty, the
// user's default file, or the built-in demo list where that file does not
// exist at all (*usedDemo; *usedPath is then where it is to be saved). A
// file that exists but cannot be read is an error, so that nothing is ever
// saved over it; so is a name or command that Windows-1250 cannot hold (the
// host stores it so), with its line and what to do.
bool loadContactList(const std::string& path, std::string* usedPath, ContactsFile* file, bool* usedDemo,
                     std::string* error);

// The built-in demo list (examples/contacts.txt), used only where the user
// has no list of their own.
extern const char kDefaultContacts[];
// %APPDATA%\Vardok\contacts.txt (the folder made when missing), or
// contacts.txt beside the program without APPDATA.
std::string defaultContactsPath();

// Whether the file at path does not exist at all. Only "no such file" and
// "no such folder" mean missing: a file that is there but cannot be looked
// at (a link to nowhere, no access) is no missing file, and error then
// names it and the reason.
enum class FilePresence { Missing, Present, Unknown };
FilePresence filePresence(const std::string& path, std::string* error);
// The file that path names in the end: a link's target (so that saving
// writes through the link rather than replace it with a file of its own),
// or path itself when it names no file yet or names it already.
std::string finalPath(const std::string& path);

// Writes path + ".new", then replaces path with it. A read-only file is not
// replaced: the text stays in path + ".new" and *error says so.
bool replaceTextFile(const std::string& path, const std::string& text, std::string* error);

}  // namespace VardokHost
