#include "text/cp1252.h"

#include <array>
#include <cstdint>

namespace txt {

namespace {

// Windows-1252 in the range 0x80..0x9F; the five bytes the code page leaves undefined
// read as the C1 control of the same value so that they survive a round trip.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr std::array<char16_t, 256> MakeDecodeTable() {
    std::array<char16_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        table[b] = (b >= 0x80 && b < 0xA0) ? kHigh[b - 0x80] : static_cast<char16_t>(b);
    }
    return table;
}

constexpr auto kDecode = MakeDecodeTable();

char EncodeOne(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
    for (std::size_t i = 0; i < kHigh.size(); ++i) {
        if (kHigh[i] == c) return static_cast<char>(0x80 + i);
    }
    return '?';
}

}  // namespace

std::string EncodeCp1252(std::u16string_view text) {
    std::string out;
    out.resize(text.size());
    std::size_t o = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c < 0x80) {
            out[o++] = static_cast<char>(c);
            continue;
        }
        // A surrogate pair is one character outside the code page: one "?".
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            ++i;
            out[o++] = '?';
            continue;
        }
        out[o++] = EncodeOne(c);
    }
    out.resize(o);
    return out;
}

std::u16string DecodeCp1252(std::string_view bytes) {
    std::u16string out;
    out.resize(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t i = 0; i < bytes.size(); ++i) out[i] = kDecode[p[i]];
    return out;
}

std::string LowBytes(std::u16string_view text) {
    std::string out;
    out.resize(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) out[i] = static_cast<char>(text[i] & 0xFF);
    return out;
}

std::u16string Latin1ToText(std::string_view bytes) {
    std::u16string out;
    out.resize(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) out[i] = static_cast<unsigned char>(bytes[i]);
    return out;
}

}  // namespace txt
