#pragma once
// The operations through which the collector reaches its collaborators: the service base
// (event log), the timer list with its events, the client socket and the files it writes.
// The program wires them to the real service host, TJvTimerList, TWSocket and the disk;
// tests wire fakes.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "net/socket_state.h"

namespace collector {

using net::TSocketState;

// Service base: one entry in the system's event log under the service's name. Never raises.
class ServiceLog {
public:
    virtual ~ServiceLog() = default;
    virtual void WriteEvent(const std::u16string& message, std::uint32_t eventType, int category, int eventId) = 0;
    // The operator's short text after the service's state name (systemd's status line),
    // refreshed once per request cycle; a base that shows none ignores it. Never raises.
    virtual void SetStatusText(const std::u16string& /*text*/) {}
};

// One timer event of the list. Enabled := true restarts the interval (assigning the
// current value does nothing); Interval := ms keeps the time already elapsed.
class TimerEventOps {
public:
    virtual ~TimerEventOps() = default;
    virtual bool Enabled() const = 0;
    virtual void SetEnabled(bool value) = 0;
    virtual std::int32_t Interval() const = 0;
    virtual void SetInterval(std::int32_t ms) = 0;
};

// The timer list: events by index (0 ControleTimer, 1 PakketController, 2 ConnectTimer);
// Active := true starts ticking on the calling thread.
class TimerListOps {
public:
    virtual ~TimerListOps() = default;
    virtual TimerEventOps& Events(int index) = 0;
    virtual void SetActive(bool value) = 0;
};

// The client socket. Events are delivered through the handlers the collector installs
// with SetHandlers; OnSessionClosed raised inside Close runs on the calling thread.
class ClientSocketOps {
public:
    using SessionHandler = std::function<void(std::uint16_t errCode)>;

    virtual ~ClientSocketOps() = default;
    virtual TSocketState State() const = 0;
    virtual void SetAddr(const std::u16string& addr) = 0;  // raises "Cannot change Addr if not closed"
    virtual void SetPort(const std::u16string& port) = 0;  // raises "Cannot change Port if not closed"
    virtual void Connect() = 0;
    virtual void Close() = 0;
    virtual int SendText(const std::u16string& text) = 0;
    // Reads the bytes pending now straight into the room `prepare(n)` gives for the n
    // bytes it asks for; returns how many were read (0 for none, or on failure). A large
    // read then costs no fresh pages of its own and no second copy.
    virtual std::size_t ReceiveTextInto(const std::function<char*(std::size_t)>& prepare) = 0;
    virtual void SetHandlers(SessionHandler onSessionConnected, SessionHandler onDataAvailable,
                             SessionHandler onSessionClosed) = 0;
};

// The files the collector writes: TV_BRIVON.XML and the archive files. The service object
// writes to the disk by default; tests and fuzzers install their own. Called on the
// thread of the handler that writes (the control thread): ReplaceFile by the packet
// processor without the service object's lock (it writes a frame taken out of the buffer),
// RemoveLeftovers under it.
class OutputFileOps {
public:
    virtual ~OutputFileOps() = default;
    // Replaces the file as a whole; raises with "Cannot create file "%s". %s" on failure.
    virtual void ReplaceFile(const std::u16string& path, std::string_view bytes) = 0;
    // Removes the files an interrupted replace left in the folder under its temporary
    // names, for targets whose name `isTarget` accepts; never raises.
    virtual void RemoveLeftovers(const std::u16string& folder,
                                 const std::function<bool(std::u16string_view target)>& isTarget) = 0;
};

}  // namespace collector
