// What a person reads of a status text or a check's output: the plain
// text a host shows in place of the markup a check may print (an HTML
// page, result tags) and of its control characters.
//
// Markup goes: HTML tags, comments, declarations and the content of script
// and style elements; the result tags' markup, with the texts a person
// reads kept (info, notify) and the icon number dropped. Block tags (br, p,
// div, h1, li, tr, ...) and result tags part lines, as line breaks in the
// text do. A '<' that opens no tag (a comparison, a tag never closed
// within 1 KiB) is text. The common entities (&amp; &lt; &nbsp; &#233;
// &#x20AC; ...) are decoded; control characters (C0 but the line breaks,
// DEL, C1) go, tabs become spaces, runs of spaces become one, and blank
// lines go. Bytes that are not UTF-8 become U+FFFD.
//
// Linear in the input and stops once its result is full. Platform-free;
// plain functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace VardokHost {

// How much a detail view shows of one output, and a list's line.
constexpr size_t kDetailTextBytes = 64 * 1024;
constexpr size_t kListLineChars = 200;

// The whole text, cleaned, as lines parted by '\n': at most maxBytes bytes
// of UTF-8 ("..." at the end, within them, when cut; never inside a
// character).
std::string displayText(std::string_view utf8, size_t maxBytes = kDetailTextBytes);

// The first line of displayText that has anything in it, at most maxChars
// characters ("..." after them when cut); empty when there is none.
std::string displayLine(std::string_view utf8, size_t maxChars = kListLineChars);

// A check's interval as a person reads it: "45 s" under an hour, "2 h",
// "1 h 30 min" under two days, "3 days" or "about 2.5 days" beyond; a
// negative interval, which the plug-in runs as -1 (not again for 2^32 ms),
// is "about 49.7 days".
std::string intervalWords(int64_t seconds);

// A run's length as the history's sums show it: "4.2 ms", "250 ms", "1.5 s".
std::string runTimeWords(double ms);

// A share as an uptime reads: "99.93%", "100%", "0%"; "-" when unknown
// (NaN). Never rounds up to 100% nor down to 0% a share that is neither.
std::string uptimeText(double ratio);

}  // namespace VardokHost
