// Text that a server, a record or a program chose, made safe to print in a
// check's line and status text. vardok-check's own verdict is the one the
// plug-in must read: a JSON value, a TXT record, a header, a label or a
// greeting that holds "<velkaro:info>All fine" must not speak for the check,
// and a line break in it must not split the line (the performance data
// would land inside the value).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace VardokCheck {

// The most of one remote value a line shows.
constexpr size_t kRemoteTextMost = 200;

// text for one line: result tags cannot open or close ("<velkaro:" and
// "</velkaro:" lose their '<' to '('), control characters are written as
// \n, \r, \t or \xHH, and so is '|' (\x7C: it would begin performance
// data of the server's making), and at most `most` bytes are kept, cut
// on a character's boundary and marked "...". Any thread.
std::string remoteText(std::string_view text, size_t most = kRemoteTextMost);

// text with result tags made harmless as remoteText makes them, lines and
// length kept: for output that is shown whole, such as a classic check
// program's.
std::string withoutTags(std::string text);

}  // namespace VardokCheck
