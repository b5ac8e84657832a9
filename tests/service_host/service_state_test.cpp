// The service's state machine on real threads against a fake service manager: the test
// thread plays the dispatcher and calls the registered handler by hand.
#include <gtest/gtest.h>

#include <atomic>
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

constexpr std::uint32_t kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4, kContinuePending = 5,
                        kPausePending = 6, kPaused = 7;

// Counts the messages dispatched to a hidden window of the control thread.
class CountingWindow : public platform::WindowProcedure {
public:
    std::intptr_t WindowProc(platform::WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t) override {
        ++dispatched;
        return 0;
    }
    std::atomic<int> dispatched{0};
};

struct Harness {
    FakeManager manager;
    FakeEventLog log;
    FakeService service{manager, log};
    std::thread serviceMain;
    std::atomic<platform::ThreadId> startThread{0};
    std::atomic<platform::ThreadId> stopThread{0};
    std::atomic<int> stopCalls{0}, shutdownCalls{0};
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
        service.SetOnShutdown([this](TService&) { ++shutdownCalls; });
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
        ASSERT_EQ(kRunning, manager.States().back());
    }
    void Control(std::uint32_t code) { manager.handler(code); }
    void Join() { serviceMain.join(); }
    std::vector<std::uint32_t> StatesFrom(std::size_t first) {
        const auto all = manager.States();
        return {all.begin() + static_cast<std::ptrdiff_t>(first), all.end()};
    }
};

TEST(ServiceStateMachine, NormalStartReportsAndStopRunsOnTheControlThread) {
    Harness h;
    h.StartRunning();
    const auto reports = h.manager.Reports();
    ASSERT_EQ(3u, reports.size());
    const std::uint32_t states[] = {kStartPending, kStartPending, kRunning};
    const std::uint32_t checkpoints[] = {1, 2, 0};
    const std::uint32_t controls[] = {0, 0, 7};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(states[i], reports[i].status.dwCurrentState) << i;
        EXPECT_EQ(checkpoints[i], reports[i].status.dwCheckPoint) << i;
        EXPECT_EQ(controls[i], reports[i].status.dwControlsAccepted) << i;
        EXPECT_EQ(5000u, reports[i].status.dwWaitHint) << i;
        EXPECT_EQ(0x10u, reports[i].status.dwServiceType) << i;
        EXPECT_EQ(0u, reports[i].status.dwWin32ExitCode) << i;
    }
    EXPECT_EQ(u"BrivonMorvel", h.manager.registeredName);
    EXPECT_EQ(7u, h.manager.statusHandle);
    // The first report comes from the service-main thread, the others from the control thread.
    EXPECT_NE(reports[0].thread, reports[1].thread);
    EXPECT_EQ(h.startThread.load(), reports[1].thread);

    h.Control(1);
    h.Join();
    EXPECT_EQ((std::vector<std::uint32_t>{kStopPending, kStopped}), h.StatesFrom(3));
    const auto after = h.manager.Reports();
    EXPECT_EQ(7u, after[3].status.dwControlsAccepted);
    EXPECT_EQ(7u, after[4].status.dwControlsAccepted);
    EXPECT_EQ(h.startThread.load(), h.stopThread.load());
    EXPECT_EQ(1, h.stopCalls.load());
    EXPECT_TRUE(h.log.Entries().empty());
}

TEST(ServiceStateMachine, FailedStarts) {
    {
        Harness h;
        // A start the handler declines is no failure: the stop reports 0.
        h.service.SetOnStart([](TService&, bool& started) { started = false; });
        h.Start();
        h.Join();
        EXPECT_EQ((std::vector<std::uint32_t>{kStartPending, kStartPending, kStopped}), h.manager.States());
        EXPECT_EQ(0u, h.manager.Reports().back().status.dwWin32ExitCode);
        EXPECT_FALSE(h.service.StartFailed());
        EXPECT_TRUE(h.log.Entries().empty());
    }
    {
        Harness h;
        h.service.SetOnStart(
            [](TService&, bool&) { throw runtime::Exception(u"Cannot open file \"x\". Access is denied"); });
        h.Start();
        h.Join();
        EXPECT_EQ((std::vector<std::uint32_t>{kStartPending, kStartPending, kStopped}), h.manager.States());
        // A handler that raised: the stop is a service-specific failure, so that the
        // manager's recovery starts the service again.
        const auto reports = h.manager.Reports();
        EXPECT_EQ(0u, reports[1].status.dwWin32ExitCode);
        EXPECT_EQ(1066u, reports.back().status.dwWin32ExitCode);
        EXPECT_EQ(1u, reports.back().status.dwServiceSpecificExitCode);
        EXPECT_TRUE(h.service.StartFailed());
        const auto entries = h.log.Entries();
        ASSERT_EQ(1u, entries.size());
        EXPECT_EQ(u"Service failed on start: Cannot open file \"x\". Access is denied", entries[0].text);
        EXPECT_EQ(u"BrivonMorvel", entries[0].sourceName);
        EXPECT_EQ(1, entries[0].type);
        EXPECT_EQ(0, entries[0].category);
        EXPECT_EQ(0u, entries[0].id);
    }
    {
        // No handler registration: one entry with the system text, no report at all.
        Harness h;
        h.manager.registerError = 1063;
        h.Start();
        h.Join();
        EXPECT_TRUE(h.manager.Reports().empty());
        const auto entries = h.log.Entries();
        ASSERT_EQ(1u, entries.size());
        EXPECT_EQ(platform::SystemErrorText(1063), entries[0].text);
    }
}

TEST(ServiceStateMachine, FailingStopAndShutdownHandlers) {
    {
        Harness h;
        h.service.SetOnStop([](TService&, bool&) { throw runtime::Exception(u"socket busy"); });
        h.StartRunning();
        h.Control(1);
        ASSERT_TRUE(h.manager.WaitForReports(5));
        EXPECT_EQ((std::vector<std::uint32_t>{kStopPending, kRunning}), h.StatesFrom(3));
        ASSERT_TRUE(h.log.WaitForEntries(1));
        ASSERT_EQ(1u, h.log.Entries().size());
        EXPECT_EQ(u"Service failed on stop: socket busy", h.log.Entries()[0].text);
        // The service goes on running and still stops when the handler lets it.
        h.service.SetOnStop({});
        h.Control(1);
        h.Join();
        EXPECT_EQ((std::vector<std::uint32_t>{kStopPending, kRunning, kStopPending, kStopped}), h.StatesFrom(3));
    }
    {
        Harness h;
        h.service.SetOnStop([](TService&, bool& stopped) { stopped = false; });
        h.StartRunning();
        h.Control(1);
        ASSERT_TRUE(h.manager.WaitForReports(5));
        EXPECT_EQ((std::vector<std::uint32_t>{kStopPending, kRunning}), h.StatesFrom(3));
        EXPECT_TRUE(h.log.Entries().empty());
        h.service.SetOnStop({});
    }
    {
        Harness h;
        h.StartRunning();
        h.Control(5);
        h.Join();
        EXPECT_EQ((std::vector<std::uint32_t>{kStopPending, kStopped}), h.StatesFrom(3));
        EXPECT_EQ(1, h.shutdownCalls.load());
        EXPECT_EQ(0, h.stopCalls.load());
    }
    {
        // A failing shutdown handler still ends the service, without reporting the old state.
        Harness h;
        h.service.SetOnShutdown([](TService&) { throw runtime::Exception(u"disk gone"); });
        h.StartRunning();
        h.Control(5);
        h.Join();
        EXPECT_EQ((std::vector<std::uint32_t>{kStopPending, kStopped}), h.StatesFrom(3));
        ASSERT_EQ(1u, h.log.Entries().size());
        EXPECT_EQ(u"Service failed on shutdown: disk gone", h.log.Entries()[0].text);
    }
}

TEST(ServiceStateMachine, PauseSuspendsTheControlThreadUntilTheNextControlCode) {
    Harness h;
    h.StartRunning();
    h.Control(2);
    ASSERT_TRUE(h.manager.WaitForReports(5));
    EXPECT_EQ((std::vector<std::uint32_t>{kPausePending, kPaused}), h.StatesFrom(3));

    // A message for a window of the control thread (as a timer tick is) waits while paused.
    ASSERT_NE(0u, h.window.load());
    ASSERT_TRUE(platform::PostMessage(h.window, platform::kWmUser + 5, 0, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0, h.windowProc.dispatched.load());

    // Interrogate wakes the thread and reports the paused state again; the thread stays awake.
    h.Control(4);
    ASSERT_TRUE(h.manager.WaitForReports(6));
    EXPECT_EQ(kPaused, h.manager.States().back());
    EXPECT_EQ(0u, h.manager.Reports().back().status.dwCheckPoint);
    ASSERT_TRUE(platform::PostMessage(h.window, platform::kWmUser + 5, 0, 0));
    h.Control(200);  // custom code: no report, but it comes after the window message
    h.Control(3);
    ASSERT_TRUE(h.manager.WaitForReports(8));
    EXPECT_EQ((std::vector<std::uint32_t>{kPausePending, kPaused, kPaused, kContinuePending, kRunning}),
              h.StatesFrom(3));
    EXPECT_EQ(2, h.windowProc.dispatched.load());

    // A second pause-continue pair with the continue posted right after the paused report,
    // before the control thread suspends itself: it must still be served.
    h.manager.onReport = [&h](const platform::ServiceStatus& status) {
        if (status.dwCurrentState == kPaused) h.Control(3);
    };
    h.Control(2);
    ASSERT_TRUE(h.manager.WaitForReports(12));
    h.manager.onReport = nullptr;
    EXPECT_EQ((std::vector<std::uint32_t>{kPausePending, kPaused, kContinuePending, kRunning}), h.StatesFrom(8));
}

TEST(ServiceStateMachine, HeartbeatsAreAnsweredByTheLoopAndDoNotWakeAPausedThread) {
    {
        // Without the watchdog the control thread keeps no heartbeat window.
        Harness h;
        h.StartRunning();
        EXPECT_FALSE(h.service.PostHeartbeat(1));
    }
    Harness h;
    h.service.EnableHeartbeats();
    EXPECT_FALSE(h.service.PostHeartbeat(1)) << "posted without a control thread";
    h.StartRunning();
    // Answered by the loop in queue order: the interrogate behind it reports after it.
    ASSERT_TRUE(h.service.PostHeartbeat(1));
    h.Control(4);
    ASSERT_TRUE(h.manager.WaitForReports(4));
    EXPECT_EQ(1u, h.service.AnsweredHeartbeat());
    EXPECT_FALSE(h.service.ControlThreadSuspended());

    // Paused: suspended from the paused report on. A heartbeat waits like a timer tick.
    h.Control(2);
    ASSERT_TRUE(h.manager.WaitForReports(6));
    EXPECT_TRUE(h.service.ControlThreadSuspended());
    ASSERT_TRUE(h.service.PostHeartbeat(2));
    ASSERT_TRUE(platform::PostMessage(h.window, platform::kWmUser + 5, 0, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0, h.windowProc.dispatched.load()) << "the heartbeat woke the paused thread";
    EXPECT_EQ(1u, h.service.AnsweredHeartbeat());
    EXPECT_TRUE(h.service.ControlThreadSuspended());

    // The continue wakes it; the waiting heartbeat is answered before the continue's reports.
    h.Control(3);
    ASSERT_TRUE(h.manager.WaitForReports(8));
    EXPECT_EQ(2u, h.service.AnsweredHeartbeat());
    EXPECT_FALSE(h.service.ControlThreadSuspended());
    EXPECT_EQ(1, h.windowProc.dispatched.load());

    // The window ends with the control thread: a heartbeat in flight at the stop is answered
    // by the drain or dropped with the queue, and later posts fail.
    ASSERT_TRUE(h.service.PostHeartbeat(3));
    h.Control(1);
    h.Join();
    EXPECT_FALSE(h.service.PostHeartbeat(4));
    EXPECT_EQ(3u, h.service.AnsweredHeartbeat());
}

TEST(ServiceStateMachine, StopFromPausedAndFailedContinue) {
    Harness h;
    h.service.SetOnContinue([](TService&, bool& continued) { continued = false; });
    h.StartRunning();
    h.Control(2);
    ASSERT_TRUE(h.manager.WaitForReports(5));
    h.Control(3);
    ASSERT_TRUE(h.manager.WaitForReports(7));
    EXPECT_EQ((std::vector<std::uint32_t>{kPausePending, kPaused, kContinuePending, kPaused}), h.StatesFrom(3));
    h.Control(2);
    ASSERT_TRUE(h.manager.WaitForReports(9));
    // The paused thread's queue fills up with window messages; the stop still gets in.
    for (std::size_t i = 0; i < platform::kMaxPostedMessages; ++i)
        if (!platform::PostMessage(h.window, platform::kWmUser + 5, 0, 0)) break;
    h.Control(1);
    h.Join();
    EXPECT_EQ((std::vector<std::uint32_t>{kPausePending, kPaused, kStopPending, kStopped}), h.StatesFrom(7));
    EXPECT_EQ(1, h.stopCalls.load());
}

// Codes queued behind a stop or shutdown (posted while its handler runs, as a burst of
// signals or a second Ctrl+C queues them) are still taken, but the service ends once: no
// second stop or shutdown handler, no pause that would suspend a thread about to end, and
// an interrogate reports the ending state. A stop that fails changes nothing.
TEST(ServiceStateMachine, AStopOrShutdownEndsTheServiceOnce) {
    enum class Outcome { Stops, Refuses, Raises };
    struct Case {
        const char* name;
        std::uint32_t first;                // 1 stop or 5 shutdown
        Outcome firstOutcome;               // of the first stop or shutdown handler
        std::vector<std::uint32_t> queued;  // posted while that handler runs
        std::vector<std::uint32_t> states;  // reported after the running state
        int stops, shutdowns, pauses, continues;
        std::size_t entries;
    };
    const Case cases[] = {
        {"stop then pause, stop, shutdown, continue, interrogate, custom",
         1,
         Outcome::Stops,
         {2, 1, 5, 3, 4, 200},
         {kStopPending, kStopPending, kStopped},
         1,
         0,
         0,
         0,
         0},
        {"stop then stop", 1, Outcome::Stops, {1, 1}, {kStopPending, kStopped}, 1, 0, 0, 0, 0},
        {"shutdown then stop and pause",
         5,
         Outcome::Stops,
         {1, 2, 5, 4},
         {kStopPending, kStopPending, kStopped},
         0,
         1,
         0,
         0,
         0},
        {"failing shutdown then stop", 5, Outcome::Raises, {1, 2}, {kStopPending, kStopped}, 0, 1, 0, 0, 1},
        {"refused stop then pause and stop",
         1,
         Outcome::Refuses,
         {2, 1},
         {kStopPending, kRunning, kPausePending, kPaused, kStopPending, kStopped},
         2,
         0,
         1,
         0,
         0},
        {"failing stop then stop",
         1,
         Outcome::Raises,
         {1},
         {kStopPending, kRunning, kStopPending, kStopped},
         2,
         0,
         0,
         0,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        std::atomic<int> pauses{0}, continues{0};
        auto firstHandler = [&h, &c](bool& result) {
            if (h.stopCalls + h.shutdownCalls > 1) return;
            for (std::uint32_t code : c.queued) h.Control(code);
            // A timer tick queued behind the stop is still dispatched by the drain.
            platform::PostMessage(h.window, platform::kWmUser + 5, 0, 0);
            if (c.firstOutcome == Outcome::Refuses) result = false;
            if (c.firstOutcome == Outcome::Raises) throw runtime::Exception(u"busy");
        };
        h.service.SetOnStop([&h, firstHandler](TService&, bool& stopped) {
            ++h.stopCalls;
            firstHandler(stopped);
        });
        h.service.SetOnShutdown([&h, firstHandler](TService&) {
            ++h.shutdownCalls;
            bool ignored = true;
            firstHandler(ignored);
        });
        h.service.SetOnPause([&pauses](TService&, bool&) { ++pauses; });
        h.service.SetOnContinue([&continues](TService&, bool&) { ++continues; });
        h.StartRunning();
        h.Control(c.first);
        ASSERT_TRUE(h.manager.WaitForReports(3 + c.states.size()));
        if (c.states.back() != kStopped) h.Control(1);
        h.Join();
        EXPECT_EQ(c.states, h.StatesFrom(3));
        EXPECT_EQ(c.stops, h.stopCalls.load());
        EXPECT_EQ(c.shutdowns, h.shutdownCalls.load());
        EXPECT_EQ(c.pauses, pauses.load());
        EXPECT_EQ(c.continues, continues.load());
        EXPECT_EQ(c.entries, h.log.Entries().size());
        EXPECT_EQ(1, h.windowProc.dispatched.load());
    }
}

TEST(ServiceStateMachine, ControlCodesWithoutControlThreadAreDropped) {
    FakeManager manager;
    FakeEventLog log;
    {
        FakeService service(manager, log);
        service.PostControl(1);  // before any control thread
        service.SetOnStart([](TService&, bool& started) { started = false; });
        std::thread serviceMain([&] {
            char16_t name[] = u"BrivonMorvel";
            char16_t* argv[] = {name, nullptr};
            service.EnterServiceMain(1, argv);
        });
        serviceMain.join();
        service.PostControl(1);  // after the control thread ended
        service.PostControl(4);
    }
    EXPECT_EQ((std::vector<std::uint32_t>{kStartPending, kStartPending, kStopped}), manager.States());
}

TEST(ServiceStateMachine, FailedStatusReportIsLoggedAndProcessingGoesOn) {
    Harness h;
    h.manager.statusError = 5;
    h.Start();
    ASSERT_TRUE(h.manager.WaitForReports(3));
    h.Control(1);
    h.Join();
    EXPECT_EQ((std::vector<std::uint32_t>{kStartPending, kStartPending, kRunning, kStopPending, kStopped}),
              h.manager.States());
    const auto entries = h.log.Entries();
    ASSERT_EQ(5u, entries.size());
    for (const auto& entry : entries) {
        EXPECT_EQ(platform::SystemErrorText(5), entry.text);
        EXPECT_EQ(1, entry.type);
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

    // Consecutive reports of one pending state count up; any other state resets to 0.
    using S = service_host::TServiceState;
    for (S state : {S::ssStartPending, S::ssStartPending, S::ssRunning, S::ssPausePending, S::ssPausePending,
                    S::ssPausePending, S::ssPaused, S::ssPaused}) {
        service.SetState(state);
    }
    std::vector<std::uint32_t> checkpoints;
    for (const auto& report : manager.Reports()) checkpoints.push_back(report.status.dwCheckPoint);
    EXPECT_EQ((std::vector<std::uint32_t>{1, 2, 0, 0, 1, 2, 0, 0}), checkpoints);
}

}  // namespace
