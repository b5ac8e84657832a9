// Base64: the lenient decoder, the validity rule of packet processing and the encoder.
//
// The input is used as a payload text as it is. Invariants:
// - the lenient decoder agrees with a reference written from the decoding rules, for
//   every input (valid or not);
// - the validity rule (runtime and packet processing, copying and in place) agrees with a
//   reference predicate; for valid input both well-formed decoders give standard base64
//   decoding, which here equals the lenient result;
// - the encoder's output is well-formed, has the expected length and decodes back to the
//   input through every decoder;
// - every vector kernel this processor runs gives both decoders exactly the results of the
//   table decoder, and writes no further than it may.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "collector/packet_text.h"
#include "invariants.h"
#include "text/base64.h"

namespace {

using fuzz::Base64Value;
using fuzz::ModelLenient;
using fuzz::ModelWellFormed;

void Check(bool ok, const char* what, std::string_view input) {
    if (!ok) fuzz::Fail(std::string(what) + " (input of " + std::to_string(input.size()) + " bytes)");
}

// Standard decoding of well-formed text, bit by bit.
std::string ReferenceStandard(std::string_view text) {
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (std::size_t i = 0; i < text.size() / 4 * 4; ++i) {
        const int value = Base64Value(static_cast<unsigned char>(text[i]));
        if (value < 0) break;  // the fill
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

void CheckDecoders(std::string_view text) {
    const std::string lenient = txt::Base64DecodeLenient(text);
    Check(lenient == ModelLenient(text), "lenient decoding differs from the reference", text);

    // The overload that reuses its output's capacity must not keep old bytes.
    std::string reused(text.size() % 7 * 5 + 3, 'Q');
    txt::Base64DecodeLenient(text, reused);
    Check(reused == lenient, "lenient decoding into a used string differs", text);

    const bool wellFormed = ModelWellFormed(text);
    Check(txt::IsWellFormedBase64(text) == wellFormed, "IsWellFormedBase64 disagrees with the reference", text);

    std::string decoded = "stale";
    Check(collector::DecodeWellFormedBase64(text, decoded) == wellFormed,
          "DecodeWellFormedBase64 disagrees with the reference validity", text);
    std::string inPlace(text);
    const std::size_t size = collector::DecodeWellFormedBase64InPlace(inPlace.data(), inPlace.size());
    Check((size != std::string_view::npos) == wellFormed, "DecodeWellFormedBase64InPlace disagrees on validity", text);
    if (wellFormed) {
        const std::string standard = ReferenceStandard(text);
        Check(decoded == standard, "well-formed decoding differs from standard decoding", text);
        Check(size <= text.size() && inPlace.compare(0, size, standard) == 0, "in-place decoding differs", text);
        Check(lenient == standard, "lenient decoding of well-formed text is not standard decoding", text);
    }
}

void CheckKernels(std::string_view text) {
    std::string portable;
    txt::Base64DecodeLenient(text, portable, txt::Base64Kernel::kPortable);
    std::string portableInPlace(text);
    const std::size_t portableSize = collector::DecodeWellFormedBase64InPlace(
        portableInPlace.data(), portableInPlace.size(), txt::Base64Kernel::kPortable);
    for (txt::Base64Kernel kernel : {txt::Base64Kernel::kSsse3, txt::Base64Kernel::kAvx2}) {
        if (!txt::Base64KernelSupported(kernel)) continue;
        std::string lenient = "stale";
        txt::Base64DecodeLenient(text, lenient, kernel);
        Check(lenient == portable, "a vector kernel changes lenient decoding", text);
        std::string inPlace(text);
        const std::size_t size = collector::DecodeWellFormedBase64InPlace(inPlace.data(), inPlace.size(), kernel);
        Check(size == portableSize, "a vector kernel changes the validity of in-place decoding", text);
        Check(size == std::string_view::npos || inPlace.compare(0, size, portableInPlace, 0, size) == 0,
              "a vector kernel changes in-place decoding", text);
        // The plain blocks alone, into a separate buffer with guard bytes after the room.
        std::string out(text.size() + txt::kBase64Overrun + 16, '#');
        const std::size_t done = txt::Base64DecodePlainBlocks(kernel, text.data(), text.size(), out.data());
        Check(done <= text.size() && done % 16 == 0, "a vector kernel reports an impossible length", text);
        Check(out.compare(0, done / 4 * 3, portable, 0, done / 4 * 3) == 0,
              "a vector kernel decodes plain blocks wrongly", text);
        Check(out.find_first_not_of('#', done / 4 * 3 + txt::kBase64Overrun) == std::string::npos,
              "a vector kernel writes beyond its overrun", text);
    }
}

void CheckEncoder(std::string_view bytes) {
    const std::string encoded = txt::Base64Encode(bytes);
    Check(encoded.size() == (bytes.size() + 2) / 3 * 4, "encoded length is not 4*ceil(n/3)", bytes);
    Check(ModelWellFormed(encoded), "encoder output is not well-formed", bytes);
    Check(txt::Base64DecodeLenient(encoded) == bytes, "lenient decoding does not round-trip", bytes);
    std::string decoded;
    Check(collector::DecodeWellFormedBase64(encoded, decoded) && decoded == bytes,
          "well-formed decoding does not round-trip", bytes);
    Check(ReferenceStandard(encoded) == bytes, "encoder differs from standard encoding", bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CheckDecoders(input);
    CheckKernels(input);
    CheckEncoder(input);
    return 0;
}
