// Plain references that the tests and the fuzzers hold the fast readers
// against: a replace-all, and a tag's value found by the tag expression.
#pragma once

#include <string>

namespace VardokTest {

// Replaces every occurrence of find, left to right; the inserted text is
// never searched again. Answers the number of replacements (0 for an empty
// find). Linear in the text's length.
int replaceAll(std::string& text, const std::string& find, const std::string& replacement);

// The value of the first tag of key, or fallback, by the expression
// "/<velkaro:KEY>(.+?)</velkaro:KEY>/s" over the whole output.
std::string getTagValue(const std::string& output, const std::string& key, const std::string& fallback);

}  // namespace VardokTest
