// The output reader: line-ending normalisation, tag look-ups and
// parseNumber, each checked against a plain reference:
// - normalisation against the two replaceAll passes it stands for;
// - getTagValue against the tag expression run over the whole output;
// - readTags (one pass) against getTagValue.
#include <cstddef>
#include <cstdint>
#include <string>

#include "checks/line_endings.h"
#include "checks/result_tags.h"
#include "tests/tag_oracles.h"
#include "support/regex/regex.h"

namespace {

std::string referenceTag(const std::string& output, const std::string& key, const std::string& fallback) {
  Quorlin::RegEx regex;
  if (regex.match("/<velkaro:" + key + ">(.+?)</velkaro:" + key + ">/s", output) > 0) return regex.getSub(1);
  return fallback;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string input(reinterpret_cast<const char*>(bytes), size);

  std::string normalized = input;
  Vardok::normalizeLineEndings(normalized);
  std::string reference = input;
  VardokTest::replaceAll(reference, "\r\n", "\n");
  VardokTest::replaceAll(reference, "\n", "\r\n");
  if (normalized != reference) __builtin_trap();
  // Each way of mending, the fast ones and the one in place, gives the same.
  for (Vardok::LineEndingMend how : {Vardok::LineEndingMend::InPlace, Vardok::LineEndingMend::Forward,
                                     Vardok::LineEndingMend::ForwardShuffle}) {
    std::string mended = input;
    Vardok::normalizeLineEndings(mended, how);
    if (mended != reference) __builtin_trap();
  }

  for (const char* key : {"info", "notify", "icon"})
    if (VardokTest::getTagValue(normalized, key, "-") != referenceTag(normalized, key, "-")) __builtin_trap();
  // The one-pass reader against the three look-ups, on the raw input too.
  for (const std::string* text : {&input, static_cast<const std::string*>(&normalized)}) {
    const Vardok::ResultTags tags = Vardok::readTags(*text, "ok", "fine");
    if (tags.info != VardokTest::getTagValue(*text, "info", "ok") || tags.notify != VardokTest::getTagValue(*text, "notify", "fine") ||
        tags.icon != VardokTest::getTagValue(*text, "icon", ""))
      __builtin_trap();
  }

  for (int base : {255, 10, 16, 0, 8, 36})
    (void)Vardok::parseNumber(input, base);
  (void)Vardok::statusOf(Vardok::parseNumber(input, 255));
  return 0;
}
