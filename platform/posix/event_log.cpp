// The event log on Linux: the systemd journal through its native datagram protocol, and
// syslog(3) with facility daemon where no journal socket exists.
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/error_codes.h"
#include "platform/event_log.h"
#include "platform/messages.h"
#include "platform/posix/service_internal.h"
#include "text/strings.h"

namespace platform {
namespace {

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

struct EventLogState {
    std::mutex mutex;
    std::map<EventSourceHandle, std::u16string> sources;
    EventSourceHandle nextHandle = 1;
    int journalFd = -1;       // created on first use, kept for the life of the process
    std::string syslogIdent;  // openlog keeps the pointer, so the text lives here
};

EventLogState& State() {
    static EventLogState state;
    return state;
}

void AppendField(std::string& out, const char* name, const std::string& value) {
    if (value.find('\n') == std::string::npos) {
        out += name;
        out += '=';
        out += value;
        out += '\n';
        return;
    }
    // The binary form carries values with line breaks unchanged.
    out += name;
    out += '\n';
    std::uint64_t length = value.size();
    for (int i = 0; i < 8; ++i) out += static_cast<char>((length >> (8 * i)) & 0xFF);
    out += value;
    out += '\n';
}

// Sends one datagram to the journal; false when no journal takes it.
bool SendToJournal(EventLogState& state, const std::string& datagram) {
    if (state.journalFd < 0) {
        state.journalFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (state.journalFd < 0) return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kJournalSocket, sizeof(address.sun_path) - 1);
    for (;;) {
        const ssize_t sent = ::sendto(state.journalFd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        if (sent >= 0) return true;
        if (errno != EINTR) return false;
    }
}

void SendToSyslog(EventLogState& state, const std::u16string& source, std::uint16_t eventType,
                  const std::u16string& text) {
    state.syslogIdent = txt::ToUtf8(source);
    ::openlog(state.syslogIdent.c_str(), LOG_NDELAY, LOG_DAEMON);
    ::syslog(LOG_DAEMON | posix::JournalPriority(eventType), "%s", txt::ToUtf8(text).c_str());
    ::closelog();
}

}  // namespace

namespace posix {

int JournalPriority(std::uint16_t eventType) {
    switch (eventType) {
    case kEventLogErrorType: return 3;
    case kEventLogWarningType: return 4;
    default: return 6;
    }
}

std::string JournalDatagram(const std::u16string& sourceName, std::uint16_t eventType, std::uint16_t category,
                            std::uint32_t eventId, const std::u16string& text) {
    std::string out;
    out.reserve(text.size() + 128);
    AppendField(out, "MESSAGE", txt::ToUtf8(text));
    AppendField(out, "PRIORITY", std::to_string(JournalPriority(eventType)));
    AppendField(out, "SYSLOG_IDENTIFIER", txt::ToUtf8(sourceName));
    AppendField(out, "EVENT_TYPE", std::to_string(eventType));
    AppendField(out, "EVENT_CATEGORY", std::to_string(category));
    AppendField(out, "EVENT_ID", std::to_string(eventId));
    AppendField(out, "VBX_VERSION", VBX_PROJECT_VERSION);
    return out;
}

}  // namespace posix

EventSourceHandle RegisterEventSource(const std::u16string& sourceName) {
    EventLogState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    const EventSourceHandle handle = state.nextHandle++;
    state.sources.emplace(handle, sourceName);
    return handle;
}

bool ReportEvent(EventSourceHandle source, std::uint16_t eventType, std::uint16_t category, std::uint32_t eventId,
                 const std::u16string& text) {
    EventLogState& state = State();
    std::u16string sourceName;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        const auto found = state.sources.find(source);
        if (found == state.sources.end()) {
            SetLastError(kErrorInvalidHandle);  // the entry is lost, as with an empty handle on Windows
            return false;
        }
        sourceName = found->second;
        // The journal and syslog are written under the lock so that entries keep their order.
        if (!SendToJournal(state, posix::JournalDatagram(sourceName, eventType, category, eventId, text))) {
            SendToSyslog(state, sourceName, eventType, text);
        }
    }
    if (EventLogEcho()) EchoEventEntry(sourceName, eventType, category, eventId, text);
    return true;
}

bool DeregisterEventSource(EventSourceHandle source) {
    EventLogState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.sources.erase(source) == 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

// The journal takes entries of any identifier without a registration.
bool InstallEventSource(const std::u16string& /*sourceName*/, const std::u16string& /*messageFile*/) { return true; }
bool RemoveEventSource(const std::u16string& /*sourceName*/) { return true; }

}  // namespace platform
