#pragma once
// TServiceWatchdog: keeps the service manager's watchdog fed while the service is sound.
//
// systemd (WatchdogSec=) kills and restarts a service that does not say "still alive"
// within the watchdog timeout. Saying it from a thread of its own would prove nothing, so
// the watchdog ticks on the loop of the thread that starts it (the main thread, whose loop
// delivers the socket's events) every third of the timeout, and at each tick it pings
// only when the control thread has answered the heartbeat posted to it at an earlier tick
// or is suspended by a pause. Then it posts the next heartbeat unless one is still in
// flight, so at most one heartbeat is ever queued. A main loop that stops serving gives no
// tick, a control thread stuck in a handler answers no heartbeat: either way the pings
// stop and the manager restarts the service.
//
// Slow work is no hang: a control thread busy with a long step (a name lookup, a large
// reply written and flushed to slow storage) answers no heartbeat, but such steps mark
// their progress (platform/progress.h). A mark within the last two ticks counts as an
// answer, so the longest a step may go without a mark is two ticks, two thirds of the
// timeout (40 s with the unit's WatchdogSec=60); the file writers mark every 4 MiB
// written or flushed and a name lookup before and after its call. A thread without
// progress (stopped, deadlocked, stuck in one call) gets its last ping at most two ticks
// after its last mark or answer, and the manager acts one timeout after that: within
// five thirds of the timeout, less than two.
//
// A heartbeat is a message to a hidden window of the control thread (HeartbeatTarget),
// dispatched by that thread's own loop: it runs no service handler and takes no lock of
// the service's. Because it goes to a window, it does not wake a control thread that a
// pause suspended (only a control code does); it waits in the queue until the continue.
// A paused, suspended control thread serves nothing and runs no handler, so it cannot be
// stuck: the watchdog pings for it without an answer.
//
// Threading contract: constructed, started, ticked and destroyed on one thread, the one
// whose loop gives the ticks; the target's calls are made from that thread. The ping
// function is called on that thread; its failure is not reported (a lost ping costs at
// most one period of the three the timeout allows).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/contracts.h"
#include "platform/messages.h"
#include "platform/progress.h"

namespace service_host {

// What the watchdog needs of the service it watches (TService implements it).
class HeartbeatTarget {
public:
    virtual ~HeartbeatTarget() = default;
    // Asks the control thread, before it starts, to keep a heartbeat window.
    virtual void EnableHeartbeats() = 0;
    // Posts heartbeat `serial` (1, 2, ...) to the control thread: false when no control
    // thread keeps a heartbeat window now (none yet, or it has ended).
    virtual bool PostHeartbeat(std::uint64_t serial) = 0;
    // The serial of the last heartbeat the control thread answered; 0 before the first.
    virtual std::uint64_t AnsweredHeartbeat() const = 0;
    // True while a pause holds the control thread suspended until the next control code.
    virtual bool ControlThreadSuspended() const = 0;
    // The time of the control thread's last progress mark (platform::ProgressClockMs);
    // 0 before the first.
    virtual std::uint64_t ControlThreadProgress() const = 0;
};

class TServiceWatchdog {
public:
    // Ticks never come faster than this: a watchdog timeout under three times this cannot
    // be served faithfully, and a tiny one must not turn into a flood of datagrams.
    static constexpr std::uint32_t kMinTickMs = 100;
    // The longest period the platform's periodic tick takes (USER_TIMER_MAXIMUM).
    static constexpr std::uint32_t kMaxTickMs = 0x7FFFFFFF;

    // The tick interval for a watchdog timeout in microseconds: a third of it, rounded
    // down to milliseconds and held between kMinTickMs and kMaxTickMs; 0 for no watchdog.
    static std::uint32_t TickInterval(std::uint64_t timeoutUsec);

    // `timeoutUsec` 0 makes a watchdog that never ticks nor pings. Otherwise the target is
    // asked for heartbeats at once, so construct the watchdog before the control thread.
    // `clock` tells the time progress marks are compared with (tests pass their own).
    TServiceWatchdog(HeartbeatTarget& target, std::function<bool()> ping, std::uint64_t timeoutUsec,
                     std::function<std::uint64_t()> clock = platform::ProgressClockMs);
    ~TServiceWatchdog();
    TServiceWatchdog(const TServiceWatchdog&) = delete;
    TServiceWatchdog& operator=(const TServiceWatchdog&) = delete;

    std::uint32_t Interval() const { return interval_; }
    // Starts the periodic tick on the calling thread's loop (a hidden window of its own);
    // false when there is no watchdog or the window or tick cannot be made.
    bool Start();
    // One tick: pings when the last heartbeat was answered, the control thread marked
    // progress within the last two ticks or is suspended, then posts the next heartbeat
    // if none is in flight. True when it pinged.
    bool Tick();

private:
    class TickWindow;

    HeartbeatTarget& target_;
    const std::function<bool()> ping_;
    const std::uint32_t interval_;
    const std::function<std::uint64_t()> clock_;
    std::uint64_t serial_ = 0;   // the last serial used
    std::uint64_t awaited_ = 0;  // the serial of the last heartbeat posted; 0: none posted
    std::unique_ptr<TickWindow> window_;
    // The thread of the contract above, checked at run time.
    platform::OwnerThread thread_;
};

// The window message that carries a heartbeat's serial (wParam) to the control thread.
constexpr std::uint32_t ServiceHeartbeatMessage = platform::kWmUser + 2;

// The control thread's end of the heartbeat: a hidden window of the thread that creates
// it, which answers each heartbeat dispatched to it by storing its serial. Created and
// destroyed on that thread; a heartbeat still queued when it goes is dropped with the
// window. Handle is 0 when the window could not be made.
class THeartbeatWindow final : public platform::WindowProcedure {
public:
    explicit THeartbeatWindow(std::atomic<std::uint64_t>& answered);
    ~THeartbeatWindow() override;
    THeartbeatWindow(const THeartbeatWindow&) = delete;
    THeartbeatWindow& operator=(const THeartbeatWindow&) = delete;

    platform::WindowHandle Handle() const { return window_; }
    std::intptr_t WindowProc(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override;

private:
    std::atomic<std::uint64_t>& answered_;
    platform::WindowHandle window_ = 0;
};

}  // namespace service_host
