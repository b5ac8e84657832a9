#pragma once
// TEventLogger: the single writer of event-log entries. It owns one event source of the
// platform's event log, opened on the first write and kept; a failed open is retried by
// the next write. Writing never raises.
//
// Threading contract: WriteEvent may be called from any number of threads at once, also
// for the very first write; the source is then opened once and shared, and later writes
// take no lock of their own. Construction and destruction: one thread, with no write in
// progress.
#include <atomic>
#include <cstdint>
#include <string>

#include "service_host/host_api.h"

namespace service_host {

class TEventLogger {
public:
    explicit TEventLogger(std::u16string sourceName, EventLogApi& eventLog = PlatformEventLog());
    ~TEventLogger();
    TEventLogger(const TEventLogger&) = delete;
    TEventLogger& operator=(const TEventLogger&) = delete;

    // One entry: the platform takes the low 16 bits of the event type.
    void WriteEvent(const std::u16string& message, std::uint32_t eventType, std::uint16_t category,
                    std::uint32_t eventId) noexcept;

    const std::u16string& SourceName() const { return sourceName_; }

private:
    platform::EventSourceHandle Source() noexcept;

    const std::u16string sourceName_;
    EventLogApi& eventLog_;
    std::atomic<platform::EventSourceHandle> source_{0};
};

// An object created on first use by whichever thread needs it first and owned from then
// on: racing creators publish with one compare-and-swap and the loser discards its copy,
// so no lock is taken once the object exists.
template <class T>
class CreatedOnFirstUse {
public:
    CreatedOnFirstUse() = default;
    ~CreatedOnFirstUse() { delete object_.load(std::memory_order_acquire); }
    CreatedOnFirstUse(const CreatedOnFirstUse&) = delete;
    CreatedOnFirstUse& operator=(const CreatedOnFirstUse&) = delete;

    template <class Make>
    T& Get(Make&& make) {
        T* current = object_.load(std::memory_order_acquire);
        if (current != nullptr) return *current;
        T* fresh = make();
        if (object_.compare_exchange_strong(current, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
            return *fresh;
        }
        delete fresh;
        return *current;
    }
    bool Exists() const { return object_.load(std::memory_order_acquire) != nullptr; }

private:
    std::atomic<T*> object_{nullptr};  // owned
};

}  // namespace service_host
