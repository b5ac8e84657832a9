// The service's state machine on real threads against a fake service manager: the test
// thread plays the dispatcher and calls the registered handler by hand.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <sstream>
#include <thread>

#include "platform/system.h"
#include "runtime/errors.h"
#include "service_host/service.h"
#include "support/host_fakes.h"

namespace {

using host_test::FakeEventLog;
using host_test::FakeManager;
using host_test::FakeService;
using service_host::TService;

constexpr std::uint32_t kRunning = 4, kPaused = 7;

// Counts the messages dispatched to a hidden window of the control thread.
class CountingWindow : public platform::WindowProcedure {
public:
    std::intptr_t WindowProc(platform::WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t) override {
        ++dispatched;
        return 0;
    }
    std::atomic<int> dispatched{0};
};

// The service's entries expected: none, or the one error.
std::vector<std::u16string> Logged(const std::u16string& text) {
    return text.empty() ? std::vector<std::u16string>{} : std::vector{u"BrivonMorvel 1/0/0: " + text};
}

struct Harness {
    FakeManager manager;
    FakeEventLog log;
    FakeService service{manager, log};
    std::thread serviceMain;
    std::atomic<platform::ThreadId> startThread{0};
    std::atomic<platform::ThreadId> stopThread{0};
    std::atomic<int> stopCalls{0};
    CountingWindow windowProc;
    std::atomic<platform::WindowHandle> window{0};

    Harness() {
        service.SetOnStart([this](TService&, bool&) {
            startThread = platform::CurrentThreadId();
            platform::RegisterWindowClass(u"HostTestWindow");
            const platform::WindowHandle created = platform::CreateHiddenWindow(u"HostTestWindow");
            platform::SetWindowHandler(created, &windowProc);
            window = created;
        });
        service.SetOnStop([this](TService&, bool&) {
            stopThread = platform::CurrentThreadId();
            ++stopCalls;
        });
    }
    ~Harness() {
        if (serviceMain.joinable()) {
            Control(1);
            serviceMain.join();
        }
        if (window != 0) platform::DestroyWindow(window);
    }
    void Start() {
        serviceMain = std::thread([this] {
            char16_t name[] = u"BrivonMorvel";
            char16_t* argv[] = {name, nullptr};
            service.EnterServiceMain(1, argv);
        });
    }
    void StartRunning() {
        Start();
        ASSERT_TRUE(manager.WaitForReports(3));
        ASSERT_EQ(kRunning, manager.Reports().back().status.dwCurrentState);
    }
    void Control(std::uint32_t code) { manager.handler(code); }
    void Join() { serviceMain.join(); }
};

TEST(ServiceStateMachine, NormalStartReportsAndStopRunsOnTheControlThread) {
    Harness h;
    h.StartRunning();
    EXPECT_FALSE(h.service.PostHeartbeat(1)) << "a heartbeat window without the watchdog";
    h.Control(1);
    h.Join();
    EXPECT_EQ("StartPending StartPending Running StopPending Stopped", h.manager.States());
    // Each report's checkpoint, controls accepted, wait hint, service type and exit code.
    const auto reports = h.manager.Reports();
    std::vector<std::array<std::uint32_t, 5>> seen;
    for (const auto& [s, thread] : reports) {
        seen.push_back({s.dwCheckPoint, s.dwControlsAccepted, s.dwWaitHint, s.dwServiceType, s.dwWin32ExitCode});
    }
    const std::vector<std::array<std::uint32_t, 5>> expected{{1, 0, 5000, 0x10, 0},
                                                             {2, 0, 5000, 0x10, 0},
                                                             {0, 7, 5000, 0x10, 0},
                                                             {0, 7, 5000, 0x10, 0},
                                                             {0, 7, 5000, 0x10, 0}};
    EXPECT_EQ(expected, seen);
    EXPECT_EQ(u"BrivonMorvel", h.manager.registeredName);
    EXPECT_EQ(7u, h.manager.statusHandle);
    // The first report comes from the service-main thread, the others from the control
    // thread, which runs the stop handler too.
    EXPECT_NE(reports[0].thread, reports[1].thread);
    EXPECT_EQ(h.startThread.load(), reports[1].thread);
    EXPECT_EQ(h.startThread.load(), h.stopThread.load());
    EXPECT_EQ(1, h.stopCalls.load());
    EXPECT_TRUE(h.log.Entries().empty());
}

// A start the handler declines is no failure: the stop reports 0. A handler that raised
// makes the stop a service-specific failure, so that the manager's recovery starts the
// service again. Without a handler registration: the system's text, no report at all.
// Control codes before the control thread and after its end are dropped.
TEST(ServiceStateMachine, FailedStarts) {
    const std::u16string denied = u"Cannot open file \"x\". Access is denied";
    const struct {
        const char* what;
        bool raises;
        std::uint32_t registerError;
        const char* states;
        std::uint32_t exitCode, specificCode;
        std::u16string logged;
    } rows[] = {
        {"declined", false, 0, "StartPending StartPending Stopped", 0, 0, u""},
        {"raised", true, 0, "StartPending StartPending Stopped", 1066, 1, u"Service failed on start: " + denied},
        {"no handler registration", false, 1063, "", 0, 0, platform::SystemErrorText(1063)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Harness h;
        h.manager.registerError = row.registerError;
        h.service.SetOnStart([&](TService&, bool& started) {
            if (row.raises) throw runtime::Exception(denied);
            started = false;
        });
        h.service.PostControl(1);
        h.Start();
        h.Join();
        h.service.PostControl(1);
        h.service.PostControl(4);
        EXPECT_EQ(row.states, h.manager.States());
        if (const auto reports = h.manager.Reports(); !reports.empty()) {
            EXPECT_EQ(0u, reports[1].status.dwWin32ExitCode);
            EXPECT_EQ(row.exitCode, reports.back().status.dwWin32ExitCode);
            EXPECT_EQ(row.specificCode, reports.back().status.dwServiceSpecificExitCode);
        }
        EXPECT_EQ(row.raises, h.service.StartFailed());
        EXPECT_EQ(Logged(row.logged), h.log.Lines());
    }
}

// A paused control thread serves nothing until the next control code: neither a window
// message (as a timer tick is) nor a heartbeat, which the loop answers in queue order
// otherwise; meanwhile the watchdog sees it suspended.
TEST(ServiceStateMachine, PauseSuspendsTheControlThreadUntilTheNextControlCode) {
    Harness h;
    std::atomic<bool> refuseContinue{false};
    h.service.SetOnContinue([&](TService&, bool& continued) { continued = !refuseContinue; });
    h.service.EnableHeartbeats();
    EXPECT_FALSE(h.service.PostHeartbeat(1)) << "posted without a control thread";
    h.StartRunning();
    ASSERT_TRUE(h.service.PostHeartbeat(1));
    h.Control(4);  // its report comes after the heartbeat's answer
    ASSERT_TRUE(h.manager.WaitForReports(4));
    EXPECT_EQ(1u, h.service.AnsweredHeartbeat());
    EXPECT_FALSE(h.service.ControlThreadSuspended());

    h.Control(2);
    ASSERT_TRUE(h.manager.WaitForReports(6));
    EXPECT_EQ("PausePending Paused", h.manager.States(4));
    EXPECT_TRUE(h.service.ControlThreadSuspended());
    ASSERT_NE(0u, h.window.load());
    ASSERT_TRUE(h.service.PostHeartbeat(2));
    ASSERT_TRUE(platform::PostMessage(h.window, platform::kWmUser + 5, 0, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0, h.windowProc.dispatched.load());
    EXPECT_EQ(1u, h.service.AnsweredHeartbeat()) << "the heartbeat woke the paused thread";
    EXPECT_TRUE(h.service.ControlThreadSuspended());

    // Interrogate wakes the thread and reports the paused state again; the thread stays
    // awake, and the waiting heartbeat and window message are served before that report.
    h.Control(4);
    ASSERT_TRUE(h.manager.WaitForReports(7));
    EXPECT_EQ(kPaused, h.manager.Reports().back().status.dwCurrentState);
    EXPECT_EQ(0u, h.manager.Reports().back().status.dwCheckPoint);
    EXPECT_EQ(2u, h.service.AnsweredHeartbeat());
    EXPECT_FALSE(h.service.ControlThreadSuspended());
    EXPECT_EQ(1, h.windowProc.dispatched.load());
    ASSERT_TRUE(platform::PostMessage(h.window, platform::kWmUser + 5, 0, 0));
    h.Control(200);  // custom code: no report, but it comes after the window message
    h.Control(3);
    ASSERT_TRUE(h.manager.WaitForReports(9));
    EXPECT_EQ("PausePending Paused Paused ContinuePending Running", h.manager.States(4));
    EXPECT_EQ(2, h.windowProc.dispatched.load());

    // A second pause-continue pair with the continue posted right after the paused report,
    // before the control thread suspends itself: it must still be served.
    h.manager.onReport = [&h](const platform::ServiceStatus& status) {
        if (status.dwCurrentState == kPaused) h.Control(3);
    };
    h.Control(2);
    ASSERT_TRUE(h.manager.WaitForReports(13));
    h.manager.onReport = nullptr;
    EXPECT_EQ("PausePending Paused ContinuePending Running", h.manager.States(9));

    // A refused continue leaves the service paused, and a pause then pauses it again.
    refuseContinue = true;
    h.Control(2);
    ASSERT_TRUE(h.manager.WaitForReports(15));
    h.Control(3);
    ASSERT_TRUE(h.manager.WaitForReports(17));
    h.Control(2);
    ASSERT_TRUE(h.manager.WaitForReports(19));
    EXPECT_EQ("PausePending Paused ContinuePending Paused PausePending Paused", h.manager.States(13));

    // The heartbeat window ends with the control thread: a heartbeat in flight at the stop
    // is answered by the drain or dropped with the queue, and later posts fail. The paused
    // thread's queue fills up with window messages; the stop still gets in.
    ASSERT_TRUE(h.service.PostHeartbeat(3));
    for (std::size_t i = 0; i < platform::kMaxPostedMessages; ++i)
        if (!platform::PostMessage(h.window, platform::kWmUser + 5, 0, 0)) break;
    h.Control(1);
    h.Join();
    EXPECT_EQ("StopPending Stopped", h.manager.States(19));
    EXPECT_EQ(1, h.stopCalls.load());
    EXPECT_FALSE(h.service.PostHeartbeat(4));
    EXPECT_EQ(3u, h.service.AnsweredHeartbeat());
}

// The first handler of a control code meets the row's outcome while codes queue behind it
// (posted while it runs, as a burst of signals or a second Ctrl+C queues them). A stop or
// shutdown that was taken ends the service once: the queued codes are still taken, but no
// second stop or shutdown handler runs, no pause suspends a thread about to end, and an
// interrogate reports the ending state. A refused or failing stop changes nothing, and a
// failing handler is logged with its action; a failing shutdown still ends the service.
TEST(ServiceStateMachine, HandlerOutcomesAndTheCodesQueuedBehindThem) {
    enum class Outcome { Done, Refuses, Raises };
    using enum Outcome;
    struct Case {
        const char* name;
        std::uint32_t first;  // 1 stop, 5 shutdown, 200 custom
        Outcome outcome;      // of the first handler
        const char* queued;   // the codes posted while that handler runs
        const char* states;   // reported after the running state
        const char* handled;  // the handlers called, in order
        std::u16string logged;
    };
    const Case cases[] = {
        {"stop then pause, stop, shutdown, continue, interrogate, custom", 1, Done, "2 1 5 3 4 200",
         "StopPending StopPending Stopped", "stop 200", u""},
        {"stop then stop", 1, Done, "1 1", "StopPending Stopped", "stop", u""},
        {"shutdown", 5, Done, "", "StopPending Stopped", "shutdown", u""},
        {"shutdown then stop and pause", 5, Done, "1 2 5 4", "StopPending StopPending Stopped", "shutdown", u""},
        {"failing shutdown then stop", 5, Raises, "1 2", "StopPending Stopped", "shutdown",
         u"Service failed on shutdown: busy"},
        {"refused stop then pause and stop", 1, Refuses, "2 1",
         "StopPending Running PausePending Paused StopPending Stopped", "stop pause stop", u""},
        {"failing stop then stop", 1, Raises, "1", "StopPending Running StopPending Stopped", "stop stop",
         u"Service failed on stop: busy"},
        {"failing custom code then stop", 200, Raises, "1", "Running StopPending Stopped", "200 stop",
         u"Service failed on 200: busy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        std::string handled;
        bool ignored = true;
        const auto handle = [&](const std::string& name, bool& result) {
            handled += (handled.empty() ? "" : " ") + name;
            if (handled != name) return;
            std::istringstream queued(c.queued);
            for (std::uint32_t code = 0; queued >> code;) h.Control(code);
            // A timer tick queued behind it is still dispatched (after a stop by the drain).
            platform::PostMessage(h.window, platform::kWmUser + 5, 0, 0);
            if (c.outcome == Refuses) result = false;
            if (c.outcome == Raises) throw runtime::Exception(u"busy");
        };
        h.service.SetOnStop([&](TService&, bool& stopped) { handle("stop", stopped); });
        h.service.SetOnShutdown([&](TService&) { handle("shutdown", ignored); });
        h.service.SetOnPause([&](TService&, bool& paused) { handle("pause", paused); });
        h.service.SetOnContinue([&](TService&, bool& continued) { handle("continue", continued); });
        h.service.onCustom = [&](std::uint32_t code) { handle(std::to_string(code), ignored); };
        h.StartRunning();
        h.Control(c.first);
        h.Join();
        EXPECT_EQ(c.states, h.manager.States(3));
        EXPECT_EQ(c.handled, handled);
        EXPECT_EQ(Logged(c.logged), h.log.Lines());
        EXPECT_EQ(1, h.windowProc.dispatched.load());
    }
}

TEST(ServiceProperties, ControlsAcceptedAndCheckpoints) {
    FakeManager manager;
    FakeEventLog log;
    FakeService service(manager, log);
    EXPECT_EQ(7u, service.ControlsAccepted());
    service.AllowPause = false;
    EXPECT_EQ(5u, service.ControlsAccepted());
    service.SetOnPause([](TService&, bool&) {});
    EXPECT_EQ(7u, service.ControlsAccepted());
    service.AllowStop = false;
    service.SetOnStop([](TService&, bool&) {});
    EXPECT_TRUE(service.AllowStop);

    // Consecutive reports of one pending state count up; any other state resets to 0. A
    // report the manager refuses is logged, and the next one is made as before.
    manager.statusError = 5;
    using S = service_host::TServiceState;
    for (S state : {S::ssStartPending, S::ssStartPending, S::ssRunning, S::ssPausePending, S::ssPausePending,
                    S::ssPausePending, S::ssPaused, S::ssPaused}) {
        service.SetState(state);
    }
    std::vector<std::uint32_t> checkpoints;
    for (const auto& report : manager.Reports()) checkpoints.push_back(report.status.dwCheckPoint);
    EXPECT_EQ((std::vector<std::uint32_t>{1, 2, 0, 0, 1, 2, 0, 0}), checkpoints);
    EXPECT_EQ(std::vector<std::u16string>(8, Logged(platform::SystemErrorText(5))[0]), log.Lines());
}

}  // namespace
