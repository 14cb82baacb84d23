// The plain text a host shows of a status text or an output
// (host/lib/display_text.h): tables of what checks print, hostile shapes
// among them, against what a person should read.
#include "host/lib/display_text.h"

#include <string>

#include <gtest/gtest.h>

using namespace VardokHost;

namespace {

struct Row {
  const char* what;
  std::string input;
  std::string text;  // displayText
  std::string line;  // displayLine
};

void expectRows(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    EXPECT_EQ(displayText(row.input), row.text) << row.what;
    EXPECT_EQ(displayLine(row.input), row.line) << row.what;
  }
}

// Whether text is well-formed UTF-8 (no character cut in two).
bool wellFormed(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2 : lead >> 4 == 14 ? 3 : lead >> 3 == 30 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

TEST(DisplayText, MarkupGoesAndWhatAPersonReadsStays) {
  expectRows({
      {"plain", "all fine", "all fine", "all fine"},
      {"a page", "<html><body><h1>Hi</h1></body></html>", "Hi", "Hi"},
      {"a page with a head",
       "<!DOCTYPE html>\n<html><head><title>Down</title><meta charset=\"utf-8\"></head>"
       "<body><h1>503 Service Unavailable</h1><p>Try <b>later</b>.</p></body></html>",
       "Down\n503 Service Unavailable\nTry later.", "Down"},
      {"an info tag", "<velkaro:info>tagged</velkaro:info>", "tagged", "tagged"},
      {"every result tag", "<velkaro:info>disk full</velkaro:info><velkaro:notify>Look!</velkaro:notify>"
                           "<velkaro:icon>3</velkaro:icon>tail",
       "disk full\nLook!\ntail", "disk full"},
      {"an icon tag never closed", "<velkaro:icon>7 left", "7 left", "7 left"},
      {"result tags in a page", "<html><body><h1>Hi</h1><velkaro:info>tagged</velkaro:info></body></html>",
       "Hi\ntagged", "Hi"},
      {"nested", "<div><p><b>deep <i>ne<span>st</span></i></b></p></div>", "deep nest", "deep nest"},
      {"cells", "<table><tr><td>a</td><td>b</td></tr><tr><td>c</td></tr></table>", "a b\nc", "a b"},
      {"comments", "a<!-- <b>hidden</b> -->b", "ab", "ab"},
      {"a comment never closed", "a<!-- never closed", "a", "a"},
      {"script and style", "<script>alert('<b>x</b>')</script>shown<style>p { color: red }</style>!", "shown!",
       "shown!"},
      {"script in any case", "<SCRIPT type=x>var a = 1 < 2;</ScRiPt >after", "after", "after"},
      {"a script never closed", "before<script>var x = '</scrip", "before", "before"},
      {"a quoted >", "<a title=\"x>y\" href='a>b'>link</a>", "link", "link"},
      {"line breaks of the text", "first\r\nsecond\n\n\nthird", "first\nsecond\nthird", "first"},
      {"breaks of the markup", "one<br>two<br/>three<BR />four", "one\ntwo\nthree\nfour", "one"},
      {"the first line with text", "\n\n  <p> </p>\n\t\nsecond line\nthird", "second line\nthird", "second line"},
  });
}

TEST(DisplayText, ALessThanThatOpensNoTagIsText) {
  expectRows({
      {"a comparison", "a < b and 1<2", "a < b and 1<2", "a < b and 1<2"},
      {"an arrow", "x <= y -> z <- w", "x <= y -> z <- w", "x <= y -> z <- w"},
      {"a tag never closed", "<b unclosed and more", "<b unclosed and more", "<b unclosed and more"},
      {"a tag never closed after a tag", "<p>ok</p><div class=\"x", "ok\n<div class=\"x", "ok"},
      {"a < at the end", "end <", "end <", "end <"},
      {"a < before a tag", "c<d<b>bold</b>", "c<dbold", "c<dbold"},
      {"a tag too long to be one", "<a " + std::string(2000, 'x') + ">shown",
       "<a " + std::string(2000, 'x') + ">shown", "<a " + std::string(197, 'x') + "..."},
  });
}

TEST(DisplayText, EntitiesAreDecodedOnce) {
  expectRows({
      {"named", "Tom &amp; Jerry &lt;3 &quot;q&quot; &copy;", "Tom & Jerry <3 \"q\" \xC2\xA9",
       "Tom & Jerry <3 \"q\" \xC2\xA9"},
      {"numbers", "&#233;t&#xE9; &#x20AC;&#8364;", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC\xE2\x82\xAC",
       "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC\xE2\x82\xAC"},
      {"decoded markup stays text", "&lt;b&gt;not bold&lt;/b&gt;", "<b>not bold</b>", "<b>not bold</b>"},
      {"a space entity collapses", "a &nbsp; &nbsp;b", "a b", "a b"},
      {"unknown and unfinished", "&bogus; & &amp &#; &#xZZ;", "&bogus; & &amp &#; &#xZZ;",
       "&bogus; & &amp &#; &#xZZ;"},
      {"numbers that are no character", "a&#0;b&#x110000;c&#xD800;d", "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xEF\xBF\xBD" "d",
       "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xEF\xBF\xBD" "d"},
      {"a decoded control goes", "a&#7;b&#x1B;c", "abc", "abc"},
      {"a decoded line break parts lines", "a&#10;b", "a\nb", "a"},
  });
}

TEST(DisplayText, ControlCharactersGoAndSpacesCollapse) {
  expectRows({
      {"C0, DEL and a zero byte", std::string("a\x01" "b\x1B[31mc\x7F" "d") + '\0' + "e", "ab[31mcde", "ab[31mcde"},
      {"C1", "a\xC2\x85" "b\xC2\x9B" "c", "abc", "abc"},
      {"direction overrides", "abc\xE2\x80\xAE" "def\xE2\x81\xA6" "g\xEF\xBB\xBF", "abcdefg", "abcdefg"},
      {"tabs and runs of spaces", "  a \t\t b  ", "a b", "a b"},
      {"spaces around breaks", "a  \n  b \r\n", "a\nb", "a"},
      {"only markup and spaces", " <p> </p> \n\t<br> ", "", ""},
      {"empty", "", "", ""},
  });
}

TEST(DisplayText, TextConvertedFromWindows1250IsKept) {
  // What fromHostText makes of the plug-in's Polish texts: UTF-8.
  const std::string polish = "Vardok wykry\xC5\x82 b\xC5\x82\xC4\x85" "d: za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87 "
                             "g\xC4\x99\xC5\x9Bl\xC4\x85 ja\xC5\xBA\xC5\x84";
  expectRows({
      {"Polish letters", polish, polish, polish},
      {"Polish letters in tags", "<velkaro:info>" + polish + "</velkaro:info>", polish, polish},
      {"not UTF-8", "a\xFF" "b\xC3", "a\xEF\xBF\xBD" "b\xEF\xBF\xBD", "a\xEF\xBF\xBD" "b\xEF\xBF\xBD"},
      {"an overlong form", "a\xC0\xAF" "b", "a\xEF\xBF\xBD\xEF\xBF\xBD" "b", "a\xEF\xBF\xBD\xEF\xBF\xBD" "b"},
  });
}

TEST(DisplayText, BothAreBoundedAndNeverCutACharacter) {
  // The line: its characters counted, not its bytes.
  std::string letters;
  for (int i = 0; i < 300; ++i) letters += "\xC4\x85";  // a with ogonek
  std::string expected;
  for (int i = 0; i < 200; ++i) expected += "\xC4\x85";
  EXPECT_EQ(displayLine(letters), expected + "...");
  EXPECT_EQ(displayLine(std::string(200, 'x')), std::string(200, 'x'));
  EXPECT_EQ(displayLine("abc def", 5), "abc d...");

  // The text: at most its bytes, the cut marked, within them.
  std::string words;
  while (words.size() < (1u << 20)) words += "s\xC5\x82owo ";
  const std::string text = displayText(words);
  EXPECT_LE(text.size(), kDetailTextBytes);
  EXPECT_GT(text.size(), kDetailTextBytes - 16);
  EXPECT_EQ(text.substr(text.size() - 3), "...");
  EXPECT_TRUE(wellFormed(text));
  for (size_t most : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u}) {
    const std::string small = displayText(letters, most);
    EXPECT_LE(small.size(), most) << most;
    EXPECT_TRUE(wellFormed(small)) << most;
  }
  EXPECT_EQ(displayText("short", 100), "short");
}

TEST(DisplayText, HugeHostileInputsEndAndStayBounded) {
  // 16 MiB, the most of an output the plug-in keeps, in shapes that would
  // make a careless reader look at the same bytes again and again.
  const size_t huge = 16u << 20;
  const auto repeated = [&](const std::string& piece) {
    std::string text;
    text.reserve(huge + piece.size());
    while (text.size() < huge) text += piece;
    return text;
  };
  const struct {
    const char* what;
    std::string input;
  } shapes[] = {
      {"opened tags", repeated("<a")},
      {"quoted values never closed", repeated("<a x='")},
      {"comments never closed", repeated("<!--")},
      {"scripts never closed", "x" + repeated("<script>")},
      {"closing tags of nothing", repeated("</")},
      {"entities never finished", repeated("&#1234567")},
      {"nested tags", repeated("<div><b><i>")},
      {"text and tags", repeated("<p>word</p>")},
      {"only spaces", repeated(" \t\r\n")},
      // An icon tag looks ahead for its closing tag: left open on every
      // line, each must not search the rest again.
      {"icon tags never closed", repeated("<velkaro:icon>2\n")},
  };
  for (const auto& shape : shapes) {
    const std::string text = displayText(shape.input);
    const std::string line = displayLine(shape.input);
    EXPECT_LE(text.size(), kDetailTextBytes) << shape.what;
    EXPECT_LE(line.size(), kListLineChars * 4 + 3) << shape.what;
    EXPECT_TRUE(wellFormed(text) && wellFormed(line)) << shape.what;
  }
}

TEST(DisplayText, IntervalsInWords) {
  const struct {
    int64_t seconds;
    const char* words;
  } rows[] = {{0, "0 s"},
              {59, "59 s"},
              {3599, "3599 s"},
              {3600, "1 h"},
              {7200, "2 h"},
              {5400, "1 h 30 min"},
              {3661, "1 h 1 min 1 s"},
              {86400, "24 h"},
              {172799, "47 h 59 min 59 s"},
              {172800, "2 days"},
              {216000, "about 2.5 days"},
              {4294967, "about 49.7 days"},
              {2147483647, "about 24855.1 days"},
              {-1, "about 49.7 days"},
              {-2147483647 - 1, "about 49.7 days"}};
  for (const auto& row : rows) EXPECT_EQ(intervalWords(row.seconds), row.words) << row.seconds;
}

}  // namespace
