#pragma once
// Text helpers. Text is UTF-16 (std::u16string); byte strings are std::string.
#include <cstdint>
#include <string>
#include <string_view>

namespace txt {

// UTF-8 <-> UTF-16 (used for literals in the source, console output and file names).
std::u16string FromUtf8(std::string_view utf8);
std::string ToUtf8(std::u16string_view text);

// Shorthand for literal texts written in UTF-8 in the source: U("cliënt").
inline std::u16string U(std::string_view utf8) { return FromUtf8(utf8); }

std::u16string IntToStr(std::int64_t value);

// The lenient text-to-integer conversion: leading spaces, one optional sign, "$", "x",
// "X", "0x", "0X" for hexadecimal; when conversion stops early the digits read so far
// give the value without the sign; empty text gives 0.
std::int32_t ToInteger(std::u16string_view text);

// Case-insensitive comparison of whole texts (the user's default locale: ASCII and
// Latin-1 letters fold).
bool SameText(std::u16string_view a, std::u16string_view b);
std::u16string UpperCase(std::u16string_view text);

// Removes leading and trailing characters at or below U+0020.
std::u16string Trim(std::u16string_view text);

// Replaces every "%s" in turn by the arguments (a minimal Format for the message texts).
std::u16string FormatS(std::u16string_view pattern, std::initializer_list<std::u16string_view> args);

}  // namespace txt
