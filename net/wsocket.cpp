#include "net/wsocket.h"

#include <algorithm>
#include <vector>

#include "net/resolve.h"
#include "net/socket_layer.h"
#include "runtime/codepage.h"
#include "text/cp1252.h"
#include "text/strings.h"

namespace net {
namespace {

namespace ps = platform::net;
using socket_layer::RequireEntryPoint;

// Windows numbers of the TCP keep-alive options (seconds), used for the custom
// keep-alive time and interval.
constexpr int kTcpKeepAlive = 3;
constexpr int kTcpKeepIntvl = 17;

// Handler calls for one read notice before the rest is left to a new notice.
constexpr int kMaxReceiveRounds = 32;

// Closes of a handle that would block (each after pumping the thread's messages) before
// the close is handed to the background with linger off.
constexpr int kMaxCloseAttempts = 100;

constexpr std::uint32_t kAllSelectEvents = ps::kFdRead | ps::kFdWrite | ps::kFdConnect | ps::kFdClose;

bool IsConnectionError(int error) {
    return error == ps::kWsaEConnReset || error == ps::kWsaENotSock || error == ps::kWsaENotConn ||
           error == ps::kWsaEInval || error == ps::kWsaEConnAborted;
}

std::uint32_t SecondsRoundedUp(std::uint32_t ms) { return std::max<std::uint32_t>(1, (ms + 999) / 1000); }

// Thrown from a destructor, so it ends the program with the message.
[[noreturn]] void RefuseDestructionInsideHandler() {
    throw ESocketException(
        u"TWSocket destroyed inside its own event handler; hand it to TIcsWndControl::Release instead");
}

std::u16string Int64ToStr(std::int64_t n) { return txt::FromUtf8(std::to_string(n)); }

}  // namespace

// ---- creation and destruction -------------------------------------------------------------

TWSocket::TWSocket() {
    AttachNotificationWindow();
    ResetToDefaults();
    socket_layer::AddLiveSocket();
}

TWSocket::~TWSocket() {
    // The handler's callers would go on with a destroyed socket (and unlock a destroyed
    // send buffer lock): refuse, loudly, rather than corrupt memory.
    if (handlersRunning_.load() > 0) RefuseDestructionInsideHandler();
    destroying_ = true;
    StopConnectTimer();
    try {
        if (State() != TSocketState::wsClosed) ReleaseSocket(true, 0);
    } catch (...) {
        // A destructor cannot report; the handle is released by ReleaseSocket first.
    }
    socket_layer::RemoveLiveSocket();
    try {
        DetachNotificationWindow();
    } catch (...) {}
}

void TWSocket::AllocateMsgHandlers() {
    TIcsWndControl::AllocateMsgHandlers();
    msgAsyncSelect_ = AllocateMessage();
    msgAsyncGetHostByName_ = AllocateMessage();
    msgAsyncGetHostByAddr_ = AllocateMessage();
    msgCloseDelayed_ = AllocateMessage();
    msgTriggerException_ = AllocateMessage();
    msgTriggerDataAvailable_ = AllocateMessage();
}

void TWSocket::FreeMsgHandlers() {
    ReleaseMessage(msgAsyncSelect_);
    ReleaseMessage(msgAsyncGetHostByName_);
    ReleaseMessage(msgAsyncGetHostByAddr_);
    ReleaseMessage(msgCloseDelayed_);
    ReleaseMessage(msgTriggerException_);
    ReleaseMessage(msgTriggerDataAvailable_);
    TIcsWndControl::FreeMsgHandlers();
}

void TWSocket::ResetToDefaults() {
    remoteAddress_ = ps::SockAddrIn{};
    addressFamily_ = ps::kAfInet;
    addrAssigned_ = portAssigned_ = false;
    addrResolved_ = portResolved_ = protoResolved_ = localPortResolved_ = false;
    protoAssigned_ = true;
    protoNum_ = ps::kIpProtoTcp;
    proto_ = u"tcp";
    socketType_ = ps::kSockStream;
    localPort_ = u"0";
    localAddr_ = u"0.0.0.0";
    lingerOnOff_ = TSocketLingerOnOff::wsLingerOn;
    lingerTimeout_ = 0;
    socketHandle_ = ps::kInvalidSocket;
    selectEvents_ = 0;
    state_.store(TSocketState::wsClosed);  // without OnChangeState
    allSent_ = true;
    paused_ = false;
    readCount_ = 0;
    closeInvoked_ = false;
    flushTimeout_ = 60;
    connectDeadline_ = 0;
}

// ---- properties ---------------------------------------------------------------------------

void TWSocket::SetAddr(const std::u16string& value) {
    OwnerGuard guard(*this);
    if (addrAssigned_ && value == addr_) return;
    if (State() != TSocketState::wsClosed) return RaiseSocketException(u"Cannot change Addr if not closed");
    addr_ = txt::Trim(value);
    addrAssigned_ = !addr_.empty();
    addrResolved_ = false;
}

void TWSocket::SetPort(const std::u16string& value) {
    OwnerGuard guard(*this);
    if (portAssigned_ && value == port_) return;
    if (State() != TSocketState::wsClosed) return RaiseSocketException(u"Cannot change Port if not closed");
    port_ = txt::Trim(value);
    portAssigned_ = !port_.empty();
    portResolved_ = false;
}

void TWSocket::SetProto(const std::u16string& value) {
    OwnerGuard guard(*this);
    if (protoAssigned_ && value == proto_) return;
    if (State() != TSocketState::wsClosed) return RaiseSocketException(u"Cannot change Proto if not closed");
    proto_ = txt::Trim(value);
    protoAssigned_ = !proto_.empty();
    protoResolved_ = false;
}

void TWSocket::SetLocalAddr(const std::u16string& value) {
    OwnerGuard guard(*this);
    if (State() != TSocketState::wsClosed) return RaiseSocketException(u"Cannot change LocalAddr if not closed");
    localAddr_ = value.empty() ? u"0.0.0.0" : value;
}

void TWSocket::SetLocalPort(const std::u16string& value) {
    OwnerGuard guard(*this);
    if (State() != TSocketState::wsClosed) return RaiseSocketException(u"Cannot change LocalPort if not closed");
    localPort_ = value;
    localPortResolved_ = false;
}

void TWSocket::SetSendFlags(TSocketSendFlags value) {
    if (value != TSocketSendFlags::wsSendNormal && value != TSocketSendFlags::wsSendUrgent)
        return RaiseSocketException(u"Invalid SendFlags");
    sendFlags_ = value;
}

int TWSocket::SendFlagsValue() {
    switch (sendFlags_) {
    case TSocketSendFlags::wsSendNormal: return 0;
    case TSocketSendFlags::wsSendUrgent: return 1;  // out-of-band
    }
    RaiseSocketException(u"Invalid internal SendFlags");
    return 0;
}

std::uint8_t TWSocket::ReqVerLow() const { return socket_layer::ReqVerLow(); }
std::uint8_t TWSocket::ReqVerHigh() const { return socket_layer::ReqVerHigh(); }

void TWSocket::SetReqVerLow(std::uint8_t value) {
    if (!socket_layer::SetReqVerLow(value)) RaiseSocketError(u"SetReqVerLow: WinSock version can't be changed now");
}

void TWSocket::SetReqVerHigh(std::uint8_t value) {
    if (!socket_layer::SetReqVerHigh(value)) RaiseSocketError(u"SetReqVerHigh: WinSock version can't be changed now");
}

void TWSocket::SetState(TSocketState newState) {
    TSocketState old = state_.exchange(newState);
    if (old != newState) TriggerChangeState(old, newState);
}

// ---- errors -------------------------------------------------------------------------------

void TWSocket::RaiseSocketException(const std::u16string& message) {
    if (OnError) {
        TriggerError();
        return;
    }
    throw ESocketException(message);
}

void TWSocket::RaiseSocketError(const std::u16string& operation) {
    const int code = ps::WSAGetLastError();
    const std::u16string message = WinsockErrorText(code) + u" (#" + txt::IntToStr(code) + u" in " + operation + u")";
    if (code == ps::kWsaEConnReset || code == ps::kWsaENotConn) {
        // The connection is gone: release the handle at once. ResetToDefaults is not run
        // here, so Addr and Port stay assigned.
        if (socketHandle_ != ps::kInvalidSocket) {
            ps::closesocket(socketHandle_);
            MarkHandleReleased(socketHandle_);
        }
        socketHandle_ = ps::kInvalidSocket;
        const ConnectionSnapshot connection = NextConnection();
        // Raised once per connection: a handler of the close notice may meet this too.
        const bool raise = State() != TSocketState::wsClosed && !closeInvoked_;
        if (raise) closeInvoked_ = true;
        try {
            if (raise) TriggerSessionClosed(std::uint16_t(code));
        } catch (...) {
            if (connection.Current()) SetState(TSocketState::wsClosed);
            throw;
        }
        // A connection the handler started is not this one.
        if (connection.Current()) SetState(TSocketState::wsClosed);
    }
    lastError_ = code;
    RaiseSocketException(message);
}

void TWSocket::HandleBackgroundError(const runtime::Exception& e) {
    bool canClose = true;
    if (OnBgException) {
        try {
            HandlerScope scope(*this);
            OnBgException(*this, e, canClose);
        } catch (...) {
            // The background handler's own failure has nowhere to go.
        }
    }
    if (canClose) {
        try {
            AbortConnection();
        } catch (...) {
            // Nothing is reported for a background error.
        }
    }
}

// ---- connecting ---------------------------------------------------------------------------

void TWSocket::Connect() {
    OwnerGuard guard(*this);
    if (!CheckConnectSettings() || !ResolveConnectTarget()) return;
    DiscardSendBuffer();
    try {
        if (!OpenSocketHandle() || !EnterOpenedState() || !ApplyStreamOptions() || !StartConnecting()) {
            ReleaseUnopenedHandle();
            return;
        }
    } catch (...) {
        ReleaseUnopenedHandle();
        throw;
    }
    SetState(TSocketState::wsConnecting);
    if (State() == TSocketState::wsConnecting) WatchConnectAttempt();
}

void TWSocket::ReleaseUnopenedHandle() {
    // Once opened, the socket stays as it is until closed; before, nobody would close it.
    if (State() != TSocketState::wsClosed || socketHandle_ == ps::kInvalidSocket) return;
    ps::closesocket(socketHandle_);
    MarkHandleReleased(socketHandle_);
    socketHandle_ = ps::kInvalidSocket;
    NextConnection();
}

void TWSocket::WatchConnectAttempt() {
    connectDeadline_ = platform::GetTickCount64() + kConnectTimeoutMs;
    if (!connectTickPosted_ && Handle() != 0)
        connectTickPosted_ = platform::PostReservedMessage(Handle(), platform::kWmTimer, msgAsyncSelect_, 0);
}

void TWSocket::HandleConnectTimer() {
    VBX_EXPECT_OWNER_THREAD(OwningThread(), "the socket's owning thread");
    VBX_EXPECT_LOCK_HELD(OwnerLockRequirement(), "the owner lock, when one is installed");
    connectTickPosted_ = false;  // this tick may be the posted one; another waits at most
    if (State() != TSocketState::wsConnecting || connectDeadline_ == 0) return StopConnectTimer();
    const std::uint64_t now = platform::GetTickCount64();
    if (now < connectDeadline_) {
        platform::SetTimer(Handle(), msgAsyncSelect_, std::uint32_t(connectDeadline_ - now));
        return;
    }
    StopConnectTimer();
    connectDeadline_ = 0;
    // No answer: the attempt ends as a refused one does, reported and then closed.
    HandleConnectEvent(std::uint16_t(ps::kWsaETimedOut));
}

void TWSocket::StopConnectTimer() {
    // Only the window's thread can; elsewhere the next tick finds nothing to watch and
    // stops the timer itself.
    if (Handle() != 0 && platform::CurrentThreadId() == ThreadId()) platform::KillTimer(Handle(), msgAsyncSelect_);
}

bool TWSocket::CheckConnectSettings() {
    const char16_t* missing = nullptr;
    if (socketHandle_ != ps::kInvalidSocket && State() != TSocketState::wsClosed) {
        missing = u"Connect: Socket already in use";
    } else if (!portAssigned_) {
        missing = u"Connect: No Port Specified";
    } else if (!addrAssigned_) {
        missing = u"Connect: No IP Address Specified";
    } else if (!protoAssigned_) {
        missing = u"Connect: No Protocol Specified";
    }
    if (missing == nullptr) return true;
    RaiseSocketException(missing);
    return false;
}

// Protocol, remote port, local port and host, each looked up once until it changes.
bool TWSocket::ResolveConnectTarget() {
    try {
        const std::string proto = runtime::ToAnsi(proto_);
        if (!protoResolved_) {
            protoNum_ = ResolveProto(proto);
            socketType_ = protoNum_ == ps::kIpProtoTcp   ? ps::kSockStream
                          : protoNum_ == ps::kIpProtoUdp ? ps::kSockDgram
                                                         : ps::kSockRaw;
            protoResolved_ = true;
        }
        if (!portResolved_) {
            portNum_ = ResolvePort(runtime::ToAnsi(port_), proto);
            remoteAddress_.port = ps::htons(portNum_);
            portResolved_ = true;
        }
        if (!localPortResolved_) {
            localPortNum_ = ResolvePort(runtime::ToAnsi(localPort_), proto);
            localPortResolved_ = true;
        }
        if (!addrResolved_) {
            remoteAddress_.addr = ResolveHost(runtime::ToAnsi(addr_));
            addrResolved_ = true;
        }
    } catch (const runtime::Exception& e) {
        RaiseSocketException(u"connect: " + e.Message());
        return false;
    }
    return true;
}

// A new handle, and the buffer sizes the platform gave it.
bool TWSocket::OpenSocketHandle() {
    RequireEntryPoint("socket");
    socketHandle_ = ps::socket(addressFamily_, socketType_, protoNum_);
    if (socketHandle_ == ps::kInvalidSocket) {
        RaiseSocketError(u"Connect (socket)");
        return false;
    }
    // A new connection: a handler that connects while an older one is being closed gets
    // its own OnSessionClosed later.
    NextConnection();
    closeInvoked_ = false;

    RequireEntryPoint("getsockopt");
    int size = 0;
    int len = sizeof size;
    if (DoGetSockOpt(socketHandle_, ps::kSoSndBuf, &size, &len) == ps::kSocketError) {
        RaiseSocketError(u"getsockopt(SO_SNDBUF)");
        return false;
    }
    sndBufSize_ = size;
    len = sizeof size;
    if (DoGetSockOpt(socketHandle_, ps::kSoRcvBuf, &size, &len) == ps::kSocketError) {
        RaiseSocketError(u"getsockopt(SO_RCVBUF)");
        return false;
    }
    rcvBufSize_ = size;
    return true;
}

// wsOpened, unless a handler of OnChangeState moved the socket elsewhere.
bool TWSocket::EnterOpenedState() {
    SetState(TSocketState::wsOpened);
    if (State() == TSocketState::wsOpened) return true;
    ps::WSASetLastError(ps::kWsaEInval);
    RaiseSocketError(u"Connect (Invalid operation in OnChangeState)");
    return false;
}

// The options of a stream socket and, when a local port or address is set, its binding.
bool TWSocket::ApplyStreamOptions() {
    if (socketType_ != ps::kSockStream) return true;
    RequireEntryPoint("setsockopt");
    // Set whatever ReuseAddr holds: a client rebinds its ephemeral port quickly.
    const int on = -1;
    if (ps::setsockopt(socketHandle_, ps::kSolSocket, ps::kSoReuseAddr, &on, sizeof on) == ps::kSocketError) {
        RaiseSocketError(u"setsockopt(SO_REUSEADDR)");
        return false;
    }
    if (componentOptions_.Contains(TWSocketOption::wsoTcpNoDelay) &&
        ps::setsockopt(socketHandle_, ps::kIpProtoTcp, ps::kTcpNoDelay, &on, sizeof on) == ps::kSocketError) {
        RaiseSocketError(u"setsockopt(IPPROTO_TCP, TCP_NODELAY)");
        return false;
    }
    if (!ApplyLingerOption() || !ApplyKeepAliveOption()) return false;
    return (localPortNum_ == 0 && localAddr_ == u"0.0.0.0") || BindSocket();
}

// Notices on, then the non-blocking connect: its outcome arrives as a connect notice.
bool TWSocket::StartConnecting() {
    selectEvents_ = kAllSelectEvents;
    RequireEntryPoint("WSAAsyncSelect");
    if (ps::WSAAsyncSelect(socketHandle_, Handle(), msgAsyncSelect_, selectEvents_) == ps::kSocketError) {
        RaiseSocketError(u"WSAAsyncSelect");
        return false;
    }
    RequireEntryPoint("connect");
    if (ps::connect(socketHandle_, remoteAddress_) == ps::kSocketError) {
        const int error = ps::WSAGetLastError();
        if (error != ps::kWsaEWouldBlock) {
            lastError_ = error;
            RaiseSocketError(u"Connect");
            return false;
        }
    }
    return true;
}

bool TWSocket::ApplyLingerOption() {
    if (lingerOnOff_ == TSocketLingerOnOff::wsLingerNoSet) return true;
    if (socketHandle_ == ps::kInvalidSocket) {
        RaiseSocketException(u"Cannot set linger option at this time");
        return false;
    }
    ps::Linger linger;
    linger.onoff = std::uint16_t(lingerOnOff_);
    linger.seconds = std::uint16_t(lingerTimeout_ & 0xFFFF);
    RequireEntryPoint("setsockopt");
    if (ps::setsockopt(socketHandle_, ps::kSolSocket, ps::kSoLinger, &linger, sizeof linger) == ps::kSocketError) {
        RaiseSocketError(u"setsockopt(SO_LINGER)");
        return false;
    }
    return true;
}

bool TWSocket::ApplyKeepAliveOption() {
    const int on = 1;
    switch (keepAliveOnOff_) {
    case TSocketKeepAliveOnOff::wsKeepAliveOff: return true;
    case TSocketKeepAliveOnOff::wsKeepAliveOnSystem:
        RequireEntryPoint("setsockopt");
        if (ps::setsockopt(socketHandle_, ps::kSolSocket, ps::kSoKeepAlive, &on, sizeof on) == ps::kSocketError) {
            RaiseSocketError(u"setsockopt(SO_KEEPALIVE)");
            return false;
        }
        return true;
    case TSocketKeepAliveOnOff::wsKeepAliveOnCustom: {
        // Keep-alive on with its own idle time and probe interval. The platform takes them
        // in whole seconds, so milliseconds are rounded up (at least one second).
        RequireEntryPoint("setsockopt");
        const int idle = int(SecondsRoundedUp(keepAliveTime_));
        const int interval = int(SecondsRoundedUp(keepAliveInterval_));
        if (ps::setsockopt(socketHandle_, ps::kSolSocket, ps::kSoKeepAlive, &on, sizeof on) == ps::kSocketError ||
            ps::setsockopt(socketHandle_, ps::kIpProtoTcp, kTcpKeepAlive, &idle, sizeof idle) == ps::kSocketError ||
            ps::setsockopt(socketHandle_, ps::kIpProtoTcp, kTcpKeepIntvl, &interval, sizeof interval) ==
                ps::kSocketError) {
            RaiseSocketError(u"WSocket_WSAIoctl(SIO_KEEPALIVE_VALS)");
            return false;
        }
        return true;
    }
    }
    return true;
}

bool TWSocket::BindSocket() {
    ps::SockAddrIn local;
    local.port = ps::htons(localPortNum_);
    local.addr = ResolveHost(runtime::ToAnsi(localAddr_));
    RequireEntryPoint("bind");
    if (ps::bind(socketHandle_, local) == ps::kSocketError) {
        lastError_ = ps::WSAGetLastError();
        RaiseSocketException(u"Bind socket failed - " + WinsockErrorTextWithCode(lastError_));
        return false;
    }
    return true;
}

// ---- sending ------------------------------------------------------------------------------

void TWSocket::DiscardSendBuffer() {
    std::lock_guard lock(sendBuffer_);
    sendBuffer_.DeleteAllData();
    bufferedByteCount_ = 0;
}

void TWSocket::SetSendBufferLimit(int bytes) { sendBufferLimit_ = std::clamp(bytes, 0, kMaxSendLength); }

int TWSocket::Send(const void* data, std::size_t len) {
    if (len > std::size_t(kMaxSendLength)) {
        RaiseSocketException(u"Send: " + Int64ToStr(std::int64_t(len)) +
                             u" bytes are more than the largest send of 2147483647 bytes");
        return -1;
    }
    return Send(data, int(len));
}

int TWSocket::Send(const void* data, int len) {
    OwnerGuard guard(*this);
    const TSocketState state = State();
    if (state != TSocketState::wsConnected && state != TSocketState::wsSocksConnected) {
        ps::WSASetLastError(ps::kWsaENotConn);
        RaiseSocketError(u"Send");
        return -1;
    }
    int result = 0;
    if (len > 0) {
        std::lock_guard lock(sendBuffer_);
        if (std::int64_t(bufferedByteCount_) + len > sendBufferLimit_) {
            RaiseSocketException(
                u"Send: " + txt::IntToStr(len) + u" more bytes would exceed the send buffer's limit of " +
                txt::IntToStr(sendBufferLimit_) + u" bytes (" + txt::IntToStr(bufferedByteCount_) + u" queued)");
            return -1;
        }
        allSent_ = false;
        sendBuffer_.Write(static_cast<const char*>(data), len);
        bufferedByteCount_ += len;
        result = len;
    } else {
        allSent_ = false;
    }
    const ConnectionSnapshot connection = Snapshot();
    TryToSend();
    // The write notice is posted, never handled here, so a handler that sends again from
    // it cannot recurse. A socket closed by the attempt gets none, nor a connection that a
    // handler raised by it started instead (still connecting: it has sent nothing).
    if (allSent_ && connection.Current() && socketHandle_ != ps::kInvalidSocket)
        platform::PostReservedMessage(Handle(), msgAsyncSelect_, socketHandle_, std::intptr_t(ps::kFdWrite));
    return result;
}

int TWSocket::SendText(const std::string& bytes) {
    if (bytes.empty()) return 0;
    return Send(std::string_view(bytes));
}

int TWSocket::SendText(const std::u16string& text) { return SendText(runtime::ToAnsi(text)); }

int TWSocket::SendText(const std::u16string& text, unsigned codePage) {
    std::string bytes;
    switch (codePage) {
    case 1200:
        for (char16_t c : text) {
            bytes.push_back(char(c & 0xFF));
            bytes.push_back(char(c >> 8));
        }
        break;
    case 0: bytes = runtime::ToAnsi(text); break;
    case 1252: bytes = txt::EncodeCp1252(text); break;
    case 28591:
        for (char16_t c : text) bytes.push_back(c <= 0xFF ? char(c) : '?');
        break;
    case 65001: bytes = txt::ToUtf8(text); break;
    default: return 0;  // as the platform's conversion with an unknown code page: no bytes
    }
    return SendText(bytes);
}

void TWSocket::TryToSend() {
    std::lock_guard lock(sendBuffer_);
    // Called again from a handler raised below (a Send from OnSendData): the loop below
    // is still running and sends the new bytes after those before them.
    if (sending_) return;
    if (socketHandle_ == ps::kInvalidSocket || sendBuffer_.IsEmpty()) {
        allSent_ = true;
        return;
    }
    const ConnectionSnapshot connection = Snapshot();
    int closedBy = 0;
    {
        sending_ = true;
        struct SendingScope {
            bool& flag;
            ~SendingScope() { flag = false; }
        } scope{sending_};
        for (;;) {
            std::string_view chunk = sendBuffer_.Peek();
            if (chunk.empty()) {
                allSent_ = true;
                return;
            }
            const int len = static_cast<int>(chunk.size());
            const int taken = SendChunk(chunk.data(), len);
            if (taken == 0) return;
            if (taken < 0) {
                const int error = ps::WSAGetLastError();
                if (error == ps::kWsaEWouldBlock) return;  // the next write notice goes on
                if (!IsConnectionError(error)) {
                    RaiseSocketError(u"TryToSend failed");
                    return;
                }
                closedBy = error;
                break;
            }
            // The taken bytes leave the buffer before anyone hears of them, so a handler
            // that sends queues behind what is still unsent and nothing goes twice.
            sendBuffer_.Remove(taken);
            bufferedByteCount_ = std::max(0, bufferedByteCount_ - taken);
            TriggerSendData(taken);
            // The handler closed the socket, or closed it and connected again (which
            // discarded the buffer): nothing here is this loop's any more.
            if (!connection.Current()) return;
            // A send that took only part of the chunk does not stop here: the platform
            // announces a new write notice only after a send it refused, so stopping after
            // a partial send (Wine does them) would leave the rest queued with no notice to
            // come. The next send takes more or is refused with 10035, which re-arms it.
        }
    }
    // The connection broke under the send. Close finds CloseInvoked set and stays silent;
    // the one OnSessionClosed carries the send error and comes after the socket is
    // closed (none when it was raised for this connection already).
    const bool raise = !closeInvoked_;
    closeInvoked_ = true;
    Close();
    if (raise) TriggerSessionClosed(std::uint16_t(closedBy));
}

int TWSocket::SendChunk(const char* data, int len) {
    const int flags = SendFlagsValue();
    RequireEntryPoint("send");
    return ps::send(socketHandle_, data, len, flags);
}

// ---- receiving ----------------------------------------------------------------------------

int TWSocket::PendingByteCount() {
    OwnerGuard guard(*this);
    RequireEntryPoint("ioctlsocket");
    std::uint32_t pending = 0;
    if (ps::ioctlsocketFionread(socketHandle_, pending) == ps::kSocketError) {
        RaiseSocketError(u"ioctlSocket");
        return -1;
    }
    return int(std::min<std::uint32_t>(pending, 0x7FFFFFFF));
}

std::string TWSocket::ReceiveText() {
    OwnerGuard guard(*this);
    int n = PendingByteCount();
    if (n < 0) return {};
    if (n == 0) n = 255;
    std::string bytes(std::size_t(n), '\0');
    const int got = ReceiveBytes(bytes.data(), n);
    if (got <= 0) return {};
    bytes.resize(std::size_t(got));
    return bytes;
}

std::size_t TWSocket::ReceiveTextInto(const std::function<char*(std::size_t)>& prepare) {
    OwnerGuard guard(*this);
    int n = PendingByteCount();
    if (n < 0) return 0;
    if (n == 0) n = 255;
    const int got = ReceiveBytes(prepare(std::size_t(n)), n);
    return got > 0 ? std::size_t(got) : 0;
}

int TWSocket::ReceiveBytes(void* buffer, int size) {
    OwnerGuard guard(*this);
    const int n = DoRecv(buffer, size, 0);
    if (n < 0)
        lastError_ = ps::WSAGetLastError();
    else
        readCount_ += n;
    return n;
}

int TWSocket::DoCloseSocket(SOCKET s) { return ps::closesocket(s); }

int TWSocket::DoGetSockOpt(SOCKET s, int option, int* value, int* len) {
    return ps::getsockopt(s, ps::kSolSocket, option, value, len);
}

int TWSocket::DoRecv(void* buffer, int size, int flags) {
    RequireEntryPoint("recv");
    return ps::recv(socketHandle_, buffer, size, flags);
}

void TWSocket::ReceiveLoop(std::uint16_t error, TWSocketOptions options, bool bounded) {
    VBX_EXPECT_LOCK_HELD(OwnerLockRequirement(), "the owner lock, when one is installed");
    const ConnectionSnapshot connection = Snapshot();
    for (int round = 1;; ++round) {
        lastError_ = 0;
        try {
            if (!TriggerDataAvailable(error)) {
                // Nobody reads: throw the pending bytes away so the notices stop.
                char scratch[1460];
                if (DoRecv(scratch, sizeof scratch, 0) < 0) {
                    const int e = ps::WSAGetLastError();
                    if (e == ps::kWsaEWouldBlock) {
                        lastError_ = 0;
                        return;
                    }
                    lastError_ = e;
                }
            }
        } catch (...) {
            // A failing data handler ends this delivery; the connection stays as it is
            // and nothing reports it.
            return;
        }
        // A connection the handler started after closing this one is not this loop's. A
        // plain close goes on: the query below fails on the released handle, ends the loop
        // and leaves its error in LastError.
        if (!connection.Current() && socketHandle_ != ps::kInvalidSocket) return;
        if (options.Contains(TWSocketOption::wsoNoReceiveLoop)) return;
        if (lastError_ != 0) {
            if (lastError_ == -1) lastError_ = 0;
            return;
        }
        std::uint32_t pending = 0;
        RequireEntryPoint("ioctlsocket");
        if (ps::ioctlsocketFionread(socketHandle_, pending) == ps::kSocketError) {
            lastError_ = ps::WSAGetLastError();
            return;
        }
        if (pending == 0) return;
        if (bounded && round >= kMaxReceiveRounds) {
            // A peer that sends as fast as we read would keep this notice (and the owner
            // lock) forever, starving the owner's other messages and the threads waiting
            // to Close. The rest continues with a read notice queued behind them.
            platform::PostReservedMessage(Handle(), msgAsyncSelect_, socketHandle_,
                                          std::intptr_t(ps::kFdRead | (std::uint32_t(error) << 16)));
            return;
        }
    }
}

// ---- notices ------------------------------------------------------------------------------

std::intptr_t TWSocket::HandleWindowMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
    VBX_EXPECT_OWNER_THREAD(OwningThread(), "the socket's owning thread");
    if (msg == MsgRelease()) return TIcsWndControl::HandleWindowMessage(msg, wParam, lParam);
    if (msg == platform::kWmTimer && wParam != msgAsyncSelect_) return 0;
    OwnerGuard guard(*this);
    try {
        if (msg == platform::kWmTimer) {
            HandleConnectTimer();
        } else if (msg == msgAsyncSelect_) {
            HandleSelectEvent(wParam, lParam);
        } else if (msg == msgCloseDelayed_) {
            Close();
        } else if (msg == msgTriggerException_) {
            throw ESocketException(u"Test exception in WSocket");
        } else if (msg == msgAsyncGetHostByName_ || msg == msgAsyncGetHostByAddr_ || msg == msgTriggerDataAvailable_) {
            // No asynchronous lookup and no line mode: nothing is waiting for these.
        } else {
            return TIcsWndControl::HandleWindowMessage(msg, wParam, lParam);
        }
    } catch (const runtime::Exception& e) {
        HandleBackgroundError(e);
    } catch (const std::exception& e) {
        // Library errors (out of memory, a bad conversion in a handler) belong to the same
        // family: they must not leave a half-handled connection open either.
        HandleBackgroundError(runtime::Exception(txt::FromUtf8(e.what())));
    }
    return 0;
}

void TWSocket::MarkHandleReleased(SOCKET handle) {
    if (destroying_ || Handle() == 0) return;
    VBX_EXPECT_LOCK_HELD(OwnerLockRequirement(), "the owner lock, when one is installed");
    // Posted after the platform released the handle, so it queues behind every notice
    // the platform posted for that connection (and behind the socket's own).
    if (platform::PostReservedMessage(Handle(), msgAsyncSelect_, handle, 0)) ++releasedHandles_[handle];
}

void TWSocket::HandleSelectEvent(std::uintptr_t wParam, std::intptr_t lParam) {
    VBX_EXPECT_OWNER_THREAD(OwningThread(), "the socket's owning thread");
    VBX_EXPECT_LOCK_HELD(OwnerLockRequirement(), "the owner lock, when one is installed");
    const SOCKET handle = SOCKET(wParam);
    const std::uint32_t events = std::uint32_t(lParam) & 0xFFFF;
    if (auto released = releasedHandles_.find(handle); released != releasedHandles_.end()) {
        // A notice of a connection that was closed, even if a newer one has the same
        // handle: that one's notices all come after the mark, which ends the dropping.
        if (events == 0 && --released->second == 0) releasedHandles_.erase(released);
        return;
    }
    // A late notice for another socket, a stray mark, or a paused socket: ignored.
    if (events == 0 || handle != socketHandle_ || paused_) return;
    const std::uint16_t error = std::uint16_t((std::uint32_t(lParam) >> 16) & 0xFFFF);
    // Each step may close the socket (and a handler may connect again, perhaps under the
    // same handle value); the bits after it then belong to a connection that is gone.
    const ConnectionSnapshot connection = Snapshot();
    if (events & ps::kFdConnect) HandleConnectEvent(error);
    if ((events & ps::kFdRead) && connection.Current()) HandleReadEvent(error);
    if ((events & ps::kFdWrite) && connection.Current()) HandleWriteEvent(error);
    if ((events & ps::kFdAccept) && connection.Current()) TriggerSessionAvailable(error);
    if ((events & ps::kFdClose) && connection.Current()) HandleCloseEvent(error);
}

void TWSocket::HandleConnectEvent(std::uint16_t error) {
    if (State() == TSocketState::wsConnected) return;
    const ConnectionSnapshot connection = Snapshot();
    SetState(TSocketState::wsConnected);
    if (!connection.Current()) return;
    TriggerSessionConnected(error);
    // A handler that closed (and perhaps connected again) has dealt with this attempt.
    if (!connection.Current()) return;
    if (error != 0 && State() != TSocketState::wsClosed) Close();
}

void TWSocket::HandleReadEvent(std::uint16_t error) {
    const ConnectionSnapshot connection = Snapshot();
    if (State() != TSocketState::wsConnected) {
        SetState(TSocketState::wsConnected);
        if (connection.Current()) TriggerSessionConnected(error);
        if (!connection.Current()) return;
    }
    ReceiveLoop(error, componentOptions_, true);
}

void TWSocket::HandleWriteEvent(std::uint16_t error) {
    const ConnectionSnapshot connection = Snapshot();
    TryToSend();
    if (allSent_ && connection.Current()) TriggerDataSent(error);
}

void TWSocket::HandleCloseEvent(std::uint16_t error) {
    if (State() == TSocketState::wsConnecting || socketHandle_ == ps::kInvalidSocket) return;
    const ConnectionSnapshot connection = Snapshot();
    // Drain what is still pending: OnDataAvailable at least once more.
    // The peer has closed, so the drain ends by itself.
    ReceiveLoop(0, componentOptions_.Without(TWSocketOption::wsoNoReceiveLoop), false);
    // A data handler that closed has raised OnSessionClosed through Close; one that then
    // connected again owns a new connection this notice knows nothing of.
    if (!connection.Current()) return;
    if (!closeInvoked_) {
        closeInvoked_ = true;
        TriggerSessionClosed(error);
        if (!connection.Current()) return;
    }
    if (State() != TSocketState::wsClosed) Close();
}

// ---- closing ------------------------------------------------------------------------------

void TWSocket::Close() {
    OwnerGuard guard(*this);
    ReleaseSocket(true, 0);
}

void TWSocket::Abort() {
    OwnerGuard guard(*this);
    AbortConnection();
}

void TWSocket::CloseDelayed() { platform::PostReservedMessage(Handle(), msgCloseDelayed_, 0, 0); }

void TWSocket::Shutdown(int how) {
    OwnerGuard guard(*this);
    if (socketHandle_ == ps::kInvalidSocket) return;
    RequireEntryPoint("shutdown");
    ps::shutdown(socketHandle_, how);
}

void TWSocket::ReleaseSocket(bool shutFirst, std::uint16_t error) {
    if (socketHandle_ == ps::kInvalidSocket) {
        if (State() != TSocketState::wsClosed) {
            SetState(TSocketState::wsClosed);
            ResetToDefaults();
        }
        return;
    }
    if (State() == TSocketState::wsClosed) return;
    if (shutFirst) {
        RequireEntryPoint("shutdown");
        ps::shutdown(socketHandle_, 1);  // the result does not matter: the handle goes anyway
    }
    RequireEntryPoint("closesocket");
    const ConnectionSnapshot closing = Snapshot();
    for (int attempt = 1; DoCloseSocket(socketHandle_) == ps::kSocketError; ++attempt) {
        const int code = ps::WSAGetLastError();
        if (code == ps::kWsaEWouldBlock && attempt <= kMaxCloseAttempts) {
            // A close that would block waits for a linger timeout; let the thread's other
            // messages through meanwhile. Those may include this socket's own notices,
            // whose handlers may close it (or close it and connect again): then this close
            // has nothing left to do.
            PumpMessages();
            if (!closing.Current()) return;
            if (attempt == kMaxCloseAttempts) {
                // Bounded: the last try closes in the background instead (linger off
                // never blocks), so the handle is released rather than kept or forgotten.
                const ps::Linger off;
                ps::setsockopt(socketHandle_, ps::kSolSocket, ps::kSoLinger, &off, sizeof off);
            }
            continue;
        }
        lastError_ = code;
        MarkHandleReleased(socketHandle_);
        socketHandle_ = ps::kInvalidSocket;
        NextConnection();
        if (code == ps::kWsaNotInitialised) break;
        return RaiseSocketError(u"Disconnect (closesocket)");
    }
    if (socketHandle_ != ps::kInvalidSocket) MarkHandleReleased(socketHandle_);
    socketHandle_ = ps::kInvalidSocket;
    const ConnectionSnapshot connection = NextConnection();
    SetState(TSocketState::wsClosed);
    // From here on a handler may have connected again: its connection is left alone (the
    // reset would forget its handle and leak the platform socket).
    if (!connection.Current()) return;
    if (!destroying_ && !closeInvoked_) {
        closeInvoked_ = true;
        try {
            TriggerSessionClosed(error);
        } catch (...) {
            // The socket is closed either way: without the reset the next connection
            // would keep CloseInvoked and never raise its own OnSessionClosed.
            if (connection.Current()) {
                try {
                    ResetToDefaults();
                } catch (...) {}
            }
            throw;
        }
        if (!connection.Current()) return;
    }
    try {
        ResetToDefaults();
    } catch (...) {}
}

void TWSocket::AbortConnection() {
    DiscardSendBuffer();
    if (State() == TSocketState::wsConnected && protoNum_ == ps::kIpProtoTcp) {
        lingerOnOff_ = TSocketLingerOnOff::wsLingerOff;
        ApplyLingerOption();
    }
    ReleaseSocket(false, 0);
}

// ---- thread hand-over -----------------------------------------------------------------------

void TWSocket::ThreadDetach() {
    if (Handle() != 0 && platform::CurrentThreadId() != ThreadId())
        throw EIcsException(u"Cannot detach from another thread");
    if (Handle() != 0 && socketHandle_ != ps::kInvalidSocket) {
        RequireEntryPoint("WSAAsyncSelect");
        ps::WSAAsyncSelect(socketHandle_, Handle(), 0, 0);
    }
    // The marks still queued on this thread will never reach the socket again, nor will
    // the connect timer's ticks.
    releasedHandles_.clear();
    StopConnectTimer();
    connectTickPosted_ = false;
    TIcsWndControl::ThreadDetach();
}

void TWSocket::ThreadAttach() {
    TIcsWndControl::ThreadAttach();
    if (socketHandle_ != ps::kInvalidSocket) {
        RequireEntryPoint("WSAAsyncSelect");
        ps::WSAAsyncSelect(socketHandle_, Handle(), msgAsyncSelect_, selectEvents_);
    }
    if (State() == TSocketState::wsConnecting && connectDeadline_ != 0)
        connectTickPosted_ = platform::PostReservedMessage(Handle(), platform::kWmTimer, msgAsyncSelect_, 0);
}

// ---- event raisers ------------------------------------------------------------------------

bool TWSocket::TriggerDataAvailable(std::uint16_t error) {
    if (!OnDataAvailable) return false;
    HandlerScope scope(*this);
    OnDataAvailable(*this, error);
    return true;
}

void TWSocket::TriggerSessionConnected(std::uint16_t error) {
    if (!OnSessionConnected) return;
    HandlerScope scope(*this);
    OnSessionConnected(*this, error);
}

void TWSocket::TriggerSessionClosed(std::uint16_t error) {
    if (!OnSessionClosed) return;
    HandlerScope scope(*this);
    OnSessionClosed(*this, error);
}

void TWSocket::TriggerDataSent(std::uint16_t error) {
    if (!OnDataSent) return;
    HandlerScope scope(*this);
    OnDataSent(*this, error);
}

void TWSocket::TriggerChangeState(TSocketState oldState, TSocketState newState) {
    if (!OnChangeState) return;
    HandlerScope scope(*this);
    OnChangeState(*this, oldState, newState);
}

void TWSocket::TriggerError() {
    if (!OnError) return;
    HandlerScope scope(*this);
    OnError(*this);
}

void TWSocket::TriggerSessionAvailable(std::uint16_t error) {
    if (!OnSessionAvailable) return;
    HandlerScope scope(*this);
    OnSessionAvailable(*this, error);
}

void TWSocket::TriggerSendData(int bytesSent) {
    if (!OnSendData) return;
    HandlerScope scope(*this);
    OnSendData(*this, bytesSent);
}

}  // namespace net
