// Base64: the standard encoder and the collector's lenient decoder.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "text/base64.h"

using txt::Base64DecodeLenient;
using txt::Base64Encode;
using txt::IsWellFormedBase64;

TEST(Base64, EncodesWithFillAndNoBreaks) {
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("a"), "YQ==");
    EXPECT_EQ(Base64Encode("ab"), "YWI=");
    EXPECT_EQ(Base64Encode("abc"), "YWJj");
    EXPECT_EQ(Base64Encode(std::string("\xFB\xFF\x00", 3)), "+/8A");
    const std::string encoded = Base64Encode(std::string(1000, 'x'));
    EXPECT_EQ(encoded.size(), 1336u);
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
}

TEST(Base64, RandomRoundTripsAllLengths) {
    std::mt19937 random(7);
    std::string reused;
    for (std::size_t length = 0; length < 200; ++length) {
        std::string bytes(length, '\0');
        for (auto& b : bytes) b = static_cast<char>(random());
        const std::string text = Base64Encode(bytes);
        EXPECT_TRUE(IsWellFormedBase64(text)) << text;
        EXPECT_EQ(Base64DecodeLenient(text), bytes) << length;
        Base64DecodeLenient(text, reused);
        EXPECT_EQ(reused, bytes) << length;
    }
}

TEST(Base64, LenientDecoderCases) {
    struct Case {
        std::string text;
        std::string bytes;
    };
    const Case cases[] = {
        {"", ""},
        {"YW", ""},  // an incomplete group is ignored
        {"YWJ", ""},
        {"YWJjYW", "abc"},
        {"YQ==", "a"},
        {"YWI=", "ab"},
        {"YWJj\r\n", "abc"},  // the trailing break is an ignored partial group
        // After a group with "=", the later groups give zeros and the dropped bytes come
        // from the end of the full length.
        {"YQ==YWJj", std::string("a?\xFF\x00", 4)},
        {"YWI=YWJj", std::string("ab\xFF\x00\x00", 5)},
        {"YQ==YWJjYWJj", std::string("a?\xFF\x00\x00\x00\x00", 7)},
        // Characters outside the alphabet take part as 255 without stopping.
        {"Y!Jj", std::string("\x6F\xF2\x63", 3)},
        {"=AAA", std::string("\xFC\x00\x00", 3)},
        {"YQ=A", std::string("a", 1)},  // third "=" stops even when the fourth is not "="
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Base64DecodeLenient(c.text), c.bytes) << c.text;
        std::string reused = "previous contents that must go";
        Base64DecodeLenient(c.text, reused);
        EXPECT_EQ(reused, c.bytes) << c.text;
    }
}

TEST(Base64, WellFormedness) {
    for (const char* good : {"", "YQ==", "YWI=", "YWJj", "YWJjYQ==", "YWJjY", "YWJjYQ==x", "+/+/"})
        EXPECT_TRUE(IsWellFormedBase64(good)) << good;
    for (const char* bad : {"YQ=A", "=AAA", "YQ==YWJj", "Y===", "YW J", "YW\r\n", "YWJj====", "YWJ\x80"})
        EXPECT_FALSE(IsWellFormedBase64(bad)) << bad;
}
