// The notification socket's client against a reader that reads only when the test says
// so: nothing ever waits, a full socket keeps the newest report with the one-shot fields
// of those it replaced, a kept report goes out once there is room or is dropped at its
// deadline, and only the first loss is reported as such.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/messages.h"
#include "platform/posix/notify_client.h"
#include "platform/posix/service_internal.h"
#include "support/datagram_receiver.h"

namespace {

using platform::posix::NotifyClient;
using Result = NotifyClient::Result;

platform::ServiceStatus Report(std::uint32_t state, std::uint32_t checkpoint = 0) {
    return {.dwCurrentState = state, .dwControlsAccepted = 7, .dwCheckPoint = checkpoint, .dwWaitHint = 5000};
}

// A client connected to a reader of its own.
class NotifyClientTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(client.Open(reader.Path().c_str())); }
    std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (const auto& d : reader.Drain()) texts.push_back(d.bytes);
        return texts;
    }
    // Fills the reader's queue with start-pending reports until the client has to keep one.
    int FillUntilKept(std::uint64_t now) {
        for (int n = 1; n < 100000; ++n) {
            if (client.Report(Report(platform::kServiceStartPending, std::uint32_t(n)), now) == Result::kKept) return n;
        }
        ADD_FAILURE() << "the socket never filled";
        return 0;
    }
    testsupport::DatagramReceiver reader;
    NotifyClient client;
};

TEST_F(NotifyClientTest, SendsAtOnceWhileTheReaderKeepsUp) {
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(Result::kSent, client.Report(Report(platform::kServiceRunning), 0));
    EXPECT_TRUE(client.Ping());
    EXPECT_TRUE(client.Refresh("STATUS=ssRunning: last packet 14:02:03, 5123 bytes"));
    EXPECT_FALSE(client.HasKept());
    EXPECT_EQ(-1, client.WaitMs(0));
    EXPECT_EQ(Result::kNothing, client.Retry(0));
    EXPECT_EQ((std::vector<std::string>{platform::posix::NotifyDatagram(Report(platform::kServiceRunning)),
                                        "WATCHDOG=1", "STATUS=ssRunning: last packet 14:02:03, 5123 bytes"}),
              Texts());

    EXPECT_FALSE(client.Open("relative/name"));
    EXPECT_FALSE(client.Open(nullptr));
}

TEST_F(NotifyClientTest, AFullSocketKeepsTheNewestReportWithEveryOneShotField) {
    const std::uint64_t t0 = 1'000'000;
    const int sent = FillUntilKept(t0);
    ASSERT_GT(sent, 1);
    EXPECT_TRUE(client.HasKept());
    EXPECT_FALSE(client.Ping()) << "a ping is never kept";
    EXPECT_FALSE(client.Refresh("STATUS=ssStartPending: text")) << "nor is the operator's text";
    EXPECT_EQ(static_cast<int>(NotifyClient::kRetryMs), client.WaitMs(t0));

    // Ready, then stopping, then stopped: each replaces the kept one in its turn.
    EXPECT_EQ(Result::kKept, client.Report(Report(platform::kServiceRunning), t0 + 10));
    EXPECT_EQ(Result::kKept, client.Report(Report(platform::kServiceStopPending), t0 + 20));
    EXPECT_EQ(Result::kKept, client.Report(Report(platform::kServiceStopped), t0 + 30));
    EXPECT_EQ(Result::kKept, client.Retry(t0 + 40));
    EXPECT_EQ(static_cast<int>(NotifyClient::kRetryMs) - 40, client.WaitMs(t0 + 40)) << "the first keep decides";

    // The reader catches up: the kept report goes out, last, carrying STOPPING, after the
    // READY it carries in a datagram of its own (newer systemd lets STOPPING win in one).
    const std::vector<std::string> queued = Texts();
    EXPECT_EQ(static_cast<std::size_t>(sent - 1), queued.size());
    EXPECT_EQ(Result::kSent, client.Retry(t0 + 50));
    EXPECT_FALSE(client.HasKept());
    const std::vector<std::string> last = Texts();
    ASSERT_EQ(2u, last.size());
    EXPECT_EQ("READY=1", last[0]);
    EXPECT_EQ(0u, last[1].find("STATUS=ssStopped\nSTOPPING=1\nX_SERVICE_STATE=1\n")) << last[1];
    EXPECT_EQ(NotifyClient::Datagram(Report(platform::kServiceStopped), false, true), last[1]);
    EXPECT_EQ(0u, NotifyClient::Datagram(Report(platform::kServiceStopped), true, true)
                      .find("STATUS=ssStopped\nREADY=1\nSTOPPING=1\n"));
    // A report of its own state keeps its field where it stands, once.
    EXPECT_EQ(platform::posix::NotifyDatagram(Report(platform::kServiceRunning)),
              NotifyClient::Datagram(Report(platform::kServiceRunning), true, false));
}

TEST_F(NotifyClientTest, AKeptReportIsDroppedAtItsDeadlineAndTheFirstLossIsReportedOnce) {
    const std::uint64_t t0 = 5'000;
    FillUntilKept(t0);
    EXPECT_EQ(Result::kKept, client.Retry(t0 + NotifyClient::kRetryMs - 1));
    EXPECT_EQ(Result::kDropped, client.Retry(t0 + NotifyClient::kRetryMs));
    EXPECT_EQ(platform::kErrorTimeout, platform::GetLastError());
    EXPECT_FALSE(client.HasKept());
    // The next report that cannot go is kept anew, with a deadline of its own; its loss is
    // not reported again.
    const std::uint64_t t1 = t0 + 10'000;
    EXPECT_EQ(Result::kKept, client.Report(Report(platform::kServiceRunning), t1));
    EXPECT_EQ(static_cast<int>(NotifyClient::kRetryMs), client.WaitMs(t1));
    EXPECT_EQ(Result::kDroppedAgain, client.Retry(t1 + NotifyClient::kRetryMs + 5));

    // A reader gone for good: kept reports (a readiness carried before a stop) are dropped at
    // once, and a new report fails at once, nothing is kept.
    const std::uint64_t t2 = t1 + 10'000;
    EXPECT_EQ(Result::kKept, client.Report(Report(platform::kServiceRunning), t2));
    EXPECT_EQ(Result::kKept, client.Report(Report(platform::kServiceStopPending), t2));
    reader.Close();
    EXPECT_EQ(Result::kDroppedAgain, client.Retry(t2 + 1));
    platform::SetLastError(0);
    EXPECT_EQ(Result::kFailed, client.Report(Report(platform::kServiceStopPending), t1));
    EXPECT_NE(0u, platform::GetLastError()) << "the failure's own error";
    EXPECT_FALSE(client.HasKept());
    EXPECT_FALSE(client.Ping());
}

}  // namespace
