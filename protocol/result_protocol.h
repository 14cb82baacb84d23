// The result protocol: what a check's command tells the plug-in through
// its exit code and its output, and the names of the contact columns that
// hold a check. Defined once here for the plug-in, vardok-check and the
// hosts alike, so that the writers and the reader of a result cannot
// drift apart. Platform-free; any thread.
//
// A result tag is "<velkaro:KEY>VALUE</velkaro:KEY>" anywhere in the
// output, with KEY one of "info" (the status text), "notify" (the pop-up's
// text) and "icon" (the icon number), in lower case. The first opening tag
// of a key counts; its value (at least one byte, may span lines) ends at
// the first closing tag of the same key after it. Tags stay in the output.
// The output is read as it stands: zero bytes were dropped before (see
// decodeOutput in checks/output_text.h), so a zero byte here is a byte
// like any other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Vardok {

// --- exit classes ---
// 0 all is well; 1 to 9 a problem; 10 and above, and every negative code,
// critical. A check that wants one of them exits with these.
constexpr int32_t kExitWell = 0;
constexpr int32_t kExitProblem = 1;
constexpr int32_t kExitCritical = 10;
enum class ExitClass { Well, Problem, Critical };
constexpr ExitClass exitClassOf(int32_t exitCode) {
  // Unsigned first: a negative code is a huge number, so it is critical.
  return static_cast<uint32_t>(exitCode) >= static_cast<uint32_t>(kExitCritical) ? ExitClass::Critical
         : exitCode > kExitWell                                                 ? ExitClass::Problem
                                                                                : ExitClass::Well;
}

// --- the output ---
// The most of a run's output that is kept and reported (16 MiB, line
// endings included); the rest is read and dropped.
constexpr size_t kMaxOutput = 16u << 20;

// --- result tags ---
constexpr std::string_view kInfoTag = "info";
constexpr std::string_view kNotifyTag = "notify";
constexpr std::string_view kIconTag = "icon";

// "<velkaro:KEY>" and "</velkaro:KEY>".
std::string openingTag(std::string_view key);
std::string closingTag(std::string_view key);
// A tag that a reader takes whole: text, with '<' and '>' made '(' and ')'
// (either would end or open a tag), or fallback when text is empty.
std::string formatTag(std::string_view key, std::string_view text, std::string_view fallback);

struct ResultTags {
  std::string info;
  std::string notify;
  std::string icon;
};
// The values of the three tags, found in one pass: info and notify fall
// back to the given texts, icon to an empty text.
ResultTags readTags(const std::string& output, const std::string& infoFallback, const std::string& notifyFallback);

// --- the contact columns of a check ---
// One row per column, in the order the plug-in registers them: everything
// that names, registers, shows, stores or sets a column reads it here
// (registration, the column ids, the settings page, the hosts and their
// contact files, the tests).
enum class ColumnKind { Text, Integer };
enum class ColumnControl { TextEdit, NumberEdit, CheckBox };
struct CheckColumn {
  const char* name;   // the host's column name
  const char* key;    // its short name: the console host's "set N KEY VALUE"
  ColumnKind kind;
  int defaultValue;   // of an integer column
  ColumnControl control;  // on the settings page
};
enum CheckColumnIndex { kCommandColumn, kIntervalColumn, kEnabledColumn, kCheckColumnCount };
constexpr CheckColumn kCheckColumns[kCheckColumnCount] = {
    {"Vardok/command", "command", ColumnKind::Text, 0, ColumnControl::TextEdit},
    {"Vardok/interval", "interval", ColumnKind::Integer, 120, ColumnControl::NumberEdit},
    {"Vardok/enabled", "enabled", ColumnKind::Integer, 0, ColumnControl::CheckBox},
};

}  // namespace Vardok
