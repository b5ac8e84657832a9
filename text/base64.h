#pragma once
// Base64 with the standard alphabet, "=" fill and no line breaks.
#include <string>
#include <string_view>

namespace txt {

std::string Base64Encode(std::string_view bytes);

// The collector's lenient decoder: only the first 4*floor(n/4) characters are used;
// characters outside the alphabet map to 255 and take part as such; after a group whose
// third character is "=" decoding stops and two bytes are dropped from the end of the
// full output length (one byte when only the fourth is "="); the groups after the stopping
// group give zero bytes. Input characters are bytes here (non-ASCII already substituted).
std::string Base64DecodeLenient(std::string_view text);
// Decodes into out (reusing its capacity).
void Base64DecodeLenient(std::string_view text, std::string& out);

// True when the characters the lenient decoder uses are well-formed base64: all in
// A-Z a-z 0-9 + / =, and "=" only as the last, or the last two, characters of the last
// group used.
bool IsWellFormedBase64(std::string_view text);

}  // namespace txt
