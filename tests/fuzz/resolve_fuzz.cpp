// The text rules of host, port and protocol conversion, with the name lookups injected.
// Input: byte 0 chooses how the injected lookups answer (found or which error), bytes 1
// and 2 are the port they find, byte 3 the protocol number; the rest holds the host, port
// and protocol texts separated by LF. The invariants are listed in README.md.
#include <arpa/inet.h>

#include <array>
#include <cstring>

#include "invariants.h"
#include "net/exceptions.h"
#include "net/resolve.h"
#include "platform/sockets.h"
#include "runtime/codepage.h"
#include "text/strings.h"

namespace {

namespace ps = platform::net;

using fuzz::Check;
using Calls = std::vector<std::array<std::string, 3>>;  // {kind, name, protocol of a service}

bool Digit(char c) { return c >= '0' && c <= '9'; }

std::uint16_t LeadingDecimal(std::string_view text) {
    unsigned value = 0;
    for (std::size_t i = 0; i < text.size() && Digit(text[i]); ++i)
        value = (value * 10 + unsigned(text[i] - '0')) % 65536;
    return static_cast<std::uint16_t>(value);
}

// What a conversion gives, as a text: "= <value>", or the message of the ESocketException
// it raised.
std::u16string Value(std::int64_t value) { return txt::FromUtf8("= " + std::to_string(value)); }

// A lookup's outcome: the value found, or with an error code the failure text
// "Winsock Resolve <Kind>: Cannot convert <what> '<text>' - <error> (#<code>)".
std::u16string LookedUp(const char16_t* kind, const char16_t* what, const std::string& text, int code,
                        std::int64_t found) {
    if (code == 0) return Value(found);
    return u"Winsock Resolve " + std::u16string(kind) + u": Cannot convert " + what + u" '" + runtime::FromAnsi(text) +
           u"' - " + net::WinsockErrorText(code) + u" (#" + txt::IntToStr(code) + u")";
}

// The injected lookups' answers (answer: 0 or the error code), and the lookups made.
struct Lookups {
    int answer;
    std::uint16_t portNetOrder;
    int protocol;
    std::vector<std::uint32_t> addresses;
    Calls calls;
} lookups;

// Runs one conversion and checks the lookups it made and, when given, its outcome.
template <typename Action>
std::u16string Expect(Action action, const std::optional<std::u16string>& expected, const Calls& calls,
                      const std::string& where) {
    lookups.calls.clear();
    std::u16string got;
    try {
        got = Value(action());
    } catch (const net::ESocketException& error) {
        got = error.Message();
    }
    if (expected && got != *expected) {
        fuzz::Fail(where + ": \"" + txt::ToUtf8(got) + "\", expected \"" + txt::ToUtf8(*expected) + "\"");
    }
    Check(lookups.calls == calls, where + ": another lookup than the rules call for");
    return got;
}

void CheckHost(const std::string& host) {
    const std::u16string invalid = u"Winsock Resolve Host: '" + runtime::FromAnsi(host) + u"' Invalid IP address.";
    std::optional<std::u16string> expected;  // none for dotted text other than plain parts
    Calls calls;
    // Four plain decimal parts (no leading zeros, which some conversions read as octal)
    // with blanks around them give those bytes, in network order.
    const std::size_t first = std::min(host.find_first_not_of(' '), host.size());
    const std::string core = host.substr(first, host.find_last_not_of(' ') + 1 - first);
    std::uint32_t plain = 0;
    if (host.empty()) {
        expected = u"Winsock Resolve Host: '' Invalid Hostname.";
    } else if (!net::IsDottedAddress(host)) {
        // Looked up once; a host found without any address fails with "No Data".
        const int code = lookups.answer != 0 ? lookups.answer : lookups.addresses.empty() ? 11004 : 0;
        expected = LookedUp(u"Host", u"host address", host, code, code != 0 ? 0 : lookups.addresses.front());
        calls = {{"host", host, ""}};
    } else if (core.find('\0') == std::string::npos && inet_pton(AF_INET, core.c_str(), &plain) == 1) {
        expected = plain == 0xFFFFFFFFu && host != "255.255.255.255" ? invalid : Value(plain);
    }
    const std::u16string got = Expect([&] { return net::ResolveHost(host); }, expected, calls, "host");
    // Any dotted text: an address other than all ones (but for "255.255.255.255"), or the failure.
    const bool ones = got == Value(0xFFFFFFFFu) && host.find("255.255.255.255") == std::string::npos;
    Check(expected || got == invalid || (got.starts_with(u"= ") && !ones), "dotted host: \"" + txt::ToUtf8(got) + "\"");
}

void CheckPort(const std::string& port, const std::string& proto) {
    std::uint8_t found[2];  // a found service's port comes back in host order
    std::memcpy(found, &lookups.portNetOrder, 2);
    const bool named = !port.empty() && !proto.empty() && !Digit(port[0]);
    const std::u16string expected = port.empty()    ? u"Winsock Resolve Port: Invalid Port."
                                    : proto.empty() ? u"Winsock Resolve Port: Invalid Proto."
                                    : !named
                                        ? Value(LeadingDecimal(port))
                                        : LookedUp(u"Port", u"port", port, lookups.answer, found[0] << 8 | found[1]);
    Expect([&] { return net::ResolvePort(port, proto); }, expected, named ? Calls{{"service", port, proto}} : Calls{},
           "port");
}

void CheckProto(const std::string& proto) {
    // Known names and lookups use the text trimmed of bytes up to blank, in lower case.
    std::size_t first = 0, last = proto.size();
    while (first < last && static_cast<unsigned char>(proto[first]) <= 32) ++first;
    while (last > first && static_cast<unsigned char>(proto[last - 1]) <= 32) --last;
    std::string name;
    for (char c : proto.substr(first, last - first)) name.push_back(c >= 'A' && c <= 'Z' ? char(c + 32) : c);
    const int known = name == "tcp" ? 6 : name == "udp" ? 17 : name == "raw" ? 255 : 0;
    const bool named = !proto.empty() && !Digit(proto[0]) && known == 0;
    const std::u16string expected = proto.empty()     ? u"Winsock Resolve Proto: Invalid Protocol."
                                    : Digit(proto[0]) ? Value(LeadingDecimal(proto))
                                    : known != 0
                                        ? Value(known)
                                        : LookedUp(u"Proto", u"protocol", proto, lookups.answer, lookups.protocol);
    Expect([&] { return net::ResolveProto(proto); }, expected, named ? Calls{{"protocol", name, ""}} : Calls{},
           "protocol");
}

constexpr int kErrors[] = {11001, 11002, 11003, 11004, 10093, 10050, 4242};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ps::SetHostLookupForTesting([](const std::string& name, std::vector<std::uint32_t>& addrs) {
        lookups.calls.push_back({"host", name, ""});
        if (lookups.answer == 0) addrs = lookups.addresses;
        return lookups.answer;
    });
    net::SetNameLookupsForTesting(
        [](const std::string& name, const std::string& proto, std::uint16_t& port) {
            lookups.calls.push_back({"service", name, proto});
            port = lookups.portNetOrder;
            return lookups.answer;
        },
        [](const std::string& name, int& protocol) {
            lookups.calls.push_back({"protocol", name, ""});
            protocol = lookups.protocol;
            return lookups.answer;
        });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    // Low three bits of byte 0: 0 the lookups succeed (a host without any address), 1 they
    // succeed (a host with two addresses), else they fail with an error chosen by the
    // upper bits.
    const int answer = (data[0] & 7) <= 1 ? 0 : kErrors[(data[0] >> 3) % std::size(kErrors)];
    lookups = {answer, static_cast<std::uint16_t>(data[1] << 8 | data[2]), data[3], {}, {}};
    if ((data[0] & 7) == 1) lookups.addresses = {0x0100007Fu, static_cast<std::uint32_t>(data[1]) << 24};
    std::string fields[3];  // host, port, protocol: the rest split at its first two LFs
    for (std::size_t i = 4, k = 0; i < size; ++i) {
        if (data[i] == '\n' && k < 2)
            ++k;
        else
            fields[k] += static_cast<char>(data[i]);
    }
    CheckHost(fields[0]);
    CheckPort(fields[1], fields[2]);
    CheckProto(fields[2]);
    return 0;
}
