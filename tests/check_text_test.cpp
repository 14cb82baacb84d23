// How vardok-check reads a server's words: remote text made safe for a
// line, and JSON documents bounded in depth and shown without recursion.
// Platform-free: runs natively under the sanitizers and under Wine.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/check/json_document.h"
#include "tools/check/remote_text.h"

using VardokCheck::jsonText;
using VardokCheck::readJson;
using VardokCheck::remoteText;

namespace {

TEST(RemoteText, TagsCannotSpeakAndLinesCannotBreak) {
  // A tag without its '<' is text to the plug-in's reader.
  EXPECT_EQ(remoteText("ok<velkaro:info>All fine</velkaro:info>"), "ok(velkaro:info>All fine(/velkaro:info>");
  EXPECT_EQ(remoteText("a\nb\r\tc\x01\x7f"), "a\\nb\\r\\tc\\x01\\x7F");
  // Nor can a server add performance data of its own.
  EXPECT_EQ(remoteText("ok | value=99;1;2"), "ok \\x7C value=99;1;2");
  // Other markup is the server's own business.
  EXPECT_EQ(remoteText("<b>up</b> & <velkaro"), "<b>up</b> & <velkaro");
  // The same neutralising for output shown whole, lines kept.
  EXPECT_EQ(VardokCheck::withoutTags("a\n<velkaro:notify>x</velkaro:notify>"), "a\n(velkaro:notify>x(/velkaro:notify>");
}

TEST(RemoteText, CutsWithinItsBoundOnACharactersEdge) {
  EXPECT_EQ(remoteText(std::string(300, 'x')).size(), VardokCheck::kRemoteTextMost + 3);
  EXPECT_EQ(remoteText("abcdef", 3), "abc...");
  EXPECT_EQ(remoteText("abc", 3), "abc");
  // "ż" is two bytes: a cut after its first byte drops it whole.
  EXPECT_EQ(remoteText("a\xC5\xBC" "b", 2), "a...");
  EXPECT_EQ(remoteText("a\xC5\xBC" "b", 3), "a\xC5\xBC...");
  // An escape is never cut in half.
  EXPECT_EQ(remoteText("ab\n", 3), "ab...");
}

TEST(JsonDocument, DepthIsBoundedBeforeParsing) {
  std::string deep = std::string(VardokCheck::kMaxJsonDepth, '[') + std::string(VardokCheck::kMaxJsonDepth, ']');
  EXPECT_EQ(readJson(deep).failure, "");
  deep = "[" + deep + "]";
  EXPECT_EQ(readJson(deep).failure, "nested too deeply (more than 512 levels)");
  // Brackets inside strings are text, escaped quotes included.
  EXPECT_EQ(readJson("{\"a\":\"" + std::string(1000, '[') + "\\\"" + std::string(1000, '{') + "\"}").failure, "");
  // A million levels, refused at once, whatever follows.
  EXPECT_EQ(readJson(std::string(1000000, '{')).failure, "nested too deeply (more than 512 levels)");
}

TEST(JsonDocument, ReadsWhatItCanAndNamesWhatItCannot) {
  EXPECT_EQ(readJson("{\"a\":1e400}").failure, "the number 1e400 is too large to read");
  EXPECT_EQ(readJson("<html>").failure, "not JSON");
  EXPECT_EQ(readJson("").failure, "not JSON");
  const VardokCheck::JsonRead read = readJson("{\"a\":{\"b\":[1,{\"c\":\"x\"}]},\"s\":5}");
  ASSERT_EQ(read.failure, "");
  std::vector<VardokCheck::JsonStep> steps;
  ASSERT_TRUE(VardokCheck::readJsonPath("a.b[1].c", &steps));
  const nlohmann::json* value = VardokCheck::jsonAt(read.document, steps);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(jsonText(*value), "x");
  steps.clear();
  ASSERT_TRUE(VardokCheck::readJsonPath("a.b[2]", &steps));
  EXPECT_EQ(VardokCheck::jsonAt(read.document, steps), nullptr);
  // A field of the wrong type is read as absent, never thrown.
  EXPECT_EQ(VardokCheck::jsonString(read.document, "s", "none"), "none");
  EXPECT_STREQ(VardokCheck::jsonKind(read.document["s"]), "a number");
}

TEST(JsonDocument, ShownCompactlyWithinItsBound) {
  const VardokCheck::JsonRead read = readJson("{\"k\\\"ey\":[1,2.5,true,null,\"t\"],\"o\":{}}");
  ASSERT_EQ(read.failure, "");
  EXPECT_EQ(jsonText(read.document), "{\"k\\\"ey\":[1,2.5,true,null,\"t\"],\"o\":{}}");
  EXPECT_EQ(jsonText(read.document, 10), "{\"k\\\"ey\":[...");
  // The deepest document that is read is shown without recursion.
  const std::string deep = std::string(VardokCheck::kMaxJsonDepth, '[') + std::string(VardokCheck::kMaxJsonDepth, ']');
  EXPECT_EQ(jsonText(readJson(deep).document), deep);
}

}  // namespace
