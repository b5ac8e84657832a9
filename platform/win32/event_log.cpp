// The Windows event log (advapi32): RegisterEventSourceW, ReportEventW, DeregisterEventSource.
//
// The handle given to callers is a small record of our own holding the system's handle and
// the source name: the console echo needs the name of an entry's source, and the system's
// handles cannot be told apart by source (Wine gives every source the same one). In
// console mode a source the system refuses still gets a record, so that its entries are
// echoed; each write then tries to open the system's source again.
#include "platform/event_log.h"

#include <memory>

#include "platform/win32/win32.h"

namespace platform {
namespace {

struct EventSource {
    HANDLE system = nullptr;
    std::u16string name;
};

EventSource* FromHandle(EventSourceHandle source) { return reinterpret_cast<EventSource*>(source); }

}  // namespace

EventSourceHandle RegisterEventSource(const std::u16string& sourceName) {
    const HANDLE system = ::RegisterEventSourceW(nullptr, win32::Wide(sourceName));
    if (system == nullptr && !EventLogEcho()) {
        return 0;
    }
    auto source = std::make_unique<EventSource>();
    source->system = system;
    source->name = sourceName;
    return reinterpret_cast<EventSourceHandle>(source.release());
}

bool ReportEvent(EventSourceHandle source, std::uint16_t eventType, std::uint16_t category, std::uint32_t eventId,
                 const std::u16string& text) {
    EventSource* record = FromHandle(source);
    if (record == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (record->system == nullptr) {
        // Kept only for the echo: the system's source is tried again with every entry.
        record->system = ::RegisterEventSourceW(nullptr, win32::Wide(record->name));
    }
    // One insertion string; an empty text is passed as an empty string, never as none.
    LPCWSTR strings[1] = {win32::Wide(text)};
    const bool taken = record->system != nullptr && ::ReportEventW(record->system, eventType, category, eventId,
                                                                   nullptr, 1, 0, strings, nullptr) != 0;
    if (EventLogEcho()) {
        EchoEventEntry(record->name, eventType, category, eventId, text);
    }
    return taken;
}

bool DeregisterEventSource(EventSourceHandle source) {
    std::unique_ptr<EventSource> record(FromHandle(source));
    if (!record) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return record->system == nullptr || ::DeregisterEventSource(record->system) != 0;
}

}  // namespace platform
