// The service manager's policy, shared by every platform: the names of the service states,
// which control a state accepts, how the watchdog's variables are read, and the gate that
// applies those rules to the controls of a running service (see ControlGate in
// platform/service_manager.h).
#include <cstdint>
#include <string>

#include "platform/service_manager.h"

namespace platform {

std::string ServiceStateName(std::uint32_t state) {
    static const char* const kNames[] = {"ssStopped",         "ssStartPending", "ssStopPending", "ssRunning",
                                         "ssContinuePending", "ssPausePending", "ssPaused"};
    if (state >= 1 && state <= 7) return kNames[state - 1];
    return std::to_string(state);
}

bool ManagerAcceptsControl(std::uint32_t control, const ServiceStatus& status) {
    const std::uint32_t state = status.dwCurrentState;
    if (state == kServiceStartPending || state == kServiceStopPending || state == kServiceStopped) return false;
    switch (control) {
    case kServiceControlStop: return (status.dwControlsAccepted & kServiceAcceptStop) != 0;
    case kServiceControlPause:
    case kServiceControlContinue: return (status.dwControlsAccepted & kServiceAcceptPauseContinue) != 0;
    case kServiceControlShutdown: return (status.dwControlsAccepted & kServiceAcceptShutdown) != 0;
    default: return state == kServiceRunning || state == kServicePaused;
    }
}

namespace {

// A decimal number of digits only (no sign, no blank, no base prefix) that fits 64 bits.
bool ParseDecimal(const char* text, std::uint64_t& value) {
    if (text == nullptr || *text == '\0') return false;
    value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(*c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

}  // namespace

std::uint64_t ParseWatchdogTimeout(const char* usec, const char* pid, std::uint64_t ownPid) {
    std::uint64_t timeout = 0;
    // 0 and the all-ones value (systemd's "infinity") mean no watchdog.
    if (!ParseDecimal(usec, timeout) || timeout == 0 || timeout == UINT64_MAX) return 0;
    if (pid == nullptr) return timeout;
    std::uint64_t target = 0;
    if (!ParseDecimal(pid, target) || target != ownPid) return 0;
    return timeout;
}

bool ControlGate::Pass(std::uint32_t control) {
    if (control == kServiceControlStop || control == kServiceControlShutdown) {
        stopPassed_ = true;
        stopPendingSeen_ = false;
    }
    return true;
}

bool ControlGate::Offer(std::uint32_t control) {
    VBX_EXPECT_LOCK_HELD(ownerLock_, "the owner's lock");
    if (Starting()) {
        if (control == kServiceControlStop) heldStop_ = true;
        return false;
    }
    if (!ManagerAcceptsControl(control, last_)) return false;
    if (stopPassed_ && control != kServiceControlInterrogate) return false;
    return Pass(control);
}

void ControlGate::Reported(const ServiceStatus& status) {
    VBX_EXPECT_LOCK_HELD(ownerLock_, "the owner's lock");
    reported_ = true;
    last_ = status;
    if (!stopPassed_) return;
    // Reports made before the passed stop is handled (of an earlier pause, say) do not
    // re-open the gate; only the outcome of the stop does.
    if (status.dwCurrentState == kServiceStopPending) {
        stopPendingSeen_ = true;
    } else if (status.dwCurrentState != kServiceStopped && stopPendingSeen_) {
        stopPassed_ = false;
    }
}

bool ControlGate::HeldStopDue() const {
    VBX_EXPECT_LOCK_HELD(ownerLock_, "the owner's lock");
    return heldStop_ && !Starting();
}

bool ControlGate::TakeHeldStop() {
    VBX_EXPECT_LOCK_HELD(ownerLock_, "the owner's lock");
    if (!HeldStopDue()) return false;
    heldStop_ = false;
    return Offer(kServiceControlStop);
}

}  // namespace platform
