// The request envelope and the supervision of the request cycle.
#include "collector_test.h"

#include "runtime/codepage.h"
#include "text/base64.h"
#include "text/cp1252.h"

namespace collector::testing {
namespace {

// The request document of a sent frame; the frame must be exactly the document's frame.
std::string RequestOf(const std::u16string& frame) {
    const std::string bytes = txt::LowBytes(frame);
    const std::string document = txt::Base64DecodeLenient(bytes.substr(bytes.find('\x02') + 1));
    EXPECT_EQ(bytes, FrameOf(document));
    return document;
}

std::string ExpectedRequest(const std::string& stamp, const std::string& verzender, const std::string& ontvanger) {
    return "<?xml version=\"1.0\"?>\r\n<MSG tag=\"" + stamp +
           "\" type=\"COM\" protocol=\"Mm_BR\" versie=\"1.0\">\r\n<Verzender>" + verzender +
           "</Verzender>\r\n<Ontvanger>" + ontvanger +
           "</Ontvanger>\r\n<Brivon>\r\n<BrivonPakket>\r\n<Gebruikersnaam>wxrq</Gebruikersnaam>\r\n"
           "<Paswoord>wxrq</Paswoord>\r\n<PakketSoort>BrivonTV</PakketSoort>\r\n</BrivonPakket>\r\n"
           "</Brivon>\r\n</MSG>\r\n";
}

using RequestTest = StartedTest;

TEST_F(RequestTest, RequestBytesAndStamps) {
    socket.state = TSocketState::wsConnected;
    struct Row {
        runtime::TDateTime at;
        std::u16string verzender, ontvanger;  // the service's values
        std::string stamp, sentVerzender, sentOntvanger;
    };
    // A character above U+00FF contributes its low byte; an empty value an empty element.
    for (const Row& r : {Row{now, u"brv", u"brv", "1405127", "brv", "brv"},
                         Row{{2026, 3, 3, 9, 5, 7, 0}, u"brv", u"brv", "090537", "brv", "brv"},
                         Row{{2026, 12, 31, 23, 59, 59, 999}, u"brv", u"brv", "23591259", "brv", "brv"},
                         Row{{2027, 1, 1, 0, 0, 0, 0}, u"\u0141x", u"", "000010", "Ax", ""}}) {
        SCOPED_TRACE(r.stamp);
        now = r.at;
        service->Verzender = r.verzender;
        service->Ontvanger = r.ontvanger;
        socket.sent.clear();
        service->VraagPakket();
        ASSERT_EQ(socket.sent.size(), 1u);
        EXPECT_EQ(RequestOf(socket.sent[0]), ExpectedRequest(r.stamp, r.sentVerzender, r.sentOntvanger));
    }
    EXPECT_TRUE(log.Lines().empty());
}

using SupervisionTest = StartedTest;

TEST_F(SupervisionTest, GoodCycleLogsThreeEntries) {
    service->JvTimerList1Events0Timer(nullptr);
    EXPECT_EQ(socket.connects, 1);
    EXPECT_EQ(timers.events[0].changes.back(), "on");
    EXPECT_EQ(timers.events[0].changes[timers.events[0].changes.size() - 2], "off");

    socket.RaiseConnected();
    EXPECT_TRUE(timers.events[2].enabled);
    ASSERT_EQ(socket.sent.size(), 1u);
    socket.Deliver(Soh("4\x02YWJj\x04"));
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    EXPECT_FALSE(timers.events[2].enabled);
    Tick();
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{kVerzonden, kAfgewerkt, kOntvangen}));
    EXPECT_EQ(OutputBytes(), "abc\r\n");

    // The next firing connects again, with the address and port set anew.
    socket.addr.clear();
    service->JvTimerList1Events0Timer(nullptr);
    EXPECT_EQ(socket.connects, 2);
    EXPECT_EQ(socket.addr, u"127.0.0.1");
    EXPECT_EQ(socket.port, u"4001");
}

// No request unless connected, no new connection while one is busy, and a send error is
// the warning.
TEST_F(SupervisionTest, BusyOrClosedSocket) {
    for (TSocketState state : {TSocketState::wsClosed, TSocketState::wsConnecting, TSocketState::wsOpened}) {
        socket.state = state;
        service->VraagPakket();
    }
    EXPECT_TRUE(socket.sent.empty());
    for (TSocketState state : {TSocketState::wsConnected, TSocketState::wsConnecting, TSocketState::wsOpened}) {
        socket.state = state;
        service->JvTimerList1Events0Timer(nullptr);
    }
    EXPECT_EQ(socket.connects, 0);
    EXPECT_EQ(socket.closes, 0);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_TRUE(timers.events[0].enabled);

    socket.state = TSocketState::wsConnected;
    socket.sendError = "Socket operation on non-socket (#10038 in send)";
    service->VraagPakket();
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"W:Socket operation on non-socket (#10038 in send)"});
}

TEST_F(SupervisionTest, ConnectErrors) {
    // Before the socket opened (no port, unresolvable name): the warning alone.
    socket.connectError = "Connect: No Port Specified";
    service->JvTimerList1Events0Timer(nullptr);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"W:Connect: No Port Specified"});
    EXPECT_EQ(socket.closes, 0);
    EXPECT_TRUE(timers.events[0].enabled);

    // After the socket opened: the warning, then the close and its closed event, so the
    // next firing connects again instead of never again.
    log.Clear();
    socket.connectError = "Connection refused (#10061 in connect)";
    socket.stateAfterFailedConnect = TSocketState::wsOpened;
    service->JvTimerList1Events0Timer(nullptr);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"W:Connection refused (#10061 in connect)", kAfgewerkt}));
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    EXPECT_TRUE(timers.events[0].enabled);
    socket.connectError = nullptr;
    service->JvTimerList1Events0Timer(nullptr);
    EXPECT_EQ(socket.connects, 3);
    EXPECT_EQ(socket.state, TSocketState::wsConnecting);
}

TEST_F(SupervisionTest, Watchdog) {
    // From start-up: nothing to close.
    service->JvTimerList1Events2Timer(nullptr);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{kGeforceerd});
    EXPECT_EQ(socket.closes, 0);
    EXPECT_FALSE(timers.events[2].enabled);

    // A server that accepts and stays silent.
    log.Clear();
    service->JvTimerList1Events0Timer(nullptr);
    socket.RaiseConnected();
    socket.Deliver(Soh("4\x02YW"));
    service->JvTimerList1Events2Timer(nullptr);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{kVerzonden, kGeforceerd, kAfgewerkt}));
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    EXPECT_FALSE(timers.events[2].enabled);

    // A refused connection: verzonden then afgewerkt, no watchdog warning.
    log.Clear();
    service->JvTimerList1Events0Timer(nullptr);
    socket.RaiseConnected();
    socket.PeerClosed();
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{kVerzonden, kAfgewerkt}));
    // A still-connecting socket is closed by the watchdog too.
    log.Clear();
    socket.state = TSocketState::wsConnecting;
    service->JvTimerList1Events2Timer(nullptr);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{kGeforceerd, kAfgewerkt}));
}

}  // namespace
}  // namespace collector::testing
