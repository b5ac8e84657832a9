// POSIX name calls of platform/sockets.h: dotted addresses read as Windows reads them,
// and host, service and protocol lookups with the Windows Sockets error numbers.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cctype>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/error_codes.h"
#include "platform/posix/socket_table.h"
#include "platform/progress.h"
#include "platform/sockets.h"

namespace platform::net {

using namespace impl;

std::uint32_t inet_addr(const char* dotted) {
    // Windows' reading: one to four parts, each decimal, octal (leading 0) or hexadecimal
    // (0x); the last part fills the remaining bytes; the text ends at its end or at a
    // blank. Anything else gives all ones, a leading blank too.
    constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    if (dotted == nullptr) return kNone;
    const char* p = dotted;
    std::uint32_t parts[4];
    int count = 0;
    for (;;) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return kNone;
        std::uint64_t value = 0;
        unsigned base = 10;
        if (*p == '0') {
            ++p;
            if (*p == 'x' || *p == 'X') {
                base = 16;
                ++p;
            } else {
                base = 8;
            }
        }
        for (;; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            unsigned digit;
            if (c >= '0' && c <= '9') {
                digit = unsigned(c - '0');
            } else if (base == 16 && std::isxdigit(c)) {
                digit = unsigned(std::tolower(c) - 'a' + 10);
            } else {
                break;
            }
            if (digit >= base) return kNone;
            value = value * base + digit;
            if (value > 0xFFFFFFFFull) return kNone;
        }
        if (count == 4) return kNone;
        parts[count++] = std::uint32_t(value);
        if (*p == '.') {
            ++p;
            continue;
        }
        break;
    }
    if (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) return kNone;
    std::uint32_t host;
    switch (count) {
    case 1: host = parts[0]; break;
    case 2:
        if (parts[0] > 0xFF || parts[1] > 0xFFFFFF) return kNone;
        host = (parts[0] << 24) | parts[1];
        break;
    case 3:
        if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFFFF) return kNone;
        host = (parts[0] << 24) | (parts[1] << 16) | parts[2];
        break;
    default:
        if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFF || parts[3] > 0xFF) return kNone;
        host = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
        break;
    }
    return ::htonl(host);
}

bool gethostbyname(const std::string& name, std::vector<std::uint32_t>& addrs) {
    addrs.clear();
    HostLookup hook;
    {
        std::lock_guard lock(TheTable().mutex);
        hook = TheTable().hostLookup;
    }
    if (hook) {
        int rc = hook(name, addrs);
        if (rc != 0 || addrs.empty()) {
            addrs.clear();
            WSASetLastError(rc != 0 ? rc : kWsaNoData);
            return false;
        }
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    // A lookup may wait for the resolver's time-outs; the marks around it give it the
    // watchdog's whole step bound (platform/progress.h).
    MarkProgress();
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
    MarkProgress();
    if (rc != 0) {
        WSASetLastError(rc == EAI_NONAME ? kWsaHostNotFound : rc == EAI_AGAIN ? kWsaTryAgain : kWsaNoRecovery);
        return false;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(result, &::freeaddrinfo);
    for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
        std::uint32_t addr = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
        bool seen = false;
        for (std::uint32_t a : addrs) seen = seen || a == addr;
        if (!seen) addrs.push_back(addr);
    }
    if (addrs.empty()) {
        WSASetLastError(kWsaNoData);
        return false;
    }
    return true;
}

bool getservbyname(const std::string& name, const std::string& proto, std::uint16_t& portNetOrder) {
    servent entry{};
    servent* result = nullptr;
    char buffer[1024];
    if (::getservbyname_r(name.c_str(), proto.empty() ? nullptr : proto.c_str(), &entry, buffer, sizeof buffer,
                          &result) != 0 ||
        result == nullptr) {
        // The name is valid but the services table has no such entry.
        WSASetLastError(kWsaNoData);
        return false;
    }
    portNetOrder = std::uint16_t(result->s_port);
    return true;
}

bool getprotobyname(const std::string& name, int& protocol) {
    protoent entry{};
    protoent* result = nullptr;
    char buffer[1024];
    if (::getprotobyname_r(name.c_str(), &entry, buffer, sizeof buffer, &result) != 0 || result == nullptr) {
        WSASetLastError(kWsaNoData);
        return false;
    }
    protocol = result->p_proto;
    return true;
}

void SetHostLookupForTesting(HostLookup lookup) {
    std::lock_guard lock(TheTable().mutex);
    TheTable().hostLookup = std::move(lookup);
}

}  // namespace platform::net
