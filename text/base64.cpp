#include "text/base64.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace txt {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint32_t kBad = 255;
// Set in a table entry when the character is outside the alphabet; it lies above the 24
// bits a group produces, so it never reaches the output.
constexpr std::uint32_t kFlag = 0x80000000u;

constexpr std::array<std::uint32_t, 256> MakeValues() {
    std::array<std::uint32_t, 256> values{};
    for (auto& v : values) v = kBad;
    for (std::uint32_t i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = i;
    return values;
}

constexpr auto kValues = MakeValues();

// The value of each character already moved to its place in the 24-bit group. A
// character outside the alphabet takes part as 255, exactly as its shifted value.
constexpr std::array<std::uint32_t, 256> MakeShifted(unsigned shift) {
    std::array<std::uint32_t, 256> table{};
    for (unsigned c = 0; c < 256; ++c) {
        table[c] = (kValues[c] << shift) | (kValues[c] == kBad ? kFlag : 0);
    }
    return table;
}

constexpr auto kShift18 = MakeShifted(18);
constexpr auto kShift12 = MakeShifted(12);
constexpr auto kShift6 = MakeShifted(6);
constexpr auto kShift0 = MakeShifted(0);

inline std::uint32_t Group(const unsigned char* in) {
    return kShift18[in[0]] | kShift12[in[1]] | kShift6[in[2]] | kShift0[in[3]];
}

inline void Put3(unsigned char* out, std::uint32_t word) {
    out[0] = static_cast<unsigned char>(word >> 16);
    out[1] = static_cast<unsigned char>(word >> 8);
    out[2] = static_cast<unsigned char>(word);
}

// Writes the three bytes with one four-byte store; the fourth byte is zero and is either
// overwritten by the next group or is one of the zeros that follow a stopping group.
inline void Put4(unsigned char* out, std::uint32_t word) {
    const std::uint32_t shifted = word << 8;
    unsigned char bytes[4] = {static_cast<unsigned char>(shifted >> 24), static_cast<unsigned char>(shifted >> 16),
                              static_cast<unsigned char>(shifted >> 8), 0};
    std::memcpy(out, bytes, 4);
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
    std::string out;
    out.resize((bytes.size() + 2) / 3 * 4);
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    char* o = out.data();
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t w = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        *o++ = kAlphabet[(w >> 18) & 63];
        *o++ = kAlphabet[(w >> 12) & 63];
        *o++ = kAlphabet[(w >> 6) & 63];
        *o++ = kAlphabet[w & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        const std::uint32_t w = (std::uint32_t{in[i]} << 16) | (rest == 2 ? std::uint32_t{in[i + 1]} << 8 : 0);
        *o++ = kAlphabet[(w >> 18) & 63];
        *o++ = kAlphabet[(w >> 12) & 63];
        *o++ = rest == 2 ? kAlphabet[(w >> 6) & 63] : '=';
        *o++ = '=';
    }
    return out;
}

void Base64DecodeLenient(std::string_view text, std::string& out) {
    const std::size_t groups = text.size() / 4;
    out.clear();
    // Every complete group owns three bytes of the output, zero until decoded, so that the
    // groups behind a stopping group read as zeros.
    out.resize(groups * 3);
    if (groups == 0) return;
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    auto* o = reinterpret_cast<unsigned char*>(out.data());

    std::size_t drop = 0;
    bool stopped = false;
    // All groups but the last use the four-byte store; the last one must not write past
    // the end of the output.
    for (std::size_t g = 0; g + 1 < groups; ++g) {
        const std::uint32_t word = Group(in + 4 * g);
        Put4(o + 3 * g, word);
        if (word & kFlag) [[unlikely]] {
            if (in[4 * g + 2] == '=') {
                drop = 2;
                stopped = true;
                break;
            }
            if (in[4 * g + 3] == '=') {
                drop = 1;
                stopped = true;
                break;
            }
        }
    }
    if (!stopped) {
        const std::size_t g = groups - 1;
        Put3(o + 3 * g, Group(in + 4 * g));
        if (in[4 * g + 2] == '=') {
            drop = 2;
        } else if (in[4 * g + 3] == '=') {
            drop = 1;
        }
    }
    out.resize(groups * 3 - drop);
}

std::string Base64DecodeLenient(std::string_view text) {
    std::string out;
    Base64DecodeLenient(text, out);
    return out;
}

bool IsWellFormedBase64(std::string_view text) {
    const std::size_t used = text.size() / 4 * 4;
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    // Everything before the last group must be plain alphabet characters.
    std::uint32_t bad = 0;
    const std::size_t body = used >= 4 ? used - 4 : 0;
    for (std::size_t i = 0; i < body; ++i) bad |= kShift0[in[i]];
    if (bad & kFlag) return false;
    if (used == 0) return true;
    const unsigned char* last = in + used - 4;
    const auto valid = [](unsigned char c) { return kValues[c] != kBad; };
    if (!valid(last[0]) || !valid(last[1])) return false;
    if (last[2] == '=') return last[3] == '=';
    return valid(last[2]) && (last[3] == '=' || valid(last[3]));
}

}  // namespace txt
