#pragma once
// Shared by the fuzz targets (with the standard headers they use): how a broken invariant
// ends the run, and reference models written from the rules, independent of the program's
// helpers: base64 decoding and validity, line splitting, the reading of a number.
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
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    return c == '+' ? 62 : c == '/' ? 63 : -1;
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
        for (std::size_t k = 0; k < 4; ++k)  // -1 & 0xFF: 255 for a byte outside the alphabet
            word = (word << 6) | static_cast<std::uint32_t>(Base64Value(text[4 * g + k]) & 0xFF);
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
    // The character at k as a number, 0 past the end; "| 0x20" reads 'A'-'Z' as 'a'-'z'.
    const auto at = [&](std::size_t k) { return k < text.size() ? static_cast<std::uint32_t>(text[k]) : 0u; };
    std::size_t i = 0;
    while (at(i) == ' ') ++i;
    const bool negative = at(i) == '-';
    if (negative || at(i) == '+') ++i;
    const std::size_t prefix = at(i) == '$' || (at(i) | 0x20) == 'x'       ? 1
                               : at(i) == '0' && (at(i + 1) | 0x20) == 'x' ? 2
                                                                           : 0;
    const std::uint64_t base = prefix != 0 ? 16 : 10;
    const std::uint64_t limit = prefix != 0 ? 0xFFFFFFFFull : 0x7FFFFFFFull + (negative ? 1 : 0);
    std::uint64_t value = 0;
    for (i += prefix; i < text.size(); ++i) {
        const std::uint32_t c = at(i), letter = (c | 0x20) - 'a';
        const std::uint64_t d = c - '0' < 10 ? c - '0' : base == 16 && letter < 6 ? letter + 10 : base;
        if (d >= base || value * base + d > limit) break;
        value = value * base + d;
    }
    const bool whole = i == text.size();
    return {value, static_cast<std::int32_t>(static_cast<std::uint32_t>(whole && negative ? 0 - value : value))};
}

}  // namespace fuzz
