// The text rules of host, port and protocol conversion, with the name lookups injected.
//
// Input: byte 0 chooses how the injected lookups answer (found or which error), bytes 1
// and 2 are the port they find, byte 3 the protocol number; the rest holds the host, port
// and protocol texts separated by LF. Invariants:
// - IsDottedAddress agrees with a reference scanner written from the rules;
// - a dotted host converts without a lookup, four plain decimal parts to exactly those
//   four bytes; any other host is looked up once, under its own text, and the answer or
//   the failure text with its code comes back;
// - a port or protocol text that starts with a digit gives its leading decimal value
//   (low 16 bits) without a lookup; "tcp", "udp" and "raw" in any case and with blanks
//   around them give 6, 17 and 255 without a lookup; anything else is looked up once with
//   the text (the protocol trimmed and in lower case) and gives the lookup's answer or its
//   failure text;
// - every failure is an ESocketException with the exact text of its rule.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "invariants.h"
#include "net/exceptions.h"
#include "net/resolve.h"
#include "platform/sockets.h"
#include "runtime/codepage.h"
#include "text/strings.h"

namespace {

namespace ps = platform::net;

using fuzz::Check;
using fuzz::Fail;

bool Digit(char c) { return c >= '0' && c <= '9'; }

// Dotted: after leading blanks, no leading dot; digits and dots, each dot followed by a
// digit, at most three dots, every part at most 255; one other character may end the
// text, followed only by blanks; exactly three dots in all.
bool ReferenceDotted(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i < text.size() && text[i] == '.') return false;
    std::vector<std::string> parts(1);
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (Digit(c)) {
            parts.back().push_back(c);
            continue;
        }
        if (c == '.') {
            const std::string& part = parts.back();
            // A part "above 255": compare as numbers without converting long runs.
            const std::size_t lead = part.find_first_not_of('0');
            const std::string significant = lead == std::string::npos ? "" : part.substr(lead);
            if (parts.size() == 4 || significant.size() > 3 || (significant.size() == 3 && significant > "255")) {
                return false;
            }
            if (i + 1 == text.size() || !Digit(text[i + 1])) return false;
            parts.emplace_back();
            continue;
        }
        // Any other character ends the scan; only blanks may follow it.
        if (text.find_first_not_of(' ', i + 1) != std::string_view::npos) return false;
        break;
    }
    if (parts.size() != 4) return false;
    const std::string& last = parts.back();
    const std::size_t lead = last.find_first_not_of('0');
    const std::string significant = lead == std::string::npos ? "" : last.substr(lead);
    return significant.size() < 3 || (significant.size() == 3 && significant <= "255");
}

// Four decimal parts without leading zeros (which some conversions read as octal), each
// at most 255, with nothing else but blanks around them: the address those bytes make.
std::optional<std::uint32_t> PlainDottedAddress(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return std::nullopt;
    const std::size_t last = text.find_last_not_of(' ');
    const std::string_view core = text.substr(first, last - first + 1);
    unsigned char bytes[4];
    std::size_t at = 0;
    for (int k = 0; k < 4; ++k) {
        std::size_t end = at;
        while (end < core.size() && Digit(core[end])) ++end;
        const std::string_view part = core.substr(at, end - at);
        if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return std::nullopt;
        const int value = std::stoi(std::string(part));
        if (value > 255) return std::nullopt;
        bytes[k] = static_cast<unsigned char>(value);
        if (k < 3 && (end >= core.size() || core[end] != '.')) return std::nullopt;
        at = end + 1;
        if (k == 3 && end != core.size()) return std::nullopt;
    }
    // Network order: the first part is the first byte in memory.
    std::uint32_t address = 0;
    static_assert(sizeof address == sizeof bytes);
    std::memcpy(&address, bytes, 4);
    return address;
}

std::uint16_t ReferenceLeadingDecimal(std::string_view text) {
    unsigned value = 0;
    for (std::size_t i = 0; i < text.size() && Digit(text[i]); ++i)
        value = (value * 10 + unsigned(text[i] - '0')) % 65536;
    return static_cast<std::uint16_t>(value);
}

std::u16string Quoted(const std::string& text) { return runtime::FromAnsi(text); }

// The failure text of a lookup: "Winsock Resolve <Kind>: Cannot convert <what> '<text>' - <error> (#<code>)".
std::u16string CannotConvert(const char16_t* kind, const char16_t* what, const std::string& text, int code) {
    return u"Winsock Resolve " + std::u16string(kind) + u": Cannot convert " + what + u" '" + Quoted(text) + u"' - " +
           net::WinsockErrorText(code) + u" (#" + txt::IntToStr(code) + u")";
}

// Runs `action`; returns the message of the ESocketException it raised, or nothing.
template <typename Action>
std::optional<std::u16string> Raised(Action action) {
    try {
        action();
    } catch (const net::ESocketException& error) {
        return error.Message();
    }
    return std::nullopt;
}

void Expect(const std::optional<std::u16string>& got, const std::u16string& expected, const char* where) {
    if (!got) Fail(std::string(where) + ": no exception, expected \"" + txt::ToUtf8(expected) + "\"");
    if (*got != expected) {
        Fail(std::string(where) + ": \"" + txt::ToUtf8(*got) + "\", expected \"" + txt::ToUtf8(expected) + "\"");
    }
}

constexpr int kErrors[] = {11001, 11002, 11003, 11004, 10093, 10050, 4242};

struct Lookups {
    int answer;  // 0 or the error code
    std::uint16_t portNetOrder;
    int protocol;
    std::vector<std::uint32_t> addresses;
    std::vector<std::string> hosts, services, serviceProtos, protocols;
};

Lookups* current = nullptr;

void InstallLookups() {
    static const bool installed = [] {
        ps::SetHostLookupForTesting([](const std::string& name, std::vector<std::uint32_t>& addrs) {
            current->hosts.push_back(name);
            if (current->answer != 0) return current->answer;
            addrs = current->addresses;
            return 0;
        });
        net::SetNameLookupsForTesting(
            [](const std::string& name, const std::string& proto, std::uint16_t& port) {
                current->services.push_back(name);
                current->serviceProtos.push_back(proto);
                port = current->portNetOrder;
                return current->answer;
            },
            [](const std::string& name, int& protocol) {
                current->protocols.push_back(name);
                protocol = current->protocol;
                return current->answer;
            });
        return true;
    }();
    (void)installed;
}

void CheckHost(Lookups& lookups, const std::string& host) {
    std::optional<std::uint32_t> result;
    const auto error = Raised([&] { result = net::ResolveHost(host); });
    if (host.empty()) {
        Expect(error, u"Winsock Resolve Host: '' Invalid Hostname.", "ResolveHost(empty)");
        Check(lookups.hosts.empty(), "an empty host was looked up");
        return;
    }
    if (net::IsDottedAddress(host)) {
        Check(lookups.hosts.empty(), "a dotted host was looked up");
        if (error) {
            Expect(error, u"Winsock Resolve Host: '" + Quoted(host) + u"' Invalid IP address.", "ResolveHost(dotted)");
        } else {
            Check(*result != 0xFFFFFFFFu || host.find("255.255.255.255") != std::string::npos,
                  "a dotted host converted to the invalid address");
        }
        if (const auto plain = PlainDottedAddress(host)) {
            // The all-ones address is accepted only as the exact text "255.255.255.255".
            if (*plain == 0xFFFFFFFFu && host != "255.255.255.255") {
                Expect(error, u"Winsock Resolve Host: '" + Quoted(host) + u"' Invalid IP address.",
                       "ResolveHost(ones)");
            } else {
                Check(!error && *result == *plain, "plain dotted host \"" + host + "\" gave another address");
            }
        }
        return;
    }
    Check(lookups.hosts.size() == 1 && lookups.hosts[0] == host, "a host name was not looked up once under its text");
    if (lookups.answer != 0 || lookups.addresses.empty()) {
        const int code = lookups.answer != 0 ? lookups.answer : 11004;
        Expect(error, CannotConvert(u"Host", u"host address", host, code), "ResolveHost(name)");
    } else {
        Check(!error && *result == lookups.addresses.front(), "a found host did not give the first address");
    }
}

void CheckPort(Lookups& lookups, const std::string& port, const std::string& proto) {
    std::optional<std::uint16_t> result;
    const auto error = Raised([&] { result = net::ResolvePort(port, proto); });
    if (port.empty()) return Expect(error, u"Winsock Resolve Port: Invalid Port.", "ResolvePort(empty port)");
    if (proto.empty()) return Expect(error, u"Winsock Resolve Port: Invalid Proto.", "ResolvePort(empty proto)");
    if (Digit(port[0])) {
        Check(!error && *result == ReferenceLeadingDecimal(port), "a numeric port gave another value");
        Check(lookups.services.empty(), "a numeric port was looked up");
        return;
    }
    Check(lookups.services.size() == 1 && lookups.services[0] == port && lookups.serviceProtos[0] == proto,
          "a service name was not looked up once under its texts");
    if (lookups.answer != 0) {
        Expect(error, CannotConvert(u"Port", u"port", port, lookups.answer), "ResolvePort(name)");
    } else {
        const std::uint16_t host =
            static_cast<std::uint16_t>((lookups.portNetOrder >> 8) | (lookups.portNetOrder << 8));
        const std::uint16_t expected = ps::ntohs(1) == 1 ? lookups.portNetOrder : host;
        Check(!error && *result == expected, "a found service did not give its port in host order");
    }
}

void CheckProto(Lookups& lookups, const std::string& proto) {
    std::optional<int> result;
    const auto error = Raised([&] { result = net::ResolveProto(proto); });
    if (proto.empty()) return Expect(error, u"Winsock Resolve Proto: Invalid Protocol.", "ResolveProto(empty)");
    if (Digit(proto[0])) {
        Check(!error && *result == ReferenceLeadingDecimal(proto), "a numeric protocol gave another value");
        Check(lookups.protocols.empty(), "a numeric protocol was looked up");
        return;
    }
    std::size_t first = 0, last = proto.size();
    while (first < last && static_cast<unsigned char>(proto[first]) <= 32) ++first;
    while (last > first && static_cast<unsigned char>(proto[last - 1]) <= 32) --last;
    std::string name;
    for (char c : proto.substr(first, last - first)) name.push_back(c >= 'A' && c <= 'Z' ? char(c + 32) : c);
    const int known = name == "tcp" ? 6 : name == "udp" ? 17 : name == "raw" ? 255 : 0;
    if (known != 0) {
        Check(!error && *result == known, "a known protocol name gave another number");
        Check(lookups.protocols.empty(), "a known protocol name was looked up");
        return;
    }
    Check(lookups.protocols.size() == 1 && lookups.protocols[0] == name,
          "a protocol name was not looked up once, trimmed and in lower case");
    if (lookups.answer != 0) {
        Expect(error, CannotConvert(u"Proto", u"protocol", proto, lookups.answer), "ResolveProto(name)");
    } else {
        Check(!error && *result == lookups.protocol, "a found protocol did not give its number");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    InstallLookups();
    // Low three bits of byte 0: 0 the lookups succeed (a host without any address), 1 they
    // succeed (a host with two addresses), else they fail with an error chosen by the
    // upper bits.
    const int answer = (data[0] & 7) <= 1 ? 0 : kErrors[(data[0] >> 3) % std::size(kErrors)];
    const std::string_view rest(reinterpret_cast<const char*>(data + 4), size - 4);
    std::vector<std::string> fields;
    std::size_t from = 0;
    while (fields.size() < 2) {
        const std::size_t lf = rest.find('\n', from);
        if (lf == std::string_view::npos) break;
        fields.emplace_back(rest.substr(from, lf - from));
        from = lf + 1;
    }
    fields.emplace_back(rest.substr(from));
    fields.resize(3);

    const auto fresh = [&] {
        Lookups lookups{answer, static_cast<std::uint16_t>(data[1] << 8 | data[2]), data[3], {}, {}, {}, {}, {}};
        if ((data[0] & 7) == 1) lookups.addresses = {0x0100007Fu, static_cast<std::uint32_t>(data[1]) << 24};
        return lookups;
    };
    for (const std::string& text : fields) {
        const bool expected = ReferenceDotted(text);
        if (net::IsDottedAddress(text) != expected) {
            Fail("IsDottedAddress(\"" + text + "\") is " + (expected ? "false" : "true") + ", the reference says " +
                 (expected ? "true" : "false"));
        }
    }
    Lookups lookups = fresh();
    current = &lookups;
    CheckHost(lookups, fields[0]);
    lookups = fresh();
    CheckPort(lookups, fields[1], fields[2]);
    lookups = fresh();
    CheckProto(lookups, fields[2]);
    current = nullptr;
    return 0;
}
