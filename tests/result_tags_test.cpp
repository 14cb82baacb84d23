// Reading a check's output: replaceAll, line endings, tags, parseNumber and
// the status of an exit code.
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "checks/line_endings.h"
#include "checks/result_tags.h"
#include "tests/tag_oracles.h"

using namespace Vardok;
using VardokTest::getTagValue;
using VardokTest::replaceAll;

namespace {

TEST(ResultTags, ParseNumber) {
  const struct {
    const char* text;
    int base;
    int32_t expected;
  } table[] = {
      {"", 255, 0},          {"12", 255, 12},       {"-3", 255, -3},        {"#ff", 255, 255},
      {"0x10", 255, 16},     {"0X10", 255, 0},      {"-#10", 255, -16},     {"7 apples", 255, 7},
      {"abc", 255, 0},       {"  42", 255, 42},     {"#A", 255, 10},        {"-0x1f", 255, -31},
      {"4294967295", 255, -1}, {"4294967296", 255, -1}, {"2147483648", 255, INT32_MIN},
      {"ff", 16, 255},       {"0x1f", 16, 31},      {"777", 8, 511},        {"012", 0, 10},
      {"#12", 10, 0},        {"--5", 255, 5},
  };
  for (const auto& row : table) EXPECT_EQ(parseNumber(row.text, row.base), row.expected) << "'" << row.text << "' base " << row.base;
}

TEST(ResultTags, ReplaceAllNeverSearchesTheInsertedText) {
  std::string text = "aXbXc";
  EXPECT_EQ(replaceAll(text, "X", "XX"), 2);
  EXPECT_EQ(text, "aXXbXXc");
  text = "aaaa";
  EXPECT_EQ(replaceAll(text, "aa", "a"), 2);
  EXPECT_EQ(text, "aa");
  text = "abc";
  EXPECT_EQ(replaceAll(text, "", "x"), 0);
  EXPECT_EQ(replaceAll(text, "b", ""), 1);
  EXPECT_EQ(text, "ac");
  EXPECT_EQ(replaceAll(text, "zz", "y"), 0);
}

const LineEndingMend kEveryMend[] = {LineEndingMend::Chosen, LineEndingMend::InPlace, LineEndingMend::Forward,
                                     LineEndingMend::ForwardShuffle};

TEST(ResultTags, LineEndings) {
  const struct {
    std::string in, out;
  } table[] = {
      {"a\nb", "a\r\nb"},   {"a\r\nb", "a\r\nb"}, {"a\rb", "a\rb"},
      {"\n\n", "\r\n\r\n"}, {"a\r\r\nb", "a\r\r\nb"}, {"", ""},
  };
  for (const auto& row : table) {
    std::string text = row.in;
    normalizeLineEndings(text);
    EXPECT_EQ(text, row.out);
  }
}

TEST(ResultTags, LineEndingsMatchTheTwoReplaceAllPasses) {
  // Every mixture of CR, LF and letters up to six bytes.
  const char alphabet[] = {'\r', '\n', 'a'};
  for (int length = 0; length <= 6; ++length) {
    int combinations = 1;
    for (int i = 0; i < length; ++i) combinations *= 3;
    for (int n = 0; n < combinations; ++n) {
      std::string text;
      for (int i = 0, k = n; i < length; ++i, k /= 3) text += alphabet[k % 3];
      std::string expected = text;
      replaceAll(expected, "\r\n", "\n");
      replaceAll(expected, "\n", "\r\n");
      for (LineEndingMend how : kEveryMend) {
        std::string normalized = text;
        normalizeLineEndings(normalized, how);
        ASSERT_EQ(normalized, expected);
      }
    }
  }
}

TEST(ResultTags, LineEndingsAcrossBlocksMatchTheReference) {
  // Texts long enough for the 16-byte blocks and the moves between line
  // feeds, with line feeds from dense to rare, at every offset.
  std::mt19937 random(82);
  for (int round = 0; round < 3000; ++round) {
    const size_t length = random() % 300;
    const unsigned density = 1 + random() % 40;
    std::string text;
    for (size_t i = 0; i < length; ++i) {
      const unsigned pick = random() % (density + 2);
      text += pick == 0 ? '\n' : pick == 1 ? '\r' : static_cast<char>('a' + pick % 26);
    }
    std::string expected = text;
    replaceAll(expected, "\r\n", "\n");
    replaceAll(expected, "\n", "\r\n");
    // Every way, with and without spare room behind the text.
    for (LineEndingMend how : kEveryMend) {
      std::string tight = text, roomy = text;
      tight.shrink_to_fit();
      roomy.reserve(text.size() * 2 + 64);
      normalizeLineEndings(tight, how);
      normalizeLineEndings(roomy, how);
      ASSERT_EQ(tight, expected) << round << " way " << static_cast<int>(how);
      ASSERT_EQ(roomy, expected) << round << " way " << static_cast<int>(how);
    }
  }
}

TEST(ResultTags, LongOutputOfShortLines) {
  std::string text;
  for (int i = 0; i < 200000; ++i) text += "ok\n";
  normalizeLineEndings(text);
  EXPECT_EQ(text.size(), 200000u * 4);
  EXPECT_EQ(text.substr(0, 8), "ok\r\nok\r\n");
  EXPECT_EQ(text.substr(text.size() - 8), "ok\r\nok\r\n");
}

TEST(ResultTags, LargeOutputsAreMendedTheSameEveryWay) {
  // Past the size from which roomy outputs are mended in place, with the
  // line feeds' carriage returns at block edges and in runs.
  std::string text;
  std::mt19937 random(5);
  while (text.size() < (5u << 20)) {
    const unsigned pick = random() % 24;
    text += pick == 0 ? "\r\n" : pick == 1 ? "\n\n\n" : pick < 6 ? "\n" : pick == 6 ? "\r" : "line";
  }
  std::string expected;
  for (LineEndingMend how : kEveryMend) {
    std::string tight = text, roomy = text;
    roomy.reserve(text.size() * 2);
    normalizeLineEndings(tight, how);
    normalizeLineEndings(roomy, how);
    if (expected.empty()) expected = tight;
    ASSERT_TRUE(tight == expected) << static_cast<int>(how);
    ASSERT_TRUE(roomy == expected) << static_cast<int>(how);
  }
  std::string reference = text;
  replaceAll(reference, "\r\n", "\n");
  replaceAll(reference, "\n", "\r\n");
  EXPECT_TRUE(expected == reference);
}

TEST(ResultTags, TagValues) {
  const struct {
    std::string output, key, expected;
  } table[] = {
      {"x <velkaro:info>Disk full</velkaro:info> y", "info", "Disk full"},
      {"<velkaro:info>a</velkaro:info><velkaro:info>b</velkaro:info>", "info", "a"},
      {"<velkaro:notify>1\r\n2</velkaro:notify>", "notify", "1\r\n2"},
      {"<velkaro:info></velkaro:info>", "info", "default"},
      {"<velkaro:info></velkaro:info>x</velkaro:info>", "info", "</velkaro:info>x"},
      {"<velkaro:Info>a</velkaro:Info>", "info", "default"},
      {"<velkaro:info>open only", "info", "default"},
      {"<velkaro:icon>#10</velkaro:icon>", "icon", "#10"},
      // Zero bytes were dropped before the output is read (decodeOutput):
      // here a zero is a byte like any other.
      {std::string("a\0<velkaro:info>seen</velkaro:info>", 35), "info", "seen"},
  };
  for (const auto& row : table) {
    const ResultTags tags = readTags(row.output, "default", "default");
    const std::string& value = row.key == "info" ? tags.info : row.key == "notify" ? tags.notify : tags.icon;
    EXPECT_EQ(value.empty() ? "default" : value, row.expected) << row.output;
    EXPECT_EQ(getTagValue(row.output, row.key, "default"), row.expected) << "the reference, on " << row.output;
  }
}

TEST(ResultTags, StatusOfExitCodes) {
  EXPECT_EQ(statusOf(0), 0);
  EXPECT_EQ(statusOf(1), 0x41);
  EXPECT_EQ(statusOf(9), 0x41);
  EXPECT_EQ(statusOf(10), 0x40);
  EXPECT_EQ(statusOf(-1), 0x40);
  EXPECT_EQ(statusOf(INT32_MIN), 0x40);
}

}  // namespace
