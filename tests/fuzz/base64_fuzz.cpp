// Base64: the lenient decoder, the validity rule of packet processing, the vector kernels
// and the encoder, on the input as a payload text. The invariants are listed in README.md.

#include "collector/packet_text.h"
#include "invariants.h"
#include "text/base64.h"

namespace {

using fuzz::Check;
using txt::Base64Kernel;

// Standard decoding of well-formed text, up to the fill: a byte after the second, third
// and fourth character of each group, from the bits read so far.
std::string ReferenceStandard(std::string_view text) {
    std::string out;
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < text.size() / 4 * 4 && fuzz::Base64Value(text[i]) >= 0; ++i) {
        bits = (bits << 6) | static_cast<std::uint32_t>(fuzz::Base64Value(text[i]));
        if (i % 4 != 0) out.push_back(static_cast<char>((bits >> (6 - 2 * (i % 4))) & 0xFF));
    }
    return out;
}

void CheckDecoders(std::string_view text) {
    const std::string model = fuzz::ModelLenient(text);
    const bool wellFormed = fuzz::ModelWellFormed(text);
    const std::string standard = wellFormed ? ReferenceStandard(text) : "";
    Check(txt::Base64DecodeLenient(text) == model, "lenient decoding differs from the reference");
    Check(!wellFormed || model == standard, "lenient decoding of well-formed text is not standard decoding");
    Check(txt::IsWellFormedBase64(text) == wellFormed, "IsWellFormedBase64 disagrees with the reference");
    std::string decoded = "stale";
    Check(collector::DecodeWellFormedBase64(text, decoded) == wellFormed, "DecodeWellFormedBase64 disagrees");
    Check(!wellFormed || decoded == standard, "well-formed decoding differs from standard decoding");
    // The vector kernels' plain blocks write no further than their overrun allows; what
    // they decode, against the table decoder, is the unit tests' (text's Base64Kernels).
    for (Base64Kernel kernel : {Base64Kernel::kSsse3, Base64Kernel::kAvx2}) {
        if (!txt::Base64KernelSupported(kernel)) continue;
        std::string out(text.size() + txt::kBase64Overrun + 16, '#');
        const std::size_t done = txt::Base64DecodePlainBlocks(kernel, text.data(), text.size(), out.data());
        Check(done <= text.size() && done % 16 == 0, "a vector kernel reports an impossible length");
        Check(out.find_first_not_of('#', done / 4 * 3 + txt::kBase64Overrun) == std::string::npos,
              "a kernel writes beyond its overrun");
    }
}

void CheckEncoder(std::string_view bytes) {
    const std::string encoded = txt::Base64Encode(bytes);
    Check(encoded.size() == (bytes.size() + 2) / 3 * 4, "encoded length is not 4*ceil(n/3)");
    Check(fuzz::ModelWellFormed(encoded), "encoder output is not well-formed");
    Check(txt::Base64DecodeLenient(encoded) == bytes, "lenient decoding does not round-trip");
    std::string decoded;
    Check(collector::DecodeWellFormedBase64(encoded, decoded) && decoded == bytes,
          "well-formed decoding does not round-trip");
    Check(ReferenceStandard(encoded) == bytes, "encoder differs from standard encoding");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CheckDecoders(input);
    CheckEncoder(input);
    return 0;
}
