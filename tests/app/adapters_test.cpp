// The adapters through which the collector reaches the real socket and timer list: each
// operation of the collector's interface lands on the component, and the handlers the
// collector installs are the ones the component calls.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/client_socket_ops.h"
#include "app/timer_list_ops.h"
#include "net/wsocket.h"
#include "support/socket_support.h"
#include "support/timer_support.h"
#include "text/strings.h"

namespace {

using namespace testsupport;
using timers::TJvTimerList;
using timers_test::TimerListTest;

TEST(SocketAdapter, ForwardsOperationsAndHandlers) {
    platform::EnsureMessageQueue();
    auto sock = std::make_unique<net::TWSocket>();
    app::ClientSocketOpsAdapter ops(*sock);
    platform::CheckedRecursiveMutex lock;
    ops.SetOwnerLock(&lock);
    EXPECT_EQ(sock->OwnerLock(), &lock);
    std::vector<std::string> seen;
    std::string reply;
    // The collector reads straight into its buffer: the room asked for is the pending
    // count the socket reports, and what was read lands there.
    std::string room;
    const auto read = [&] {
        const std::size_t got = ops.ReceiveTextInto([&](std::size_t most) {
            room.assign(most, '#');
            return room.data();
        });
        EXPECT_LE(got, room.size());
        reply += room.substr(0, got);
    };
    ops.SetHandlers([&](std::uint16_t e) { seen.push_back("connected " + std::to_string(e)); },
                    [&](std::uint16_t) { read(); },
                    [&](std::uint16_t e) { seen.push_back("closed " + std::to_string(e)); });
    Server server([](ps::SOCKET conn) {
        std::string request = RecvUpTo(conn, 4);
        SendAll(conn, request + "-reply");
        return conn;
    });
    EXPECT_EQ(ops.State(), net::TSocketState::wsClosed);
    ops.SetAddr(u"127.0.0.1");
    ops.SetPort(txt::IntToStr(server.Port()));
    ops.Connect();
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(ops.SendText(u"ping"), 4);
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(reply, "ping-reply");
    EXPECT_EQ(seen, (std::vector<std::string>{"connected 0", "closed 0"}));
    ops.Close();  // closed already: nothing
    EXPECT_EQ(seen.size(), 2u);
    sock.reset();
    PumpPending();  // stale notices of this test find no socket
}

TEST_F(TimerListTest, TimerAdapterReachesEventsByIndex) {
    TJvTimerList list;
    AddCollectorEvents(list);
    app::JvTimerListOps ops(list);
    collector::TimerListOps& timersOps = ops;
    EXPECT_EQ(timersOps.Events(0).Interval(), 30000);
    EXPECT_FALSE(timersOps.Events(1).Enabled());
    EXPECT_EQ(&timersOps.Events(2), &timersOps.Events(2));
    timersOps.SetActive(true);
    EXPECT_TRUE(list.Active());
    timersOps.Events(0).SetInterval(60000);
    timersOps.Events(1).SetEnabled(true);
    EXPECT_EQ(list.Events()[0].Interval(), 60000);
    EXPECT_TRUE(list.Events()[1].Enabled());
    EXPECT_EQ(list.Events().TickInterval(), 1000);
    EXPECT_THROW(timersOps.Events(7).Enabled(), std::out_of_range);
}

}  // namespace
