// Collaborators that do nothing, for benchmarks that drive the collector without a
// service, a timer list or a log: the log keeps its last entry for the result checks.
#pragma once

#include <cstdint>
#include <string>

#include "collector/collaborators.h"

namespace bench {

class NullLog : public collector::ServiceLog {
public:
    void WriteEvent(const std::u16string& message, std::uint32_t, int, int) override { last = message; }
    std::u16string last;
};

class NullEvent : public collector::TimerEventOps {
public:
    bool Enabled() const override { return enabled; }
    void SetEnabled(bool value) override { enabled = value; }
    std::int32_t Interval() const override { return interval; }
    void SetInterval(std::int32_t ms) override { interval = ms; }
    bool enabled = false;
    std::int32_t interval = 0;
};

class NullTimers : public collector::TimerListOps {
public:
    collector::TimerEventOps& Events(int index) override { return events[index]; }
    void SetActive(bool) override {}
    NullEvent events[3];
};

}  // namespace bench
