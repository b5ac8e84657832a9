#pragma once
// Conversions between UTF-16 text and the system's 8-bit (ANSI) code page, through the
// platform. Every conversion to the system's code page goes through here; the fixed
// readings (Windows-1252, Latin-1, low bytes) are in text/cp1252.h.
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

}  // namespace runtime
