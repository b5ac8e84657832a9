// The event log on Linux: the systemd journal through its native datagram protocol, and
// syslog(3) with facility daemon where no journal socket exists. An entry's text is cut at
// kMaxEntryCharacters with a visible marker; an entry larger than one datagram goes to the
// journal as a sealed memory file; syslog takes a long text in numbered parts.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

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
    int journalFd = -1;  // created on first use, kept for the life of the process
    std::string journalPath = kJournalSocket;
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

// An entry too large for one datagram goes to the journal as a sealed memory file, passed
// in an empty datagram (the journal's native protocol): the file cannot shrink, grow or
// change once sent. False when that cannot be done here.
bool SendSealedToJournal(EventLogState& state, const sockaddr_un& address, const std::string& entry) {
    const int fd = ::memfd_create("vbx-journal-entry", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return false;
    bool ok = true;
    for (std::size_t done = 0; ok && done < entry.size();) {
        const ssize_t n = ::write(fd, entry.data() + done, entry.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) == 0;
    if (ok) {
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{};
        message.msg_name = const_cast<sockaddr_un*>(&address);
        message.msg_namelen = sizeof(address);
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        cmsghdr* passed = CMSG_FIRSTHDR(&message);
        passed->cmsg_level = SOL_SOCKET;
        passed->cmsg_type = SCM_RIGHTS;
        passed->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(passed), &fd, sizeof(int));
        ssize_t sent = -1;
        do {
            sent = ::sendmsg(state.journalFd, &message, MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        ok = sent >= 0;
    }
    ::close(fd);
    return ok;
}

// Sends one entry to the journal; false when no journal takes it.
bool SendToJournal(EventLogState& state, const std::string& entry) {
    if (state.journalFd < 0) {
        state.journalFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (state.journalFd < 0) return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, state.journalPath.c_str(), sizeof(address.sun_path) - 1);
    for (;;) {
        const ssize_t sent = ::sendto(state.journalFd, entry.data(), entry.size(), MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        if (sent >= 0) return true;
        if (errno == EMSGSIZE || errno == ENOBUFS) return SendSealedToJournal(state, address, entry);
        if (errno != EINTR) return false;
    }
}

void SendToSyslog(EventLogState& state, const std::u16string& source, std::uint16_t eventType,
                  const std::u16string& text) {
    state.syslogIdent = txt::ToUtf8(source);
    ::openlog(state.syslogIdent.c_str(), LOG_NDELAY, LOG_DAEMON);
    for (const std::string& part : posix::SyslogParts(txt::ToUtf8(text))) {
        ::syslog(LOG_DAEMON | posix::JournalPriority(eventType), "%s", part.c_str());
    }
    ::closelog();
}

}  // namespace

namespace posix {

std::u16string EntryText(const std::u16string& text) {
    if (text.size() <= kMaxEntryCharacters) return text;
    std::size_t cut = kMaxEntryCharacters;
    // A character of two code units stays whole.
    if (text[cut - 1] >= 0xD800 && text[cut - 1] < 0xDC00) --cut;
    return text.substr(0, cut) + txt::FromUtf8(" [... entry cut at " + std::to_string(cut) + " of " +
                                               std::to_string(text.size()) + " characters]");
}

std::vector<std::string> SyslogParts(const std::string& text) {
    if (text.size() <= kSyslogPartBytes) return {text};
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = std::min(text.size(), at + kSyslogPartBytes);
        // A UTF-8 sequence stays whole: never end before a continuation byte.
        while (end < text.size() && end > at + 1 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        pieces.push_back(text.substr(at, end - at));
        at = end;
    }
    const std::string count = std::to_string(pieces.size());
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        pieces[i] = "[part " + std::to_string(i + 1) + " of " + count + "] " + pieces[i];
    }
    return pieces;
}

void SetJournalSocketPath(const std::string& path) {
    EventLogState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.journalPath = path.empty() ? kJournalSocket : path;
}

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
        const std::u16string entry = posix::EntryText(text);
        if (!SendToJournal(state, posix::JournalDatagram(sourceName, eventType, category, eventId, entry))) {
            SendToSyslog(state, sourceName, eventType, entry);
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
