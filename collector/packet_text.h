#pragma once
// The byte-level steps of packet processing. A frame's text is a one-to-one image of the
// received bytes, so these work on bytes; each is one pass over its input.
//
// Threading contract: free functions without shared state (the code-page table is built
// once, thread-safely).
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/memory.h"
#include "text/base64.h"

namespace collector {

// The frame's length field, read from the bytes that follow the SOH: leading spaces, one
// ignored sign, an optional "$", "x", "X", "0x" or "0X" for hexadecimal, then digits up to
// the first byte that is not one. Never negative; no digits give 0.
std::uint32_t ReadFrameLength(std::string_view afterSoh);

// Where a frame's payload lies in its connection's bytes `visible` (up to their first NUL),
// for the frame text that starts at the SOH at `soh`: without an STX the frame has no
// payload (hasStx false; such a frame is archived). Otherwise the characters the
// well-formed decoder uses (DecodableLength for the length field read by ReadFrameLength)
// start at `offset`, just after the STX, and are `size` long; `size` is npos when they
// hold a line break, which makes the payload not well-formed.
struct PayloadSpan {
    bool hasStx = false;
    std::size_t offset = 0;
    std::size_t size = 0;
};
PayloadSpan LocatePayload(std::string_view visible, std::size_t soh);

// The payload: up to `length` characters of the frame text after the STX at `stx`. The
// frame text is `visible` (the buffer up to its first NUL) with every line break made
// CR LF and a CR LF after an unfinished last line. Returns a view into `visible` when no
// line break is involved, else a view of `scratch`, which receives the characters.
std::string_view FramePayload(std::string_view visible, std::size_t stx, std::uint32_t length, std::string& scratch);

// The part of the payload the well-formed decoder below uses, when it can be taken from the
// buffer as it lies: for the payload of FramePayload (same arguments), the number m of
// characters the decoder uses (the largest multiple of four not above the payload's
// length), when those are visible[stx + 1, stx + 1 + m) unchanged; npos when they include
// a line break (of the text, or the CR LF after an unfinished last line), which makes the
// payload not well-formed whatever else it holds. Looks at the bytes up to the first line
// break only, and copies nothing.
std::size_t DecodableLength(std::string_view visible, std::size_t stx, std::uint32_t length);

// Decodes `text` when the characters a decoder uses (the first 4*floor(n/4)) are
// well-formed base64; returns false, with `out` unspecified, when they are not. One pass:
// the validity test rides on the decoding table.
bool DecodeWellFormedBase64(std::string_view text, std::string& out);
// The same in place: the decoded bytes replace the start of text[0, size). Returns their
// number, or npos (with the text garbled) when the text is not well-formed. Plain blocks
// go through the given vector kernel, everything else through the table.
std::size_t DecodeWellFormedBase64InPlace(char* text, std::size_t size,
                                          txt::Base64Kernel kernel = txt::FastestBase64Kernel());

// The bytes of a text file holding `text` read one byte per character: the text ends at
// its first NUL, every line ends in CR LF (CR, LF and CR LF all count as breaks, and an
// unfinished last line gets one), characters in the system's ANSI code page.
void TextFileBytes(std::string_view text, std::string& out);
// The same for text[0, size) followed by `room` bytes it may overwrite. When the text
// already has that form but for the last line's CR LF, the result is a view of the text
// itself (with the CR LF written into the room); otherwise it is built in `out`.
std::string_view TextFileBytesInPlace(char* text, std::size_t size, std::size_t room, std::string& out);
// The same for the text [offset, offset + size) of `storage`, built where it lies: the
// storage grows to the exact size of the result first when the text needs more room (a
// lone CR or LF becomes CR LF, an unfinished last line gets one), so no second copy of the
// text is made. Data() may change. Where the code page has more than one byte per
// character, the result is built in `out` instead. Throws std::bad_alloc when the storage
// cannot grow.
std::string_view FileBytesInRegion(platform::MemoryRegion& storage, std::size_t offset, std::size_t size,
                                   std::string& out);

}  // namespace collector
