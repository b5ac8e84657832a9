#pragma once
// Shared by the fuzz targets: how a broken invariant ends the run, and the reference
// models that more than one target checks against, written from the rules and independent
// of the program's own helpers: base64 decoding and validity, line splitting, and the
// reading of a number (ToInteger, the frame's length field). It brings the standard
// headers that every target uses.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzz {

[[noreturn]] inline void Fail(std::string_view what) {
    std::fprintf(stderr, "broken invariant: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

inline void Check(bool ok, std::string_view what) {
    if (!ok) Fail(what);
}

// A printable excerpt of bytes for a failure line: the first 64 in hexadecimal.
inline std::string Hex(std::string_view bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < 64; ++i) {
        out += "0123456789abcdef"[static_cast<unsigned char>(bytes[i]) >> 4];
        out += "0123456789abcdef"[bytes[i] & 15];
    }
    return out + " (" + std::to_string(bytes.size()) + " bytes)";
}

// The value of a base64 character, or -1 for any other byte.
inline int Base64Value(char c) {
    constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::size_t at = kAlphabet.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// The lenient decoder: whole groups of four only, every byte outside the alphabet is 255,
// three bytes per group; a group whose third byte is "=" stops the decoding and drops two
// bytes, one whose fourth byte is "=" stops it and drops one; the output keeps the length
// of all groups, zero after the stopping group, minus the dropped bytes at the very end.
inline std::string ModelLenient(std::string_view text) {
    std::string out(text.size() / 4 * 3, '\0');
    std::size_t drop = 0;
    for (std::size_t g = 0; g < text.size() / 4 && drop == 0; ++g) {
        std::uint32_t word = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const int v = Base64Value(text[4 * g + k]);
            word = (word << 6) | static_cast<std::uint32_t>(v < 0 ? 255 : v);
        }
        for (std::size_t k = 0; k < 3; ++k) out[3 * g + k] = static_cast<char>((word >> (16 - 8 * k)) & 0xFF);
        drop = text[4 * g + 2] == '=' ? 2 : text[4 * g + 3] == '=' ? 1 : 0;
    }
    out.resize(out.size() - drop);
    return out;
}

// The validity rule: the groups the decoder uses hold alphabet characters only, except
// that the very last one may end in "=" or in "==".
inline bool ModelWellFormed(std::string_view text) {
    const std::size_t used = text.size() / 4 * 4;
    for (std::size_t i = 0; i < used; ++i) {
        if (Base64Value(text[i]) >= 0) continue;
        const bool last = i == used - 1, secondLast = i == used - 2 && text[used - 1] == '=';
        if (text[i] != '=' || (!last && !secondLast)) return false;
    }
    return true;
}

// Lines end at CR LF, a lone CR or a lone LF (LF CR ends two lines); a NUL ends the text;
// characters after the last break make a last line.
template <typename Char>
std::vector<std::basic_string<Char>> ModelLines(std::basic_string_view<Char> text) {
    std::vector<std::basic_string<Char>> lines;
    std::basic_string<Char> line;
    for (std::size_t i = 0; i < text.size() && text[i] != Char(0); ++i) {
        const Char c = text[i];
        if (c == Char('\r') || c == Char('\n')) {
            lines.push_back(std::move(line));
            line.clear();
            if (c == Char('\r') && i + 1 < text.size() && text[i + 1] == Char('\n')) ++i;
        } else {
            line.push_back(c);
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// The lines written back, each followed by CR LF.
template <typename Char>
std::basic_string<Char> ModelJoined(const std::vector<std::basic_string<Char>>& lines) {
    std::basic_string<Char> text;
    for (const auto& line : lines) text += line + Char('\r') + Char('\n');
    return text;
}

// A number as the program reads one: blanks, one sign, a hexadecimal prefix ("$", "x",
// "X", "0x", "0X"), then digits of that base until a character that is not one or until
// the value would leave 32 bits (2^31 - 1 for decimals, 2^31 after a "-"). The result:
// the value without its sign, and the integer as ToInteger gives it (the sign counts only
// when the digits run to the end of the text).
struct ModelNumber {
    std::uint64_t value;
    std::int32_t integer;
};

template <typename Char>
ModelNumber ModelReadNumber(std::basic_string_view<Char> text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == Char(' ')) ++i;
    const bool negative = i < text.size() && text[i] == Char('-');
    if (i < text.size() && (text[i] == Char('+') || negative)) ++i;
    std::size_t prefix = 0;
    if (i < text.size() && (text[i] == Char('$') || text[i] == Char('x') || text[i] == Char('X'))) {
        prefix = 1;
    } else if (i + 1 < text.size() && text[i] == Char('0') && (text[i + 1] == Char('x') || text[i + 1] == Char('X'))) {
        prefix = 2;
    }
    i += prefix;
    const std::uint64_t base = prefix != 0 ? 16 : 10;
    const std::uint64_t limit = prefix != 0 ? 0xFFFFFFFFull : 0x7FFFFFFFull + (negative ? 1 : 0);
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const Char c = text[i];
        int d = c >= Char('0') && c <= Char('9') ? static_cast<int>(c - Char('0')) : -1;
        if (base == 16 && c >= Char('a') && c <= Char('f')) d = static_cast<int>(c - Char('a')) + 10;
        if (base == 16 && c >= Char('A') && c <= Char('F')) d = static_cast<int>(c - Char('A')) + 10;
        if (d < 0 || value * base + static_cast<std::uint64_t>(d) > limit) break;
        value = value * base + static_cast<std::uint64_t>(d);
    }
    const bool whole = i == text.size();
    return {value, static_cast<std::int32_t>(static_cast<std::uint32_t>(whole && negative ? 0 - value : value))};
}

}  // namespace fuzz
