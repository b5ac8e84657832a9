// The byte-level processing steps against the runtime's reference operations.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "collector/packet_text.h"
#include "platform/memory.h"
#include "runtime/codepage.h"
#include "runtime/lines.h"
#include "text/base64.h"
#include "text/cp1252.h"

namespace collector {
namespace {

using namespace std::string_literals;

TEST(PacketTextTest, FrameLength) {
    struct Case {
        std::string field;
        std::uint32_t length;
    };
    for (const Case& c :
         {Case{"4", 4}, Case{"", 0}, Case{"-4", 4}, Case{"+12", 12}, Case{"   7", 7}, Case{" +0x4", 4}, Case{"$C", 12},
          Case{"0x1f", 31}, Case{"X10", 16}, Case{"12ab", 12}, Case{"4 5", 4}, Case{"\r\n4", 0}, Case{"abc", 0},
          Case{"$FFFFFFFF", 0xFFFFFFFFu}, Case{"99999999999", 999999999}}) {
        EXPECT_EQ(ReadFrameLength(c.field), c.length) << c.field;
    }
}

TEST(PacketTextTest, PayloadFollowsFrameText) {
    std::string scratch;
    const auto payload = [&](std::string_view visible, std::uint32_t length) {
        return std::string(FramePayload(visible, visible.find('\x02'), length, scratch));
    };
    EXPECT_EQ(payload("\x01\x02YWJj\x04", 4), "YWJj");
    EXPECT_EQ(payload("\x01\x02YWJj\x04", 0), "");
    EXPECT_EQ(payload("\x01\x02YWJj\x04", 100), "YWJj\x04\r\n");  // runs into the final CR LF
    EXPECT_EQ(payload("\x01\x02YWJj\x04\r\n", 100), "YWJj\x04\r\n");
    EXPECT_EQ(payload("\x01\x02YW\nJj\x04", 5), "YW\r\nJ");         // LF counts as CR LF
    EXPECT_EQ(payload("\x01\x02YW\rJj\x04", 3), "YW\r");            // a limit inside the pair
    EXPECT_EQ(payload("\x01\x02YW\n\rJ", 100), "YW\r\n\r\nJ\r\n");  // LF CR ends two lines
    EXPECT_EQ(payload("\x01\x02", 100), "\r\n");
}

// Where the payload lies in the connection's bytes, counted from their start, whatever
// precedes the SOH.
TEST(PacketTextTest, PayloadSpanInTheConnectionsBytes) {
    constexpr std::size_t npos = std::string_view::npos;
    struct Case {
        std::string_view visible;
        std::size_t soh;
        PayloadSpan span;
    };
    for (const Case& c :
         {Case{"\x01\x34\x02YWJj\x04", 0, {true, 3, 4}}, Case{"ab\x01\x34\x02YWJj\x04", 2, {true, 5, 4}},
          Case{"ab\x01\x36\x02YWJjZA\x04", 2, {true, 5, 4}}, Case{"\x01\x02YWJj\x04", 0, {true, 2, 0}},
          Case{"\x01\x38\x02YW\nJjYWJj", 0, {true, 3, npos}}, Case{"x\x01YWJj\x04", 1, {false, 0, 0}}}) {
        const PayloadSpan span = LocatePayload(c.visible, c.soh);
        EXPECT_EQ(span.hasStx, c.span.hasStx) << testing::PrintToString(c.visible);
        EXPECT_EQ(span.offset, c.span.offset) << testing::PrintToString(c.visible);
        EXPECT_EQ(span.size, c.span.size) << testing::PrintToString(c.visible);
    }
}

// The payload decoded where it lies gives what decoding the frame text's payload gives:
// the same validity, and for a valid one the same bytes, for lengths short of, at and past
// the visible text, with line breaks anywhere in it.
TEST(PacketTextTest, DecodableLengthAgreesWithTheFrameTextPayload) {
    std::mt19937 random(11);
    const std::string pieces[] = {"YWJj", "YQ==", "Y", "=", "\r", "\n", "\r\n", "\n\r", "\x04", "*"};
    std::string scratch, viaText, inPlace;
    for (int i = 0; i < 20000; ++i) {
        std::string visible = "\x01\x02";
        for (int n = static_cast<int>(random() % 7); n > 0; --n) visible += pieces[random() % std::size(pieces)];
        const std::uint32_t length = static_cast<std::uint32_t>(random() % (visible.size() + 8));
        const bool viaTextValid = DecodeWellFormedBase64(FramePayload(visible, 1, length, scratch), viaText);
        const std::size_t used = DecodableLength(visible, 1, length);
        const bool inPlaceValid = used != std::string_view::npos &&
                                  DecodeWellFormedBase64(std::string_view(visible).substr(2, used), inPlace);
        ASSERT_EQ(inPlaceValid, viaTextValid) << testing::PrintToString(visible) << " " << length;
        if (inPlaceValid) {
            ASSERT_EQ(inPlace, viaText) << testing::PrintToString(visible) << " " << length;
        }
    }
}

// The decoder agrees with the runtime on validity and bytes, and so does the in-place
// decoder with every kernel: plain blocks go to the vector kernel, everything else to the
// table.
TEST(PacketTextTest, DecoderAgreesWithRuntimeWithEveryKernel) {
    std::vector<std::string> inputs = {"",        "Y",    "YQ",       "YQ=",       "YQ==",    "YWI=",   "YWJj",
                                       "YQ=A",    "=AAA", "YQ==YWJj", "A===",      "AB=C",    "YWJjZA", "YWJj\r\n",
                                       "YW\x80j", "++//", "YWJj====", "YWJjYQ==Z", "YWJjYWI="};
    std::mt19937 random(7);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\r*";
    for (int i = 0; i < 3000; ++i) {
        std::string text(random() % 13, 'A');
        for (char& c : text) c = alphabet[random() % (i % 2 ? alphabet.size() : 64)];
        inputs.push_back(text);
    }
    // Long texts, with one bad character far from either end.
    std::string longText;
    for (int i = 0; i < 30000; ++i) longText += alphabet.substr(static_cast<std::size_t>(i % 16) * 4, 4);
    for (char at60001 : {longText[60001], '=', '\n'}) inputs.push_back(longText.replace(60001, 1, 1, at60001));
    // Every length, encoded from random bytes: every fill and every tail length.
    for (std::size_t length = 0; length <= 300; ++length) {
        std::string bytes(length, '\0');
        for (char& b : bytes) b = static_cast<char>(random());
        const std::string text = txt::Base64Encode(bytes);
        inputs.push_back(text);
        inputs.push_back(text.substr(0, length));  // cut anywhere
    }
    // Every awkward byte and the fill at every position of a text of several blocks.
    const std::string plain = txt::Base64Encode(std::string(102, 'q'));  // 136 characters
    const std::string awkward = std::string("=\r\n\0 !*,-.:;?@[\\]^_`{|}~\x7F\x80\xAF\xFF", 26);
    for (std::size_t at = 0; at < plain.size(); ++at) {
        for (char bad : awkward) {
            std::string text = plain;
            text[at] = bad;
            inputs.push_back(text);
        }
        if (at + 1 < plain.size()) inputs.push_back(std::string(plain).replace(at, 2, "=="));
    }
    std::string out;
    for (const std::string& text : inputs) {
        const bool valid = DecodeWellFormedBase64(text, out);
        ASSERT_EQ(valid, txt::IsWellFormedBase64(text)) << text;
        if (valid) {
            ASSERT_EQ(out, txt::Base64DecodeLenient(text)) << text;
        }
        for (auto kernel : {txt::Base64Kernel::kPortable, txt::Base64Kernel::kSsse3, txt::Base64Kernel::kAvx2}) {
            if (!txt::Base64KernelSupported(kernel)) continue;
            std::string inPlace = text;
            const std::size_t size = DecodeWellFormedBase64InPlace(inPlace.data(), inPlace.size(), kernel);
            ASSERT_EQ(size != std::string::npos, valid) << text << " kernel " << static_cast<int>(kernel);
            if (valid) {
                ASSERT_EQ(inPlace.substr(0, size), out) << text << " kernel " << static_cast<int>(kernel);
            }
        }
    }
}

TEST(PacketTextTest, TextFileBytesMatchesListOfLines) {
    std::vector<std::string> inputs = {"",      "abc",  "a\r\nb", "a\n\rb\r", "\r\n",      "\n\n",
                                       "x\0y"s, "\0a"s, "a\r\n",  "a\r",      "a\r\n\0b"s, "ab\0"s};
    std::string all;
    for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
    inputs.push_back(all);
    std::mt19937 random(11);
    for (int i = 0; i < 500; ++i) {
        // Mostly plain bytes, so that runs of eight and more occur.
        const std::string pick = std::string("abcdefghijklmnopqrstuvw\xE9\x85\xA0\x7F ") + "\r\n\x80\x81\x9D\x1F";
        std::string text(random() % 64, ' ');
        for (char& c : text) c = pick[random() % (i % 3 ? 29 : pick.size())];
        inputs.push_back(text);
    }
    // Lines ending in CR LF (the form a file already has) across many 16-byte blocks,
    // mostly with one flaw somewhere: a lone CR or LF, LF CR, a byte the code page maps,
    // or a low byte it copies.
    const std::string flaws = std::string("\r\n\x81\x85\x9D\x1F\t\x80", 8);
    for (int i = 0; i < 600; ++i) {
        std::string text;
        while (text.size() < static_cast<std::size_t>(random() % 300)) {
            text += std::string(random() % 40, static_cast<char>('a' + random() % 26)) + "\r\n";
        }
        if (i % 4 != 0 && !text.empty()) {
            const std::size_t at = random() % text.size();
            if (i % 4 == 1) {
                text.insert(at, 1, flaws[random() % flaws.size()]);
            } else if (i % 4 == 2) {
                text[at] = flaws[random() % flaws.size()];
            } else {
                text.insert(at, "\n\r");
            }
        }
        inputs.push_back(text);
    }
    std::string out;
    for (const std::string& text : inputs) {
        runtime::TStringList lines;
        lines.SetText(txt::Latin1ToText(text));
        const std::string expected = runtime::ToAnsi(lines.Text());
        TextFileBytes(text, out);
        ASSERT_EQ(out, expected);
        // In place, with and without room for the last line's CR LF.
        for (std::size_t room : {0, 1, 2, 5}) {
            std::string copy = text + std::string(room, '#');
            ASSERT_EQ(TextFileBytesInPlace(copy.data(), text.size(), room, out), expected);
        }
        // Built where it lies, behind other bytes: the storage grows to the result's size.
        platform::MemoryRegion region;
        region.Grow(3 + text.size());
        std::memcpy(region.Data(), "SOH", 3);
        if (!text.empty()) std::memcpy(region.Data() + 3, text.data(), text.size());
        ASSERT_EQ(FileBytesInRegion(region, 3, text.size(), out), expected);
        ASSERT_LE(region.Usable(), 3 + std::max(text.size(), expected.size()));
        ASSERT_EQ(std::string_view(region.Data(), 3), "SOH");
    }
}

}  // namespace
}  // namespace collector
