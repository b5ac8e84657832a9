#include "collector/packet_text.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "collector/receive_buffer.h"
#include "runtime/codepage.h"
#include "runtime/lines.h"
#include "text/base64.h"
#include "text/cp1252.h"
#include "text/strings.h"

namespace collector {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// Set in a table entry for a byte outside the alphabet. It lies above the 24 bits of a
// group, so OR-ing the words of all groups tells at the end whether any byte was bad.
constexpr std::uint32_t kBad = 0x80000000u;

constexpr std::array<std::uint32_t, 256> MakeShifted(unsigned shift) {
    std::array<std::uint32_t, 256> table{};
    for (auto& entry : table) entry = kBad;
    for (std::uint32_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i << shift;
    return table;
}

constexpr auto kShift18 = MakeShifted(18);
constexpr auto kShift12 = MakeShifted(12);
constexpr auto kShift6 = MakeShifted(6);
constexpr auto kShift0 = MakeShifted(0);

inline bool InAlphabet(unsigned char c) { return kShift0[c] != kBad; }

inline std::uint32_t Group(const unsigned char* in) {
    return kShift18[in[0]] | kShift12[in[1]] | kShift6[in[2]] | kShift0[in[3]];
}

// How the text file writer treats each byte: mapped to the ANSI code page, and whether
// the byte needs more than a copy (line breaks, the NUL end, a byte the code page maps
// elsewhere).
struct CodePageTable {
    bool singleByte = true;  // every character U+0000..U+00FF is one ANSI byte
    bool lowRanges = true;   // every special byte lies in 0x00-0x1F or 0x80-0x9F
    std::array<char, 256> map{};
    std::array<bool, 256> special{};
};

CodePageTable BuildCodePageTable() {
    CodePageTable table;
    for (unsigned b = 0; b < 256; ++b) {
        const std::string ansi = runtime::ToAnsi(std::u16string(1, static_cast<char16_t>(b)));
        if (ansi.size() != 1) {
            table.singleByte = false;
            return table;
        }
        table.map[b] = ansi[0];
        table.special[b] = b == '\r' || b == '\n' || b == 0 || static_cast<unsigned char>(ansi[0]) != b;
        if (table.special[b] && !(b < 0x20 || (b >= 0x80 && b < 0xA0))) table.lowRanges = false;
    }
    return table;
}

const CodePageTable& Table() {
    static const CodePageTable table = BuildCodePageTable();
    return table;
}

// Nonzero when one of the eight bytes of w may lie in 0x00-0x1F or 0x80-0x9F (never zero
// when one does; a borrow may flag a byte above a flagged one as well).
inline std::uint64_t MayHoldLowRangeByte(std::uint64_t w) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    const auto below20 = [](std::uint64_t v) { return (v - 0x20 * kOnes) & ~v & kHigh; };
    return below20(w) | below20(w ^ kHigh);
}

// The position of the first byte in text[from, end) that is not a plain copy, or end.
std::size_t SkipPlain(const CodePageTable& table, const char* text, std::size_t from, std::size_t end) {
    std::size_t i = from;
    if (!table.lowRanges) {
        while (i < end && !table.special[static_cast<unsigned char>(text[i])]) ++i;
        return i;
    }
    while (i < end) {
        // Eight bytes at a time while none of them can be special, then the flagged eight
        // one by one.
        std::uint64_t w;
        while (i + 8 <= end && (std::memcpy(&w, text + i, 8), MayHoldLowRangeByte(w) == 0)) i += 8;
        for (const std::size_t stop = std::min(i + 8, end); i < stop; ++i) {
            if (table.special[static_cast<unsigned char>(text[i])]) return i;
        }
    }
    return end;
}

// The position of the first byte in text[0, end) where the text stops being in file form:
// a special byte that is not the CR or the LF of a CR LF pair; end when there is none.
// For tables whose special bytes all lie in the low ranges.
std::size_t SkipFileForm(const CodePageTable& table, const char* text, std::size_t end) {
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time: a block passes when every byte of the low ranges in it is
    // a CR followed by an LF, the LF of such a pair, or a byte the code page copies. The
    // LF of a CR that ends the block is passed over with it. Stops where the block would
    // need the byte after `end`, and leaves the rest to the bytewise scan below.
    const __m128i seven = _mm_set1_epi8(0x7F);
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    while (i + 17 <= end) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const unsigned low =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(_mm_and_si128(block, seven), space)));
        if (low == 0) {
            i += 16;
            continue;
        }
        const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + 1));
        const unsigned pairs = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, cr))) &
                               static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(after, lf)));
        const unsigned inPairs = pairs | ((pairs << 1) & 0xFFFFu);
        // A CR of a pair whose LF is also the CR of a later pair cannot happen: the LF is
        // not a CR. So the bits left are bytes outside every pair.
        for (unsigned rest = low & ~inPairs; rest != 0; rest &= rest - 1) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(rest));
            if (table.special[static_cast<unsigned char>(text[at])]) return at;
        }
        i += (pairs & 0x8000u) != 0 ? 17 : 16;
    }
#endif
    i = SkipPlain(table, text, i, end);
    while (i < end && text[i] == '\r' && i + 1 < end && text[i + 1] == '\n') i = SkipPlain(table, text, i + 2, end);
    return i;
}

// The size of the file bytes of text[0, end) (which holds no NUL) for a single-byte code
// page: every byte stays one byte but a lone CR or LF, which becomes CR LF, and an
// unfinished last line gets a CR LF.
std::size_t FileBytesSize(const CodePageTable& table, const char* text, std::size_t end) {
    std::size_t size = end;
    for (std::size_t i = SkipPlain(table, text, 0, end); i < end; i = SkipPlain(table, text, i, end)) {
        const char c = text[i++];
        if (c == '\r' && i < end && text[i] == '\n') {
            ++i;
        } else if (c == '\r' || c == '\n') {
            ++size;
        }
    }
    if (end > 0 && text[end - 1] != '\r' && text[end - 1] != '\n') size += 2;
    return size;
}

// The start of the run of plain bytes that ends at `to` in text[0, to): eight bytes at a
// time while none of them can be special, then the flagged eight one by one.
std::size_t PlainRunStart(const CodePageTable& table, const char* text, std::size_t to) {
    std::size_t i = to;
    for (;;) {
        std::uint64_t w;
        while (table.lowRanges && i >= 8 && (std::memcpy(&w, text + i - 8, 8), MayHoldLowRangeByte(w) == 0)) i -= 8;
        const std::size_t stop = i >= 8 ? i - 8 : 0;
        while (i > stop && !table.special[static_cast<unsigned char>(text[i - 1])]) --i;
        if (i != stop || i == 0) return i;
    }
}

// Turns text[0, end) (which holds no NUL) into its file bytes where it lies, from the
// back: text has room for `size` = FileBytesSize bytes. The output never overtakes the
// input still to be read, since what is left of the input can only grow.
void BuildFileBytesBackward(const CodePageTable& table, char* text, std::size_t end, std::size_t size) {
    std::size_t o = size;
    std::size_t i = end;
    if (end > 0 && text[end - 1] != '\r' && text[end - 1] != '\n') {
        text[--o] = '\n';
        text[--o] = '\r';
    }
    while (i > 0) {
        const std::size_t run = PlainRunStart(table, text, i);
        if (run < i) {
            o -= i - run;
            std::memmove(text + o, text + run, i - run);
            i = run;
            continue;
        }
        const auto c = static_cast<unsigned char>(text[--i]);
        if (c == '\n' || c == '\r') {
            // An LF after a CR is one break with it; a CR met here has no LF after it.
            if (c == '\n' && i > 0 && text[i - 1] == '\r') --i;
            text[--o] = '\n';
            text[--o] = '\r';
        } else {
            text[--o] = table.map[c];
        }
    }
}

bool IsLengthByte(char c) {
    return c == ' ' || c == '+' || c == '-' || c == '$' || c == 'x' || c == 'X' || (c >= '0' && c <= '9') ||
           (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

}  // namespace

std::uint32_t ReadFrameLength(std::string_view afterSoh) {
    // Only the bytes that can belong to a number are handed over, followed by the STX
    // that ends the field. The conversion therefore always stops early and returns the
    // digits' value without the sign, which is how the frame reads its length.
    std::size_t end = 0;
    while (end < afterSoh.size() && IsLengthByte(afterSoh[end])) ++end;
    std::u16string field = txt::Latin1ToText(afterSoh.substr(0, end));
    field.push_back(u'\x02');
    return static_cast<std::uint32_t>(txt::ToInteger(field));
}

PayloadSpan LocatePayload(std::string_view visible, std::size_t soh) {
    const std::string_view text = visible.substr(soh);
    const std::size_t stx = text.find(kSTX);
    if (stx == std::string_view::npos) return {};
    const std::uint32_t length = ReadFrameLength(text.substr(1, stx - 1));
    return {true, soh + stx + 1, DecodableLength(text, stx, length)};
}

std::string_view FramePayload(std::string_view visible, std::size_t stx, std::uint32_t length, std::string& scratch) {
    const std::size_t from = stx + 1;
    const std::size_t available = visible.size() - from;
    if (length <= available) {
        const std::string_view raw = visible.substr(from, length);
        if (std::memchr(raw.data(), '\r', raw.size()) == nullptr &&
            std::memchr(raw.data(), '\n', raw.size()) == nullptr) {
            return raw;
        }
    }
    // Line breaks are involved, or the payload runs into the CR LF that ends the frame
    // text: produce the frame text's characters one by one.
    scratch.clear();
    std::size_t i = from;
    while (scratch.size() < length && i < visible.size()) {
        const char c = visible[i++];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i < visible.size() && visible[i] == '\n') ++i;
            scratch.push_back('\r');
            if (scratch.size() < length) scratch.push_back('\n');
        } else {
            scratch.push_back(c);
        }
    }
    const char last = visible.back();  // visible holds at least the SOH and the STX
    if (i == visible.size() && last != '\r' && last != '\n') {
        if (scratch.size() < length) scratch.push_back('\r');
        if (scratch.size() < length) scratch.push_back('\n');
    }
    return scratch;
}

std::size_t DecodableLength(std::string_view visible, std::size_t stx, std::uint32_t length) {
    constexpr std::size_t npos = std::string_view::npos;
    const std::size_t from = stx + 1;
    const std::size_t available = visible.size() - from;
    const std::size_t span = std::min<std::size_t>(length, available);
    const char* const raw = visible.data() + from;
    // Up to the first line break the payload's characters are the bytes themselves.
    std::size_t p = span;
    for (const char c : {'\r', '\n'}) {
        if (const void* hit = std::memchr(raw, c, p)) p = static_cast<std::size_t>(static_cast<const char*>(hit) - raw);
    }
    if (p == span && length <= available) return length / 4 * 4;
    // At p the payload has a CR: of a line break, or of the CR LF after an unfinished last
    // line. The decoder uses it unless the payload ends before the next multiple of four
    // after p; count its characters from p on until that is decided.
    const std::size_t next = p / 4 * 4 + 4;
    std::size_t count = p;
    for (std::size_t i = from + p; count < next && count < length;) {
        if (i == visible.size()) {
            const char last = visible.back();  // visible holds at least the SOH and the STX
            if (last != '\r' && last != '\n') count += 2;
            break;
        }
        const char c = visible[i++];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i < visible.size() && visible[i] == '\n') ++i;
            count += 2;
        } else {
            ++count;
        }
    }
    const std::size_t used = std::min<std::size_t>(count, length) / 4 * 4;
    return used <= p ? used : npos;
}

std::size_t DecodeWellFormedBase64InPlace(char* text, std::size_t size, txt::Base64Kernel kernel) {
    constexpr std::size_t npos = std::string_view::npos;
    const std::size_t groups = size / 4;
    if (groups == 0) return 0;
    auto* p = reinterpret_cast<unsigned char*>(text);

    // Every group but the last must be four alphabet characters. Group g is read before
    // its three bytes go to [3g, 3g+3), which lies before group g+1 at 4g+4, so writing
    // over the text is safe; the four-byte store stays below 4g+4 as well. The vector
    // kernel takes the plain blocks (its overrun stays within the characters it read);
    // where it stops, the table decodes the next eight groups, which cover the block.
    const std::size_t body = groups - 1;
    std::size_t g = 0;
    while (g < body) {
        g += txt::Base64DecodePlainBlocks(kernel, text + 4 * g, 4 * (body - g), text + 3 * g) / 4;
        std::uint32_t seen = 0;
        for (const std::size_t stop = std::min(g + 8, body); g < stop; ++g) {
            const std::uint32_t word = Group(p + 4 * g);
            seen |= word;
            const unsigned char bytes[4] = {static_cast<unsigned char>(word >> 16),
                                            static_cast<unsigned char>(word >> 8), static_cast<unsigned char>(word), 0};
            std::memcpy(p + 3 * g, bytes, 4);
        }
        if (seen & kBad) return npos;
    }

    // The last group may end in "=" or "==".
    const unsigned char l0 = p[4 * body], l1 = p[4 * body + 1], l2 = p[4 * body + 2], l3 = p[4 * body + 3];
    if (!InAlphabet(l0) || !InAlphabet(l1)) return npos;
    std::size_t keep = 3;
    if (l2 == '=') {
        if (l3 != '=') return npos;
        keep = 1;
    } else if (!InAlphabet(l2)) {
        return npos;
    } else if (l3 == '=') {
        keep = 2;
    } else if (!InAlphabet(l3)) {
        return npos;
    }
    const std::uint32_t word =
        kShift18[l0] | kShift12[l1] | (keep >= 2 ? kShift6[l2] : 0) | (keep == 3 ? kShift0[l3] : 0);
    const unsigned char bytes[3] = {static_cast<unsigned char>(word >> 16), static_cast<unsigned char>(word >> 8),
                                    static_cast<unsigned char>(word)};
    std::memcpy(p + 3 * body, bytes, keep);
    return 3 * body + keep;
}

bool DecodeWellFormedBase64(std::string_view text, std::string& out) {
    out.assign(text);
    const std::size_t size = DecodeWellFormedBase64InPlace(out.data(), out.size());
    if (size == std::string_view::npos) return false;
    out.resize(size);
    return true;
}

namespace {

// The end of the text (its first NUL, or size), and whether text[0, end) already has the
// file form but perhaps for the last line's CR LF. For single-byte code pages.
std::size_t FileFormEnd(const CodePageTable& table, const char* text, std::size_t size, bool& fileForm) {
    const void* nul = std::memchr(text, '\0', size);
    const std::size_t end = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : size;
    // Already in file form when every special byte is the CR of a CR LF pair (or its LF).
    std::size_t i = 0;
    if (table.lowRanges) {
        i = SkipFileForm(table, text, end);
    } else {
        i = SkipPlain(table, text, 0, end);
        while (i < end && text[i] == '\r' && i + 1 < end && text[i + 1] == '\n') {
            i = SkipPlain(table, text, i + 2, end);
        }
    }
    fileForm = i == end;
    return end;
}

bool EndsInBreak(const char* text, std::size_t end) { return end == 0 || text[end - 1] == '\n'; }

}  // namespace

std::string_view TextFileBytesInPlace(char* text, std::size_t size, std::size_t room, std::string& out) {
    const CodePageTable& table = Table();
    if (table.singleByte) {
        bool fileForm = false;
        const std::size_t end = FileFormEnd(table, text, size, fileForm);
        if (fileForm && EndsInBreak(text, end)) return std::string_view(text, end);
        if (fileForm && size + room - end >= 2) {
            text[end] = '\r';
            text[end + 1] = '\n';
            return std::string_view(text, end + 2);
        }
    }
    TextFileBytes(std::string_view(text, size), out);
    return out;
}

std::string_view FileBytesInRegion(platform::MemoryRegion& storage, std::size_t offset, std::size_t size,
                                   std::string& out) {
    const CodePageTable& table = Table();
    if (!table.singleByte) {
        TextFileBytes(std::string_view(storage.Data() + offset, size), out);
        return out;
    }
    bool fileForm = false;
    const std::size_t end = FileFormEnd(table, storage.Data() + offset, size, fileForm);
    if (fileForm && EndsInBreak(storage.Data() + offset, end)) return std::string_view(storage.Data() + offset, end);
    const std::size_t bytes = fileForm ? end + 2 : FileBytesSize(table, storage.Data() + offset, end);
    storage.Grow(offset + bytes);
    char* const text = storage.Data() + offset;
    if (fileForm) {
        text[end] = '\r';
        text[end + 1] = '\n';
    } else {
        BuildFileBytesBackward(table, text, end, bytes);
    }
    return std::string_view(text, bytes);
}

void TextFileBytes(std::string_view text, std::string& out) {
    const CodePageTable& table = Table();
    if (!table.singleByte) {
        // A multi-byte code page: go the long way through a list of lines.
        runtime::TStringList lines;
        lines.SetText(txt::Latin1ToText(text));
        out = runtime::ToAnsi(lines.Text());
        return;
    }
    const char* p = text.data();
    const void* nul = std::memchr(p, '\0', text.size());
    const std::size_t end = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - p) : text.size();
    out.clear();
    out.reserve(end + end / 16 + 2);

    std::size_t i = 0, run = 0;
    std::size_t lineStart = 0;  // where the line after the last break begins
    while (i < end) {
        const auto c = static_cast<unsigned char>(p[i]);
        if (!table.special[c]) {
            ++i;
            continue;
        }
        out.append(p + run, i - run);
        ++i;
        if (c == '\r' || c == '\n') {
            out.append("\r\n", 2);
            if (c == '\r' && i < end && p[i] == '\n') ++i;
            lineStart = i;
        } else {
            out.push_back(table.map[c]);
        }
        run = i;
    }
    out.append(p + run, end - run);
    // An unfinished last line still ends in CR LF.
    if (end > lineStart) out.append("\r\n", 2);
}

}  // namespace collector
