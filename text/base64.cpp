#include "text/base64.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define VBX_BASE64_X86 1
#include <immintrin.h>
#endif

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

#ifdef VBX_BASE64_X86

// The vector kernels classify each character by its two nibbles: lutLo[low nibble] has a
// bit set for every high nibble under which that low nibble is not an alphabet character,
// lutHi[high nibble] has the bit of its own high nibble (0x10 for the nibbles that hold no
// alphabet character at all). A character is in the alphabet exactly when the two share no
// bit. Its value is then the character plus lutRoll[high nibble], where "/" (the one
// character whose offset differs from the rest of its nibble) uses the entry before.
// Four 6-bit values of a group are merged into 24 bits by two multiply-adds and the three
// bytes of every 32-bit lane are gathered by a shuffle.
#define VBX_BASE64_LUT_LO 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A
#define VBX_BASE64_LUT_HI 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10
#define VBX_BASE64_LUT_ROLL 0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0
#define VBX_BASE64_GATHER 2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1

__attribute__((target("ssse3"))) std::size_t DecodeSsse3(const char* in, std::size_t size, char* out) {
    const __m128i lutLo = _mm_setr_epi8(VBX_BASE64_LUT_LO);
    const __m128i lutHi = _mm_setr_epi8(VBX_BASE64_LUT_HI);
    const __m128i lutRoll = _mm_setr_epi8(VBX_BASE64_LUT_ROLL);
    const __m128i gather = _mm_setr_epi8(VBX_BASE64_GATHER);
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i slash = _mm_set1_epi8(0x2F);
    const __m128i zero = _mm_setzero_si128();
    std::size_t done = 0;
    for (; done + 16 <= size; done += 16) {
        const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
        const __m128i hiNibbles = _mm_and_si128(_mm_srli_epi32(chars, 4), nibble);
        const __m128i lo = _mm_shuffle_epi8(lutLo, _mm_and_si128(chars, nibble));
        const __m128i hi = _mm_shuffle_epi8(lutHi, hiNibbles);
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(lo, hi), zero)) != 0xFFFF) break;
        const __m128i roll = _mm_shuffle_epi8(lutRoll, _mm_add_epi8(_mm_cmpeq_epi8(chars, slash), hiNibbles));
        const __m128i values = _mm_add_epi8(chars, roll);
        const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
        const __m128i words = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + done / 4 * 3), _mm_shuffle_epi8(words, gather));
    }
    return done;
}

__attribute__((target("avx2"))) std::size_t DecodeAvx2(const char* in, std::size_t size, char* out) {
    const __m256i lutLo = _mm256_setr_epi8(VBX_BASE64_LUT_LO, VBX_BASE64_LUT_LO);
    const __m256i lutHi = _mm256_setr_epi8(VBX_BASE64_LUT_HI, VBX_BASE64_LUT_HI);
    const __m256i lutRoll = _mm256_setr_epi8(VBX_BASE64_LUT_ROLL, VBX_BASE64_LUT_ROLL);
    const __m256i gather = _mm256_setr_epi8(VBX_BASE64_GATHER, VBX_BASE64_GATHER);
    // The shuffle leaves 12 bytes in each 128-bit half; these move them together.
    const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i slash = _mm256_set1_epi8(0x2F);
    std::size_t done = 0;
    for (; done + 32 <= size; done += 32) {
        const __m256i chars = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + done));
        const __m256i hiNibbles = _mm256_and_si256(_mm256_srli_epi32(chars, 4), nibble);
        const __m256i lo = _mm256_shuffle_epi8(lutLo, _mm256_and_si256(chars, nibble));
        const __m256i hi = _mm256_shuffle_epi8(lutHi, hiNibbles);
        if (!_mm256_testz_si256(lo, hi)) break;
        const __m256i roll = _mm256_shuffle_epi8(lutRoll, _mm256_add_epi8(_mm256_cmpeq_epi8(chars, slash), hiNibbles));
        const __m256i values = _mm256_add_epi8(chars, roll);
        const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
        const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, gather), join);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + done / 4 * 3), bytes);
    }
    // A last half block goes through the narrower kernel.
    return done + DecodeSsse3(in + done, size - done < 32 ? size - done : 0, out + done / 4 * 3);
}

#endif

}  // namespace

bool Base64KernelSupported(Base64Kernel kernel) {
    switch (kernel) {
    case Base64Kernel::kPortable: return true;
#ifdef VBX_BASE64_X86
    case Base64Kernel::kSsse3: return __builtin_cpu_supports("ssse3");
    case Base64Kernel::kAvx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("ssse3");
#else
    case Base64Kernel::kSsse3:
    case Base64Kernel::kAvx2: return false;
#endif
    }
    return false;
}

Base64Kernel FastestBase64Kernel() {
    static const Base64Kernel fastest = [] {
        for (Base64Kernel kernel : {Base64Kernel::kAvx2, Base64Kernel::kSsse3}) {
            if (Base64KernelSupported(kernel)) return kernel;
        }
        return Base64Kernel::kPortable;
    }();
    return fastest;
}

std::size_t Base64DecodePlainBlocks(Base64Kernel kernel, const char* in, std::size_t size, char* out) {
    switch (kernel) {
    case Base64Kernel::kPortable: return 0;
#ifdef VBX_BASE64_X86
    case Base64Kernel::kSsse3: return DecodeSsse3(in, size, out);
    case Base64Kernel::kAvx2: return DecodeAvx2(in, size, out);
#else
    case Base64Kernel::kSsse3:
    case Base64Kernel::kAvx2: return 0;
#endif
    }
    return 0;
}

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

std::size_t Base64DecodeLenientInto(std::string_view text, char* out, Base64Kernel kernel) {
    const std::size_t groups = text.size() / 4;
    if (groups == 0) return 0;
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    auto* o = reinterpret_cast<unsigned char*>(out);

    std::size_t drop = 0;
    bool stopped = false;
    // All groups but the last use the four-byte store; the last one must not write past
    // the end of the output. Plain blocks go to the vector kernel, which stops at a block
    // it cannot take; the table then decodes the next eight groups, which cover it.
    // The kernel leaves three groups of the output for its overrun. Group g is read
    // before its bytes go to [3g, 3g+4), which lies before group g+1 at 4g+4, so the
    // output may be the text itself.
    std::size_t g = 0;
    while (g + 1 < groups && !stopped) {
        if (groups >= g + 3) {
            g += Base64DecodePlainBlocks(kernel, text.data() + 4 * g, 4 * (groups - g - 3), out + 3 * g) / 4;
        }
        for (const std::size_t stop = std::min(g + 8, groups - 1); g < stop; ++g) {
            // The group's characters are read before its bytes may overwrite them.
            const std::uint32_t word = Group(in + 4 * g);
            const unsigned char third = in[4 * g + 2], fourth = in[4 * g + 3];
            Put4(o + 3 * g, word);
            if (word & kFlag) [[unlikely]] {
                if (third == '=') {
                    drop = 2;
                    stopped = true;
                    break;
                }
                if (fourth == '=') {
                    drop = 1;
                    stopped = true;
                    break;
                }
            }
        }
    }
    if (stopped) {
        // Every complete group owns three bytes of the output: those behind the stopping
        // group read as zeros.
        std::memset(o + 3 * g + 3, 0, 3 * (groups - g - 1));
    } else {
        g = groups - 1;
        const unsigned char third = in[4 * g + 2], fourth = in[4 * g + 3];
        Put3(o + 3 * g, Group(in + 4 * g));
        if (third == '=') {
            drop = 2;
        } else if (fourth == '=') {
            drop = 1;
        }
    }
    return groups * 3 - drop;
}

void Base64DecodeLenient(std::string_view text, std::string& out, Base64Kernel kernel) {
    out.clear();
    out.resize(text.size() / 4 * 3);
    out.resize(Base64DecodeLenientInto(text, out.data(), kernel));
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
