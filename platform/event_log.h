#pragma once
// The system event log: event sources and entries of (type, category, event ID, one text).
//
// Each operation maps onto one Win32 call (named with it). On Linux the log is the systemd
// journal, written with its native protocol; where no journal runs, syslog (facility
// daemon). Writing never fails towards the caller.
//
// Threading contract: every function may be called from any thread; entries of one thread
// keep their order. A handle stays valid until DeregisterEventSource; using it at the same
// time as deregistering it is the caller's fault.
#include <cstdint>
#include <string>

namespace platform {

using EventSourceHandle = std::uintptr_t;  // 0 means none

constexpr std::uint16_t kEventLogErrorType = 1;
constexpr std::uint16_t kEventLogWarningType = 2;
constexpr std::uint16_t kEventLogInformationType = 4;

// RegisterEventSourceW (local machine): a handle for writing entries under the source,
// or 0 on failure (GetLastError).
EventSourceHandle RegisterEventSource(const std::u16string& sourceName);

// ReportEventW with no user, one insertion string and no raw data. An entry for handle 0
// is lost. Returns whether the platform took the entry.
bool ReportEvent(EventSourceHandle source, std::uint16_t eventType, std::uint16_t category, std::uint32_t eventId,
                 const std::u16string& text);

// DeregisterEventSource.
bool DeregisterEventSource(EventSourceHandle source);

// The registration that lets a viewer show a source's entries: `messageFile` (a full
// path) becomes the EventMessageFile of the source under the Application log, with
// TypesSupported error, warning and information (RegCreateKeyExW, RegSetValueExW under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<source>). False with
// the Windows error code for GetLastError on failure. Linux: the journal needs no
// registration; true.
bool InstallEventSource(const std::u16string& sourceName, const std::u16string& messageFile);
// Removes that registration (RegDeleteKeyW); a source that is not registered counts as
// removed. Linux: true.
bool RemoveEventSource(const std::u16string& sourceName);

// Console mode: every entry is also echoed to standard output (see EchoEventEntry).
void SetEventLogEcho(bool echo);
bool EventLogEcho();

// Writes one console line for an entry, flushed at once:
// "YYYY-MM-DD HH:MM:SS.mmm <source> <type> <category> <event id> <text>" in UTF-8, local
// time; <type> is error, warning, information or the decimal number; in <text> "\" is
// written as "\\", CR as "\r", LF as "\n" and other characters below U+0020 as "\xHH".
// Shared by every platform's console mode.
void EchoEventEntry(const std::u16string& sourceName, std::uint16_t eventType, std::uint16_t category,
                    std::uint32_t eventId, const std::u16string& text);
// The line EchoEventEntry writes, without the time stamp and the line break.
std::string FormatEventEntry(const std::u16string& sourceName, std::uint16_t eventType, std::uint16_t category,
                             std::uint32_t eventId, const std::u16string& text);

}  // namespace platform
