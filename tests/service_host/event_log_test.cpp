// The event-log writer against a recording fake, and the console and wire formats of the
// event log and the status reports.
#include <gtest/gtest.h>

#include <thread>

#include "fakes.h"
#include "platform/event_log.h"
#include "platform/service_manager.h"
#include "service_host/event_logger.h"
#include "service_host/service.h"
#include "text/strings.h"
#ifndef _WIN32
#include "platform/posix/service_internal.h"
#endif

namespace {

using host_test::FakeEventLog;
using service_host::TEventLogger;

class NamedService : public service_host::TService {
public:
    NamedService(host_test::FakeManager& manager, FakeEventLog& log)
        : TService(nullptr, u"BrivonMorvel", manager, log) {}
    platform::HandlerFunction ControlHandlerEntry() override { return nullptr; }
};

TEST(EventLogger, OpensOnFirstWriteKeepsTheSourceAndRetriesAfterFailure) {
    FakeEventLog log;
    {
        TEventLogger logger(u"BrivonMorvel", log);
        EXPECT_EQ(0, log.registerCalls);   // construction makes no platform call
        logger.WriteEvent(u"eerste", 4, 0, 1);
        logger.WriteEvent(u"", 2, 0, 1);
        EXPECT_EQ(1, log.registerCalls);
        const auto entries = log.Entries();
        ASSERT_EQ(2u, entries.size());
        EXPECT_EQ(entries[0].source, entries[1].source);
        EXPECT_EQ(u"BrivonMorvel", entries[0].sourceName);
        EXPECT_EQ(u"", entries[1].text);
        EXPECT_EQ(2, entries[1].type);
    }
    EXPECT_EQ(1, log.deregisterCalls);

    FakeEventLog failing;
    failing.failOpen = true;
    {
        TEventLogger logger(u"VBxMorvel", failing);
        logger.WriteEvent(u"a", 1, 0, 0);
        logger.WriteEvent(u"b", 1, 0, 0);
        EXPECT_EQ(2, failing.registerCalls);   // every write tries to open again
        EXPECT_EQ(0u, failing.Entries()[0].source);
        failing.failOpen = false;
        logger.WriteEvent(u"c", 1, 0, 0);
        EXPECT_EQ(3, failing.registerCalls);
        EXPECT_NE(0u, failing.Entries()[2].source);
        failing.throwOnReport = true;
        EXPECT_NO_THROW(logger.WriteEvent(u"d", 1, 0, 0));
    }
    EXPECT_EQ(1, failing.deregisterCalls);

    FakeEventLog unused;
    { TEventLogger logger(u"x", unused); }
    EXPECT_EQ(0, unused.registerCalls + unused.deregisterCalls);
}

TEST(EventLogger, ServiceWriteEventPassesLowBitsAndFirstUseIsSafeFromManyThreads) {
    host_test::FakeManager manager;
    FakeEventLog log;
    {
        NamedService service(manager, log);
        service.WriteEvent(u"m", 4, 0, 1);
        service.WriteEvent(u"m", 0x10004, 70000, 0);
        const auto entries = log.Entries();
        ASSERT_EQ(2u, entries.size());
        EXPECT_EQ(0, entries[0].category);
        EXPECT_EQ(1u, entries[0].id);
        EXPECT_EQ(4, entries[1].type);
        EXPECT_EQ(70000 & 0xFFFF, entries[1].category);
    }

    for (int round = 0; round < 20; ++round) {
        FakeEventLog shared;
        {
            NamedService service(manager, shared);
            std::atomic<bool> go{false};
            std::vector<std::thread> writers;
            for (int i = 0; i < 4; ++i) {
                writers.emplace_back([&] {
                    while (!go.load()) {
                    }
                    for (int n = 0; n < 5; ++n) service.WriteEvent(u"gelijktijdig", 4, 0, 1);
                });
            }
            go = true;
            for (auto& writer : writers) writer.join();
            const auto entries = shared.Entries();
            ASSERT_EQ(20u, entries.size());
            for (const auto& entry : entries) EXPECT_EQ(entries[0].source, entry.source);
            EXPECT_NE(0u, entries[0].source);
            EXPECT_EQ(shared.registerCalls - 1, shared.deregisterCalls);   // one handle kept
        }
        EXPECT_EQ(shared.registerCalls, shared.deregisterCalls);
    }
}

TEST(ConsoleFormats, EventEntriesAndStatusLines) {
    EXPECT_EQ("BrivonMorvel information 0 1 Vanto Brivon Morvel cliënt werd normaal gestart",
              platform::FormatEventEntry(u"BrivonMorvel", 4, 0, 1,
                                         txt::U("Vanto Brivon Morvel cliënt werd normaal gestart")));
    EXPECT_EQ("VBxMorvel error 0 0 System Error.  Code: 5.\\r\\nAccess is denied",
              platform::FormatEventEntry(u"VBxMorvel", 1, 0, 0, u"System Error.  Code: 5.\r\nAccess is denied"));
    EXPECT_EQ("s warning 65535 4294967295 a\\\\b\\n\\x01\\x1F\\x09",
              platform::FormatEventEntry(u"s", 2, 65535, 4294967295u, u"a\\b\n\x01\x1F\t"));
    EXPECT_EQ("s 8 0 0 ", platform::FormatEventEntry(u"s", 8, 0, 0, u""));
    EXPECT_EQ("s warning 0 0 \\x09", platform::FormatEventEntry(u"s", 2, 0, 0, u"\t"));

    platform::ServiceStatus status;
    status.dwCurrentState = 2;
    status.dwControlsAccepted = 0;
    status.dwCheckPoint = 1;
    status.dwWaitHint = 5000;
    EXPECT_EQ("status ssStartPending state=2 controls=0 checkpoint=1 waithint=5000",
              platform::FormatServiceStatus(status));
    const char* names[] = {"ssStopped", "ssStartPending", "ssStopPending", "ssRunning",
                           "ssContinuePending", "ssPausePending", "ssPaused"};
    for (std::uint32_t state = 1; state <= 7; ++state) EXPECT_EQ(names[state - 1], platform::ServiceStateName(state));
    EXPECT_EQ("9", platform::ServiceStateName(9));
}

TEST(ConsoleFormats, ManagerPassesOnlyAcceptedControls) {
    auto with = [](std::uint32_t state, std::uint32_t controls) {
        platform::ServiceStatus status;
        status.dwCurrentState = state;
        status.dwControlsAccepted = controls;
        return status;
    };
    struct Row {
        std::uint32_t control, state, controls;
        bool accepted;
    } rows[] = {
        {1, 2, 7, false}, {4, 2, 0, false}, {1, 3, 7, false}, {4, 1, 7, false}, {1, 4, 7, true},
        {1, 4, 6, false}, {2, 4, 7, true},  {2, 4, 5, false}, {3, 7, 2, true},  {5, 4, 4, true},
        {5, 4, 3, false}, {4, 7, 0, true},  {128, 4, 0, true}, {200, 7, 0, true}, {4, 6, 7, false},
        {1, 6, 1, true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.accepted, platform::ManagerAcceptsControl(row.control, with(row.state, row.controls)))
            << row.control << " in state " << row.state << " controls " << row.controls;
    }
}

#ifndef _WIN32
TEST(LinuxFormats, JournalNotifyAndUnitTexts) {
    using platform::posix::JournalDatagram;
    EXPECT_EQ(std::string("MESSAGE=hallo\nPRIORITY=6\nSYSLOG_IDENTIFIER=BrivonMorvel\nEVENT_TYPE=4\n"
                          "EVENT_CATEGORY=0\nEVENT_ID=1\n"),
              JournalDatagram(u"BrivonMorvel", 4, 0, 1, u"hallo"));
    const std::string multi = JournalDatagram(u"VBxMorvel", 1, 0, 0, u"a\r\nb");
    EXPECT_EQ(std::string("MESSAGE\n\x04\0\0\0\0\0\0\0a\r\nb\nPRIORITY=3\n", 23), multi.substr(0, 23));
    EXPECT_EQ(4, platform::posix::JournalPriority(2));
    EXPECT_EQ(6, platform::posix::JournalPriority(16));

    platform::ServiceStatus status;
    status.dwCurrentState = 2;
    status.dwCheckPoint = 2;
    status.dwWaitHint = 5000;
    EXPECT_EQ("STATUS=ssStartPending\nEXTEND_TIMEOUT_USEC=5000000\nX_SERVICE_STATE=2\nX_CONTROLS_ACCEPTED=0\n"
              "X_CHECKPOINT=2\nX_WAIT_HINT=5000",
              platform::posix::NotifyDatagram(status));
    status.dwCurrentState = 4;
    status.dwControlsAccepted = 7;
    status.dwCheckPoint = 0;
    EXPECT_EQ("STATUS=ssRunning\nREADY=1\nX_SERVICE_STATE=4\nX_CONTROLS_ACCEPTED=7\nX_CHECKPOINT=0\nX_WAIT_HINT=5000",
              platform::posix::NotifyDatagram(status));
    status.dwCurrentState = 3;
    EXPECT_EQ(0u, platform::posix::NotifyDatagram(status).find("STATUS=ssStopPending\nSTOPPING=1\n"
                                                                "EXTEND_TIMEOUT_USEC=5000000\n"));

    const std::string unit = platform::posix::UnitFileText(u"Vanto Brivon Morvel Collector", u"/opt/vbx/VBxMorvel");
    EXPECT_EQ("[Unit]\nDescription=Vanto Brivon Morvel Collector\n\n[Service]\nType=notify\nNotifyAccess=main\n"
              "ExecStart=/opt/vbx/VBxMorvel\n\n[Install]\nWantedBy=multi-user.target\n",
              unit);
    auto execStart = [](const std::u16string& path) {
        const std::string text = platform::posix::UnitFileText(u"d", path);
        const auto at = text.find("ExecStart=") + 10;
        return text.substr(at, text.find('\n', at) - at);
    };
    EXPECT_EQ("\"/opt/my tools/VBxMorvel\"", execStart(u"/opt/my tools/VBxMorvel"));
    EXPECT_EQ("\"/opt/a\\\"b\\\\c d/x\"", execStart(u"/opt/a\"b\\c d/x"));
    EXPECT_EQ("/opt/100%%/$$HOME/x", execStart(u"/opt/100%/$HOME/x"));
}
#endif

}  // namespace
