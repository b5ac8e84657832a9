// The event-log writer against a recording fake.
#include <gtest/gtest.h>

#include <thread>

#include "platform/event_log.h"
#include "platform/service_manager.h"
#include "service_host/event_logger.h"
#include "service_host/service.h"
#include "support/host_fakes.h"
#include "text/strings.h"

namespace {

using host_test::FakeEventLog;
using service_host::TEventLogger;

TEST(EventLogger, OpensOnFirstWriteKeepsTheSourceAndRetriesAfterFailure) {
    FakeEventLog log;
    {
        TEventLogger logger(u"BrivonMorvel", log);
        EXPECT_EQ(0, log.registerCalls);  // construction makes no platform call
        logger.WriteEvent(u"eerste", 4, 0, 1);
        logger.WriteEvent(u"", 2, 0, 1);
        EXPECT_EQ(1, log.registerCalls);
        EXPECT_EQ((std::vector<std::u16string>{u"BrivonMorvel 4/0/1: eerste", u"BrivonMorvel 2/0/1: "}), log.Lines());
    }
    EXPECT_EQ(1, log.deregisterCalls);

    FakeEventLog failing;
    failing.failOpen = true;
    {
        TEventLogger logger(u"VBxMorvel", failing);
        logger.WriteEvent(u"a", 1, 0, 0);
        logger.WriteEvent(u"b", 1, 0, 0);
        EXPECT_EQ(2, failing.registerCalls);  // every write tries to open again
        failing.failOpen = false;
        logger.WriteEvent(u"c", 1, 0, 0);
        EXPECT_EQ(3, failing.registerCalls);
        // Written without a source until one was opened.
        EXPECT_EQ((std::vector<std::u16string>{u" 1/0/0: a", u" 1/0/0: b", u"VBxMorvel 1/0/0: c"}), failing.Lines());
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
        host_test::FakeService service(manager, log);
        service.WriteEvent(u"m", 4, 0, 1);
        service.WriteEvent(u"m", 0x10004, 70000, 0);  // 70000 & 0xFFFF: 4464
        EXPECT_EQ((std::vector<std::u16string>{u"BrivonMorvel 4/0/1: m", u"BrivonMorvel 4/4464/0: m"}), log.Lines());
    }

    for (int round = 0; round < 20; ++round) {
        FakeEventLog shared;
        {
            host_test::FakeService service(manager, shared);
            std::atomic<bool> go{false};
            std::vector<std::thread> writers;
            for (int i = 0; i < 4; ++i) {
                writers.emplace_back([&] {
                    while (!go.load()) {}
                    for (int n = 0; n < 5; ++n) service.WriteEvent(u"gelijktijdig", 4, 0, 1);
                });
            }
            go = true;
            for (auto& writer : writers) writer.join();
            const auto entries = shared.Entries();
            ASSERT_EQ(20u, entries.size());
            for (const auto& entry : entries) EXPECT_EQ(entries[0].source, entry.source);
            EXPECT_NE(0u, entries[0].source);
            EXPECT_EQ(shared.registerCalls - 1, shared.deregisterCalls);  // one handle kept
        }
        EXPECT_EQ(shared.registerCalls, shared.deregisterCalls);
    }
}

}  // namespace
