#include "service_host/service.h"

#include "platform/system.h"
#include "runtime/errors.h"
#include "service_host/service_application.h"
#include "text/strings.h"

namespace service_host {

// ---- TServiceThread -----------------------------------------------------------------

TServiceThread::~TServiceThread() {
    if (thread_.joinable()) thread_.join();
}

void TServiceThread::Resume() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Execute(); });
}

void TServiceThread::WaitFor() {
    if (thread_.joinable()) thread_.join();
}

void TServiceThread::Execute() { service_.ControlThreadBody(*this); }

void TServiceThread::PumpRequests(bool wait) {
    platform::Message msg;
    for (;;) {
        if (wait && Terminated()) return;
        if (wait) {
            if (!platform::GetMessage(msg)) return;
        } else if (!platform::PeekMessage(msg, true)) {
            return;
        }
        if (msg.window == 0 && msg.message == ServiceControlMessage) {
            service_.HandleControlCode(static_cast<std::uint32_t>(msg.wParam));
        } else if (msg.message != platform::kWmQuit) {
            platform::DispatchMessage(msg);
        }
    }
}

// ---- TService: properties -----------------------------------------------------------

TService::TService(TServiceApplication* owner, std::u16string name, ServiceManagerApi& manager, EventLogApi& eventLog)
    : Name(std::move(name)), owner_(owner), manager_(manager), eventLog_(eventLog) {}

TService::~TService() = default;

void TService::SetInteractive(bool value) {
    VBX_EXPECT_OWNER_THREAD(mainThread_, "the main thread, before the service runs");
    interactive_ = value;
    if (value) {
        password_.clear();
        serviceStartName_.clear();
    }
}

void TService::SetServiceStartName(const std::u16string& value) {
    VBX_EXPECT_OWNER_THREAD(mainThread_, "the main thread, before the service runs");
    serviceStartName_ = value;
    if (!value.empty()) interactive_ = false;
}

void TService::SetPassword(const std::u16string& value) {
    VBX_EXPECT_OWNER_THREAD(mainThread_, "the main thread, before the service runs");
    password_ = value;
    if (!value.empty()) interactive_ = false;
}

void TService::SetOnStart(TStartEvent handler) {
    VBX_EXPECT_OWNER_THREAD(mainThread_, "the main thread, before the service runs");
    onStart_ = std::move(handler);
}

void TService::SetOnShutdown(TServiceEvent handler) {
    VBX_EXPECT_OWNER_THREAD(mainThread_, "the main thread, before the service runs");
    onShutdown_ = std::move(handler);
}

void TService::SetOnStop(TStopEvent handler) {
    VBX_EXPECT_OWNER_THREAD(mainThread_, "the main thread, before the service runs");
    onStop_ = std::move(handler);
    if (onStop_) AllowStop = true;
}

void TService::SetOnPause(TPauseEvent handler) {
    VBX_EXPECT_OWNER_THREAD(mainThread_, "the main thread, before the service runs");
    onPause_ = std::move(handler);
    if (onPause_) AllowPause = true;
}

void TService::SetOnContinue(TContinueEvent handler) {
    VBX_EXPECT_OWNER_THREAD(mainThread_, "the main thread, before the service runs");
    onContinue_ = std::move(handler);
    if (onContinue_) AllowPause = true;
}

std::uint32_t TService::PlatformServiceType() const {
    switch (ServiceType) {
    case TServiceType::stDevice: return platform::kServiceKernelDriver;
    case TServiceType::stFileSystem: return platform::kServiceFileSystemDriver;
    case TServiceType::stWin32: break;
    }
    std::uint32_t type = owner_ != nullptr && owner_->CountServices() > 1 ? platform::kServiceWin32ShareProcess
                                                                          : platform::kServiceWin32OwnProcess;
    if (interactive_) type |= platform::kServiceInteractiveProcess;
    return type;
}

std::uint32_t TService::PlatformStartType() const {
    switch (StartType) {
    case TStartType::stBoot:
        return ServiceType == TServiceType::stDevice ? platform::kServiceBootStart : platform::kServiceAutoStart;
    case TStartType::stSystem:
        return ServiceType == TServiceType::stDevice ? platform::kServiceSystemStart : platform::kServiceAutoStart;
    case TStartType::stAuto: return platform::kServiceAutoStart;
    case TStartType::stManual: return platform::kServiceDemandStart;
    case TStartType::stDisabled: return platform::kServiceDisabled;
    }
    return platform::kServiceAutoStart;
}

std::uint32_t TService::PlatformErrorControl() const { return static_cast<std::uint32_t>(ErrorSeverity); }

std::u16string TService::DependencyList() const {
    if (Dependencies.empty()) return {};
    std::u16string list;
    for (const TDependency& dependency : Dependencies) {
        if (dependency.IsGroup) list += u'+';
        list += dependency.Name;
        list += u'\0';
    }
    list += u'\0';
    return list;
}

// ---- TService: event log ------------------------------------------------------------

void TService::WriteEvent(const std::u16string& message, std::uint32_t eventType, int category, int eventId) {
    try {
        TEventLogger& logger = logger_.Get([this] { return new TEventLogger(Name, eventLog_); });
        logger.WriteEvent(message, eventType, static_cast<std::uint16_t>(category & 0xFFFF),
                          static_cast<std::uint32_t>(eventId));
    } catch (...) {
        // Only the writer's creation can fail here (out of memory); the entry is lost, as
        // writing to the event log never fails towards the caller.
    }
}

void TService::LogFailure(const char16_t* action, const std::exception& error) {
    WriteEvent(txt::FormatS(u"Service failed on %s: %s", {action, runtime::MessageOf(error)}),
               platform::kEventLogErrorType, 0, 0);
}

// ---- TService: status ---------------------------------------------------------------

std::uint32_t TService::ControlsAccepted() const {
    std::uint32_t accepted = platform::kServiceAcceptShutdown;
    if (AllowStop) accepted |= platform::kServiceAcceptStop;
    if (AllowPause) accepted |= platform::kServiceAcceptPauseContinue;
    return accepted;
}

void TService::SetState(TServiceState state) {
    VBX_EXPECT_OWNER_THREAD(controlThreadOwner_, "the control thread");
    state_.store(state);
    ReportState();
}

void TService::ReportState() {
    VBX_EXPECT_OWNER_THREAD(controlThreadOwner_, "the control thread");
    const TServiceState state = state_.load();
    const bool pending = state == TServiceState::ssStartPending || state == TServiceState::ssStopPending ||
                         state == TServiceState::ssContinuePending || state == TServiceState::ssPausePending;
    platform::ServiceStatus status;
    status.dwServiceType = PlatformServiceType();
    status.dwCurrentState = static_cast<std::uint32_t>(state);
    status.dwControlsAccepted = state == TServiceState::ssStartPending ? 0 : ControlsAccepted();
    // A start that failed ends as a failure, so that the manager's recovery starts the
    // service again; every other stop is a clean one.
    const bool failed = state == TServiceState::ssStopped && startFailed_.load();
    status.dwWin32ExitCode = failed ? platform::kErrorServiceSpecificError : 0;
    status.dwServiceSpecificExitCode = failed ? kStartFailedExitCode : 0;
    status.dwCheckPoint = pending && state == lastReportedState_ ? lastCheckPoint_ + 1 : 0;
    status.dwWaitHint = static_cast<std::uint32_t>(WaitHint);
    lastReportedState_ = state;
    lastCheckPoint_ = status.dwCheckPoint;
    if (BeforeStatusReport) BeforeStatusReport(state);
    if (!manager_.SetServiceStatus(statusHandle_, status)) {
        WriteEvent(platform::SystemErrorText(manager_.GetLastError()), platform::kEventLogErrorType, 0, 0);
    }
}

void TService::RefreshStatusText(const std::u16string& text) {
    // Best effort: a text the manager drops is replaced by the next cycle's.
    manager_.SetServiceStatusText(static_cast<std::uint32_t>(state_.load()), text);
}

// ---- TService: service main and control thread --------------------------------------

void TService::EnterServiceMain(std::uint32_t /*argc*/, char16_t** /*argv*/) {
    VBX_EXPECT_OWNER_THREAD(serviceMainThread_, "the service-main thread");
    statusHandle_ = manager_.RegisterServiceCtrlHandler(Name, ControlHandlerEntry());
    if (statusHandle_ == 0) {
        WriteEvent(platform::SystemErrorText(manager_.GetLastError()), platform::kEventLogErrorType, 0, 0);
        return;
    }
    RunControlThread();
}

void TService::RunControlThread() {
    VBX_EXPECT_OWNER_THREAD(serviceMainThread_, "the service-main thread");
    try {
        SetState(TServiceState::ssStartPending);
        try {
            auto thread = std::make_unique<TServiceThread>(*this);
            controlThread_ = thread.get();
            thread->Resume();
            thread->WaitFor();
            controlThreadId_.store(0);
            controlThreadOwner_.Detach();
            controlThread_ = nullptr;
        } catch (...) {
            controlThreadId_.store(0);
            controlThreadOwner_.Detach();
            controlThread_ = nullptr;
            SetState(TServiceState::ssStopped);
            throw;
        }
        SetState(TServiceState::ssStopped);
    } catch (const std::exception& error) {
        LogFailure(u"execute", error);
    }
}

namespace {

// The control thread's heartbeat window, published for PostHeartbeat while the thread's
// body runs; it is withdrawn before the window goes, and a post that still finds the old
// handle fails on the destroyed window.
class HeartbeatScope {
public:
    HeartbeatScope(bool enabled, std::atomic<std::uint64_t>& answered, std::atomic<platform::WindowHandle>& published)
        : published_(published) {
        if (!enabled) return;
        window_ = std::make_unique<THeartbeatWindow>(answered);
        published_.store(window_->Handle());
    }
    ~HeartbeatScope() { published_.store(0); }
    HeartbeatScope(const HeartbeatScope&) = delete;
    HeartbeatScope& operator=(const HeartbeatScope&) = delete;

private:
    std::atomic<platform::WindowHandle>& published_;
    std::unique_ptr<THeartbeatWindow> window_;
};

}  // namespace

void TService::ControlThreadBody(TServiceThread& thread) {
    // The queue exists before the thread is made known, so a posted code is never lost
    // and a code that comes earlier is dropped by PostControl.
    platform::EnsureMessageQueue();
    const HeartbeatScope heartbeat(heartbeatsEnabled_.load(), answeredHeartbeat_, heartbeatWindow_);
    const platform::WatchProgress progress(controlProgress_);
    controlThreadOwner_.Bind();
    controlThreadId_.store(platform::CurrentThreadId());
    try {
        SetState(TServiceState::ssStartPending);
        bool started = true;
        if (onStart_) onStart_(*this, started);
        if (!started) return;
    } catch (const std::exception& error) {
        startFailed_.store(true);
        LogFailure(u"start", error);
        return;
    }
    try {
        SetState(TServiceState::ssRunning);
        thread.PumpRequests(true);
        thread.PumpRequests(false);
    } catch (const std::exception& error) {
        LogFailure(u"execute", error);
    }
}

void TService::PostControl(std::uint32_t code) {
    // Posting wakes a paused control thread as well (it waits for the next thread
    // message); without a control thread the code is dropped. The service's own codes
    // (stop to shutdown) use the room a full queue keeps, so a flood of custom codes
    // cannot make it lose a stop; a custom code meets the queue's ordinary bound.
    const platform::ThreadId thread = controlThreadId_.load();
    if (thread == 0) return;
    if (code >= platform::kServiceControlStop && code <= platform::kServiceControlShutdown)
        platform::PostReservedThreadMessage(thread, ServiceControlMessage, code, 0);
    else
        platform::PostThreadMessage(thread, ServiceControlMessage, code, 0);
}

bool TService::PostHeartbeat(std::uint64_t serial) {
    const platform::WindowHandle window = heartbeatWindow_.load();
    return window != 0 &&
           platform::PostMessage(window, ServiceHeartbeatMessage, static_cast<std::uintptr_t>(serial), 0);
}

bool TService::Ending() const { return controlThread_ != nullptr && controlThread_->Terminated(); }

void TService::HandleControlCode(std::uint32_t code) {
    VBX_EXPECT_OWNER_THREAD(controlThreadOwner_, "the control thread");
    static const char16_t* const kActions[] = {u"stop", u"pause", u"continue", u"interrogate", u"shutdown"};
    // A stop that succeeded or a shutdown that was taken ends the service once: the drain
    // still takes every queued code, but a second stop or shutdown handler, a pause that
    // would suspend a thread about to end, or a continue has nothing left to act on.
    // Interrogate and custom codes are served as before (interrogate reports the ending state).
    if (Ending() && (code == platform::kServiceControlStop || code == platform::kServiceControlPause ||
                     code == platform::kServiceControlContinue || code == platform::kServiceControlShutdown)) {
        return;
    }
    const TServiceState oldState = state_.load();
    try {
        bool ok = true;
        switch (code) {
        case platform::kServiceControlStop: ok = HandleStop(); break;
        case platform::kServiceControlPause: ok = HandlePause(); break;
        case platform::kServiceControlContinue: ok = HandleContinue(); break;
        case platform::kServiceControlInterrogate: HandleInterrogate(); break;
        case platform::kServiceControlShutdown: HandleShutdown(); break;
        default: ok = HandleCustomControl(code); break;
        }
        if (!ok) SetState(oldState);
    } catch (const std::exception& error) {
        if (code != platform::kServiceControlShutdown) SetState(oldState);
        const std::u16string action = code >= 1 && code <= 5 ? std::u16string(kActions[code - 1]) : txt::IntToStr(code);
        LogFailure(action.c_str(), error);
    }
}

bool TService::HandleStop() {
    VBX_EXPECT_OWNER_THREAD(controlThreadOwner_, "the control thread");
    bool stopped = true;
    SetState(TServiceState::ssStopPending);
    if (onStop_) onStop_(*this, stopped);
    if (stopped && controlThread_ != nullptr) controlThread_->Terminate();
    return stopped;
}

bool TService::HandlePause() {
    VBX_EXPECT_OWNER_THREAD(controlThreadOwner_, "the control thread");
    bool paused = true;
    SetState(TServiceState::ssPausePending);
    if (onPause_) onPause_(*this, paused);
    if (paused) {
        // From the paused report on, the thread serves nothing until the next control code;
        // a code posted right after the report is already in the queue and ends the wait at
        // once. A heartbeat is a window message and does not end it: it waits for the
        // continue, and meanwhile the watchdog vouches for a thread that only waits.
        suspended_.store(true);
        SetState(TServiceState::ssPaused);
        platform::SuspendUntilThreadMessage();
        suspended_.store(false);
    }
    return paused;
}

bool TService::HandleContinue() {
    VBX_EXPECT_OWNER_THREAD(controlThreadOwner_, "the control thread");
    bool continued = true;
    SetState(TServiceState::ssContinuePending);
    if (onContinue_) onContinue_(*this, continued);
    if (continued) SetState(TServiceState::ssRunning);
    return continued;
}

void TService::HandleInterrogate() {
    VBX_EXPECT_OWNER_THREAD(controlThreadOwner_, "the control thread");
    ReportState();
}

void TService::HandleShutdown() {
    VBX_EXPECT_OWNER_THREAD(controlThreadOwner_, "the control thread");
    SetState(TServiceState::ssStopPending);
    try {
        if (onShutdown_) onShutdown_(*this);
    } catch (...) {
        if (controlThread_ != nullptr) controlThread_->Terminate();
        throw;
    }
    if (controlThread_ != nullptr) controlThread_->Terminate();
}

bool TService::HandleCustomControl(std::uint32_t /*code*/) {
    VBX_EXPECT_OWNER_THREAD(controlThreadOwner_, "the control thread");
    return true;
}

}  // namespace service_host
