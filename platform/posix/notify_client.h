#pragma once
// Internal to the POSIX platform layer: the program's end of systemd's notification
// socket (NOTIFY_SOCKET), which carries the status reports and the watchdog pings.
//
// Nothing here ever waits for the socket's reader. A report the socket cannot take at once
// (its reader is behind and its queue is full) is kept and sent as soon as the socket has
// room, for at most kRetryMs after it was first kept. A newer report replaces a kept one
// and carries every one-shot field of the reports it replaces (READY=1, STOPPING=1), so
// the reader still learns that the service became ready or began to stop; a kept READY=1
// goes out in a datagram of its own ("READY=1") before one that carries STOPPING=1, since
// newer systemd lets STOPPING=1 win within one datagram. A report kept
// longer is dropped; the first drop of the client's life is reported once (Retry), so the
// caller logs it once. A ping the socket cannot take is lost (the next one follows a tick
// later).
//
// Threading contract: not thread-safe; the dispatcher calls it under its lock (the lock
// given at construction, which the contract checks look at), so every call is brief.
#include <cstdint>
#include <string>

#include "platform/contracts.h"
#include "platform/service_manager.h"

namespace platform::posix {

class NotifyClient {
public:
    // How long a kept report is tried again before it is dropped.
    static constexpr std::uint64_t kRetryMs = 2000;
    // Without a connection the socket cannot tell when its reader has room: a kept report
    // is then tried again this often.
    static constexpr std::uint64_t kUnconnectedRetryMs = 20;

    enum class Result {
        kSent,          // the report went out
        kKept,          // the socket is full: kept for a later retry
        kFailed,        // Report: refused for good (no reader); the last error is set
        kDropped,       // Retry: the kept report is lost (its time is up, or the socket
                        // refused it for good), the first loss of this client; the last
                        // error is set
        kDroppedAgain,  // Retry: the same, a later loss
        kNothing,       // Retry: no report is kept
    };

    // `callerLock`: the lock every call is made under; none for a client of one thread.
    explicit NotifyClient(platform::RequiredLock<platform::CheckedMutex> callerLock = {}) : callerLock_(callerLock) {}
    ~NotifyClient() { Release(); }
    NotifyClient(const NotifyClient&) = delete;
    NotifyClient& operator=(const NotifyClient&) = delete;

    // Opens a socket to `name`: a path, or an abstract name written with a leading "@".
    // The socket is connected when the reader exists, so that it tells when the reader has
    // room. False when the name is unusable or no socket can be made.
    bool Open(const char* name);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    // Connected sockets tell by POLLOUT when their reader has room; others cannot.
    bool Connected() const { return connected_; }
    int Fd() const { return fd_; }

    // Sends the report now; when the socket is full, keeps it (replacing a kept one).
    Result Report(const ServiceStatus& status, std::uint64_t nowMs);
    // WATCHDOG=1 now, or never; false with the last error set when it was not sent.
    bool Ping();
    // A datagram that only refreshes the operator's text: sent now, or dropped when the
    // socket is full or a report is kept (it must not overtake that report). Never kept,
    // never merged into a report.
    bool Refresh(const std::string& datagram);

    bool HasKept() const { return kept_; }
    // How long the caller may wait (for the socket to have room) before the next Retry:
    // -1 when nothing is kept.
    int WaitMs(std::uint64_t nowMs) const;
    // Tries the kept report again: kSent, kKept (still full and within its time), a drop,
    // or kNothing when nothing is kept.
    Result Retry(std::uint64_t nowMs);

    // The datagram of a report that carries one-shot fields of reports it replaced.
    static std::string Datagram(const ServiceStatus& status, bool ready, bool stopping);

private:
    // 1 sent, 0 full, -1 failed (last error set).
    int Send(const std::string& datagram);
    // Sends the kept report (a kept READY=1 first, alone, where a STOPPING=1 follows): as Send.
    int SendKept();
    // Close, also where no caller holds the lock any more (destruction).
    void Release();

    [[no_unique_address]] platform::RequiredLock<platform::CheckedMutex> callerLock_;

    int fd_ = -1;
    bool connected_ = false;
    std::string address_;  // the sockaddr_un bytes, for a socket that is not connected
    bool kept_ = false;
    ServiceStatus keptStatus_{};
    bool keptReady_ = false, keptStopping_ = false;
    std::uint64_t keptSince_ = 0;
    bool droppedBefore_ = false;
};

}  // namespace platform::posix
