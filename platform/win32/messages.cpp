// The per-thread message machinery on Windows: user32's own thread queues, window classes,
// posted messages and timers.
//
// Hidden windows are message-only windows (parent HWND_MESSAGE). They take posted
// messages, SetTimer ticks and WSAAsyncSelect notices exactly like a pop-up window, but
// need no desktop: a service has no interactive desktop, and Wine without a display
// refuses to create any top-level window while message-only windows always work. They
// never receive broadcasts, so no WM_ENDSESSION reaches them either, which is what a
// service that must survive a user logging off wants anyway.
#include "platform/messages.h"

#include <atomic>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <utility>

#include "platform/win32/win32.h"

namespace platform {
namespace {

// GetWindowLongPtrW index of the handler reference in a window's extra bytes.
constexpr int kHandlerSlot = 0;

// A C++ exception must not unwind through user32's frames between DispatchMessageW and the
// window procedure. The procedure catches it and parks it here; DispatchMessage rethrows it
// on the same thread once DispatchMessageW has returned, so callers see it exactly as if
// the handler had been called directly.
thread_local std::exception_ptr pendingException;
thread_local int dispatchDepth = 0;

HINSTANCE ModuleInstance() { return ::GetModuleHandleW(nullptr); }

LRESULT CALLBACK HiddenWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* handler = reinterpret_cast<WindowProcedure*>(::GetWindowLongPtrW(hwnd, kHandlerSlot));
    if (handler == nullptr) {
        // Creation and destruction messages arrive while no handler is attached.
        return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
    try {
        return handler->WindowProc(reinterpret_cast<WindowHandle>(hwnd), message, wParam, lParam);
    } catch (...) {
        // Outside DispatchMessage (a message sent by the system itself) nobody waits for
        // the error; it is dropped, as the window's dispatcher would drop it.
        if (dispatchDepth > 0) {
            pendingException = std::current_exception();
        }
        return 0;
    }
}

Message FromMsg(const MSG& m) {
    Message msg;
    msg.window = reinterpret_cast<WindowHandle>(m.hwnd);
    msg.message = m.message;
    msg.wParam = m.wParam;
    msg.lParam = m.lParam;
    return msg;
}

struct TestClock {
    std::mutex lock;
    std::function<std::uint64_t()> clock;
    std::atomic<bool> active{false};
};

TestClock& testClock() {
    static TestClock instance;
    return instance;
}

// ---- reserved posts ---------------------------------------------------------------------

// A post the system refuses for quota (its queue holds 10,000 messages) that the program
// must not lose waits here, per receiving thread and in posting order, until that thread
// next takes a message or waits for one; it then joins the system queue behind what is
// there. At most kReservedMessages wait per thread.
struct Waiting {
    bool toThread;  // PostThreadMessageW to the receiving thread, else PostMessageW to the window
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

struct ReserveQueues {
    std::mutex lock;
    std::map<DWORD, std::deque<Waiting>> byThread;
    std::atomic<std::size_t> waiting{0};  // over all threads, for a cheap look before the lock
};

// Never destroyed: threads may post while static destruction runs.
ReserveQueues& Reserve() {
    static ReserveQueues* queues = new ReserveQueues;
    return *queues;
}

std::atomic<bool> g_refuseSystemPosts{false};

bool SystemPost(DWORD thread, const Waiting& m) {
    if (g_refuseSystemPosts.load(std::memory_order_relaxed)) {
        ::SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return false;
    }
    return m.toThread ? ::PostThreadMessageW(thread, m.message, m.wParam, m.lParam) != 0
                      : ::PostMessageW(m.window, m.message, m.wParam, m.lParam) != 0;
}

// A thread's waiting messages go when it ends: a later thread may get its id.
struct ReserveOfThisThread {
    bool used = false;
    ~ReserveOfThisThread() {
        if (!used) return;
        ReserveQueues& r = Reserve();
        std::lock_guard guard(r.lock);
        if (auto it = r.byThread.find(::GetCurrentThreadId()); it != r.byThread.end()) {
            r.waiting -= it->second.size();
            r.byThread.erase(it);
        }
    }
};
thread_local ReserveOfThisThread reserveOfThisThread;

// The receiving thread, before it takes a message or waits: moves what waits for it into
// its system queue, in order, as far as there is room. A message whose window has gone
// goes with it, as queued messages of a destroyed window do.
void MoveWaitingMessages() {
    reserveOfThisThread.used = true;
    ReserveQueues& r = Reserve();
    if (r.waiting.load(std::memory_order_acquire) == 0) return;
    const DWORD self = ::GetCurrentThreadId();
    const DWORD error = ::GetLastError();  // the caller's, not this look's
    {
        std::lock_guard guard(r.lock);
        auto it = r.byThread.find(self);
        if (it != r.byThread.end()) {
            auto& queue = it->second;
            while (!queue.empty()) {
                if (!SystemPost(self, queue.front()) && ::GetLastError() == ERROR_NOT_ENOUGH_QUOTA) break;
                queue.pop_front();
                --r.waiting;
            }
            if (queue.empty()) r.byThread.erase(it);
        }
    }
    ::SetLastError(error);
}

bool PostReserved(DWORD thread, const Waiting& m) {
    ReserveQueues& r = Reserve();
    std::lock_guard guard(r.lock);
    auto it = r.byThread.find(thread);
    // Behind reserved messages that still wait, never ahead of them.
    if (it == r.byThread.end() || it->second.empty()) {
        if (SystemPost(thread, m)) return true;
        if (::GetLastError() != ERROR_NOT_ENOUGH_QUOTA) return false;
    }
    auto& queue = r.byThread[thread];
    if (queue.size() >= kReservedMessages) {
        ::SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return false;
    }
    queue.push_back(m);
    ++r.waiting;
    // The receiver's queue is full, so it takes a message (and moves these) before it
    // could wait for one: no wake-up is needed.
    return true;
}

}  // namespace

ThreadId CurrentThreadId() { return ::GetCurrentThreadId(); }

void EnsureMessageQueue() {
    MSG m;
    ::PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

bool GetMessage(Message& msg) {
    MoveWaitingMessages();
    MSG m{};
    const BOOL result = ::GetMessageW(&m, nullptr, 0, 0);
    if (result == -1) {
        // Only an invalid window filter makes GetMessageW fail; there is none here, but a
        // failure must not be mistaken for a message.
        return false;
    }
    msg = FromMsg(m);
    return result != 0;
}

bool PeekMessage(Message& msg, bool remove) {
    MoveWaitingMessages();
    MSG m{};
    if (!::PeekMessageW(&m, nullptr, 0, 0, remove ? PM_REMOVE : PM_NOREMOVE)) {
        return false;
    }
    msg = FromMsg(m);
    return true;
}

std::intptr_t DispatchMessage(const Message& msg) {
    MSG m{};
    m.hwnd = win32::ToHwnd(msg.window);
    m.message = msg.message;
    m.wParam = msg.wParam;
    m.lParam = msg.lParam;
    ++dispatchDepth;
    const LRESULT result = ::DispatchMessageW(&m);
    --dispatchDepth;
    if (pendingException) {
        std::rethrow_exception(std::exchange(pendingException, nullptr));
    }
    return result;
}

bool PostMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    return SystemPost(0, Waiting{false, win32::ToHwnd(window), message, wParam, lParam});
}

bool PostThreadMessage(ThreadId thread, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    return SystemPost(thread, Waiting{true, nullptr, message, wParam, lParam});
}

bool PostReservedMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    const HWND hwnd = win32::ToHwnd(window);
    const DWORD thread = ::GetWindowThreadProcessId(hwnd, nullptr);
    if (thread == 0) {
        ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    return PostReserved(thread, Waiting{false, hwnd, message, wParam, lParam});
}

bool PostReservedThreadMessage(ThreadId thread, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    return PostReserved(thread, Waiting{true, nullptr, message, wParam, lParam});
}

void RefuseSystemPostsForTesting(bool refuse) { g_refuseSystemPosts.store(refuse); }

void PostQuitMessage(int exitCode) { ::PostQuitMessage(exitCode); }

// PeekMessageW with the window filter (HWND)-1 looks only at messages posted to the thread
// itself and leaves them queued. When none is there, WaitMessage blocks until a message
// arrives that is newer than the last look at the queue: PeekMessageW resets the queue's
// "new message" bits, so a thread message posted between the look and the wait sets them
// again and WaitMessage returns at once. No wake-up can therefore be lost. Window messages
// (timer ticks) also end the wait; they stay queued and the loop looks again.
void SuspendUntilThreadMessage() {
    MSG m;
    for (;;) {
        MoveWaitingMessages();
        if (::PeekMessageW(&m, reinterpret_cast<HWND>(-1), 0, 0, PM_NOREMOVE)) {
            return;
        }
        ::WaitMessage();
    }
}

bool IsWindowClassRegistered(const std::u16string& className) {
    WNDCLASSW wc{};
    return ::GetClassInfoW(ModuleInstance(), win32::Wide(className), &wc) != 0;
}

bool RegisterWindowClass(const std::u16string& className) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = HiddenWindowProc;
    // Room for the handler reference: a full pointer, not the 4 bytes of a 32-bit build.
    wc.cbWndExtra = sizeof(LONG_PTR);
    wc.hInstance = ModuleInstance();
    wc.lpszClassName = win32::Wide(className);
    return ::RegisterClassW(&wc) != 0;
}

bool UnregisterWindowClass(const std::u16string& className) {
    return ::UnregisterClassW(win32::Wide(className), ModuleInstance()) != 0;
}

WindowHandle CreateHiddenWindow(const std::u16string& className) {
    // Wine can fail here without setting an error: a thread that asked for the desktop
    // while Wine was still making it never gets the parent of message-only windows. The
    // caller then reads 0, not a number left behind by an earlier call.
    ::SetLastError(ERROR_SUCCESS);
    const HWND hwnd = ::CreateWindowExW(WS_EX_TOOLWINDOW, win32::Wide(className), L"", WS_POPUP, 0, 0, 0, 0,
                                        HWND_MESSAGE, nullptr, ModuleInstance(), nullptr);
    return reinterpret_cast<WindowHandle>(hwnd);
}

bool DestroyWindow(WindowHandle window) {
    const HWND hwnd = win32::ToHwnd(window);
    if (::IsWindow(hwnd)) {
        // Windows refuses to destroy another thread's window (5); the handler must then
        // stay attached, so that refusal is found before anything changes.
        if (::GetWindowThreadProcessId(hwnd, nullptr) != ::GetCurrentThreadId()) {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        // The handler is detached first: the destruction messages would otherwise reach an
        // object that is often being destroyed itself at this moment.
        ::SetWindowLongPtrW(hwnd, kHandlerSlot, 0);
    }
    return ::DestroyWindow(hwnd) != 0;
}

void SetWindowHandler(WindowHandle window, WindowProcedure* handler) {
    ::SetWindowLongPtrW(win32::ToHwnd(window), kHandlerSlot, reinterpret_cast<LONG_PTR>(handler));
}

WindowProcedure* GetWindowHandler(WindowHandle window) {
    return reinterpret_cast<WindowProcedure*>(::GetWindowLongPtrW(win32::ToHwnd(window), kHandlerSlot));
}

std::intptr_t DefWindowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    return ::DefWindowProcW(win32::ToHwnd(window), message, wParam, lParam);
}

ThreadId WindowThread(WindowHandle window) { return ::GetWindowThreadProcessId(win32::ToHwnd(window), nullptr); }

// Windows wants a window's timers set and killed by the window's own thread; Wine lets
// other threads do it too. The check keeps one behaviour on every system, so that a caller
// that forgets to hand the request to the owning thread fails everywhere alike.
bool OwnedByCallingThread(WindowHandle window) {
    if (::GetWindowThreadProcessId(win32::ToHwnd(window), nullptr) == ::GetCurrentThreadId()) {
        return true;
    }
    ::SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

bool SetTimer(WindowHandle window, std::uintptr_t id, std::uint32_t periodMs) {
    return OwnedByCallingThread(window) && ::SetTimer(win32::ToHwnd(window), id, periodMs, nullptr) != 0;
}

bool KillTimer(WindowHandle window, std::uintptr_t id) {
    return OwnedByCallingThread(window) && ::KillTimer(win32::ToHwnd(window), id) != 0;
}

std::uint64_t GetTickCount64() {
    TestClock& tc = testClock();
    if (tc.active.load(std::memory_order_acquire)) {
        std::lock_guard guard(tc.lock);
        if (tc.clock) {
            return tc.clock();
        }
    }
    return ::GetTickCount64();
}

// The system's GetTickCount is the low half of the same counter.
std::uint32_t GetTickCount() { return static_cast<std::uint32_t>(GetTickCount64()); }

// On Windows the system timers keep their own clock; only the tick counts follow the test
// clock.
void SetTestClock(std::function<std::uint64_t()> clock) {
    TestClock& tc = testClock();
    std::lock_guard guard(tc.lock);
    tc.active.store(static_cast<bool>(clock), std::memory_order_release);
    tc.clock = std::move(clock);
}

std::uint32_t GetLastError() { return ::GetLastError(); }

void SetLastError(std::uint32_t code) { ::SetLastError(code); }

}  // namespace platform
