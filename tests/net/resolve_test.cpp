// Address, port and protocol conversion and the socket error texts.
#include "net/resolve.h"

#include <gtest/gtest.h>

#include "net/exceptions.h"
#include "platform/sockets.h"
#include "support/errors.h"
#include "text/strings.h"

namespace {

namespace ps = platform::net;

constexpr auto MessageOf = &testsupport::MessageOf<net::ESocketException>;

struct LookupsRestored {
    ~LookupsRestored() {
        ps::SetHostLookupForTesting({});
        net::SetNameLookupsForTesting({}, {});
    }
};

TEST(IsDottedAddress, Table) {
    struct Case {
        std::string_view text;
        bool dotted;
    } cases[] = {
        {"10.0.0.1", true},
        {"   10.0.0.1   ", true},
        {"255.255.255.255", true},
        {"0.0.0.0", true},
        {"1.2.3.4a", true},                       // a trailing non-digit ends the scan when nothing follows it
        {std::string_view("1.2.3.4.", 7), true},  // the text ends where its size says
        {"10.0.0", false},
        {"10..0.1", false},
        {"300.1.1.1", false},
        {"1.2.3.256", false},
        {"1.2.3.99999999999999999999", false},  // no overflow into a small value
        {".1.2.3", false},
        {"  .1.2.3", false},
        {"1.2.3.4.", false},
        {"1.2.3.4.5", false},
        {"1.2.3.", false},
        {"1.2.3.4 x", false},
        {"1 .2.3.4", false},
        {"host.example", false},
        {"", false},
        {"   ", false},
    };
    for (const Case& c : cases) EXPECT_EQ(net::IsDottedAddress(c.text), c.dotted) << '"' << c.text << '"';
}

TEST(ResolveHost, DottedTextsConvertWithoutLookup) {
    LookupsRestored restored;
    int lookups = 0;
    ps::SetHostLookupForTesting([&](const std::string&, std::vector<std::uint32_t>&) {
        ++lookups;
        return 11001;
    });
    EXPECT_EQ(net::ResolveHost("  10.0.0.1 "), ps::inet_addr("10.0.0.1"));
    EXPECT_EQ(net::ResolveHost("127.0.0.1"), ps::inet_addr("127.0.0.1"));
    EXPECT_EQ(net::ResolveHost("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(lookups, 0);
    // Dotted to the test but refused by the conversion.
    EXPECT_EQ(MessageOf([] { net::ResolveHost("1.2.3.4a"); }), "Winsock Resolve Host: '1.2.3.4a' Invalid IP address.");
    EXPECT_EQ(MessageOf([] { net::ResolveHost("08.1.1.1"); }), "Winsock Resolve Host: '08.1.1.1' Invalid IP address.");
    EXPECT_EQ(MessageOf([] { net::ResolveHost(""); }), "Winsock Resolve Host: '' Invalid Hostname.");
    // Not dotted: looked up as names.
    for (const char* name : {"300.1.1.1", "10.0.0", "10..0.1"}) {
        EXPECT_EQ(
            MessageOf([&] { net::ResolveHost(name); }),
            std::string("Winsock Resolve Host: Cannot convert host address '") + name + "' - Host not found (#11001)");
    }
    EXPECT_EQ(lookups, 3);
}

TEST(ResolveHost, NameLookupResultsAndFailures) {
    LookupsRestored restored;
    ps::SetHostLookupForTesting([](const std::string& name, std::vector<std::uint32_t>& addrs) {
        if (name == "two.example") {
            addrs = {ps::inet_addr("10.1.1.1"), ps::inet_addr("10.2.2.2")};
            return 0;
        }
        if (name == "later.example") return 11002;
        if (name == "empty.example") return 0;
        return 11001;
    });
    EXPECT_EQ(net::ResolveHost("two.example"), ps::inet_addr("10.1.1.1"));  // the first address
    EXPECT_EQ(MessageOf([] { net::ResolveHost("later.example"); }),
              "Winsock Resolve Host: Cannot convert host address 'later.example' - Non-authoritative host not found "
              "(#11002)");
    // A lookup that yields no address is a failure, never a zero address.
    EXPECT_EQ(MessageOf([] { net::ResolveHost("empty.example"); }),
              "Winsock Resolve Host: Cannot convert host address 'empty.example' - No Data (#11004)");
}

TEST(ResolvePortAndProto, DigitsNamesAndErrors) {
    // Leading digits, in the low 16 bits; a leading letter means a service name, looked up
    // for the protocol.
    const std::pair<const char*, int> ports[] = {{"4001", 4001}, {"8080abc", 8080}, {"0", 0},
                                                 {"65537", 1},   {"http", 80},      {"ftp", 21}};
    for (const auto& [text, port] : ports) EXPECT_EQ(net::ResolvePort(text, "tcp"), port) << text;
    const std::pair<const char*, int> protos[] = {{"tcp", 6}, {"  TCP \t", 6}, {"udp", 17}, {"Raw", 255}, {"17x", 17}};
    for (const auto& [text, proto] : protos) EXPECT_EQ(net::ResolveProto(text), proto) << text;

    EXPECT_EQ(MessageOf([] { net::ResolvePort("", "tcp"); }), "Winsock Resolve Port: Invalid Port.");
    EXPECT_EQ(MessageOf([] { net::ResolvePort("80", ""); }), "Winsock Resolve Port: Invalid Proto.");
    EXPECT_EQ(MessageOf([] { net::ResolveProto(""); }), "Winsock Resolve Proto: Invalid Protocol.");
    const std::string unknown = MessageOf([] { net::ResolvePort("no-such-service-x", "tcp"); });
    EXPECT_EQ(unknown.rfind("Winsock Resolve Port: Cannot convert port 'no-such-service-x' - ", 0), 0u) << unknown;
    EXPECT_NE(unknown.find(" (#"), std::string::npos);
    const std::string unknownProto = MessageOf([] { net::ResolveProto("nosuchproto"); });
    EXPECT_EQ(unknownProto.rfind("Winsock Resolve Proto: Cannot convert protocol 'nosuchproto' - ", 0), 0u)
        << unknownProto;
    // A replaced service lookup is asked instead of the platform's.
    LookupsRestored restored;
    net::SetNameLookupsForTesting([](const std::string&, const std::string&, std::uint16_t&) { return 11002; }, {});
    EXPECT_EQ(MessageOf([] { net::ResolvePort("http", "tcp"); }),
              "Winsock Resolve Port: Cannot convert port 'http' - Non-authoritative host not found (#11002)");
}

TEST(WinsockErrorText, TableAndUnknownCodes) {
    const std::pair<int, std::u16string> texts[] = {
        {0, u"No Error"},
        {10035, u"Operation would block"},
        {10058, u"Can't send after socket shutdown"},
        {10061, u"Connection refused"},
        {10093, u"WinSock not initialized"},
        {11004, u"No Data"},
    };
    for (const auto& [code, text] : texts) EXPECT_EQ(net::WinsockErrorText(code), text) << code;
    for (int code : {-1, 1, 10000, 10072, 10090, 10094, 11000, 11005})
        EXPECT_EQ(net::WinsockErrorText(code), u"Not a WinSock error") << code;
    EXPECT_EQ(net::WinsockErrorTextWithCode(10054), u"Connection reset by peer (#10054)");
}

}  // namespace
