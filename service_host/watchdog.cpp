#include "service_host/watchdog.h"

#include <algorithm>

namespace service_host {

namespace {

constexpr std::uintptr_t kTickId = 1;
constexpr char16_t kWindowClass[] = u"TServiceWatchdog";

// A hidden window of the calling thread handing its messages to `handler`; 0 on failure.
platform::WindowHandle CreateWatchdogWindow(platform::WindowProcedure* handler) {
    // The tick's thread and the control thread may both come here first.
    if (!platform::EnsureWindowClass(kWindowClass)) return 0;  // the registration's error stays
    const platform::WindowHandle window = platform::CreateHiddenWindow(kWindowClass);
    if (window != 0) platform::SetWindowHandler(window, handler);
    return window;
}

}  // namespace

// ---- THeartbeatWindow ---------------------------------------------------------------

THeartbeatWindow::THeartbeatWindow(std::atomic<std::uint64_t>& answered)
    : answered_(answered), window_(CreateWatchdogWindow(this)) {}

THeartbeatWindow::~THeartbeatWindow() {
    if (window_ == 0) return;
    platform::SetWindowHandler(window_, nullptr);
    platform::DestroyWindow(window_);
}

std::intptr_t THeartbeatWindow::WindowProc(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                           std::intptr_t lParam) {
    if (message == ServiceHeartbeatMessage) {
        answered_.store(static_cast<std::uint64_t>(wParam));
        return 0;
    }
    return platform::DefWindowProc(window, message, wParam, lParam);
}

// ---- TServiceWatchdog ---------------------------------------------------------------

// The hidden window whose periodic tick drives the watchdog on its thread's loop.
class TServiceWatchdog::TickWindow final : public platform::WindowProcedure {
public:
    explicit TickWindow(TServiceWatchdog& watchdog) : watchdog_(watchdog) {}
    ~TickWindow() override {
        if (window_ == 0) return;
        platform::KillTimer(window_, kTickId);
        platform::SetWindowHandler(window_, nullptr);
        platform::DestroyWindow(window_);
    }
    TickWindow(const TickWindow&) = delete;
    TickWindow& operator=(const TickWindow&) = delete;

    bool Create(std::uint32_t interval) {
        window_ = CreateWatchdogWindow(this);
        return window_ != 0 && platform::SetTimer(window_, kTickId, interval);
    }
    std::intptr_t WindowProc(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override {
        if (message == platform::kWmTimer && wParam == kTickId) {
            watchdog_.Tick();
            return 0;
        }
        return platform::DefWindowProc(window, message, wParam, lParam);
    }

private:
    TServiceWatchdog& watchdog_;
    platform::WindowHandle window_ = 0;
};

std::uint32_t TServiceWatchdog::TickInterval(std::uint64_t timeoutUsec) {
    if (timeoutUsec == 0) return 0;
    const std::uint64_t third = timeoutUsec / 3000;
    return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(third, kMinTickMs, kMaxTickMs));
}

TServiceWatchdog::TServiceWatchdog(HeartbeatTarget& target, std::function<bool()> ping, std::uint64_t timeoutUsec,
                                   std::function<std::uint64_t()> clock)
    : target_(target), ping_(std::move(ping)), interval_(TickInterval(timeoutUsec)), clock_(std::move(clock)) {
    if (interval_ != 0) target_.EnableHeartbeats();
}

TServiceWatchdog::~TServiceWatchdog() { VBX_EXPECT_OWNER_THREAD(thread_, "the watchdog's thread"); }

bool TServiceWatchdog::Start() {
    VBX_EXPECT_OWNER_THREAD(thread_, "the watchdog's thread");
    if (interval_ == 0 || window_) return false;
    auto window = std::make_unique<TickWindow>(*this);
    if (!window->Create(interval_)) return false;
    window_ = std::move(window);
    return true;
}

bool TServiceWatchdog::Tick() {
    VBX_EXPECT_OWNER_THREAD(thread_, "the watchdog's thread");
    if (interval_ == 0) return false;
    const bool answered = awaited_ != 0 && target_.AnsweredHeartbeat() == awaited_;
    const bool inFlight = awaited_ != 0 && !answered;
    // A long step that marked its progress within the last two ticks is at work.
    const std::uint64_t mark = target_.ControlThreadProgress();
    const std::uint64_t now = clock_();
    const bool progressing = mark != 0 && (now < mark || now - mark <= 2 * std::uint64_t{interval_});
    const bool alive = answered || progressing || target_.ControlThreadSuspended();
    // A failed ping is not reported: the next tick tries again, and only a silence of the
    // whole timeout makes the manager act.
    if (alive && ping_) ping_();
    if (!inFlight) {
        ++serial_;
        // A heartbeat that cannot be posted (no control thread now) leaves none awaited, so
        // the next tick does not ping on an old answer.
        awaited_ = target_.PostHeartbeat(serial_) ? serial_ : 0;
    }
    return alive;
}

}  // namespace service_host
