#pragma once
// Helpers for the tests of the Windows platform layer: a hidden window that records what
// reaches it, and a bounded wait for the next message of the calling thread.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/messages.h"

namespace win32_tests {

// A hidden window of the calling thread whose handler records every message it gets.
class RecordingWindow : public platform::WindowProcedure {
public:
    explicit RecordingWindow(const std::u16string& className = u"VBxWin32TestWindow") : className_(className) {
        if (!platform::IsWindowClassRegistered(className_)) {
            platform::RegisterWindowClass(className_);
        }
        handle_ = platform::CreateHiddenWindow(className_);
        if (handle_ != 0) {
            platform::SetWindowHandler(handle_, this);
        }
    }
    ~RecordingWindow() override {
        if (handle_ != 0) {
            platform::DestroyWindow(handle_);
        }
    }
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    platform::WindowHandle handle() const { return handle_; }
    std::vector<platform::Message> received;

    std::intptr_t WindowProc(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override {
        received.push_back({window, message, wParam, lParam});
        return 0;
    }

private:
    std::u16string className_;
    platform::WindowHandle handle_ = 0;
};

// Fetches and dispatches messages of the calling thread until `done` holds or `limitMs`
// have passed; a watchdog tick on `window` bounds the wait. Returns whether `done` held.
template <typename Done>
bool PumpUntil(platform::WindowHandle window, Done done, std::uint32_t limitMs = 5000) {
    constexpr std::uintptr_t kWatchdog = 0x7777;
    const std::uint32_t start = platform::GetTickCount();
    platform::SetTimer(window, kWatchdog, 200);
    bool held = done();
    platform::Message msg;
    while (!held && platform::GetTickCount() - start < limitMs && platform::GetMessage(msg)) {
        if (!(msg.message == platform::kWmTimer && msg.wParam == kWatchdog)) {
            platform::DispatchMessage(msg);
        }
        held = done();
    }
    platform::KillTimer(window, kWatchdog);
    return held;
}

}  // namespace win32_tests
