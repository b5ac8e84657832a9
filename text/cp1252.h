#pragma once
// Windows-1252 and the other fixed 8-bit readings of text; pure tables, no system calls.
// The system's own code page is reached through runtime/codepage.h.
#include <string>
#include <string_view>

namespace txt {

// Windows-1252 with the round-trip rule: the five undefined bytes read as U+0081, U+008D,
// U+008F, U+0090, U+009D and write back as the same bytes; characters outside the code
// page become "?".
std::string EncodeCp1252(std::u16string_view text);
std::u16string DecodeCp1252(std::string_view bytes);

// One byte per character: the low eight bits of every UTF-16 code unit.
std::string LowBytes(std::u16string_view text);
// ISO 8859-1 reading: byte value = character code.
std::u16string Latin1ToText(std::string_view bytes);

}  // namespace txt
