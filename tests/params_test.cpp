// SetParam and HasParam over the texts of interface items.
#include <string>

#include <gtest/gtest.h>

#include "plugin/params.h"

using Vardok::HasParam;
using Vardok::SetParam;

namespace {

const std::string M(1, '\x1A');  // the parameter mark

struct SetParamCase {
  std::string text, key, value, expected;
};

TEST(Params, SetParam) {
  const SetParamCase table[] = {
      // A missing key is appended.
      {"", M + "tip=", "hello", M + "tip=hello"},
      {"Visible", M + "tip=", "x", "Visible" + M + "tip=x"},
      // A key that is there already: the new pair goes in front and the old
      // one stays behind it.
      {M + "iconsize=16", M + "iconsize=", "32", M + "iconsize=32" + M + "iconsize=16"},
      {"A" + M + "tip=old" + M + "w=1", M + "tip=", "new", "A" + M + "tip=new" + M + "tip=old" + M + "w=1"},
      // A key without the leading mark replaces up to the next break.
      {"a=1" + M + "b=2", "a=", "9", "a=9" + M + "b=2"},
      // An empty key replaces the visible text and keeps the parameters.
      {"Sprawd\x9F" + M + "tip=x", "", "Run", "Run" + M + "tip=x"},
      {"", "", "v", "v"},
      {"only visible", "", "v", "v"},
      // Character 4 ends the visible part: keys are searched after it only.
      {M + "tip=a" + "\x04" + M + "tip=b", M + "tip=", "c", M + "tip=a\x04" + M + "tip=c" + M + "tip=b"},
      {"vis\x04" "rest", "", "new", "new\x04" "rest"},
      // Bytes above 127 are visible text, not breaks.
      {"\xB3\xB9" "d" + M + "k=1", "", "ok", "ok" + M + "k=1"},
  };
  for (const SetParamCase& c : table)
    EXPECT_EQ(SetParam(c.text, c.key, c.value), c.expected) << "text [" << c.text << "] key [" << c.key << "]";
}

TEST(Params, HasParam) {
  EXPECT_TRUE(HasParam(M + "iconsize=16", M + "iconsize="));
  EXPECT_TRUE(HasParam("abc" + M + "tip=x", M + "tip="));
  EXPECT_FALSE(HasParam("abc", M + "tip="));
  // An empty key asks whether the text starts with visible text.
  EXPECT_TRUE(HasParam("", ""));
  EXPECT_TRUE(HasParam("abc", ""));
  EXPECT_TRUE(HasParam("\xE6", ""));
  EXPECT_FALSE(HasParam(M + "tip=x", ""));
  EXPECT_FALSE(HasParam("\x07" "abc", ""));
}

}  // namespace
