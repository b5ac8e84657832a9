// Windows Sockets 1.1, bound at run time: the socket library is loaded with LoadLibraryW
// and every entry point is looked up by name with GetProcAddress on first use and kept
// until the library is unloaded. The program links no socket library, so it starts even
// where none is installed, and the socket layer reports that with its own texts.
#include "platform/sockets.h"

#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "platform/win32/win32.h"

namespace platform::net {
namespace {

// The library every call of this file goes to.
constexpr char16_t kSocketLibrary[] = u"wsock32.dll";

struct Library {
    HMODULE module = nullptr;
    std::map<std::string, FARPROC, std::less<>> entryPoints;
};

// Libraries the socket layer loaded, by lower-case name, and the calls' own reference.
// Loading, unloading and the entry-point caches are shared by every thread, so one lock
// guards them; a call itself runs outside it.
struct Libraries {
    std::recursive_mutex lock;
    std::map<std::u16string, Library> loaded;  // by the socket layer
    Library calls;                             // the calls' own reference
    std::mutex lookupLock;
    HostLookup hostLookup;
};

Libraries& libraries() {
    static Libraries instance;
    return instance;
}

std::u16string LowerCase(const std::u16string& name) {
    std::u16string lower = name;
    for (char16_t& c : lower) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return lower;
}

// The entry point, looked up on first use and kept; nullptr (with the thread's last error
// set to "not initialised", as Windows Sockets itself reports calls before start-up) when
// the library cannot be loaded or lacks it.
//
// The calls hold a reference of their own to the library, taken at the first call and
// kept for the life of the process, apart from the one LoadSocketLibrary and
// UnloadSocketLibrary manage for the socket layer. So, as on POSIX, every call works
// whether or not the socket layer has loaded the library (tools and tests use the calls
// directly), and the layer's unload after its last socket cannot pull the code from under
// a socket of somebody else. Start-up and clean-up stay the callers' own.
FARPROC EntryPoint(const char* name) {
    // The lookup must not disturb the thread's last error: WSAGetLastError reads it after
    // a failed call, and taking the lock may itself touch it.
    const DWORD savedError = ::GetLastError();
    Libraries& libs = libraries();
    std::lock_guard guard(libs.lock);
    Library& calls = libs.calls;
    if (calls.module == nullptr) {
        calls.module = ::LoadLibraryW(win32::Wide(kSocketLibrary));
        if (calls.module == nullptr) {
            ::SetLastError(kWsaNotInitialised);
            return nullptr;
        }
    }
    auto found = calls.entryPoints.find(name);
    if (found != calls.entryPoints.end()) {
        ::SetLastError(savedError);
        return found->second;
    }
    FARPROC proc = ::GetProcAddress(calls.module, name);
    if (proc == nullptr) {
        ::SetLastError(kWsaNotInitialised);
        return nullptr;
    }
    calls.entryPoints.emplace(name, proc);
    ::SetLastError(savedError);
    return proc;
}

template <typename Fn>
Fn Entry(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(EntryPoint(name)));
}

// The signatures of the entry points, as Windows Sockets declares them.
using WSAStartupFn = int(WSAAPI*)(WORD, LPWSADATA);
using WSACleanupFn = int(WSAAPI*)();
using SocketFn = ::SOCKET(WSAAPI*)(int, int, int);
using CloseSocketFn = int(WSAAPI*)(::SOCKET);
using ConnectFn = int(WSAAPI*)(::SOCKET, const sockaddr*, int);
using BindFn = int(WSAAPI*)(::SOCKET, const sockaddr*, int);
using ListenFn = int(WSAAPI*)(::SOCKET, int);
using AcceptFn = ::SOCKET(WSAAPI*)(::SOCKET, sockaddr*, int*);
using GetSockNameFn = int(WSAAPI*)(::SOCKET, sockaddr*, int*);
using SendFn = int(WSAAPI*)(::SOCKET, const char*, int, int);
using RecvFn = int(WSAAPI*)(::SOCKET, char*, int, int);
using ShutdownFn = int(WSAAPI*)(::SOCKET, int);
using IoctlSocketFn = int(WSAAPI*)(::SOCKET, long, u_long*);
using SetSockOptFn = int(WSAAPI*)(::SOCKET, int, int, const char*, int);
using GetSockOptFn = int(WSAAPI*)(::SOCKET, int, int, char*, int*);
using WSAAsyncSelectFn = int(WSAAPI*)(::SOCKET, HWND, u_int, long);
using InetAddrFn = unsigned long(WSAAPI*)(const char*);
using GetHostByNameFn = hostent*(WSAAPI*)(const char*);
using GetServByNameFn = servent*(WSAAPI*)(const char*, const char*);
using GetProtoByNameFn = protoent*(WSAAPI*)(const char*);

sockaddr_in ToNative(const SockAddrIn& addr) {
    sockaddr_in native{};
    native.sin_family = addr.family;
    native.sin_port = addr.port;
    native.sin_addr.s_addr = addr.addr;
    return native;
}

SockAddrIn FromNative(const sockaddr_in& native) {
    SockAddrIn addr;
    addr.family = native.sin_family;
    addr.port = native.sin_port;
    addr.addr = native.sin_addr.s_addr;
    return addr;
}

}  // namespace

std::uint32_t LoadSocketLibrary(const std::u16string& dllName) {
    Libraries& libs = libraries();
    std::lock_guard guard(libs.lock);
    const std::u16string key = LowerCase(dllName);
    if (libs.loaded.count(key) != 0) {
        return 0;
    }
    const HMODULE module = ::LoadLibraryW(win32::Wide(dllName));
    if (module == nullptr) {
        const DWORD error = ::GetLastError();
        return error != 0 ? error : ERROR_MOD_NOT_FOUND;
    }
    libs.loaded[key].module = module;
    return 0;
}

bool IsSocketLibraryLoaded(const std::u16string& dllName) {
    Libraries& libs = libraries();
    std::lock_guard guard(libs.lock);
    return libs.loaded.count(LowerCase(dllName)) != 0;
}

std::uint32_t FindEntryPoint(const std::u16string& dllName, const char* procName) {
    Libraries& libs = libraries();
    std::lock_guard guard(libs.lock);
    auto lib = libs.loaded.find(LowerCase(dllName));
    if (lib == libs.loaded.end()) {
        return ERROR_MOD_NOT_FOUND;
    }
    if (lib->second.entryPoints.count(procName) != 0) {
        return 0;
    }
    FARPROC proc = ::GetProcAddress(lib->second.module, procName);
    if (proc == nullptr) {
        const DWORD error = ::GetLastError();
        return error != 0 ? error : ERROR_PROC_NOT_FOUND;
    }
    lib->second.entryPoints.emplace(procName, proc);
    return 0;
}

void UnloadSocketLibrary(const std::u16string& dllName) {
    Libraries& libs = libraries();
    std::lock_guard guard(libs.lock);
    auto lib = libs.loaded.find(LowerCase(dllName));
    if (lib == libs.loaded.end()) {
        return;
    }
    ::FreeLibrary(lib->second.module);
    libs.loaded.erase(lib);
}

int WSAStartup(std::uint16_t version) {
    auto fn = Entry<WSAStartupFn>("WSAStartup");
    if (fn == nullptr) {
        return kWsaNotInitialised;
    }
    WSADATA data{};
    return fn(version, &data);
}

int WSACleanup() {
    auto fn = Entry<WSACleanupFn>("WSACleanup");
    return fn != nullptr ? fn() : kSocketError;
}

SOCKET socket(int af, int type, int protocol) {
    auto fn = Entry<SocketFn>("socket");
    return fn != nullptr ? static_cast<SOCKET>(fn(af, type, protocol)) : kInvalidSocket;
}

int closesocket(SOCKET s) {
    auto fn = Entry<CloseSocketFn>("closesocket");
    return fn != nullptr ? fn(s) : kSocketError;
}

int connect(SOCKET s, const SockAddrIn& to) {
    auto fn = Entry<ConnectFn>("connect");
    if (fn == nullptr) {
        return kSocketError;
    }
    const sockaddr_in native = ToNative(to);
    return fn(s, reinterpret_cast<const sockaddr*>(&native), sizeof native);
}

int bind(SOCKET s, const SockAddrIn& local) {
    auto fn = Entry<BindFn>("bind");
    if (fn == nullptr) {
        return kSocketError;
    }
    const sockaddr_in native = ToNative(local);
    return fn(s, reinterpret_cast<const sockaddr*>(&native), sizeof native);
}

int listen(SOCKET s, int backlog) {
    auto fn = Entry<ListenFn>("listen");
    return fn != nullptr ? fn(s, backlog) : kSocketError;
}

SOCKET accept(SOCKET s, SockAddrIn* from) {
    auto fn = Entry<AcceptFn>("accept");
    if (fn == nullptr) {
        return kInvalidSocket;
    }
    sockaddr_in native{};
    int length = sizeof native;
    const ::SOCKET accepted = fn(s, reinterpret_cast<sockaddr*>(&native), &length);
    if (accepted != INVALID_SOCKET && from != nullptr) {
        *from = FromNative(native);
    }
    return static_cast<SOCKET>(accepted);
}

int getsockname(SOCKET s, SockAddrIn& local) {
    auto fn = Entry<GetSockNameFn>("getsockname");
    if (fn == nullptr) {
        return kSocketError;
    }
    sockaddr_in native{};
    int length = sizeof native;
    const int result = fn(s, reinterpret_cast<sockaddr*>(&native), &length);
    if (result == 0) {
        local = FromNative(native);
    }
    return result;
}

int send(SOCKET s, const void* data, int len, int flags) {
    auto fn = Entry<SendFn>("send");
    return fn != nullptr ? fn(s, static_cast<const char*>(data), len, flags) : kSocketError;
}

int recv(SOCKET s, void* data, int len, int flags) {
    auto fn = Entry<RecvFn>("recv");
    return fn != nullptr ? fn(s, static_cast<char*>(data), len, flags) : kSocketError;
}

int shutdown(SOCKET s, int how) {
    auto fn = Entry<ShutdownFn>("shutdown");
    return fn != nullptr ? fn(s, how) : kSocketError;
}

int ioctlsocketFionread(SOCKET s, std::uint32_t& pending) {
    auto fn = Entry<IoctlSocketFn>("ioctlsocket");
    if (fn == nullptr) {
        return kSocketError;
    }
    u_long count = 0;
    const int result = fn(s, static_cast<long>(FIONREAD), &count);
    if (result == 0) {
        pending = static_cast<std::uint32_t>(count);
    }
    return result;
}

int setsockopt(SOCKET s, int level, int name, const void* value, int len) {
    auto fn = Entry<SetSockOptFn>("setsockopt");
    return fn != nullptr ? fn(s, level, name, static_cast<const char*>(value), len) : kSocketError;
}

int getsockopt(SOCKET s, int level, int name, void* value, int* len) {
    auto fn = Entry<GetSockOptFn>("getsockopt");
    return fn != nullptr ? fn(s, level, name, static_cast<char*>(value), len) : kSocketError;
}

int WSAAsyncSelect(SOCKET s, WindowHandle window, std::uint32_t message, std::uint32_t mask) {
    auto fn = Entry<WSAAsyncSelectFn>("WSAAsyncSelect");
    return fn != nullptr ? fn(s, win32::ToHwnd(window), message, static_cast<long>(mask)) : kSocketError;
}

std::uint32_t inet_addr(const char* dotted) {
    auto fn = Entry<InetAddrFn>("inet_addr");
    return fn != nullptr ? static_cast<std::uint32_t>(fn(dotted)) : INADDR_NONE;
}

bool gethostbyname(const std::string& name, std::vector<std::uint32_t>& addrs) {
    HostLookup lookup;
    {
        Libraries& libs = libraries();
        std::lock_guard guard(libs.lookupLock);
        lookup = libs.hostLookup;
    }
    addrs.clear();
    if (lookup) {
        const int error = lookup(name, addrs);
        if (error != 0) {
            addrs.clear();
            WSASetLastError(error);
            return false;
        }
        return true;
    }
    auto fn = Entry<GetHostByNameFn>("gethostbyname");
    if (fn == nullptr) {
        return false;
    }
    // The result lives in storage of the socket library owned by the calling thread; it is
    // copied out before any other socket call can overwrite it.
    const hostent* host = fn(name.c_str());
    if (host == nullptr) {
        return false;
    }
    if (host->h_addrtype == AF_INET && host->h_length == 4) {
        for (char** entry = host->h_addr_list; entry != nullptr && *entry != nullptr; ++entry) {
            std::uint32_t addr = 0;
            std::memcpy(&addr, *entry, sizeof addr);
            addrs.push_back(addr);
        }
    }
    if (addrs.empty()) {
        WSASetLastError(kWsaHostNotFound);
        return false;
    }
    return true;
}

bool getservbyname(const std::string& name, const std::string& proto, std::uint16_t& portNetOrder) {
    auto fn = Entry<GetServByNameFn>("getservbyname");
    if (fn == nullptr) {
        return false;
    }
    const servent* service = fn(name.c_str(), proto.c_str());
    if (service == nullptr) {
        return false;
    }
    portNetOrder = static_cast<std::uint16_t>(service->s_port);
    return true;
}

bool getprotobyname(const std::string& name, int& protocol) {
    auto fn = Entry<GetProtoByNameFn>("getprotobyname");
    if (fn == nullptr) {
        return false;
    }
    const protoent* proto = fn(name.c_str());
    if (proto == nullptr) {
        return false;
    }
    protocol = proto->p_proto;
    return true;
}

// Byte order needs no library: Windows runs little-endian everywhere.
std::uint16_t htons(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }
std::uint16_t ntohs(std::uint16_t v) { return htons(v); }

// Windows Sockets keeps its error in the thread's last-error value (its WSAGetLastError
// and WSASetLastError are GetLastError and SetLastError), so these need no library and
// also work before it is loaded.
int WSAGetLastError() { return static_cast<int>(::GetLastError()); }

void WSASetLastError(int code) { ::SetLastError(static_cast<DWORD>(code)); }

void SetHostLookupForTesting(HostLookup lookup) {
    Libraries& libs = libraries();
    std::lock_guard guard(libs.lookupLock);
    libs.hostLookup = std::move(lookup);
}

}  // namespace platform::net
