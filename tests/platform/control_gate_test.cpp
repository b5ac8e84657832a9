// What a stand-in for the service manager passes to its service (signals on Linux, the
// console on Windows), step by step from the reports the service made.
#include <gtest/gtest.h>

#include <vector>

#include "platform/service_manager.h"

namespace {

using platform::ControlGate;
using platform::ServiceStatus;

constexpr std::uint32_t kStop = 1, kPause = 2, kContinue = 3, kInterrogate = 4, kShutdown = 5, kCustom = 130;
constexpr std::uint32_t kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4, kContinuePending = 5,
                        kPausePending = 6, kPaused = 7;

// One step: the service reports a state (with the controls it accepts), a code arrives
// (and is expected to pass or not), or a held stop is looked at.
struct Step {
    enum Kind { Report, Offer, Held } kind;
    std::uint32_t value;
    bool passes = false;
    std::uint32_t controls = 7;
};
Step Report(std::uint32_t state, std::uint32_t controls = 7) { return {Step::Report, state, false, controls}; }
Step Passes(std::uint32_t code) { return {Step::Offer, code, true}; }
Step Refused(std::uint32_t code) { return {Step::Offer, code, false}; }
// For Held, `value` is whether the held stop is due (the service left the start).
Step HeldStopPasses() { return {Step::Held, 1, true}; }
Step HeldStopDropped() { return {Step::Held, 1, false}; }
Step NoHeldStop() { return {Step::Held, 0, false}; }

struct Case {
    const char* name;
    std::vector<Step> steps;
};

TEST(ControlGate, DecidesFromTheLastReport) {
    const Case cases[] = {
        {"codes before any report or while start-pending are dropped, a stop is held",
         {Refused(kPause), Refused(kInterrogate), Refused(kShutdown), Refused(kCustom), NoHeldStop(),
          Report(kStartPending, 0), Refused(kContinue), Refused(kStop), Refused(kStop), NoHeldStop(),
          Report(kStartPending, 0), NoHeldStop(), Report(kRunning), HeldStopPasses(), NoHeldStop(), Refused(kPause),
          Refused(kStop)}},
        {"a held stop is dropped when the start failed",
         {Report(kStartPending, 0), Refused(kStop), Report(kStopped), HeldStopDropped(), NoHeldStop(), Refused(kStop)}},
        {"the running service takes what it accepts",
         {Report(kRunning), Passes(kInterrogate), Passes(kCustom), Passes(kPause), Report(kPausePending),
          Refused(kInterrogate), Refused(kCustom), Report(kPaused), Passes(kInterrogate), Passes(kContinue),
          Report(kContinuePending), Report(kRunning), Passes(kShutdown)}},
        {"accepted bits count", {Report(kRunning, 4), Refused(kStop), Refused(kPause), Passes(kShutdown)}},
        {"after a stop only interrogate passes, also before the stop-pending report",
         {Report(kRunning), Passes(kStop), Refused(kPause), Refused(kStop), Refused(kShutdown), Refused(kCustom),
          Passes(kInterrogate), Report(kStopPending), Refused(kInterrogate), Refused(kStop), Report(kStopped),
          Refused(kStop), Refused(kInterrogate)}},
        {"after a shutdown likewise",
         {Report(kRunning), Passes(kShutdown), Refused(kStop), Report(kStopPending), Refused(kStop), Report(kStopped),
          Refused(kStop)}},
        {"reports made before the stop is handled keep the gate closed",
         {Report(kRunning), Passes(kPause), Passes(kStop), Report(kPausePending), Report(kPaused), Refused(kContinue),
          Refused(kStop), Passes(kInterrogate), Report(kPaused), Refused(kPause), Report(kStopPending),
          Report(kStopped), Refused(kStop)}},
        {"a failed stop re-opens the gate",
         {Report(kRunning), Passes(kStop), Report(kStopPending), Report(kRunning), Passes(kPause),
          Report(kPausePending), Report(kPaused), Passes(kStop), Report(kStopPending), Report(kPaused),
          Passes(kContinue)}},
        {"a held stop closes the gate as a passed one does",
         {Report(kStartPending, 0), Refused(kStop), Report(kRunning), HeldStopPasses(), Refused(kShutdown),
          Refused(kPause), Passes(kInterrogate), Report(kStopPending), Report(kStopped)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControlGate gate;
        int index = 0;
        for (const Step& step : c.steps) {
            SCOPED_TRACE(index++);
            switch (step.kind) {
            case Step::Report:
                gate.Reported(ServiceStatus{.dwCurrentState = step.value, .dwControlsAccepted = step.controls});
                break;
            case Step::Offer: EXPECT_EQ(step.passes, gate.Offer(step.value)) << "code " << step.value; break;
            case Step::Held:
                EXPECT_EQ(step.value == 1, gate.HeldStopDue());
                EXPECT_EQ(step.passes, gate.TakeHeldStop());
                break;
            }
        }
    }
}

}  // namespace
