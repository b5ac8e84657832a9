// Text conversions: Windows-1252, UTF-8, the lenient integer reading, case folding, trimming.
#include <gtest/gtest.h>

#include <string>

#include "text/cp1252.h"
#include "text/strings.h"

using txt::U;

TEST(CodePage, Cp1252Latin1AndLowBytes) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    const std::u16string text = txt::DecodeCp1252(all);
    ASSERT_EQ(text.size(), 256u);
    EXPECT_EQ(txt::EncodeCp1252(text), all);

    EXPECT_EQ(text[0x80], u'\u20AC');
    EXPECT_EQ(text[0x9F], u'\u0178');
    EXPECT_EQ(text[0xE9], u'\u00E9');
    for (int undefined : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) EXPECT_EQ(text[undefined], undefined);

    // The C1 controls other than the five undefined bytes have their own byte in the code
    // page's place (0x80 is the euro sign), so they are not representable.
    EXPECT_EQ(txt::EncodeCp1252(u"\u0080\u0100\u4E2D"), "???");
    // A surrogate pair is one character; a lone half is one as well.
    EXPECT_EQ(txt::EncodeCp1252(u"a\U0001F600b\xD800"), "a?b?");
    EXPECT_EQ(txt::EncodeCp1252(U("cliënt €")), "cli\xEBnt \x80");

    EXPECT_EQ(txt::LowBytes(u"A\u00E9\u0141\U0001F600"), std::string("A\xE9\x41\x3D\x00", 5));
    EXPECT_EQ(txt::Latin1ToText("\x80\xFF"), u"\u0080\u00FF");
}

TEST(Utf8, RoundTripAndReplacementOfBrokenInput) {
    const std::u16string sample = u"a\u00E9\u20AC\U0001F600";
    EXPECT_EQ(txt::FromUtf8(txt::ToUtf8(sample)), sample);
    EXPECT_EQ(txt::ToUtf8(sample), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");

    struct Case {
        std::string in;
        std::u16string out;
    };
    const Case cases[] = {
        {"\xFF", u"\uFFFD"},
        {"a\x80z", u"a\uFFFDz"},
        {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong "/"
        {"\xE0\xA0\x80", u"\u0800"},              // the first three-byte character
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
        {"\xE2\x82", u"\uFFFD"},                  // cut off at the end
        {"\xE2\x82z", u"\uFFFDz"},
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
    };
    for (const auto& c : cases) EXPECT_EQ(txt::FromUtf8(c.in), c.out) << c.in;

    EXPECT_EQ(txt::ToUtf8(std::u16string(u"x\xD800y")), "x\xEF\xBF\xBDy");
    EXPECT_EQ(txt::ToUtf8(std::u16string(u"\xDC00")), "\xEF\xBF\xBD");
}

TEST(ToInteger, LenientReadingTable) {
    struct Case {
        const char16_t* text;
        std::int32_t value;
    };
    const Case cases[] = {
        {u"", 0},
        {u"4001", 4001},
        {u"   4001", 4001},
        {u"4001 ", 4001},
        {u"4001abc", 4001},
        {u"\t4001", 0},  // only blanks are skipped
        {u"abc", 0},
        {u"$FA1", 4001},
        {u"xfa1", 4001},
        {u"XFA1", 4001},
        {u"0xFA1", 4001},
        {u"0XfA1", 4001},
        {u"-4", -4},
        {u"+4", 4},
        {u"-4x", 4},  // stopped early: no sign
        {u"  -$C", -12},
        {u"-$Cg", 12},
        {u"-", 0},
        {u"$", 0},
        {u"0x", 0},
        {u"2147483647", 2147483647},
        {u"-2147483648", INT32_MIN},
        {u"2147483648", 214748364},  // the digit that would overflow ends the reading
        {u"99999999999", 999999999},
        {u"$FFFFFFFF", -1},
        {u"$7FFFFFFF", 2147483647},
        {u"$100000000", 268435456},
        {u"$0000000000FF", 255},
        {u"00012", 12},
    };
    for (const auto& c : cases) EXPECT_EQ(txt::ToInteger(c.text), c.value) << txt::ToUtf8(c.text);
}

TEST(Strings, CaseTrimIntAndFormat) {
    EXPECT_TRUE(txt::SameText(u"install", u"INSTALL"));
    EXPECT_TRUE(txt::SameText(U("cliënt"), U("CLIËNT")));
    EXPECT_TRUE(txt::SameText(u"\u00FF", u"\u0178"));
    EXPECT_FALSE(txt::SameText(u"install", u"instal"));
    EXPECT_FALSE(txt::SameText(u"[", u"{"));  // 0x5B vs 0x7B differ by 0x20 but are no letters
    EXPECT_FALSE(txt::SameText(u"\u00D7", u"\u00F7"));
    EXPECT_EQ(txt::UpperCase(U("brivon ë ß")), U("BRIVON Ë ß"));

    EXPECT_EQ(txt::Trim(u"\t \r\n abc \x01\x20"), u"abc");
    EXPECT_EQ(txt::Trim(u"   "), u"");
    EXPECT_EQ(txt::Trim(u"a\u00A0"), u"a\u00A0");

    EXPECT_EQ(txt::IntToStr(0), u"0");
    EXPECT_EQ(txt::IntToStr(-4001), u"-4001");
    EXPECT_EQ(txt::IntToStr(INT64_MIN), u"-9223372036854775808");

    EXPECT_EQ(txt::FormatS(u"Cannot open file \"%s\". %s", {u"a.xml", u"Access is denied"}),
              u"Cannot open file \"a.xml\". Access is denied");
    EXPECT_EQ(txt::FormatS(u"%s%s|%d", {u"%s"}), u"%s%s|%d");  // arguments are not rescanned
}
