#pragma once
// Start-up, live-socket count and shut-down of the platform's socket layer.
//
// The layer is loaded and started on the first use of any of its entry points (normally
// the first Connect) with the requested version ReqVerLow.ReqVerHigh, and stopped and
// unloaded when the last socket is destroyed; a later socket starts it again. Each entry
// point is looked up by name once and then kept. On POSIX nothing is really loaded, but
// the steps and their error texts are the same.
//
// Threading contract: every function may be called from any thread; all of them run under
// the socket-layer lock (reentrant), which is taken after a socket's own locks.
#include <cstdint>

namespace net::socket_layer {

// Makes sure the library is loaded and started and the entry point is known. Raises
// ESocketException "Unable to load wsock32.dll - ...", "Winsock startup error wsock32.dll
// - ..." or "Procedure <name> not found in wsock32.dll - ...".
void RequireEntryPoint(const char* name);

// Counted by every socket's constructor and destructor; the count falling to 0 shuts the
// layer down.
void AddLiveSocket();
void RemoveLiveSocket();
int LiveSocketCount();

bool IsLoaded();

// The requested version (both 1 initially). SetReqVer* return false, changing nothing,
// when the value differs and the library is loaded.
std::uint8_t ReqVerLow();
std::uint8_t ReqVerHigh();
bool SetReqVerLow(std::uint8_t value);
bool SetReqVerHigh(std::uint8_t value);

}  // namespace net::socket_layer
