#include "runtime/lines.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "runtime/codepage.h"
#include "runtime/files.h"
#include "text/strings.h"

namespace runtime {

namespace {

// Splits text at CR, LF and CR LF up to the first NUL and hands each line to `line`.
// A last line without a break counts; a break at the very end adds no empty line.
template <typename Char, typename Sink>
void SplitLines(std::basic_string_view<Char> text, Sink&& line) {
    const std::size_t end = std::min(text.size(), text.find(Char(0)));
    std::size_t start = 0, i = 0;
    while (i < end) {
        const Char c = text[i];
        if (c == Char('\r') || c == Char('\n')) {
            line(text.substr(start, i - start));
            ++i;
            if (c == Char('\r') && i < end && text[i] == Char('\n')) ++i;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < end) line(text.substr(start, end - start));
}

// Finds the next CR or LF in [from, end) with memchr, scanning for each kind again only
// once the position found for it lies behind.
class BreakScanner {
public:
    explicit BreakScanner(const char* end) : end_(end) {}

    const char* Next(const char* from) {
        Advance(cr_, '\r', from);
        Advance(lf_, '\n', from);
        return std::min(cr_, lf_);
    }

private:
    void Advance(const char*& found, char which, const char* from) {
        if (found != nullptr && (found == end_ || found >= from)) return;
        if (from == end_) {
            found = end_;
            return;
        }
        const void* hit = std::memchr(from, which, static_cast<std::size_t>(end_ - from));
        found = hit != nullptr ? static_cast<const char*>(hit) : end_;
    }

    const char* end_;
    const char* cr_ = nullptr;
    const char* lf_ = nullptr;
};

}  // namespace

std::u16string TStringList::Text() const {
    std::size_t size = 0;
    for (const auto& line : lines_) size += line.size() + 2;
    std::u16string text;
    text.reserve(size);
    for (const auto& line : lines_) {
        text += line;
        text += u"\r\n";
    }
    return text;
}

void TStringList::SetText(std::u16string_view text) {
    lines_.clear();
    SplitLines(text, [this](std::u16string_view line) { lines_.emplace_back(line); });
}

void TStringList::SaveToFile(const std::u16string& fileName) const { WriteFileBytes(fileName, ToAnsi(Text())); }

std::string TStringList::ExactFileBytes() const {
    const std::u16string text = Text();
    if (std::optional<std::string> ansi = ToAnsiExact(text)) return std::move(*ansi);
    return "\xEF\xBB\xBF" + txt::ToUtf8(text);
}

void TStringList::LoadFromFile(const std::u16string& fileName) { SetText(DecodeFileText(ReadFileBytes(fileName))); }

namespace {

const char* NormalisedEnd(std::string_view bytes) {
    const void* nul = bytes.empty() ? nullptr : std::memchr(bytes.data(), '\0', bytes.size());
    return nul != nullptr ? static_cast<const char*>(nul) : bytes.data() + bytes.size();
}

}  // namespace

std::size_t NormalisedRoom(std::string_view bytes) {
    // Each break becomes at most two bytes, and one break may be appended at the end.
    const char* const end = NormalisedEnd(bytes);
    std::size_t breaks = 0;
    BreakScanner scan(end);
    for (const char* at = scan.Next(bytes.data()); at != end; at = scan.Next(at + 1)) ++breaks;
    return static_cast<std::size_t>(end - bytes.data()) + breaks + 2;
}

std::size_t NormaliseLineBreaks(std::string_view bytes, char* out) {
    // This works with memchr over the data (breaks are rare in a frame).
    const char* const end = NormalisedEnd(bytes);
    char* o = out;
    BreakScanner scan(end);
    const char* start = bytes.data();
    for (const char* at = scan.Next(start); at != end; at = scan.Next(start)) {
        std::memcpy(o, start, static_cast<std::size_t>(at - start));
        o += at - start;
        *o++ = '\r';
        *o++ = '\n';
        start = at + 1;
        if (*at == '\r' && start != end && *start == '\n') ++start;
    }
    if (start != end) {
        std::memcpy(o, start, static_cast<std::size_t>(end - start));
        o += end - start;
        *o++ = '\r';
        *o++ = '\n';
    }
    return static_cast<std::size_t>(o - out);
}

std::string NormaliseLineBreaks(std::string_view bytes) {
    std::string out;
    out.resize(NormalisedRoom(bytes));
    out.resize(NormaliseLineBreaks(bytes, out.data()));
    return out;
}

std::u16string DecodeFileText(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 && ((byte(0) == 0xFF && byte(1) == 0xFE) || (byte(0) == 0xFE && byte(1) == 0xFF))) {
        const bool little = byte(0) == 0xFF;
        // A final odd byte is not a whole code unit and is left out.
        std::u16string text((bytes.size() - 2) / 2, u'\0');
        for (std::size_t k = 0; k < text.size(); ++k) {
            const unsigned a = byte(2 + 2 * k), b = byte(3 + 2 * k);
            text[k] = static_cast<char16_t>(little ? (a | (b << 8)) : ((a << 8) | b));
        }
        return text;
    }
    if (bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF)
        return txt::FromUtf8(bytes.substr(3));
    return FromAnsi(bytes);
}

}  // namespace runtime
