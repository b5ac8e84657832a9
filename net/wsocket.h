#pragma once
// TWSocket: an asynchronous, event-driven TCP client socket.
//
// Connect only starts a connection and returns; what the network does afterwards arrives
// as events (OnSessionConnected, OnDataAvailable, OnSessionClosed) on the thread that
// created the socket, through its notification window (net/wndcontrol.h). Outgoing bytes
// are queued in a send buffer of 1460-byte blocks and drained as fast as the platform
// takes them. Errors raise ESocketException with the text an operator sees, unless an
// OnError handler is assigned.
//
// The proxy, line-mode and synchronous layers of the class line pass every call straight
// through, so they are names for this one class; their properties are only stored.
//
// Threading contract:
// - The socket belongs to the thread that created it (its owning thread): notices and
//   the events they raise run there, one at a time.
// - Operations may be called from another thread (the service calls Connect and Close
//   from its control thread) and run on the calling thread; events an operation raises
//   itself (OnSessionClosed inside Close) run there before it returns.
// - Two threads must never use the socket at the same moment. SetOwnerLock installs the
//   owner's recursive lock: the handling of every notice, and every public operation,
//   then takes it first, so the owner's calls and the notices are serialised. Lock
//   order: owner lock, then the send buffer's lock, then the socket layer's and the
//   platform's locks. No operation waits for a notice being handled on another thread.
// - Destroy the socket on its owning thread (or while that thread's loop is not
//   dispatching); destruction does not take the owner lock.
// - A handler may close the socket and start a new connection; the socket then leaves
//   that connection alone when the handler returns.
// - A notice queued for a connection never reaches a later one, even when the platform
//   gives the new socket the old handle value (Windows does): releasing a handle posts a
//   mark behind that connection's notices (a reserved post: a full queue still takes
//   it), and on the owning thread every notice for the handle is dropped until its mark
//   comes out of the queue. Whichever thread
//   closes, the queue's order does the rest. A handler must not destroy the
//   socket it was raised by: hand it to TIcsWndControl::Release, which destroys it from
//   the owning thread's loop once the handler has returned. Destroying it inside its own
//   handler is refused: the destructor raises ESocketException, which ends the program
//   (a destructor cannot return an error) instead of letting the handler's callers run
//   on freed memory.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "net/buffer.h"
#include "net/exceptions.h"
#include "net/socket_state.h"
#include "net/wndcontrol.h"
#include "platform/contracts.h"
#include "platform/sockets.h"

namespace net {

enum class TSocketSendFlags : std::uint8_t { wsSendNormal = 0, wsSendUrgent = 1 };
enum class TSocketLingerOnOff : std::uint8_t { wsLingerOff = 0, wsLingerOn = 1, wsLingerNoSet = 2 };
enum class TSocketKeepAliveOnOff : std::uint8_t {
    wsKeepAliveOff = 0,
    wsKeepAliveOnCustom = 1,
    wsKeepAliveOnSystem = 2
};
enum class TWSocketOption : std::uint8_t { wsoNoReceiveLoop = 0, wsoTcpNoDelay = 1, wsoSIO_RCVALL = 2 };
enum class TSocksAuthentication : std::uint8_t { socksNoAuthentication = 0, socksAuthenticateUsercode = 1 };

// A set of TWSocketOption.
class TWSocketOptions {
public:
    constexpr TWSocketOptions() = default;
    constexpr TWSocketOptions(std::initializer_list<TWSocketOption> options) {
        for (TWSocketOption o : options) bits_ |= Bit(o);
    }
    constexpr bool Contains(TWSocketOption o) const { return (bits_ & Bit(o)) != 0; }
    constexpr TWSocketOptions With(TWSocketOption o) const { return FromBits(std::uint8_t(bits_ | Bit(o))); }
    constexpr TWSocketOptions Without(TWSocketOption o) const { return FromBits(std::uint8_t(bits_ & ~Bit(o))); }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr bool operator==(const TWSocketOptions&) const = default;

private:
    static constexpr std::uint8_t Bit(TWSocketOption o) { return std::uint8_t(1u << unsigned(o)); }
    static constexpr TWSocketOptions FromBits(std::uint8_t bits) {
        TWSocketOptions o;
        o.bits_ = bits;
        return o;
    }
    std::uint8_t bits_ = 0;
};

class TWSocket;

// Handlers receive the raising socket as Sender.
using TSessionConnected = std::function<void(TWSocket& sender, std::uint16_t errCode)>;
using TDataAvailable = std::function<void(TWSocket& sender, std::uint16_t errCode)>;
using TSessionClosed = std::function<void(TWSocket& sender, std::uint16_t errCode)>;
using TDataSent = std::function<void(TWSocket& sender, std::uint16_t errCode)>;
using TSessionAvailable = std::function<void(TWSocket& sender, std::uint16_t errCode)>;
using TDnsLookupDone = std::function<void(TWSocket& sender, std::uint16_t errCode)>;
using TChangeState = std::function<void(TWSocket& sender, TSocketState oldState, TSocketState newState)>;
using TBgExceptionEvent = std::function<void(TWSocket& sender, const runtime::Exception& e, bool& canClose)>;
using TSendData = std::function<void(TWSocket& sender, int bytesSent)>;
using TSocketNotify = std::function<void(TWSocket& sender)>;

class TWSocket : public TIcsWndControl {
public:
    using SOCKET = platform::net::SOCKET;

    // The largest length one Send takes, and the largest send buffer.
    static constexpr int kMaxSendLength = 0x7FFFFFFF;
    // How long a connection attempt may go without an answer: then it ends as a failed
    // connect with 10060 (connection timed out), as if the platform had reported it, so a
    // connect notice lost to a full queue never leaves the socket connecting for good.
    static constexpr std::uint32_t kConnectTimeoutMs = 15000;

    // Attaches to the calling thread's notification window (raising EIcsException when
    // no window can be made) and counts one more live socket.
    TWSocket();
    // Closes an open socket without raising OnSessionClosed, counts one live socket less
    // (the last one shuts the socket layer down) and detaches from the window.
    ~TWSocket() override;

    // ---- properties ----
    const std::u16string& Addr() const { return addr_; }
    void SetAddr(const std::u16string& value);  // "Cannot change Addr if not closed"
    const std::u16string& Port() const { return port_; }
    void SetPort(const std::u16string& value);  // "Cannot change Port if not closed"
    const std::u16string& Proto() const { return proto_; }
    void SetProto(const std::u16string& value);  // "Cannot change Proto if not closed"
    const std::u16string& LocalAddr() const { return localAddr_; }
    void SetLocalAddr(const std::u16string& value);  // empty means "0.0.0.0"
    const std::u16string& LocalPort() const { return localPort_; }
    void SetLocalPort(const std::u16string& value);

    TSocketSendFlags SendFlags() const { return sendFlags_; }
    void SetSendFlags(TSocketSendFlags value);  // "Invalid SendFlags"
    TSocketLingerOnOff LingerOnOff() const { return lingerOnOff_; }
    void SetLingerOnOff(TSocketLingerOnOff value) { lingerOnOff_ = value; }
    int LingerTimeout() const { return lingerTimeout_; }
    void SetLingerTimeout(int seconds) { lingerTimeout_ = seconds; }
    TSocketKeepAliveOnOff KeepAliveOnOff() const { return keepAliveOnOff_; }
    void SetKeepAliveOnOff(TSocketKeepAliveOnOff value) { keepAliveOnOff_ = value; }
    std::uint32_t KeepAliveTime() const { return keepAliveTime_; }
    void SetKeepAliveTime(std::uint32_t ms) { keepAliveTime_ = ms; }
    std::uint32_t KeepAliveInterval() const { return keepAliveInterval_; }
    void SetKeepAliveInterval(std::uint32_t ms) { keepAliveInterval_ = ms; }
    TWSocketOptions ComponentOptions() const { return componentOptions_; }
    void SetComponentOptions(TWSocketOptions value) { componentOptions_ = value; }
    bool ReuseAddr() const { return reuseAddr_; }
    void SetReuseAddr(bool value) { reuseAddr_ = value; }
    int FlushTimeout() const { return flushTimeout_; }
    void SetFlushTimeout(int value) { flushTimeout_ = value; }
    int ListenBacklog() const { return listenBacklog_; }
    void SetListenBacklog(int value) { listenBacklog_ = value; }
    bool MultiCast() const { return multiCast_; }
    void SetMultiCast(bool value) { multiCast_ = value; }
    int MultiCastIpTTL() const { return multiCastIpTTL_; }
    void SetMultiCastIpTTL(int value) { multiCastIpTTL_ = value; }
    // The socket layer's requested version, shared by all sockets. Changing it while the
    // layer is loaded raises "... WinSock version can't be changed now".
    std::uint8_t ReqVerLow() const;
    void SetReqVerLow(std::uint8_t value);
    std::uint8_t ReqVerHigh() const;
    void SetReqVerHigh(std::uint8_t value);

    // Proxy and line-mode settings: stored only (those layers pass everything through).
    const std::u16string& SocksServer() const { return socksServer_; }
    void SetSocksServer(const std::u16string& value) { socksServer_ = value; }
    const std::u16string& SocksLevel() const { return socksLevel_; }
    void SetSocksLevel(const std::u16string& value) { socksLevel_ = value; }
    TSocksAuthentication SocksAuthentication() const { return socksAuthentication_; }
    void SetSocksAuthentication(TSocksAuthentication value) { socksAuthentication_ = value; }
    bool LineMode() const { return lineMode_; }
    void SetLineMode(bool value) { lineMode_ = value; }
    int LineLimit() const { return lineLimit_; }
    void SetLineLimit(int value) { lineLimit_ = value; }
    const std::string& LineEnd() const { return lineEnd_; }
    void SetLineEnd(const std::string& value) { lineEnd_ = value; }
    bool LineEcho() const { return lineEcho_; }
    void SetLineEcho(bool value) { lineEcho_ = value; }
    bool LineEdit() const { return lineEdit_; }
    void SetLineEdit(bool value) { lineEdit_ = value; }

    // ---- state (read only) ----
    TSocketState State() const { return state_.load(); }
    SOCKET HSocket() const { return socketHandle_; }
    int LastError() const { return lastError_; }
    bool AllSent() const { return allSent_; }
    int BufferedByteCount() const { return bufferedByteCount_; }
    // The bound of the send buffer: Send refuses bytes that would take BufferedByteCount
    // past it ("Send: <n> more bytes would exceed the send buffer's limit of <limit>
    // bytes"), so the count never wraps. At most, and by default, kMaxSendLength.
    int SendBufferLimit() const { return sendBufferLimit_; }
    void SetSendBufferLimit(int bytes);
    std::int64_t ReadCount() const { return readCount_; }
    bool CloseInvoked() const { return closeInvoked_; }
    bool Paused() const { return paused_; }
    std::uint32_t SelectEvents() const { return selectEvents_; }
    int SndBufSize() const { return sndBufSize_; }
    int RcvBufSize() const { return rcvBufSize_; }
    int ProtoNum() const { return protoNum_; }
    int SocketType() const { return socketType_; }
    std::uint16_t PortNum() const { return portNum_; }
    std::uint16_t LocalPortNum() const { return localPortNum_; }
    const platform::net::SockAddrIn& RemoteAddress() const { return remoteAddress_; }
    bool AddrAssigned() const { return addrAssigned_; }
    bool PortAssigned() const { return portAssigned_; }
    bool ProtoAssigned() const { return protoAssigned_; }
    bool AddrResolved() const { return addrResolved_; }
    bool PortResolved() const { return portResolved_; }
    bool ProtoResolved() const { return protoResolved_; }
    TIcsBufferHandler& SendBuffer() { return sendBuffer_; }

    // The socket's window messages (0 while detached).
    std::uint32_t MsgAsyncSelect() const { return msgAsyncSelect_; }
    std::uint32_t MsgAsyncGetHostByName() const { return msgAsyncGetHostByName_; }
    std::uint32_t MsgAsyncGetHostByAddr() const { return msgAsyncGetHostByAddr_; }
    std::uint32_t MsgCloseDelayed() const { return msgCloseDelayed_; }
    std::uint32_t MsgTriggerException() const { return msgTriggerException_; }
    std::uint32_t MsgTriggerDataAvailable() const { return msgTriggerDataAvailable_; }

    // ---- operations ----
    // Starts a connection to Addr:Port and returns in wsConnecting; only a host name
    // lookup waits. The outcome arrives as OnSessionConnected, at the latest
    // kConnectTimeoutMs later. A failure that leaves the socket closed leaves no handle.
    virtual void Connect();
    // Closes an open socket and raises OnSessionClosed(0) unless it was raised for this
    // connection already; does nothing on a closed socket.
    virtual void Close();
    // Closes without the orderly end of sending, discarding queued data.
    void Abort();
    // Close from the owning thread's loop, after the messages already queued.
    void CloseDelayed();
    // Queues the bytes and starts sending; returns len (0 for len <= 0). Raises "Socket is
    // not connected (#10057 in Send)" when not connected.
    virtual int Send(const void* data, int len);
    // Any length: more than the largest int (kMaxSendLength) raises "Send: <n> bytes are
    // more than the largest send of 2147483647 bytes" before a byte is read.
    int Send(const void* data, std::size_t len);
    int Send(std::string_view bytes) { return Send(bytes.data(), bytes.size()); }
    // 8-bit text as it stands.
    int SendText(const std::string& bytes);
    // UTF-16 text in the system's ANSI code page.
    int SendText(const std::u16string& text);
    // UTF-16 text in the given code page: 1200 sends the UTF-16 bytes unchanged; 0 is the
    // ANSI code page; 1252, 28591 and 65001 are converted; any other gives nothing to send.
    int SendText(const std::u16string& text, unsigned codePage);
    // The bytes pending now (255 asked for when the platform reports none).
    virtual std::string ReceiveText();
    // The same bytes read straight into the room `prepare(n)` gives for the n bytes
    // ReceiveText would ask for; returns how many were read (0 on failure or none).
    std::size_t ReceiveTextInto(const std::function<char*(std::size_t)>& prepare);
    // One platform receive; its result (negative on failure, LastError then set).
    virtual int ReceiveBytes(void* buffer, int size);
    // Bytes that can be received without waiting (raises on failure, "ioctlSocket").
    virtual int PendingByteCount();
    // Ends one or both directions (0 receive, 1 send, 2 both); result ignored.
    virtual void Shutdown(int how);

    // Installs the owner's lock (see the threading contract); nullptr removes it.
    void SetOwnerLock(platform::CheckedRecursiveMutex* lock) { ownerLock_.store(lock); }
    platform::CheckedRecursiveMutex* OwnerLock() const { return ownerLock_.load(); }

    // Thread hand-over: detaching stops the notices, attaching asks for them again.
    void ThreadDetach() override;
    void ThreadAttach() override;

    // ---- events (raised only when assigned) ----
    TSessionConnected OnSessionConnected;
    TDataAvailable OnDataAvailable;
    TSessionClosed OnSessionClosed;
    TChangeState OnChangeState;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TSocketNotify OnError;
    TBgExceptionEvent OnBgException;
    TSessionAvailable OnSessionAvailable;
    TDnsLookupDone OnDnsLookupDone;

    std::intptr_t HandleWindowMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override;

protected:
    int MsgHandlersCount() override { return 6 + TIcsWndControl::MsgHandlersCount(); }
    void AllocateMsgHandlers() override;
    void FreeMsgHandlers() override;

    virtual void HandleBackgroundError(const runtime::Exception& e);
    virtual void TryToSend();
    virtual void ResetToDefaults();
    virtual void ReleaseSocket(bool shutFirst, std::uint16_t error);
    virtual void AbortConnection();
    virtual bool BindSocket();
    virtual int SendChunk(const char* data, int len);
    virtual void RaiseSocketException(const std::u16string& message);
    void RaiseSocketError(const std::u16string& operation);

    virtual void HandleSelectEvent(std::uintptr_t wParam, std::intptr_t lParam);
    virtual void HandleConnectEvent(std::uint16_t error);
    virtual void HandleReadEvent(std::uint16_t error);
    virtual void HandleWriteEvent(std::uint16_t error);
    virtual void HandleCloseEvent(std::uint16_t error);
    // Raises OnDataAvailable while bytes are pending; a bounded loop hands over to a new
    // read notice after a number of rounds.
    void ReceiveLoop(std::uint16_t error, TWSocketOptions options, bool bounded);

    virtual bool TriggerDataAvailable(std::uint16_t error);
    virtual void TriggerSessionConnected(std::uint16_t error);
    virtual void TriggerSessionClosed(std::uint16_t error);
    virtual void TriggerDataSent(std::uint16_t error);
    virtual void TriggerChangeState(TSocketState oldState, TSocketState newState);
    virtual void TriggerError();
    virtual void TriggerSessionAvailable(std::uint16_t error);
    virtual void TriggerSendData(int bytesSent);
    virtual int DoRecv(void* buffer, int size, int flags);
    // The platform close of the handle (ReleaseSocket retries it while it would block).
    virtual int DoCloseSocket(SOCKET s);
    // The platform query of a socket-level option of the handle (Connect's buffer sizes).
    virtual int DoGetSockOpt(SOCKET s, int option, int* value, int* len);

    void SetState(TSocketState newState);
    bool ApplyLingerOption();
    bool ApplyKeepAliveOption();
    int SendFlagsValue();

private:
    // The steps of Connect, in order. Each returns false when it raised the error (or,
    // with OnError set, reported it) and the attempt ends there.
    bool CheckConnectSettings();
    bool ResolveConnectTarget();
    bool OpenSocketHandle();
    bool EnterOpenedState();
    bool ApplyStreamOptions();
    bool StartConnecting();
    // Connect's failure before the socket was opened: the new handle goes again.
    void ReleaseUnopenedHandle();
    // The attempt's deadline, watched by a timer of the socket's window (its id
    // MsgAsyncSelect) on the owning thread, which Connect may not run on: its first tick is
    // posted there, and each tick before the deadline sets the timer for the rest.
    void WatchConnectAttempt();
    void HandleConnectTimer();
    void StopConnectTimer();

    // Takes the owner lock, when one is installed, for the lifetime of the guard.
    class OwnerGuard {
    public:
        explicit OwnerGuard(const TWSocket& socket) : lock_(socket.ownerLock_.load()) {
            if (lock_) lock_->lock();
        }
        ~OwnerGuard() {
            if (lock_) lock_->unlock();
        }
        OwnerGuard(const OwnerGuard&) = delete;
        OwnerGuard& operator=(const OwnerGuard&) = delete;

    private:
        platform::CheckedRecursiveMutex* lock_;
    };
    // For the contract checks of the steps that run under the owner lock.
    platform::RequiredLock<platform::CheckedRecursiveMutex> OwnerLockRequirement() const {
        return platform::RequiredLock<platform::CheckedRecursiveMutex>(ownerLock_.load());
    }

    void DiscardSendBuffer();
    // Counts the handlers running, so that destruction inside one can be refused.
    class HandlerScope {
    public:
        explicit HandlerScope(TWSocket& socket) : socket_(socket) { ++socket_.handlersRunning_; }
        ~HandlerScope() { --socket_.handlersRunning_; }
        HandlerScope(const HandlerScope&) = delete;
        HandlerScope& operator=(const HandlerScope&) = delete;

    private:
        TWSocket& socket_;
    };

    std::atomic<platform::CheckedRecursiveMutex*> ownerLock_{nullptr};
    bool destroying_ = false;
    std::uint64_t connectDeadline_ = 0;  // tick count; 0 while no attempt is watched
    // A posted first tick waits: at most one, so the reserved room is never flooded.
    bool connectTickPosted_ = false;
    std::atomic<int> handlersRunning_{0};
    // Marks a released handle (see the threading contract): posts the mark, a select
    // notice with no event bits, and counts it. Not while the socket is destroyed.
    void MarkHandleReleased(SOCKET handle);
    // Handles released while their notices may still wait in the owning thread's queue,
    // each with the number of its marks not yet taken from the queue. Bounded by the
    // marks in that queue: reserved posts, which a full queue still takes, up to
    // platform::kReservedMessages beyond it; a mark that cannot be posted even so is not
    // counted. Owning thread and closers, under the owner lock.
    std::map<SOCKET, int> releasedHandles_;
    // Changes whenever a platform socket is created or released, so that code resuming
    // after a handler can tell whether the connection it works on is still the current
    // one (a handle value alone can be reused by the platform).
    std::uint64_t generation_ = 0;
    // The connection a step works on, taken before it raises a handler: Current() is
    // false once the socket has created or released a platform socket since.
    class ConnectionSnapshot {
    public:
        explicit ConnectionSnapshot(const TWSocket& socket) : socket_(socket), generation_(socket.generation_) {}
        bool Current() const { return generation_ == socket_.generation_; }

    private:
        const TWSocket& socket_;
        std::uint64_t generation_;
    };
    ConnectionSnapshot Snapshot() const { return ConnectionSnapshot(*this); }
    // A platform socket was created or released: the connection from here on.
    ConnectionSnapshot NextConnection() {
        ++generation_;
        return Snapshot();
    }
    // TryToSend is running on this thread (it holds the send buffer's lock): a Send from
    // a handler it raises only queues, and the running loop sends those bytes in order.
    bool sending_ = false;
    int sendBufferLimit_ = kMaxSendLength;

    std::u16string addr_, port_, proto_ = u"tcp", localAddr_ = u"0.0.0.0", localPort_ = u"0";
    bool addrAssigned_ = false, portAssigned_ = false, protoAssigned_ = true;
    bool addrResolved_ = false, portResolved_ = false, protoResolved_ = false, localPortResolved_ = false;
    int protoNum_ = platform::net::kIpProtoTcp;
    int socketType_ = platform::net::kSockStream;
    int addressFamily_ = platform::net::kAfInet;
    platform::net::SockAddrIn remoteAddress_;
    std::uint16_t portNum_ = 0, localPortNum_ = 0;

    TSocketSendFlags sendFlags_ = TSocketSendFlags::wsSendNormal;
    TSocketLingerOnOff lingerOnOff_ = TSocketLingerOnOff::wsLingerOn;
    int lingerTimeout_ = 0;
    TSocketKeepAliveOnOff keepAliveOnOff_ = TSocketKeepAliveOnOff::wsKeepAliveOff;
    std::uint32_t keepAliveTime_ = 0, keepAliveInterval_ = 0;
    TWSocketOptions componentOptions_;
    bool reuseAddr_ = false;
    int flushTimeout_ = 60;
    int listenBacklog_ = 5;
    bool multiCast_ = false;
    int multiCastIpTTL_ = 1;

    std::u16string socksServer_, socksLevel_ = u"5";
    TSocksAuthentication socksAuthentication_ = TSocksAuthentication::socksNoAuthentication;
    bool lineMode_ = false;
    int lineLimit_ = 65536;
    std::string lineEnd_ = "\r\n";
    bool lineEcho_ = false, lineEdit_ = false;

    std::atomic<TSocketState> state_{TSocketState::wsClosed};
    SOCKET socketHandle_ = platform::net::kInvalidSocket;
    std::uint32_t selectEvents_ = 0;
    int lastError_ = 0;
    bool allSent_ = true;
    int bufferedByteCount_ = 0;
    std::int64_t readCount_ = 0;
    bool closeInvoked_ = false;
    bool paused_ = false;
    int sndBufSize_ = 0, rcvBufSize_ = 0;

    TIcsBufferHandler sendBuffer_{TIcsBufferHandler::kDefaultBufSize};

    std::uint32_t msgAsyncSelect_ = 0, msgAsyncGetHostByName_ = 0, msgAsyncGetHostByAddr_ = 0;
    std::uint32_t msgCloseDelayed_ = 0, msgTriggerException_ = 0, msgTriggerDataAvailable_ = 0;
};

// The layers of the class line above the socket: with no proxy and no line mode they
// pass every call through, so they are the same class.
using TCustomWSocket = TWSocket;
using TCustomSocksWSocket = TWSocket;
using TCustomLineWSocket = TWSocket;
using TCustomSyncWSocket = TWSocket;

}  // namespace net
