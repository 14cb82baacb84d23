// A server's JSON document as vardok-check reads it: whatever the bytes,
// reading ends without a crash, a document deeper than the bound is
// refused, and what is shown of a value stays within its bound.
// Input: a path, 0x01, the document.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/check/json_document.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string data(reinterpret_cast<const char*>(bytes), size);
  const size_t split = data.find('\x01');
  const std::string path = split == std::string::npos ? "a" : data.substr(0, split);
  const std::string body = split == std::string::npos ? data : data.substr(split + 1);

  const VardokCheck::JsonRead read = VardokCheck::readJson(body);
  if (!read.failure.empty()) return 0;
  const std::string shown = VardokCheck::jsonText(read.document, 300);
  if (shown.size() > 303) __builtin_trap();
  std::vector<VardokCheck::JsonStep> steps;
  if (VardokCheck::readJsonPath(path, &steps)) {
    if (const nlohmann::json* value = VardokCheck::jsonAt(read.document, steps)) {
      (void)VardokCheck::jsonText(*value, 300);
      (void)VardokCheck::jsonString(*value, "state");
      (void)VardokCheck::jsonKind(*value);
    }
  }
  return 0;
}
