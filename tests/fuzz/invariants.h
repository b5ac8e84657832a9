#pragma once
// Shared by the fuzz targets: how a broken invariant ends the run, and the reference
// models that more than one target checks against, written from the rules and independent
// of the program's own helpers: base64 decoding and validity, line splitting, and the
// reading of a number (ToInteger, the frame's length field).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

[[noreturn]] inline void Fail(std::string_view what) {
    std::fprintf(stderr, "broken invariant: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

inline void Check(bool ok, std::string_view what) {
    if (!ok) Fail(what);
}

// A printable excerpt of bytes for a failure line.
inline std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < 64; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    if (bytes.size() > 64) out += "...";
    return out + " (" + std::to_string(bytes.size()) + " bytes)";
}

// ---------------------------------------------------------------------------------------
// Base64

// The value of a base64 character, or -1 for any other byte.
inline int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The lenient decoder: whole groups of four only, every byte outside the alphabet is 255,
// three bytes per group; a group whose third byte is "=" stops the decoding and drops two
// bytes, one whose fourth byte is "=" stops it and drops one; the output keeps the length
// of all groups, zero after the stopping group, minus the dropped bytes at the very end.
inline std::string ModelLenient(std::string_view text) {
    const std::size_t groups = text.size() / 4;
    std::string out(groups * 3, '\0');
    std::size_t drop = 0;
    for (std::size_t g = 0; g < groups && drop == 0; ++g) {
        std::uint32_t word = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const int v = Base64Value(static_cast<unsigned char>(text[4 * g + k]));
            word = (word << 6) | static_cast<std::uint32_t>(v < 0 ? 255 : v);
        }
        out[3 * g] = static_cast<char>((word >> 16) & 0xFF);
        out[3 * g + 1] = static_cast<char>((word >> 8) & 0xFF);
        out[3 * g + 2] = static_cast<char>(word & 0xFF);
        if (text[4 * g + 2] == '=') {
            drop = 2;
        } else if (text[4 * g + 3] == '=') {
            drop = 1;
        }
    }
    out.resize(out.size() - drop);
    return out;
}

// The validity rule: the groups the decoder uses hold alphabet characters only, except
// that the very last one may end in "=" or in "==".
inline bool ModelWellFormed(std::string_view text) {
    const std::size_t used = text.size() / 4 * 4;
    for (std::size_t i = 0; i < used; ++i) {
        if (Base64Value(static_cast<unsigned char>(text[i])) >= 0) continue;
        if (text[i] != '=') return false;
        const bool last = i == used - 1;
        const bool secondLast = i == used - 2 && text[used - 1] == '=';
        if (!last && !secondLast) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Lines

// Lines end at CR LF, a lone CR or a lone LF (LF CR ends two lines); a NUL ends the text;
// characters after the last break make a last line.
template <typename Char>
std::vector<std::basic_string<Char>> ModelLines(std::basic_string_view<Char> text) {
    std::vector<std::basic_string<Char>> lines;
    std::basic_string<Char> line;
    bool open = false;  // characters since the last break
    for (std::size_t i = 0; i < text.size() && text[i] != Char(0); ++i) {
        const Char c = text[i];
        if (c == Char('\r') || c == Char('\n')) {
            lines.push_back(line);
            line.clear();
            open = false;
            if (c == Char('\r') && i + 1 < text.size() && text[i + 1] == Char('\n')) ++i;
        } else {
            line.push_back(c);
            open = true;
        }
    }
    if (open) lines.push_back(line);
    return lines;
}

// The lines written back, each followed by CR LF.
template <typename Char>
std::basic_string<Char> ModelJoined(const std::vector<std::basic_string<Char>>& lines) {
    std::basic_string<Char> text;
    for (const auto& line : lines) {
        text += line;
        text += Char('\r');
        text += Char('\n');
    }
    return text;
}

// ---------------------------------------------------------------------------------------
// Numbers

// A number as the program reads one: blanks, one sign, a hexadecimal prefix ("$", "x",
// "X", "0x", "0X"), then digits of that base until a character that is not one or until
// the value would leave 32 bits (2^31 - 1 for decimals, 2^31 after a "-").
struct ModelNumber {
    std::uint64_t value = 0;
    bool negative = false;
    bool whole = false;  // the digits run to the end of the text
    // As ToInteger gives it: the sign counts only when nothing follows the digits.
    std::int32_t Integer() const {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(whole && negative ? 0 - value : value));
    }
};

template <typename Char>
ModelNumber ModelReadNumber(std::basic_string_view<Char> text) {
    ModelNumber number;
    std::size_t i = 0;
    while (i < text.size() && text[i] == Char(' ')) ++i;
    if (i < text.size() && (text[i] == Char('+') || text[i] == Char('-'))) number.negative = text[i++] == Char('-');
    bool hex = false;
    if (i < text.size() && (text[i] == Char('$') || text[i] == Char('x') || text[i] == Char('X'))) {
        hex = true;
        ++i;
    } else if (i + 1 < text.size() && text[i] == Char('0') && (text[i + 1] == Char('x') || text[i + 1] == Char('X'))) {
        hex = true;
        i += 2;
    }
    const std::uint64_t limit = hex ? 0xFFFFFFFFull : 0x7FFFFFFFull + (number.negative ? 1 : 0);
    for (; i < text.size(); ++i) {
        const Char c = text[i];
        int d = -1;
        if (c >= Char('0') && c <= Char('9')) d = static_cast<int>(c - Char('0'));
        if (hex && c >= Char('a') && c <= Char('f')) d = static_cast<int>(c - Char('a')) + 10;
        if (hex && c >= Char('A') && c <= Char('F')) d = static_cast<int>(c - Char('A')) + 10;
        if (d < 0) break;
        const std::uint64_t next = number.value * (hex ? 16 : 10) + static_cast<std::uint64_t>(d);
        if (next > limit) break;
        number.value = next;
    }
    number.whole = i == text.size();
    return number;
}

}  // namespace fuzz
