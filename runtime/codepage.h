#pragma once
// Conversions between UTF-16 text and the system's 8-bit (ANSI) code page. All text to
// byte conversions of the program go through here.
#include <optional>
#include <string>
#include <string_view>

namespace runtime {

// The system's ANSI code page (Windows-1252 on Linux; what Windows reports there).
std::string ToAnsi(std::u16string_view text);
std::u16string FromAnsi(std::string_view bytes);
// The text in the ANSI code page when the code page holds every character exactly (the
// bytes read back as the same text: no "?" and no best-fit stand-in); nothing otherwise.
std::optional<std::string> ToAnsiExact(std::u16string_view text);

// Windows-1252 with the round-trip rule: the five undefined bytes read as U+0081, U+008D,
// U+008F, U+0090, U+009D and write back as the same bytes; characters outside the code
// page become "?".
std::string EncodeCp1252(std::u16string_view text);
std::u16string DecodeCp1252(std::string_view bytes);

// One byte per character: the low eight bits of every UTF-16 code unit.
std::string LowBytes(std::u16string_view text);
// ISO 8859-1 reading: byte value = character code.
std::u16string Latin1ToText(std::string_view bytes);

}  // namespace runtime
