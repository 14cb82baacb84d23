// Quorlin::RegEx: pattern syntax and compilation, matching, sub-matches,
// templates and replacement.
#include <clocale>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <pcre.h>

#include "support/assert.h"
#include "support/regex/regex.h"

using Quorlin::RegEx;

namespace {

RegEx::CompileException compileError(const std::string& pattern) {
  try {
    RegEx::compile(pattern);
  } catch (const RegEx::CompileException& e) {
    return e;
  }
  ADD_FAILURE() << "compiled: " << pattern;
  return {nullptr, 0};
}

TEST(RegExCompile, MissingClosingDelimiter) {
  for (const std::string& pattern : std::vector<std::string>{"", "#", "#abc", "/abc", std::string("\0", 1)}) {
    const RegEx::CompileException e = compileError(pattern);
    ASSERT_NE(e.message, nullptr);
    EXPECT_STREQ(e.message, "Closing delimiter not found!") << pattern;
    EXPECT_EQ(e.offset, -1) << pattern;
  }
}

TEST(RegExCompile, ErrorOffsetCountsFromTheExpression) {
  // "ab(" is missing its ")": PCRE reports the end of the expression.
  RegEx::CompileException e = compileError("#ab(#i");
  EXPECT_EQ(e.offset, 3);
  EXPECT_STREQ(e.message, "missing )");
  e = compileError("/x[/");
  EXPECT_EQ(e.offset, 2);
}

TEST(RegExCompile, ClosingDelimiterIsTheLastOccurrence) {
  auto compiled = RegEx::compile("/<velkaro:info>(.+?)</velkaro:info>/s");
  EXPECT_EQ(compiled->getCaptureCount(), 1);
  EXPECT_EQ(compiled->getCompileFlags(), PCRE_DOTALL);
  RegEx regex;
  regex.setCompiled(compiled);
  regex.setSubject("x <velkaro:info>line 1\r\nline 2</velkaro:info> <velkaro:info>2nd</velkaro:info>");
  EXPECT_EQ(regex.match(), 2);
  EXPECT_EQ(regex.getSub(1), "line 1\r\nline 2");
}

TEST(RegExCompile, OptionLetters) {
  const struct {
    const char* pattern;
    int compileFlags;
    int matchFlags;
  } table[] = {
      {"#a#", 0, 0},
      {"#a#i", PCRE_CASELESS, 0},
      {"#a#iq", PCRE_CASELESS, 0},
      {"#a#ii", PCRE_CASELESS, 0},
      {"#a#msxDXU8", PCRE_MULTILINE | PCRE_DOTALL | PCRE_EXTENDED | PCRE_DOLLAR_ENDONLY | PCRE_EXTRA |
                         PCRE_UNGREEDY | PCRE_UTF8, 0},
      {"#a#ABNE", 0, PCRE_ANCHORED | PCRE_NOTBOL | PCRE_NOTEOL | PCRE_NOTEMPTY},
      {"#a#e", 0, 0},
      {"#a#iLC", PCRE_CASELESS, 0},
      {"#a#Lim", 0, 0},  // "im" is a locale name, not letters
      {"#a#L", 0, 0},
  };
  for (const auto& row : table) {
    auto compiled = RegEx::compile(row.pattern);
    EXPECT_EQ(compiled->getCompileFlags(), row.compileFlags) << row.pattern;
    EXPECT_EQ(compiled->getMatchFlags(), row.matchFlags) << row.pattern;
  }
}

TEST(RegExCompile, CreatorFlagsAreAddedToTheLetters) {
  auto compiled = RegEx::compile("#a#i", {}, PCRE_MULTILINE | PCRE_NOTEMPTY);
  EXPECT_EQ(compiled->getCompileFlags(), PCRE_CASELESS | PCRE_MULTILINE);
  EXPECT_EQ(compiled->getMatchFlags(), PCRE_NOTEMPTY);
}

TEST(RegExCompile, TwoEqualBytesMatchTheEmptyString) {
  RegEx regex;
  EXPECT_EQ(regex.match("##", "abc"), 1);
  EXPECT_EQ(regex.getSub(0), "");
}

TEST(RegExCompile, LocaleTablesOutliveTheLocaleHandle) {
  boost::shared_ptr<RegEx::Locale> locale(new RegEx::Locale("C"));
  ASSERT_NE(locale->tables(), nullptr);
  auto compiled = RegEx::compile("#[a-z]+#i", locale);
  locale.reset();
  RegEx regex;
  regex.setCompiled(compiled);
  regex.setSubject("12 ABC");
  EXPECT_EQ(regex.match(), 1);
  EXPECT_EQ(regex.getSub(0), "ABC");
  // A locale named in the pattern lives with its compiled pattern too.
  EXPECT_EQ(regex.match("#[a-z]+#iLC", "x ABC"), 1);
  EXPECT_EQ(regex.getSub(0), "x");
}

TEST(RegExCompile, BuildingALocaleRestoresEachCategory) {
  // A locale other than "C" that this C runtime knows.
  std::string other;
  for (const char* name : {"C.UTF-8", "en_US.UTF-8", "Polish_Poland.1250", "English_United States.1252"}) {
    const char* set = setlocale(LC_NUMERIC, name);
    if (set && std::string(set) != "C") {
      other = set;
      break;
    }
  }
  setlocale(LC_NUMERIC, "C");
  if (other.empty()) GTEST_SKIP() << "no second locale here";
  // Each category gets its own setting, so a restore that misses one, or
  // restores them all from one, is caught.
  const int categories[] = {LC_COLLATE, LC_CTYPE, LC_MONETARY, LC_NUMERIC, LC_TIME};
  for (size_t i = 0; i < 5; ++i) ASSERT_NE(setlocale(categories[i], i % 2 ? "C" : other.c_str()), nullptr);
  RegEx::Locale built("C");
  EXPECT_NE(built.tables(), nullptr);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(std::string(setlocale(categories[i], nullptr)), i % 2 ? "C" : other) << i;
  setlocale(LC_ALL, "C");
}

TEST(RegExCompile, VectorHoldsFourPerGroupPlusEightAndNeverShrinks) {
  RegEx regex;
  EXPECT_EQ(regex.vectorSize(), 0);
  regex.setPattern("#http:(//+?)#i");
  EXPECT_EQ(regex.vectorSize(), 12);
  regex.setPattern("#^[a-z]+://[^/]+#i");
  EXPECT_EQ(regex.vectorSize(), 12);
  regex.setPattern("#(a)(b)(c)#");
  EXPECT_EQ(regex.vectorSize(), 20);
  RegEx fresh;
  fresh.setPattern("#^[a-z]+://[^/]+#i");
  EXPECT_EQ(fresh.vectorSize(), 8);
  fresh.setCompiled({});
  EXPECT_EQ(fresh.vectorSize(), 8);
  EXPECT_FALSE(fresh.compiled());
}

TEST(RegExCompile, FailedCompileKeepsTheInstalledPattern) {
  RegEx regex;
  regex.setPattern("#b#");
  regex.setSubject("abc");
  EXPECT_THROW(regex.setPattern("#(#"), RegEx::CompileException);
  EXPECT_EQ(regex.match(), 1);
  EXPECT_EQ(regex.getSub(0), "b");
}

// --- matching ---

struct MatchCase {
  const char* pattern;
  std::string subject;
  int count;
  std::vector<std::string> subs;
};

TEST(RegExMatch, Table) {
  const MatchCase table[] = {
      {"#http:(//+?)#i", "ping HTTP:///host/x", 2, {"HTTP://", "//"}},
      {"#http:(//+?)#i", "http:/host", 0, {}},
      {"#http:(//+?)#i", "cmd /c exit 0", 0, {}},
      {"/(a)|(b)/", "b", 3, {"b", "", "b"}},
      {"/(a)|(b)/", "a", 2, {"a", "a"}},
      {"/x(y)?/", "x", 1, {"x"}},
      {"#a.c#", std::string("a\0c", 3), 1, {std::string("a\0c", 3)}},
      {"#c$#", std::string("ab\0c", 4), 1, {"c"}},
      {"#.#8", "\xC3\x28", 0, {}},
      {"#^b#m", "a\nb", 1, {"b"}},
      {"#^b#", "a\nb", 0, {}},
  };
  for (const MatchCase& c : table) {
    RegEx regex;
    EXPECT_EQ(regex.match(c.pattern, c.subject), c.count) << c.pattern;
    for (size_t i = 0; i < c.subs.size(); ++i) EXPECT_EQ(regex.getSub(static_cast<int>(i)), c.subs[i]) << c.pattern << " sub " << i;
  }
}

TEST(RegExMatch, ResultAndSubsAfterFailure) {
  RegEx regex;
  EXPECT_EQ(regex.result(), -1);
  EXPECT_EQ(regex.match("#(x)#", "abc"), 0);
  EXPECT_EQ(regex.result(), PCRE_ERROR_NOMATCH);
  EXPECT_EQ(regex.getSub(0), "");
  EXPECT_EQ(regex.match("#(b)#", "abc"), 2);
  EXPECT_EQ(regex.getSub(2), "");
  EXPECT_EQ(regex.getSub(-1), "");
  EXPECT_EQ(regex.getSub(100), "");
  regex.setSubject("zzz");
  EXPECT_EQ(regex.result(), -1);
  EXPECT_EQ(regex.getSub(0), "");
}

TEST(RegExMatch, InvalidUtf8IsAnErrorWithLetter8) {
  RegEx regex;
  EXPECT_EQ(regex.match("#a#8", "\xFF" "a"), 0);
  EXPECT_LT(regex.result(), -1);
  EXPECT_EQ(regex.match("#a#", "\xFF" "a"), 1);
}

std::vector<std::string> g_assertions;
void recordAssertion(const char* expression, const char* source, const char*, int) {
  g_assertions.push_back(std::string(source) + ": " + expression);
}

TEST(RegExMatch, MatchingWithoutAPatternAnswersMinusOne) {
  g_assertions.clear();
  auto previous = Quorlin::setAssertHandler(&recordAssertion);
  RegEx regex;
  regex.setSubject("abc");
  EXPECT_EQ(regex.exec(), -1);
  EXPECT_EQ(regex.match(), 0);
  Quorlin::setAssertHandler(previous);
#ifndef NDEBUG
  ASSERT_EQ(g_assertions.size(), 2u);
  EXPECT_EQ(g_assertions[0], "regex: _compiled");
#endif
}

// --- templates ---

TEST(RegExTemplate, Expansion) {
  RegEx regex;
  ASSERT_EQ(regex.match("#(a)(b)#", "xaby"), 3);
  const struct {
    const char* replacement;
    const char* expected;
  } table[] = {
      {"$&", "ab"},   {"\\&", "ab"},  {"$0", "ab"},   {"\\1\\2", "ab"}, {"$1", "a"},
      {"$9", ""},     {"$12", "a2"},  {"end$", "end$"}, {"$$1", "$a"},   {"$a", "$a"},
      {"\\x", "\\x"}, {"", ""},       {"[$2]", "[b]"},
  };
  for (const auto& row : table) EXPECT_EQ(regex.expandReplacement(row.replacement), row.expected) << row.replacement;
}

// --- replacement ---

struct ReplaceCase {
  const char* pattern;
  const char* replacement;
  std::string subject;
  int limit;
  std::string expected;
};

TEST(RegExReplace, Table) {
  const ReplaceCase table[] = {
      {"#o#", "0", "foo boo", 0, "f00 b00"},
      {"#o#", "0", "foo boo", 1, "f0o boo"},
      {"#o#", "0", "foo boo", 3, "f00 b0o"},
      {"#o#", "0", "foo boo", -1, "foo boo"},
      {"#x#", "0", "foo", 0, "foo"},
      // The second and later searches run with NOTBOL.
      {"#^a#", "X", "aaa", 0, "Xaa"},
      {"#^a#m", "X", "a\na", 0, "X\nX"},
      // An empty match copies one byte and moves on.
      {"#a*#", "d", "bc", 0, "dbdcd"},
      {"#x*#", "-", "", 0, "-"},
      {"#x*#8", "-", "\xC4\x85" "b", 0, "-\xC4\x85-b-"},
      // UTF-8 switched on by the pattern itself steps whole characters too.
      {"#(*UTF8)x*#", "-", "\xC4\x85" "b", 0, "-\xC4\x85-b-"},
      // Only a lookbehind can see NOTBOL on the searches after the first:
      // without it, (?<=^a) would match after the replaced "a".
      {"#a|(?<=^a)b#", "X", "ab", 0, "Xb"},
      {"#(\\w+)@(\\w+)#", "$2 at $1", "mail bob@host now", 0, "mail host at bob now"},
      {"#b#", "B", std::string("a\0b\0b", 5), 0, std::string("a\0B\0B", 5)},
      // Stripping scheme and host from a URL.
      {"#^[a-z]+://[^/]+#i", "", "HTTP://host:81/path/x?q=1#frag", 0, "/path/x?q=1#frag"},
      {"#^[a-z]+://[^/]+#i", "", "http://host", 0, ""},
      {"#^[a-z]+://[^/]+#i", "", "http://host?x=1", 0, ""},
      {"#^[a-z]+://[^/]+#i", "", "ping http://host/x", 0, "ping http://host/x"},
  };
  for (const ReplaceCase& c : table)
    EXPECT_EQ(RegEx::doReplace(c.pattern, c.replacement, c.subject, c.limit), c.expected)
        << c.pattern << " limit " << c.limit;
}

TEST(RegExMatch, MatchTimeLettersChangeTheSearch) {
  const struct {
    const char* pattern;
    const char* subject;
    int result;
  } table[] = {
      {"#b#", "ab", 1},  {"#b#A", "ab", -1},   // anchored at the start offset
      {"#^a#", "ab", 1}, {"#^a#B", "ab", -1},  // not the beginning of a line
      {"#b$#", "ab", 1}, {"#b$#N", "ab", -1},  // not the end of a line
      {"#x*#", "ab", 1}, {"#x*#E", "ab", -1},  // an empty match is no match
  };
  for (const auto& row : table) {
    RegEx regex;
    EXPECT_EQ(regex.match(row.pattern, row.subject), row.result > 0 ? 1 : 0) << row.pattern;
    EXPECT_EQ(regex.result(), row.result) << row.pattern;
  }
}

TEST(RegExMatch, InstallingAPatternForgetsTheLastMatch) {
  RegEx regex;
  ASSERT_EQ(regex.match("#(a)#", "xa"), 2);
  // More groups: the offset vector grows, and nothing of the old match or
  // of uninitialised memory can be read as a sub-match.
  regex.setPattern("#(b)(c)(d)(e)#");
  EXPECT_EQ(regex.result(), -1);
  EXPECT_EQ(regex.getSub(1), "");
  EXPECT_EQ(regex.getSubsCount(), 0);
}

TEST(RegExReplace, StartIsResetAfterwards) {
  RegEx regex;
  EXPECT_EQ(regex.replace("#b#", "x", "abcb", 1), "axcb");
  EXPECT_EQ(regex.start(), 0);
  // The limit ended the loop: the last result is that of the match.
  EXPECT_EQ(regex.result(), 1);
  EXPECT_EQ(regex.match(), 1);
  EXPECT_EQ(regex.getSub(0), "b");
}

TEST(RegExReplace, CompileErrorLeavesTheSubject) {
  RegEx regex;
  regex.setPattern("#b#");
  regex.setSubject("abc");
  EXPECT_THROW(regex.replace("#(#", "x", "zzz", 0), RegEx::CompileException);
  EXPECT_EQ(regex.match(), 1);
}

}  // namespace
