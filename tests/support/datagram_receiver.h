#pragma once
// A stand-in for a datagram reader of systemd's (the notification socket, the journal): a
// Unix datagram socket bound under a fresh path that reads only when the test says so and
// takes descriptors passed with SCM_RIGHTS. Tests of the POSIX backend only.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_folder.h"

namespace testsupport {

class DatagramReceiver {
public:
    // A received datagram and the descriptors that came with it (owned by the test).
    struct Datagram {
        std::string bytes;
        std::vector<int> fds;
    };

    DatagramReceiver() {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
        EXPECT_EQ(0, ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address))) << path_;
    }
    ~DatagramReceiver() { Close(); }

    const std::string& Path() const { return path_; }
    // The reader goes away: senders meet a socket without a reader.
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Every datagram waiting (never waits).
    std::vector<Datagram> Drain() {
        std::vector<Datagram> all;
        std::vector<char> data(64 * 1024 * 1024 / 16);
        for (;;) {
            iovec io{data.data(), data.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(8 * sizeof(int))];
            msghdr message{};
            message.msg_iov = &io;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof(control);
            const ssize_t got = ::recvmsg(fd_, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
            if (got < 0) return all;
            Datagram& d = all.emplace_back();
            d.bytes.assign(data.data(), static_cast<std::size_t>(got));
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
                const std::size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (std::size_t i = 0; i < n; ++i) {
                    int fd = -1;
                    std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                    d.fds.push_back(fd);
                }
            }
        }
    }

private:
    const TempFolder folder_{"datagram"};  // removed with the socket in it
    const std::string path_ = folder_.Path("socket").string();
    int fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

}  // namespace testsupport
