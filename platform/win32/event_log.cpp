// The Windows event log (advapi32): RegisterEventSourceW, ReportEventW, DeregisterEventSource,
// and the registry keys that name a source's message file.
//
// The handle given to callers is a small record of our own holding the system's handle and
// the source name: the console echo needs the name of an entry's source, and the system's
// handles cannot be told apart by source (Wine gives every source the same one). In
// console mode a source the system refuses still gets a record, so that its entries are
// echoed; each write then tries to open the system's source again.
#include "platform/event_log.h"

#include <memory>
#include <type_traits>

#include "platform/win32/win32.h"

namespace platform {
namespace {

struct EventSource {
    HANDLE system = nullptr;
    std::u16string name;
};

EventSource* FromHandle(EventSourceHandle source) { return reinterpret_cast<EventSource*>(source); }

std::u16string SourceKey(const std::u16string& sourceName) {
    return u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + sourceName;
}

// Closes a registry key when the operation that opened it ends.
struct KeyCloser {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using ScopedKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

// The registry calls return their error instead of setting it.
bool Succeeded(LSTATUS status) {
    if (status == ERROR_SUCCESS) {
        return true;
    }
    ::SetLastError(static_cast<DWORD>(status));
    return false;
}

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

bool InstallEventSource(const std::u16string& sourceName, const std::u16string& messageFile) {
    // An empty name would address the Application log's own key.
    if (sourceName.empty() || sourceName.find(u'\\') != std::u16string::npos) {
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    HKEY opened = nullptr;
    if (!Succeeded(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, win32::Wide(SourceKey(sourceName)), 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &opened, nullptr))) {
        return false;
    }
    const ScopedKey key(opened);
    // The path is stored with its terminating zero, as the registry expects of a string.
    const auto bytes = static_cast<DWORD>((messageFile.size() + 1) * sizeof(char16_t));
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    return Succeeded(::RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                                      reinterpret_cast<const BYTE*>(win32::Wide(messageFile)), bytes)) &&
           Succeeded(::RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                                      sizeof types));
}

bool RemoveEventSource(const std::u16string& sourceName) {
    if (sourceName.empty() || sourceName.find(u'\\') != std::u16string::npos) {
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    const LSTATUS status = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, win32::Wide(SourceKey(sourceName)));
    return status == ERROR_FILE_NOT_FOUND || Succeeded(status);
}

}  // namespace platform
