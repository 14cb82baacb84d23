#include "tests/tag_oracles.h"

#include <string_view>

#include "support/regex/regex.h"

namespace VardokTest {

int replaceAll(std::string& text, const std::string& find, const std::string& replacement) {
  if (find.empty()) return 0;
  size_t at = text.find(find);
  if (at == std::string::npos) return 0;

  // Built into a new text: replacing in place would move the tail once per
  // occurrence. Searching on after the found text is the same as searching
  // in place after the inserted replacement.
  std::string result;
  result.reserve(text.size());
  size_t from = 0;
  int count = 0;
  while (at != std::string::npos) {
    result.append(text, from, at - from);
    result += replacement;
    from = at + find.size();
    ++count;
    at = text.find(find, from);
  }
  result.append(text, from, std::string::npos);
  text.swap(result);
  return count;
}

std::string getTagValue(const std::string& output, const std::string& key, const std::string& fallback) {
  // The first match can only start at the first opening tag and end at the
  // first closing tag after one byte of value: find both cheaply and let the
  // expression read just that span. Keys are plain words.
  const std::string_view text(output);
  const std::string opening = "<velkaro:" + key + ">";
  const std::string closing = "</velkaro:" + key + ">";
  const size_t at = text.find(opening);
  if (at == std::string_view::npos) return fallback;
  const size_t close = text.find(closing, at + opening.size() + 1);
  if (close == std::string_view::npos) return fallback;

  const std::string pattern = "/" + opening + "(.+?)" + closing + "/s";
  Quorlin::RegEx regex;
  if (regex.match(pattern, std::string(text.substr(at, close + closing.size() - at))) > 0) return regex.getSub(1);
  return fallback;
}

}  // namespace VardokTest
