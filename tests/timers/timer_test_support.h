#pragma once
// Shared fixture of the timer list tests: an injected clock and a loop driven by hand.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "timers/application_errors.h"
#include "timers/timer_list.h"

namespace timers_test {

struct Firing {
    std::u16string name;
    std::uint32_t tick;
};

class TimerListTest : public ::testing::Test {
protected:
    void SetUp() override {
        now_ = 1'000'000;
        platform::SetTestClock([this] { return now_.load(); });
        platform::EnsureMessageQueue();
        Pump();
    }
    void TearDown() override {
        Pump();
        timers::SetApplicationErrorHandler({});
        platform::SetTestClock({});
    }

    // Hands every waiting message (ticks included) to its window.
    static void Pump() {
        platform::Message m;
        while (platform::PeekMessage(m, true)) platform::DispatchMessage(m);
    }
    // Lets `ms` pass in steps, pumping the loop after each step, as a loop would.
    void Run(std::uint64_t ms, std::uint64_t step = 10) {
        for (std::uint64_t done = 0; done < ms; done += step) {
            now_ += step;
            Pump();
        }
    }
    std::uint32_t Now() const { return std::uint32_t(now_.load()); }

    // Adds an event that records its firings.
    timers::TJvTimerEvent& AddEvent(timers::TJvTimerList& list, const char16_t* name, std::int32_t interval,
                                    bool enabled) {
        timers::TJvTimerEvent& e = list.Events().Add();
        e.SetName(name);
        e.SetEnabled(enabled);
        e.SetInterval(interval);
        e.SetOnTimer([this, &e](void* sender) {
            EXPECT_EQ(sender, &e);
            firings_.push_back(Firing{e.Name(), platform::GetTickCount()});
        });
        return e;
    }
    // The collector's three events as its design describes them.
    void AddCollectorEvents(timers::TJvTimerList& list) {
        AddEvent(list, u"ControleTimer", 30000, false);
        AddEvent(list, u"PakketController", 2000, false);
        AddEvent(list, u"ConnectTimer", 15000, true);
    }

    std::atomic<std::uint64_t> now_{0};
    std::vector<Firing> firings_;
};

}  // namespace timers_test
