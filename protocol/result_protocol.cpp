#include "protocol/result_protocol.h"

#include <cstring>

#include "support/text/byte_search.h"

namespace Vardok {

namespace {

constexpr std::string_view kOpen = "<velkaro:";
constexpr std::string_view kClose = "</velkaro:";

}  // namespace

std::string openingTag(std::string_view key) { return std::string(kOpen).append(key).append(">"); }

std::string closingTag(std::string_view key) { return std::string(kClose).append(key).append(">"); }

std::string formatTag(std::string_view key, std::string_view text, std::string_view fallback) {
  std::string value(text.empty() ? fallback : text);
  for (char& c : value) {
    if (c == '<') c = '(';
    if (c == '>') c = ')';
  }
  return openingTag(key) + value + closingTag(key);
}

ResultTags readTags(const std::string& output, const std::string& infoFallback, const std::string& notifyFallback) {
  ResultTags tags{infoFallback, notifyFallback, std::string()};
  const char* const begin = output.data();
  const char* const end = begin + output.size();

  // One pass finds the first opening tag of each key; then each value ends
  // at the first closing tag of its key at least one byte later.
  struct Key {
    std::string_view name;
    std::string* value;
    bool seen;
  } keys[] = {{kInfoTag, &tags.info, false}, {kNotifyTag, &tags.notify, false}, {kIconTag, &tags.icon, false}};
  int left = 3;
  for (const char* at = Quorlin::findText(begin, end, kOpen); at != end && left > 0;
       at = Quorlin::findText(at + 1, end, kOpen)) {
    const char* const name = at + kOpen.size();
    for (Key& key : keys) {
      if (key.seen || static_cast<size_t>(end - name) <= key.name.size() ||
          std::memcmp(name, key.name.data(), key.name.size()) != 0 || name[key.name.size()] != '>')
        continue;
      key.seen = true;
      --left;
      const char* const from = name + key.name.size() + 1;
      if (from >= end) continue;
      const char* const close = Quorlin::findText(from + 1, end, closingTag(key.name));
      if (close != end) key.value->assign(from, close - from);
    }
  }
  return tags;
}

}  // namespace Vardok
