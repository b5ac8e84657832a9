// Packet processing: one reply (arbitrary bytes, or arbitrary bytes base64-framed) goes
// through the data handler in one or several reads, then a processing tick. Input: byte 0
// holds flags (bit 0: frame the rest as SOH, length, STX, base64 of the rest, EOT, with
// bit 5 the length field taken from the rest; bit 1: the file sink fails; bit 2: a later
// connection has begun before the tick, so the reply waits; bits 3-4: the output
// directory), byte 1 the clock and the read size, the rest the reply. The rig compares
// what the tick writes and logs, and the buffer, with its models (README.md).

#include "collector_harness.h"
#include "text/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t flags = data[0], knob = data[1];
    std::string reply(reinterpret_cast<const char*>(data) + 2, size - 2);
    if (flags & 1) {
        // Bit 5: the length field is the reply's first 0 to 7 bytes instead of the
        // payload's decimal length.
        const std::string field = flags & 0x20 ? reply.substr(0, (knob >> 4) & 7) : "";
        reply.erase(0, field.size());
        const std::string payload = txt::Base64Encode(reply);
        reply = "\x01" + (flags & 0x20 ? field : std::to_string(payload.size())) + "\x02" + payload + "\x04";
    }
    static const std::u16string directories[] = {u"out", u"", u"out" + std::u16string(1, runtime::PathDelimiter()),
                                                 u"uitvo\u00EBr"};
    const runtime::TDateTime now{2000 + knob % 40, 1 + knob % 12, 1 + knob % 28, knob % 24,
                                 knob % 60,        knob % 60,     knob % 1000};

    fuzz::Rig rig(std::size_t{1} << 20, directories[(flags >> 3) & 3], now);
    rig.Connect();
    // Reads of 1 to 16 bytes, or the whole reply at once.
    const std::size_t step = knob & 0x80 ? std::max<std::size_t>(reply.size(), 1) : 1 + knob % 16;
    for (std::size_t at = 0; at < reply.size() && rig.Connected(); at += step) {
        rig.Read(reply.substr(at, step));
        rig.Verify();
    }
    rig.PeerClose();
    if (flags & 4) {
        rig.Connect();
        rig.Read(
            "\x01"
            "4\x02YW");
    }
    rig.SetFailing((flags & 2) != 0);
    for (int tick = 0; tick < 2; ++tick) {
        rig.Tick();
        rig.Verify();
    }
    return 0;
}
