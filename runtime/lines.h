#pragma once
// Lists of lines. The text form of a list is every line followed by CR LF, the last one
// included; setting the text splits at CR, LF or CR LF and stops at a NUL character.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace runtime {

class TStringList {
public:
    void Add(std::u16string line) { lines_.push_back(std::move(line)); }
    void Clear() { lines_.clear(); }
    std::size_t Count() const { return lines_.size(); }
    const std::u16string& operator[](std::size_t i) const { return lines_[i]; }
    const std::vector<std::u16string>& Lines() const { return lines_; }

    std::u16string Text() const;
    void SetText(std::u16string_view text);

    // Saves Text() in the system's ANSI code page, no byte-order mark, created or
    // truncated with exclusive access. Raises EFCreateError "Cannot create file "%s". %s".
    void SaveToFile(const std::u16string& fileName) const;
    // The bytes SaveToFile writes when the ANSI code page holds every character exactly;
    // otherwise the text as UTF-8 behind a byte-order mark, which LoadFromFile reads back
    // as the same text.
    std::string ExactFileBytes() const;
    // Loads with byte-order-mark detection (UTF-16 LE, UTF-16 BE, UTF-8, else the ANSI
    // code page). Raises EFOpenError "Cannot open file "%s". %s".
    void LoadFromFile(const std::u16string& fileName);

private:
    std::vector<std::u16string> lines_;
};

// The same splitting and joining on byte strings that are a one-to-one image of text
// (a NUL ends the text; CR, LF and CR LF become CR LF; a non-empty result ends in CR LF).
std::string NormaliseLineBreaks(std::string_view bytes);
// The same into `out`, which has room for NormalisedRoom(bytes) bytes (the most the result
// can take); returns the number of bytes written.
std::size_t NormalisedRoom(std::string_view bytes);
std::size_t NormaliseLineBreaks(std::string_view bytes, char* out);

// Decodes file bytes by their byte-order mark as LoadFromFile does.
std::u16string DecodeFileText(std::string_view bytes);

}  // namespace runtime
