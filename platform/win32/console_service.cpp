// The console stand-in for the service control manager: serves the service in the
// foreground of a console.
#include "platform/win32/console_service.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/win32/win32.h"

namespace platform::win32 {
namespace {

// Serves one service in the foreground: its service main runs on a thread of its own, as
// the manager would run it, and the dispatcher thread passes control codes from the
// console (Ctrl+C, Ctrl+Break, closing the window) to the registered handler with the
// manager's rules for which codes a state accepts (ControlGate): after a stop or a
// shutdown nothing more is passed until the service reports that it goes on running.
class ConsoleStandIn {
public:
    static ConsoleStandIn& Instance() {
        static ConsoleStandIn instance;
        return instance;
    }

    bool Run(const std::vector<ServiceTableEntry>& table);
    ServiceStatusHandle Register(HandlerFunction handler);
    bool Report(const ServiceStatus& status);
    // From the console's control thread: queue a code; with `waitForStop`, wait (bounded)
    // until the service has stopped, because the system ends the process once the handler
    // for a closing console returns.
    void Request(std::uint32_t control, bool waitForStop);

private:
    static BOOL WINAPI ConsoleCtrl(DWORD ctrlType);

    // Bound of codes_: the console sends only stop and shutdown, and the gate passes no
    // second one before the service has handled the first, so more than a few never wait.
    static constexpr std::size_t kMaxPassedCodes = 8;

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::uint32_t> codes_;  // codes the gate passed, for the dispatcher thread
    HandlerFunction handler_ = nullptr;
    ControlGate gate_;
    bool running_ = false;   // a dispatcher is serving
    bool finished_ = false;  // the service main has returned
    // Held while a report is echoed and while the handler runs, so that the handler is
    // never called in the middle of a report. Recursive: a handler may report itself.
    std::recursive_mutex reportLock_;
};

bool ConsoleStandIn::Run(const std::vector<ServiceTableEntry>& table) {
    // The stand-in serves the first service of the table, the only one this program has.
    const ServiceTableEntry* entry = table.empty() ? nullptr : &table.front();
    if (entry == nullptr || entry->serviceProc == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    {
        std::lock_guard guard(lock_);
        codes_.clear();
        handler_ = nullptr;
        gate_ = ControlGate{};
        running_ = true;
        finished_ = false;
    }
    ::SetConsoleCtrlHandler(&ConsoleStandIn::ConsoleCtrl, TRUE);

    std::u16string name = entry->serviceName;
    const ServiceMainFunction proc = entry->serviceProc;
    std::thread serviceMain([this, &name, proc] {
        char16_t* argv[] = {name.data(), nullptr};
        proc(1, argv);
        std::lock_guard guard(lock_);
        finished_ = true;
        changed_.notify_all();
    });

    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return finished_ || !codes_.empty() || gate_.HeldStopDue(); });
        if (finished_) {
            break;
        }
        std::uint32_t code = kServiceControlStop;
        if (gate_.HeldStopDue()) {
            // A stop asked for while the service started, now that the start has ended.
            if (!gate_.TakeHeldStop()) {
                continue;
            }
        } else {
            code = codes_.front();
            codes_.pop_front();
        }
        const HandlerFunction handler = handler_;
        if (handler == nullptr) {
            continue;
        }
        guard.unlock();
        {
            std::lock_guard report(reportLock_);
            handler(code);
        }
        guard.lock();
    }
    running_ = false;
    guard.unlock();

    serviceMain.join();
    ::SetConsoleCtrlHandler(&ConsoleStandIn::ConsoleCtrl, FALSE);
    return true;
}

ServiceStatusHandle ConsoleStandIn::Register(HandlerFunction handler) {
    std::lock_guard guard(lock_);
    handler_ = handler;
    return 1;  // the stand-in serves one service; any non-empty value will do
}

bool ConsoleStandIn::Report(const ServiceStatus& status) {
    std::lock_guard report(reportLock_);
    EchoServiceStatus(status);
    std::lock_guard guard(lock_);
    gate_.Reported(status);
    changed_.notify_all();
    return true;
}

void ConsoleStandIn::Request(std::uint32_t control, bool waitForStop) {
    std::unique_lock guard(lock_);
    if (!running_) {
        return;
    }
    // Decided as it arrives, with the manager's rules (ControlGate): a stop while the
    // service starts is held, a second stop or a shutdown after a stop is refused.
    if (gate_.Offer(control) && codes_.size() < kMaxPassedCodes) {
        codes_.push_back(control);
    }
    changed_.notify_all();
    if (waitForStop) {
        // Windows gives a closing console about five seconds before it ends the process.
        changed_.wait_for(guard, std::chrono::milliseconds(4500), [this] { return finished_; });
    }
}

BOOL WINAPI ConsoleStandIn::ConsoleCtrl(DWORD ctrlType) {
    switch (ctrlType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: Instance().Request(kServiceControlStop, false); return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT: Instance().Request(kServiceControlStop, true); return TRUE;
    case CTRL_SHUTDOWN_EVENT: Instance().Request(kServiceControlShutdown, true); return TRUE;
    default: return FALSE;
    }
}

}  // namespace

bool RunConsoleDispatcher(const std::vector<ServiceTableEntry>& table) { return ConsoleStandIn::Instance().Run(table); }

ServiceStatusHandle RegisterConsoleHandler(HandlerFunction handler) {
    return ConsoleStandIn::Instance().Register(handler);
}

bool ReportConsoleStatus(const ServiceStatus& status) { return ConsoleStandIn::Instance().Report(status); }

}  // namespace platform::win32
