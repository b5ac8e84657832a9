#include "net/resolve.h"

#include <mutex>
#include <vector>

#include "net/exceptions.h"
#include "net/socket_layer.h"
#include "platform/sockets.h"
#include "runtime/codepage.h"
#include "text/strings.h"

namespace net {
namespace {

namespace ps = platform::net;

std::u16string Text(const std::string& bytes) { return runtime::FromAnsi(bytes); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Leading blanks skipped, then decimal digits up to the first other character; the value
// keeps its low 16 bits.
std::uint16_t LeadingDecimal(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    std::uint16_t value = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) value = std::uint16_t(value * 10 + (text[i] - '0'));
    return value;
}

struct ErrorText {
    int code;
    const char* text;
};

// The socket library's own short texts for the Windows Sockets numbers (what its error
// messages show; the system texts are another matter).
constexpr ErrorText kErrorTexts[] = {
    {0, "No Error"},
    {ps::kWsaEIntr, "Interrupted system call"},
    {ps::kWsaEBadF, "Bad file number"},
    {ps::kWsaEAcces, "Permission denied"},
    {ps::kWsaEFault, "Bad address"},
    {ps::kWsaEInval, "Invalid argument"},
    {ps::kWsaEMFile, "Too many open files"},
    {ps::kWsaEWouldBlock, "Operation would block"},
    {ps::kWsaEInProgress, "Operation now in progress"},
    {ps::kWsaEAlready, "Operation already in progress"},
    {ps::kWsaENotSock, "Socket operation on non-socket"},
    {ps::kWsaEDestAddrReq, "Destination address required"},
    {ps::kWsaEMsgSize, "Message too long"},
    {ps::kWsaEProtoType, "Protocol wrong type for socket"},
    {ps::kWsaENoProtoOpt, "Protocol not available"},
    {ps::kWsaEProtoNoSupport, "Protocol not supported"},
    {ps::kWsaESocktNoSupport, "Socket type not supported"},
    {ps::kWsaEOpNotSupp, "Operation not supported on socket"},
    {ps::kWsaEPfNoSupport, "Protocol family not supported"},
    {ps::kWsaEAfNoSupport, "Address family not supported by protocol family"},
    {ps::kWsaEAddrInUse, "Address already in use"},
    {ps::kWsaEAddrNotAvail, "Address not available"},
    {ps::kWsaENetDown, "Network is down"},
    {ps::kWsaENetUnreach, "Network is unreachable"},
    {ps::kWsaENetReset, "Network dropped connection on reset"},
    {ps::kWsaEConnAborted, "Connection aborted"},
    {ps::kWsaEConnReset, "Connection reset by peer"},
    {ps::kWsaENoBufs, "No buffer space available"},
    {ps::kWsaEIsConn, "Socket is already connected"},
    {ps::kWsaENotConn, "Socket is not connected"},
    {ps::kWsaEShutdown, "Can't send after socket shutdown"},
    {ps::kWsaETooManyRefs, "Too many references: can't splice"},
    {ps::kWsaETimedOut, "Connection timed out"},
    {ps::kWsaEConnRefused, "Connection refused"},
    {ps::kWsaELoop, "Too many levels of symbolic links"},
    {ps::kWsaENameTooLong, "File name too long"},
    {ps::kWsaEHostDown, "Host is down"},
    {ps::kWsaEHostUnreach, "No route to host"},
    {ps::kWsaENotEmpty, "Directory not empty"},
    {ps::kWsaEProcLim, "Too many processes"},
    {ps::kWsaEUsers, "Too many users"},
    {ps::kWsaEDQuot, "Disc quota exceeded"},
    {ps::kWsaEStale, "Stale NFS file handle"},
    {ps::kWsaERemote, "Too many levels of remote in path"},
    {ps::kWsaSysNotReady, "Network sub-system is unusable"},
    {ps::kWsaVerNotSupported, "WinSock DLL cannot support this application"},
    {ps::kWsaNotInitialised, "WinSock not initialized"},
    {ps::kWsaHostNotFound, "Host not found"},
    {ps::kWsaTryAgain, "Non-authoritative host not found"},
    {ps::kWsaNoRecovery, "Non-recoverable error"},
    {ps::kWsaNoData, "No Data"},
};

struct Lookups {
    std::mutex mutex;
    ServiceLookup service;
    ProtocolLookup protocol;
};

Lookups& TheLookups() {
    static Lookups lookups;
    return lookups;
}

// The service-name lookup: 0 with the port in network order, or the error code.
int LookUpService(const std::string& port, const std::string& proto, std::uint16_t& netOrder) {
    ServiceLookup hook;
    {
        std::lock_guard guard(TheLookups().mutex);
        hook = TheLookups().service;
    }
    if (hook) return hook(port, proto, netOrder);
    socket_layer::RequireEntryPoint("getservbyname");
    if (ps::getservbyname(port, proto, netOrder)) return 0;
    // A failure never reads as success, even when the platform left no error code.
    const int code = ps::WSAGetLastError();
    return code != 0 ? code : 11004;
}

int LookUpProtocol(const std::string& name, int& number) {
    ProtocolLookup hook;
    {
        std::lock_guard guard(TheLookups().mutex);
        hook = TheLookups().protocol;
    }
    if (hook) return hook(name, number);
    socket_layer::RequireEntryPoint("getprotobyname");
    if (ps::getprotobyname(name, number)) return 0;
    const int code = ps::WSAGetLastError();
    return code != 0 ? code : 11004;
}

}  // namespace

void SetNameLookupsForTesting(ServiceLookup service, ProtocolLookup protocol) {
    std::lock_guard guard(TheLookups().mutex);
    TheLookups().service = std::move(service);
    TheLookups().protocol = std::move(protocol);
}

std::u16string WinsockErrorText(int code) {
    for (const ErrorText& entry : kErrorTexts)
        if (entry.code == code) return txt::FromUtf8(entry.text);
    return u"Not a WinSock error";
}

std::u16string WinsockErrorTextWithCode(int code) {
    return WinsockErrorText(code) + u" (#" + txt::IntToStr(code) + u")";
}

bool IsDottedAddress(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i < text.size() && text[i] == '.') return false;
    int dots = 0;
    // Capped so that a long run of digits cannot overflow; anything above 255 fails alike.
    int part = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == '.') {
            ++dots;
            if (dots > 3 || part > 255) return false;
            if (i + 1 >= text.size() || !IsDigit(text[i + 1])) return false;
            part = 0;
        } else if (IsDigit(c)) {
            part = part * 10 + (c - '0');
            if (part > 256) part = 256;
        } else {
            std::size_t j = i + 1;
            while (j < text.size() && text[j] == ' ') ++j;
            if (j < text.size()) return false;
            break;
        }
    }
    return dots == 3 && part <= 255;
}

std::uint32_t ResolveHost(const std::string& host) {
    if (host.empty()) throw ESocketException(u"Winsock Resolve Host: '" + Text(host) + u"' Invalid Hostname.");
    if (IsDottedAddress(host)) {
        socket_layer::RequireEntryPoint("inet_addr");
        // The blanks the dotted test allows around the address are not handed on: not
        // every platform's conversion skips them.
        const std::size_t first = host.find_first_not_of(' ');
        const std::size_t last = host.find_last_not_of(' ');
        const std::string dotted = host.substr(first, last - first + 1);
        std::uint32_t addr = ps::inet_addr(dotted.c_str());
        if (addr == 0xFFFFFFFFu && host != "255.255.255.255")
            throw ESocketException(u"Winsock Resolve Host: '" + Text(host) + u"' Invalid IP address.");
        return addr;
    }
    socket_layer::RequireEntryPoint("gethostbyname");
    std::vector<std::uint32_t> addrs;
    const bool found = ps::gethostbyname(host, addrs);
    if (!found || addrs.empty()) {
        // A lookup that "succeeds" without an address still fails, with "No Data" rather
        // than whatever error an earlier call left behind.
        int code = found ? ps::kWsaNoData : ps::WSAGetLastError();
        if (code == 0) code = ps::kWsaNoData;
        throw ESocketException(u"Winsock Resolve Host: Cannot convert host address '" + Text(host) + u"' - " +
                               WinsockErrorTextWithCode(code));
    }
    return addrs.front();
}

std::uint16_t ResolvePort(const std::string& port, const std::string& proto) {
    if (port.empty()) throw ESocketException(u"Winsock Resolve Port: Invalid Port.");
    if (proto.empty()) throw ESocketException(u"Winsock Resolve Port: Invalid Proto.");
    if (IsDigit(port[0])) return LeadingDecimal(port);
    std::uint16_t netOrder = 0;
    if (const int code = LookUpService(port, proto, netOrder); code != 0) {
        throw ESocketException(u"Winsock Resolve Port: Cannot convert port '" + Text(port) + u"' - " +
                               WinsockErrorTextWithCode(code));
    }
    return ps::ntohs(netOrder);
}

int ResolveProto(const std::string& proto) {
    if (proto.empty()) throw ESocketException(u"Winsock Resolve Proto: Invalid Protocol.");
    if (IsDigit(proto[0])) return LeadingDecimal(proto);
    std::size_t first = 0, last = proto.size();
    while (first < last && static_cast<unsigned char>(proto[first]) < 33) ++first;
    while (last > first && static_cast<unsigned char>(proto[last - 1]) < 33) --last;
    std::string name = proto.substr(first, last - first);
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (name == "tcp") return ps::kIpProtoTcp;
    if (name == "udp") return ps::kIpProtoUdp;
    if (name == "raw") return 255;
    int number = 0;
    if (const int code = LookUpProtocol(name, number); code != 0) {
        throw ESocketException(u"Winsock Resolve Proto: Cannot convert protocol '" + Text(proto) + u"' - " +
                               WinsockErrorTextWithCode(code));
    }
    return number;
}

}  // namespace net
