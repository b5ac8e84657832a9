#pragma once
// Base64 with the standard alphabet, "=" fill and no line breaks.
//
// Threading contract: free functions without shared state (the kernel choice is made
// once, thread-safely).
#include <cstddef>
#include <string>
#include <string_view>

namespace txt {

// The decoding kernels. A vector kernel decodes only plain text: whole blocks (16
// characters for SSSE3, 32 for AVX2) of alphabet characters; every other case, "=", the
// last group and any character outside the alphabet, is left to the table decoder, which
// is the portable kernel.
enum class Base64Kernel { kPortable, kSsse3, kAvx2 };
// Whether this processor (and system) runs the kernel.
bool Base64KernelSupported(Base64Kernel kernel);
// The fastest supported kernel, chosen on first use.
Base64Kernel FastestBase64Kernel();

// The bytes a vector kernel may write after the ones it decoded.
inline constexpr std::size_t kBase64Overrun = 8;
// Decodes the longest prefix of in[0, size) that consists of whole blocks of alphabet
// characters and returns its length (a multiple of 16; always 0 for the portable kernel).
// out receives its 3/4 bytes and up to kBase64Overrun bytes after them may be
// overwritten. out may overlap the input when it does not lie after it (decoding in place
// from the start of the text): every block is read before anything is written over it.
std::size_t Base64DecodePlainBlocks(Base64Kernel kernel, const char* in, std::size_t size, char* out);

std::string Base64Encode(std::string_view bytes);

// The collector's lenient decoder: only the first 4*floor(n/4) characters are used;
// characters outside the alphabet map to 255 and take part as such; after a group whose
// third character is "=" decoding stops and two bytes are dropped from the end of the
// full output length (one byte when only the fourth is "="); the groups after the stopping
// group give zero bytes. Input characters are bytes here (non-ASCII already substituted).
std::string Base64DecodeLenient(std::string_view text);
// Decodes into out (reusing its capacity), with the given kernel for the plain blocks.
void Base64DecodeLenient(std::string_view text, std::string& out, Base64Kernel kernel = FastestBase64Kernel());
// The same into out[0, 3*floor(n/4)), which may be the text itself (decoding in place);
// returns the number of decoded bytes.
std::size_t Base64DecodeLenientInto(std::string_view text, char* out, Base64Kernel kernel = FastestBase64Kernel());

// True when the characters the lenient decoder uses are well-formed base64: all in
// A-Z a-z 0-9 + / =, and "=" only as the last, or the last two, characters of the last
// group used.
bool IsWellFormedBase64(std::string_view text);

}  // namespace txt
