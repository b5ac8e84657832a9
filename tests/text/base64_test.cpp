// Base64: the standard encoder and the collector's lenient decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "text/base64.h"

using txt::Base64DecodeLenient;
using txt::Base64Encode;
using txt::IsWellFormedBase64;

TEST(Base64, RandomRoundTripsAllLengths) {
    std::mt19937 random(7);
    std::string reused;
    for (std::size_t length = 0; length < 200; ++length) {
        std::string bytes(length, '\0');
        for (auto& b : bytes) b = static_cast<char>(random());
        const std::string text = Base64Encode(bytes);  // no line breaks, which are not well-formed
        EXPECT_TRUE(IsWellFormedBase64(text)) << text;
        EXPECT_EQ(Base64DecodeLenient(text), bytes) << length;
        Base64DecodeLenient(text, reused);
        EXPECT_EQ(reused, bytes) << length;
    }
}

TEST(Base64, EncoderAndLenientDecoderTable) {
    struct Case {
        std::string text;
        std::string bytes;
        bool encoded = false;  // the encoder's text for the bytes
    };
    const Case cases[] = {
        {"", "", true},
        {"YW", ""},  // an incomplete group is ignored
        {"YWJ", ""},
        {"YWJjYW", "abc"},
        {"YQ==", "a", true},
        {"YWI=", "ab", true},
        {"YWJj", "abc", true},
        {"+/8A", std::string("\xFB\xFF\x00", 3), true},
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
        if (c.encoded) {
            EXPECT_EQ(Base64Encode(c.bytes), c.text);
        }
    }
}

TEST(Base64, WellFormedness) {
    for (const char* good : {"", "YQ==", "YWI=", "YWJj", "YWJjYQ==", "YWJjY", "YWJjYQ==x", "+/+/"})
        EXPECT_TRUE(IsWellFormedBase64(good)) << good;
    for (const char* bad : {"YQ=A", "=AAA", "YQ==YWJj", "Y===", "YW J", "YW\r\n", "YWJj====", "YWJ\x80"})
        EXPECT_FALSE(IsWellFormedBase64(bad)) << bad;
}

// ---------------------------------------------------------------------------------------
// The vector kernels against the table decoder.

namespace {

using txt::Base64Kernel;

std::vector<Base64Kernel> VectorKernels() {
    std::vector<Base64Kernel> kernels;
    for (Base64Kernel kernel : {Base64Kernel::kSsse3, Base64Kernel::kAvx2})
        if (txt::Base64KernelSupported(kernel)) kernels.push_back(kernel);
    return kernels;
}

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string RandomText(std::mt19937& random, std::size_t length) {
    std::string text(length, 'A');
    for (char& c : text) c = kAlphabet[random() % 64];
    return text;
}

// Bytes that are not plain alphabet characters, each next to an alphabet neighbour in
// the nibble tables: the fill, line breaks, NUL, the characters around "+", "/", "0"-"9",
// "A"-"Z", "a"-"z", and bytes with the high bit set.
const std::string kAwkward = std::string("=\r\n\0 !*,-.:;?@[\\]^_`{|}~\x7F\x80\x8F\xAB\xAF\xC1\xFF", 30);

// Every kernel decodes as the table decoder does, also in place over the text itself (the
// groups behind a stopping group zero). A vector kernel's plain blocks stop in the block of
// the first byte outside the alphabet, decode exactly, and write no further than they may.
void ExpectSameWithEveryKernel(std::string_view text, const std::string& context) {
    const std::string expected = Base64DecodeLenient(text);
    std::vector<Base64Kernel> kernels = VectorKernels();
    kernels.push_back(Base64Kernel::kPortable);
    for (Base64Kernel kernel : kernels) {
        const std::string where = context + ", kernel " + std::to_string(static_cast<int>(kernel));
        std::string out = "stale bytes";
        Base64DecodeLenient(text, out, kernel);
        ASSERT_EQ(out, expected) << where;
        std::string inPlace(text);
        inPlace.resize(txt::Base64DecodeLenientInto(inPlace, inPlace.data(), kernel));
        ASSERT_EQ(inPlace, expected) << where << " in place";
        if (kernel == Base64Kernel::kPortable) continue;
        const std::size_t block = kernel == Base64Kernel::kAvx2 ? 32 : 16;
        const std::size_t end = std::min(text.find_first_not_of(kAlphabet), text.size());
        std::string plain(text.size() + 64, '#');  // guard bytes show how far the kernel wrote
        const std::size_t done = txt::Base64DecodePlainBlocks(kernel, text.data(), text.size(), plain.data());
        ASSERT_TRUE(done % 16 == 0 && done <= end && end < done + block) << where << ": plain blocks to " << done;
        ASSERT_EQ(plain.substr(0, done / 4 * 3), Base64DecodeLenient(text.substr(0, done))) << where;
        ASSERT_EQ(plain.find_first_not_of('#', done / 4 * 3 + txt::kBase64Overrun), std::string::npos) << where;
    }
}

}  // namespace

TEST(Base64Kernels, EveryKernelDecodesAsTheTableDecoder) {
    EXPECT_TRUE(txt::Base64KernelSupported(txt::FastestBase64Kernel()));
#if defined(__x86_64__)
    // Every x86-64 processor of the last fifteen years has SSSE3: the vector path must
    // not be lost silently.
    EXPECT_NE(txt::FastestBase64Kernel(), Base64Kernel::kPortable);
#endif
    std::mt19937 random(13);
    // Every length, plain text.
    for (std::size_t length = 0; length <= 300; ++length)
        ExpectSameWithEveryKernel(RandomText(random, length), "plain length " + std::to_string(length));
    // Every awkward byte at every position of a text spanning several blocks, and the
    // fill "=" or "==" there as well.
    const std::string plain = RandomText(random, 136);
    for (std::size_t at = 0; at < plain.size(); ++at) {
        for (char bad : kAwkward) {
            std::string text = plain;
            text[at] = bad;
            ExpectSameWithEveryKernel(
                text, "byte " + std::to_string(static_cast<unsigned char>(bad)) + " at " + std::to_string(at));
        }
        if (at + 1 < plain.size()) {
            std::string text = plain;
            text.replace(at, 2, "==");
            ExpectSameWithEveryKernel(text, "== at " + std::to_string(at));
        }
    }
    // Line breaks every 76 characters, as a mail encoder writes them.
    std::string broken;
    for (int line = 0; line < 8; ++line) broken += RandomText(random, 76) + "\r\n";
    ExpectSameWithEveryKernel(broken, "CR LF lines");
    // Random mixtures: mostly plain with a few awkward bytes.
    for (int round = 0; round < 2000; ++round) {
        std::string text = RandomText(random, random() % 300);
        for (std::size_t k = random() % 4; k > 0 && !text.empty(); --k) {
            text[random() % text.size()] = kAwkward[random() % kAwkward.size()];
        }
        ExpectSameWithEveryKernel(text, "random round " + std::to_string(round));
    }
}
