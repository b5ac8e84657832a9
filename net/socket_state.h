#pragma once
// The socket's state: a vocabulary type shared by the socket and the code that watches it,
// so that knowing a state does not mean knowing the socket class.
#include <cstdint>

namespace net {

// One byte, nine values.
enum class TSocketState : std::uint8_t {
    wsInvalidState = 0,
    wsOpened = 1,
    wsBound = 2,
    wsConnecting = 3,
    wsSocksConnected = 4,
    wsConnected = 5,
    wsAccepting = 6,
    wsListening = 7,
    wsClosed = 8,
};

}  // namespace net
