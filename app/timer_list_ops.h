#pragma once
// The timer list as the collector sees it: collector::TimerListOps over a TJvTimerList,
// so that the collector never depends on the concrete component.
//
// Threading contract: as TJvTimerList; every operation may be called from any thread.
// The adapter must not outlive the list it wraps.
#include <map>
#include <memory>
#include <mutex>

#include "collector/collaborators.h"
#include "timers/timer_list.h"

namespace app {

class JvTimerListOps : public collector::TimerListOps {
public:
    explicit JvTimerListOps(timers::TJvTimerList& list) : list_(list) {}

    // The event at the index at the time of each call (the collector reaches its events
    // by index, as the component's users do).
    collector::TimerEventOps& Events(int index) override;
    void SetActive(bool value) override { list_.SetActive(value); }

private:
    class EventOps : public collector::TimerEventOps {
    public:
        EventOps(timers::TJvTimerList& list, int index) : list_(list), index_(index) {}
        bool Enabled() const override { return list_.Events()[index_].Enabled(); }
        void SetEnabled(bool value) override { list_.Events()[index_].SetEnabled(value); }
        std::int32_t Interval() const override { return list_.Events()[index_].Interval(); }
        void SetInterval(std::int32_t ms) override { list_.Events()[index_].SetInterval(ms); }

    private:
        timers::TJvTimerList& list_;
        int index_;
    };

    timers::TJvTimerList& list_;
    std::mutex mutex_;
    std::map<int, std::unique_ptr<EventOps>> events_;  // by index, created on first use
};

inline collector::TimerEventOps& JvTimerListOps::Events(int index) {
    std::lock_guard lock(mutex_);
    // A bad index raises when the event is first used, as Items does.
    auto& slot = events_[index];
    if (!slot) slot = std::make_unique<EventOps>(list_, index);
    return *slot;
}

}  // namespace app
