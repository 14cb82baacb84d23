// SetParam and HasParam over arbitrary item texts, keys and values.
// Input: text 0x01 key 0x01 value.
#include <cstddef>
#include <cstdint>
#include <string>

#include "plugin/params.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string data(reinterpret_cast<const char*>(bytes), size);
  const size_t first = data.find('\x01');
  const size_t second = first == std::string::npos ? std::string::npos : data.find('\x01', first + 1);
  const std::string text = data.substr(0, first);
  const std::string key = first == std::string::npos ? "" : data.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
  const std::string value = second == std::string::npos ? "" : data.substr(second + 1);

  const std::string set = Vardok::SetParam(text, key, value);
  if (!key.empty()) {
    // The pair is always there afterwards, and nothing of the old text is
    // lost when the key starts with the parameter mark.
    if (set.find(key + value) == std::string::npos) __builtin_trap();
    if (key[0] == '\x1A' && set.size() != text.size() + key.size() + value.size()) __builtin_trap();
    if (!Vardok::HasParam(set, key)) __builtin_trap();
  } else if (set.compare(0, value.size(), value) != 0) {
    __builtin_trap();
  }
  (void)Vardok::HasParam(text, key);
  return 0;
}
