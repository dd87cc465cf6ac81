#include "runtime/RString.h"

#include <gtest/gtest.h>

using namespace DUve;

TEST(Utf, RoundTripsEveryPlane) {
    const std::u16string text = u"a\u00e9\u97f3\U0001F3B5\U0010FFFF";
    const std::string utf8 = Utf16ToUtf8(text);
    EXPECT_EQ(utf8, "a\xC3\xA9\xE9\x9F\xB3\xF0\x9F\x8E\xB5\xF4\x8F\xBF\xBF");
    EXPECT_EQ(Utf8ToUtf16(utf8), text);
}

TEST(Utf, MalformedInputBecomesReplacementCharacters) {
    EXPECT_EQ(Utf8ToUtf16("a\xFF" "b"), u"a\uFFFDb");
    EXPECT_EQ(Utf8ToUtf16("\xE9\x9F"), u"\uFFFD");       // cut short
    EXPECT_EQ(Utf8ToUtf16("\xC0\x80"), u"\uFFFD");       // overlong
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD");   // encoded surrogate
    EXPECT_EQ(Utf8ToUtf16("\xE9" "a"), u"\uFFFDa");      // the breaking byte starts anew
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
}

TEST(Format, AcceptsNarrowAndWideStrings) {
    EXPECT_EQ(Format("\r\n%s-> Received %d Request.", std::u16string(u"1.2.3.4:5"), 3),
              "\r\n1.2.3.4:5-> Received 3 Request.");
    EXPECT_EQ(Format("%s/%s %u", std::string("x"), "y", 7u), "x/y 7");
    EXPECT_EQ(Format("%s", std::u16string(u"\u97f3")), "\xE9\x9F\xB3");
}
