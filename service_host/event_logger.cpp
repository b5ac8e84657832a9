#include "service_host/event_logger.h"

namespace service_host {

TEventLogger::TEventLogger(std::u16string sourceName, EventLogApi& eventLog)
    : sourceName_(std::move(sourceName)), eventLog_(eventLog) {}

TEventLogger::~TEventLogger() {
    const platform::EventSourceHandle source = source_.exchange(0);
    if (source != 0) eventLog_.DeregisterEventSource(source);
}

platform::EventSourceHandle TEventLogger::Source() noexcept {
    platform::EventSourceHandle current = source_.load(std::memory_order_acquire);
    if (current != 0) return current;
    const platform::EventSourceHandle opened = eventLog_.RegisterEventSource(sourceName_);
    // A failed open stays empty: the entry is handed over with the empty handle and is lost,
    // and the next write tries again.
    if (opened == 0) return 0;
    if (source_.compare_exchange_strong(current, opened, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return opened;
    }
    // Another thread opened the source at the same moment: keep one handle only.
    eventLog_.DeregisterEventSource(opened);
    return current;
}

void TEventLogger::WriteEvent(const std::u16string& message, std::uint32_t eventType, std::uint16_t category,
                              std::uint32_t eventId) noexcept {
    try {
        eventLog_.ReportEvent(Source(), static_cast<std::uint16_t>(eventType & 0xFFFF), category, eventId, message);
    } catch (...) {
        // Writing to the event log never fails towards the caller; an entry the platform
        // could not take is lost, as a rejected ReportEventW is.
    }
}

}  // namespace service_host
