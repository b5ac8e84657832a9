#pragma once
// Shared fixture of the timer list tests: an injected clock and a loop driven by hand.
//
// Tick says when the list's tick falls due, Advance that time passes without one. On
// POSIX the loop makes the ticks from the test clock and the fixture checks that they come
// exactly then, which covers the list's re-arms. Windows' timers follow the real clock:
// there the fixture drops the system's ticks and hands the list its tick itself.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "support/test_clock.h"
#include "timers/application_errors.h"
#include "timers/timer_list.h"

namespace timers_test {

struct Firing {
    std::u16string name;
    std::uint32_t tick;
};

class TimerListTest : public testsupport::TestClockTest {
protected:
    void TearDown() override {
        TestClockTest::TearDown();
        timers::SetApplicationErrorHandler({});
    }

    // Hands every waiting message to its window, noting the moment of every tick the loop
    // produced. The system's own ticks on Windows are dropped (see above).
    void Pump() override {
        platform::Message m;
        while (platform::PeekMessage(m, true)) {
            if (m.message == platform::kWmTimer) {
#ifdef _WIN32
                continue;
#else
                loopTicks_.push_back(Now());
#endif
            }
            platform::DispatchMessage(m);
        }
    }
    // Hands the list's window one tick, as the system's timer does.
    static void DeliverTick(timers::TJvTimerList& list) {
        platform::WindowHandle window = list.TimerWindow();
        ASSERT_NE(window, 0u) << "a tick is due but the list has no timer window";
        platform::DispatchMessage(platform::Message{window, platform::kWmTimer, 1, 0});
    }
    // Returns the moment of the last step.
    std::uint32_t Pass(std::uint64_t ms, std::uint64_t step) {
        std::uint32_t last = Now();
        for (std::uint64_t done = 0; done < ms; done += step) {
            now_ += step;
            last = Now();
            Pump();
        }
        return last;
    }
    // Time passes and no tick falls due.
    void Advance(std::uint64_t ms, std::uint64_t step = 10) {
        std::size_t before = loopTicks_.size();
        Pass(ms, step);
        EXPECT_EQ(loopTicks_.size(), before) << "a tick came while none was due";
    }
    // Time passes up to the moment the list's next tick falls due, which ends the last step.
    void Tick(timers::TJvTimerList& list, std::uint64_t ms, std::uint64_t step = 10) {
        std::size_t before = loopTicks_.size();
        std::uint32_t due = Pass(ms, step);
#ifdef _WIN32
        (void)before;
        (void)due;
        DeliverTick(list);
#else
        (void)list;
        ASSERT_EQ(loopTicks_.size(), before + 1) << "ticks in the " << ms << " ms up to " << due;
        EXPECT_EQ(loopTicks_.back(), due) << "the tick came early";
#endif
    }
    void Ticks(timers::TJvTimerList& list, int count, std::uint64_t period) {
        for (int i = 0; i < count; ++i) Tick(list, period);
    }
    // Time passes with the tick running at whatever moments the list arms it: the loop's
    // ticks on POSIX, a tick every 100 ms (the shortest the list uses) on Windows.
    void RunFreely(timers::TJvTimerList& list, std::uint64_t ms) {
        for (std::uint64_t done = 10; done <= ms; done += 10) {
            now_ += 10;
            Pump();
#ifdef _WIN32
            if (done % 100 == 0 && list.TimerWindow() != 0) DeliverTick(list);
#else
            (void)list;
#endif
        }
    }
    std::uint32_t Now() const { return std::uint32_t(now_.load()); }

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
    // The firings since `start` as "name@ms name@ms ...".
    std::string Fired(std::uint32_t start) const {
        std::string log;
        for (const Firing& f : firings_)
            log += (log.empty() ? "" : " ") + Ascii(f.name) + "@" + std::to_string(f.tick - start);
        return log;
    }
    std::string Names() const {
        std::string names;
        for (const Firing& f : firings_) names += Ascii(f.name);
        return names;
    }
    static std::string Ascii(const std::u16string& text) { return std::string(text.begin(), text.end()); }
    void CountFinishes(timers::TJvTimerList& list) {
        list.SetOnFinish([this, &list](void* sender) {
            EXPECT_EQ(sender, &list);
            ++finished_;
        });
    }

    // The collector's three events as its design describes them.
    void AddCollectorEvents(timers::TJvTimerList& list) {
        AddEvent(list, u"ControleTimer", 30000, false);
        AddEvent(list, u"PakketController", 2000, false);
        AddEvent(list, u"ConnectTimer", 15000, true);
    }

    std::vector<Firing> firings_;
    std::vector<std::uint32_t> loopTicks_;  // moments the loop handed out a tick
    int finished_ = 0;
};

}  // namespace timers_test
