// The notification socket's client (notify_client.h).
#include "platform/posix/notify_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/error_codes.h"
#include "platform/messages.h"
#include "platform/posix/errors.h"
#include "platform/posix/service_internal.h"

namespace platform::posix {

bool NotifyClient::Open(const char* name) {
    VBX_EXPECT_LOCK_HELD(callerLock_, "the dispatcher's lock");
    Close();
    if (name == nullptr || (name[0] != '/' && name[0] != '@')) return false;
    sockaddr_un address{};
    const std::size_t length = std::strlen(name);
    if (length >= sizeof(address.sun_path)) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') address.sun_path[0] = '\0';
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '/' ? 1 : 0));
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return false;
    address_.assign(reinterpret_cast<const char*>(&address), size);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(address_.data()), size) == 0;
    return true;
}

void NotifyClient::Close() {
    VBX_EXPECT_LOCK_HELD(callerLock_, "the dispatcher's lock");
    Release();
}

void NotifyClient::Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    connected_ = false;
    kept_ = false;
}

int NotifyClient::Send(const std::string& datagram) {
    bool reconnected = false;
    for (;;) {
        const ssize_t sent = connected_ ? ::send(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL | MSG_DONTWAIT)
                                        : ::sendto(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                                                   reinterpret_cast<const sockaddr*>(address_.data()),
                                                   static_cast<socklen_t>(address_.size()));
        if (sent >= 0) return 1;
        const int err = errno;
        if (err == EINTR) continue;
        if (err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS) return 0;
        // A reader that made its socket anew under the same name is found again once.
        if (connected_ && !reconnected && (err == ECONNREFUSED || err == ENOTCONN)) {
            reconnected = true;
            if (::connect(fd_, reinterpret_cast<const sockaddr*>(address_.data()),
                          static_cast<socklen_t>(address_.size())) == 0) {
                continue;
            }
        }
        SetLastError(ErrnoToWindowsError(err));
        return -1;
    }
}

std::string NotifyClient::Datagram(const ServiceStatus& status, bool ready, bool stopping) {
    std::string text = NotifyDatagram(status);
    std::string carried;
    if (ready && status.dwCurrentState != kServiceRunning) carried += "\nREADY=1";
    if (stopping && status.dwCurrentState != kServiceStopPending) carried += "\nSTOPPING=1";
    // Right after the STATUS= line, where a report of their own state has them.
    text.insert(std::min(text.find('\n'), text.size()), carried);
    return text;
}

int NotifyClient::SendKept() {
    // systemd from 255 on lets STOPPING=1 win over a READY=1 of the same datagram: the
    // readiness a stop followed goes out first, alone.
    const bool stopping = keptStopping_ || keptStatus_.dwCurrentState == kServiceStopPending;
    if (keptReady_ && stopping && keptStatus_.dwCurrentState != kServiceRunning) {
        const int sent = Send("READY=1");
        if (sent <= 0) return sent;
        keptReady_ = false;
    }
    return Send(Datagram(keptStatus_, keptReady_, keptStopping_));
}

NotifyClient::Result NotifyClient::Report(const ServiceStatus& status, std::uint64_t nowMs) {
    VBX_EXPECT_LOCK_HELD(callerLock_, "the dispatcher's lock");
    if (fd_ < 0) {
        SetLastError(kErrorInvalidHandle);
        return Result::kFailed;
    }
    if (kept_) {
        // The newer report goes in the kept one's place, and in its turn: nothing may
        // overtake it.
        keptReady_ = keptReady_ || keptStatus_.dwCurrentState == kServiceRunning;
        keptStopping_ = keptStopping_ || keptStatus_.dwCurrentState == kServiceStopPending;
        keptStatus_ = status;
        const int sent = SendKept();
        if (sent == 0) return Result::kKept;
        kept_ = false;
        return sent > 0 ? Result::kSent : Result::kFailed;
    }
    const int sent = Send(Datagram(status, false, false));
    if (sent != 0) return sent > 0 ? Result::kSent : Result::kFailed;
    kept_ = true;
    keptStatus_ = status;
    keptReady_ = keptStopping_ = false;
    keptSince_ = nowMs;
    return Result::kKept;
}

bool NotifyClient::Ping() {
    VBX_EXPECT_LOCK_HELD(callerLock_, "the dispatcher's lock");
    if (fd_ < 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    const int sent = Send("WATCHDOG=1");
    if (sent == 0) SetLastError(ErrnoToWindowsError(EAGAIN));
    return sent > 0;
}

bool NotifyClient::Refresh(const std::string& datagram) {
    VBX_EXPECT_LOCK_HELD(callerLock_, "the dispatcher's lock");
    if (fd_ < 0 || kept_) return false;
    return Send(datagram) > 0;
}

int NotifyClient::WaitMs(std::uint64_t nowMs) const {
    VBX_EXPECT_LOCK_HELD(callerLock_, "the dispatcher's lock");
    if (!kept_) return -1;
    const std::uint64_t deadline = keptSince_ + kRetryMs;
    std::uint64_t wait = nowMs >= deadline ? 0 : deadline - nowMs;
    if (!connected_) wait = std::min(wait, kUnconnectedRetryMs);
    return static_cast<int>(wait);
}

NotifyClient::Result NotifyClient::Retry(std::uint64_t nowMs) {
    VBX_EXPECT_LOCK_HELD(callerLock_, "the dispatcher's lock");
    if (!kept_) return Result::kNothing;
    const int sent = SendKept();
    if (sent > 0) {
        kept_ = false;
        return Result::kSent;
    }
    if (sent == 0) {
        if (nowMs < keptSince_ + kRetryMs) return Result::kKept;
        SetLastError(kErrorTimeout);
    }
    // Refused for good, or kept too long: the report is lost.
    kept_ = false;
    const bool first = !droppedBefore_;
    droppedBefore_ = true;
    return first ? Result::kDropped : Result::kDroppedAgain;
}

}  // namespace platform::posix
