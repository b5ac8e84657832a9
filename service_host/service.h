#pragma once
// TService: the service base. It keeps the service's state and reports every change of it
// to the service control manager, runs the control thread (TServiceThread) that calls the
// start handler and then serves control codes and the window messages of the objects it
// owns (timer events), and turns errors escaping the handlers into event-log entries.
//
// Threading contract:
// - Construction, the installation properties and the handler slots: the main thread,
//   before the service runs.
// - EnterServiceMain: the platform's service-main thread; it returns when the service has
//   stopped. RunControlThread runs there too.
// - PostControl: any thread (the dispatcher thread); it only posts and never waits.
// - Every handler, every control code and every report but the first start-pending and the
//   final stopped one: the control thread. Once a stop has succeeded or a shutdown was
//   taken, the codes still queued are taken but run no stop, shutdown, pause or continue
//   handler (the service ends once). The service-main thread reports only before the
//   control thread exists and after it has ended, so reports never overlap.
// - WriteEvent: any thread, also several at once.
// - The heartbeat (HeartbeatTarget, for TServiceWatchdog): EnableHeartbeats before the
//   service runs; PostHeartbeat, AnsweredHeartbeat, ControlThreadSuspended and
//   ControlThreadProgress from any thread. The control thread's long steps mark their
//   progress (platform/progress.h) into the record ControlThreadProgress reads. The
//   heartbeat window lives on the control thread while its body runs.
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/contracts.h"
#include "platform/messages.h"
#include "platform/progress.h"
#include "service_host/event_logger.h"
#include "service_host/host_api.h"
#include "service_host/watchdog.h"

namespace service_host {

class TService;
class TServiceApplication;

// The service's state; the values are what the platform is told.
enum class TServiceState : std::uint32_t {
    ssStopped = 1,
    ssStartPending = 2,
    ssStopPending = 3,
    ssRunning = 4,
    ssContinuePending = 5,
    ssPausePending = 6,
    ssPaused = 7,
};

enum class TServiceType { stWin32, stDevice, stFileSystem };
enum class TStartType { stBoot, stSystem, stAuto, stManual, stDisabled };
enum class TErrorSeverity { esIgnore, esNormal, esSevere, esCritical };

struct TDependency {
    std::u16string Name;
    bool IsGroup = false;
};
using TDependencies = std::vector<TDependency>;

using TStartEvent = std::function<void(TService& sender, bool& started)>;
using TStopEvent = std::function<void(TService& sender, bool& stopped)>;
using TPauseEvent = std::function<void(TService& sender, bool& paused)>;
using TContinueEvent = std::function<void(TService& sender, bool& continued)>;
using TServiceEvent = std::function<void(TService& sender)>;

// The thread message that carries a control code to the control thread (wParam).
constexpr std::uint32_t ServiceControlMessage = platform::kWmUser + 1;

// The control thread. Created suspended: Resume starts it.
class TServiceThread {
public:
    explicit TServiceThread(TService& service) : service_(service) {}
    ~TServiceThread();
    TServiceThread(const TServiceThread&) = delete;
    TServiceThread& operator=(const TServiceThread&) = delete;

    void Resume();
    void WaitFor();
    // The terminate flag: set by the stop and shutdown handling on the control thread.
    void Terminate() { terminated_.store(true); }
    bool Terminated() const { return terminated_.load(); }

    // Serves control codes and window messages. With `wait`, blocks for the next message
    // and leaves on the terminate flag or the quit message; without, leaves when the queue
    // is empty.
    void PumpRequests(bool wait);

private:
    void Execute();

    TService& service_;
    std::thread thread_;
    std::atomic<bool> terminated_{false};
};

class TService : public HeartbeatTarget {
public:
    // `owner` may be null (tests); it decides the shared-process service type.
    TService(TServiceApplication* owner, std::u16string name, ServiceManagerApi& manager = PlatformServiceManager(),
             EventLogApi& eventLog = PlatformEventLog());
    virtual ~TService();
    TService(const TService&) = delete;
    TService& operator=(const TService&) = delete;

    // Installation properties.
    const std::u16string Name;
    std::u16string DisplayName;
    TServiceType ServiceType = TServiceType::stWin32;
    TStartType StartType = TStartType::stAuto;
    TErrorSeverity ErrorSeverity = TErrorSeverity::esNormal;
    std::u16string LoadGroup;
    std::uint32_t TagID = 0;
    TDependencies Dependencies;
    // Interactive and an account exclude each other.
    bool Interactive() const { return interactive_; }
    void SetInteractive(bool value);
    const std::u16string& ServiceStartName() const { return serviceStartName_; }
    void SetServiceStartName(const std::u16string& value);
    const std::u16string& Password() const { return password_; }
    void SetPassword(const std::u16string& value);
    // What the manager shows of the service and does when its process fails, set after the
    // registration; empty (no text, no actions) leaves the manager's defaults.
    std::u16string Description;
    platform::ServiceFailureActions FailureActions;

    // Control properties.
    bool AllowStop = true;
    bool AllowPause = true;
    int WaitHint = 5000;

    // Handler slots. Assigning a stop handler sets AllowStop, a pause or continue handler
    // AllowPause.
    void SetOnStart(TStartEvent handler);
    void SetOnStop(TStopEvent handler);
    void SetOnPause(TPauseEvent handler);
    void SetOnContinue(TContinueEvent handler);
    void SetOnShutdown(TServiceEvent handler);
    TServiceEvent BeforeInstall;
    TServiceEvent AfterInstall;
    TServiceEvent BeforeUninstall;
    TServiceEvent AfterUninstall;
    // Called with the state of every status report just before it goes to the manager, on
    // the reporting thread (the control thread; the service-main thread for the first and
    // the final report): a manager may end the process as soon as it learns of the stop.
    // Set before the service runs.
    std::function<void(TServiceState state)> BeforeStatusReport;

    // Installation values in the platform's terms.
    std::uint32_t PlatformServiceType() const;
    std::uint32_t PlatformStartType() const;
    std::uint32_t PlatformErrorControl() const;
    std::u16string DependencyList() const;

    // The event log under the service's Name; the category's low 16 bits are passed on.
    void WriteEvent(const std::u16string& message, std::uint32_t eventType, int category, int eventId);

    void EnterServiceMain(std::uint32_t argc, char16_t** argv);
    void PostControl(std::uint32_t code);
    void SetState(TServiceState state);
    void ReportState();
    std::uint32_t ControlsAccepted() const;
    TServiceState State() const { return state_.load(); }
    // True once the start handler has raised: the stopped report then carries
    // kErrorServiceSpecificError with kStartFailedExitCode, and the process ends with 1.
    bool StartFailed() const { return startFailed_.load(); }
    static constexpr std::uint32_t kStartFailedExitCode = 1;
    // The operator's text after the state name (systemd's status line), for the state last
    // set; any thread. It is no status report: the manager may drop it.
    void RefreshStatusText(const std::u16string& text);

    // The watchdog's heartbeat, answered by the control thread's loop itself.
    void EnableHeartbeats() override { heartbeatsEnabled_.store(true); }
    bool PostHeartbeat(std::uint64_t serial) override;
    std::uint64_t AnsweredHeartbeat() const override { return answeredHeartbeat_.load(); }
    bool ControlThreadSuspended() const override { return suspended_.load(); }
    std::uint64_t ControlThreadProgress() const override { return controlProgress_.LastMark(); }

    // The entry point that receives control codes from the platform.
    virtual platform::HandlerFunction ControlHandlerEntry() = 0;

protected:
    virtual void RunControlThread();
    virtual bool HandleStop();
    virtual bool HandlePause();
    virtual bool HandleContinue();
    virtual void HandleInterrogate();
    virtual void HandleShutdown();
    virtual bool HandleCustomControl(std::uint32_t code);

private:
    friend class TServiceThread;
    void ControlThreadBody(TServiceThread& thread);
    void HandleControlCode(std::uint32_t code);
    // True once a stop has succeeded or a shutdown was taken (the terminate flag is set):
    // from then on no stop, shutdown, pause or continue handler runs again.
    bool Ending() const;
    void LogFailure(const char16_t* action, const std::exception& error);

    TServiceApplication* const owner_;
    ServiceManagerApi& manager_;
    EventLogApi& eventLog_;
    CreatedOnFirstUse<TEventLogger> logger_;

    bool interactive_ = false;
    std::u16string serviceStartName_;
    std::u16string password_;

    TStartEvent onStart_;
    TStopEvent onStop_;
    TPauseEvent onPause_;
    TContinueEvent onContinue_;
    TServiceEvent onShutdown_;

    std::atomic<TServiceState> state_{TServiceState::ssStopped};
    std::atomic<bool> startFailed_{false};
    platform::ServiceStatusHandle statusHandle_ = 0;
    // Set while the control thread's queue exists; PostControl drops codes otherwise.
    std::atomic<platform::ThreadId> controlThreadId_{0};
    TServiceThread* controlThread_ = nullptr;  // the object RunControlThread owns
    // The previous report (one service per process, so this is the process's memory).
    TServiceState lastReportedState_ = TServiceState::ssStartPending;
    std::uint32_t lastCheckPoint_ = 0;

    std::atomic<bool> heartbeatsEnabled_{false};
    // The control thread's heartbeat window while it exists; 0 otherwise.
    std::atomic<platform::WindowHandle> heartbeatWindow_{0};
    std::atomic<std::uint64_t> answeredHeartbeat_{0};
    // True while a successful pause holds the control thread in its suspended wait.
    std::atomic<bool> suspended_{false};
    // The progress marks of the control thread's long steps.
    platform::ThreadProgress controlProgress_;

    // The threads of the contract above, checked at run time: the constructing (main)
    // thread, the service-main thread, and the control thread while it runs (the
    // service-main thread's reports come before and after it).
    platform::OwnerThread mainThread_;
    platform::OwnerThread serviceMainThread_{platform::OwnerThread::Start::kDetached};
    platform::OwnerThread controlThreadOwner_{platform::OwnerThread::Start::kDetached};
};

}  // namespace service_host
