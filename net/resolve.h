#pragma once
// Conversion of host, port and protocol texts into numbers, and the texts of the Windows
// Sockets error numbers. Free functions without state of their own; they may be called
// from any thread. Texts are 8-bit (converted from UTF-16 with the ANSI code page by the
// caller). Failures raise net::ESocketException.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace net {

// IPv4 address in network byte order; a name that is not dotted is looked up on the
// calling thread (blocking).
std::uint32_t ResolveHost(const std::string& host);
// True for four decimal parts of at most 255 with optional blanks around them.
bool IsDottedAddress(std::string_view text);
// Port in host byte order: leading decimal digits, or a service name for the protocol.
std::uint16_t ResolvePort(const std::string& port, const std::string& proto);
// Protocol number: leading decimal digits, "tcp" 6, "udp" 17, "raw" 255, or a lookup.
int ResolveProto(const std::string& proto);

// Tests and fuzz targets replace the platform's service-name and protocol-name lookups
// (the host-name lookup has its own hook in platform/sockets.h). Each returns 0 and fills
// its result, or returns the Windows Sockets error code of the failure. An empty function
// restores the platform's lookup.
using ServiceLookup =
    std::function<int(const std::string& name, const std::string& proto, std::uint16_t& portNetOrder)>;
using ProtocolLookup = std::function<int(const std::string& name, int& protocol)>;
void SetNameLookupsForTesting(ServiceLookup service, ProtocolLookup protocol);

// The fixed text of a Windows Sockets error number; "Not a WinSock error" otherwise.
std::u16string WinsockErrorText(int code);
// WinsockErrorText(code) + " (#" + code + ")".
std::u16string WinsockErrorTextWithCode(int code);

}  // namespace net
