#pragma once
// A fixture whose tick count is the test's own: the platform's clock reads `now_` from
// SetUp to TearDown, and Pump hands every waiting message of the thread to its window.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

#include "platform/messages.h"

namespace testsupport {

class TestClockTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetTestClock([this] { return now_.load(); });
        platform::EnsureMessageQueue();
        Pump();
    }
    void TearDown() override {
        Pump();
        platform::SetTestClock({});
    }
    virtual void Pump() {
        platform::Message m;
        while (platform::PeekMessage(m, true)) platform::DispatchMessage(m);
    }

    std::atomic<std::uint64_t> now_{1'000'000};
};

}  // namespace testsupport
