// Outside text on its way to JSON, a terminal and the library's UTF-16 paths.
#include <gtest/gtest.h>

#include "tools/text.h"

namespace orna::cli {
namespace {

TEST(Text, InvalidUtf8BecomesReplacementCharactersAndValidTextStays) {
  EXPECT_EQ(ValidUtf8("Jos\xE9"), "Jos\xEF\xBF\xBD");                      // Latin-1
  EXPECT_EQ(ValidUtf8(std::string("1\0\xFF", 3)), std::string("1\0\xEF\xBF\xBD", 5));
  EXPECT_EQ(ValidUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");             // overlong
  EXPECT_EQ(ValidUtf8("\xED\xA0\x80").size(), 9u);                        // surrogate
  EXPECT_EQ(ValidUtf8("caf\xC3\xA9 \xF0\x9F\x92\x93"), "caf\xC3\xA9 \xF0\x9F\x92\x93");
}

TEST(Text, ControlCharactersReachTheTerminalEscaped) {
  EXPECT_EQ(TerminalSafe("step\x1B]0;owned\x07\x1B[2J\r\n\xC2\x9B"),
            "step\\e]0;owned\\x07\\e[2J\\r\\n\\x9B");
  EXPECT_EQ(TerminalSafe("\xFF"), "\xEF\xBF\xBD");
}

TEST(Text, Utf16PathsTakeEveryCodePointAndRefuseBrokenText) {
  std::u16string wide;
  ASSERT_TRUE(Utf8ToUtf16("/tmp/\xC3\xA9\xE2\x82\xAC\xF0\x9F\x92\x93.txt", &wide));
  EXPECT_EQ(wide, u"/tmp/\u00E9\u20AC\U0001F493.txt");
  EXPECT_FALSE(Utf8ToUtf16("/tmp/\xE9.txt", &wide));
  EXPECT_TRUE(wide.empty());
  EXPECT_FALSE(Utf8ToUtf16(std::string("a\0b", 3), &wide));
}

}  // namespace
}  // namespace orna::cli
