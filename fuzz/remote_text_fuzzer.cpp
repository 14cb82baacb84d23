// remoteText over arbitrary bytes and bounds: nothing it returns opens or
// closes a result tag, holds a control character or a '|', or passes its bound
// (and the "..." that marks a cut).
// Input: one byte of bound, then the text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/check/remote_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0) return 0;
  const size_t most = bytes[0];
  const std::string text(reinterpret_cast<const char*>(bytes + 1), size - 1);
  const std::string out = VardokCheck::remoteText(text, most);
  if (out.size() > most + 3) __builtin_trap();
  if (out.find("<velkaro:") != std::string::npos || out.find("</velkaro:") != std::string::npos) __builtin_trap();
  for (const char c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '|') __builtin_trap();
  // Text with nothing to escape and within the bound comes back as it was.
  bool plain = text.size() <= most && text.find("velkaro:") == std::string::npos;
  for (const char c : text) plain = plain && static_cast<unsigned char>(c) >= 0x20 && c != 0x7f && c != '|';
  if (plain && out != text) __builtin_trap();
  return 0;
}
