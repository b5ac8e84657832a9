#pragma once
// Per-thread message machinery: thread queues, hidden handler windows, posted messages,
// periodic ticks, the tick count and the stand-in for thread suspension.
//
// Each operation maps onto one Win32 call (named with it); the POSIX implementation keeps
// the same contract with one queue per thread blocking in one wait.
//
// Threading contract:
// - Post* may be called from any thread and never waits for the receiver. Posting to a
//   window that was destroyed or to a thread whose loop has ended returns false and the
//   message is dropped.
// - GetMessage, PeekMessage, DispatchMessage, SuspendUntilThreadMessage and
//   CreateHiddenWindow act on the calling thread's queue and windows.
// - A window belongs to the thread that created it. DestroyWindow, SetTimer and KillTimer
//   for a window of another thread fail with 5 (access denied) and change nothing, as
//   Windows wants; the owner must be asked, for example with a posted message.
// - Destroying a window stops its ticks and removes the messages still queued for it;
//   later posts to it fail with 1400. A thread's windows end with its loop.
// - Messages come out one at a time in posting order, posted messages before timer ticks.
// - A thread's queue holds at most kMaxPostedMessages posted messages, as on Windows: a
//   post to a full queue fails with 1816 (not enough quota). PostReserved* messages, the
//   ones the program must not lose, use room kept beyond that (see there).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

using ThreadId = std::uint32_t;
using WindowHandle = std::uintptr_t;  // 0 means no window

constexpr std::uint32_t kWmQuit = 0x0012;
constexpr std::uint32_t kWmEndSession = 0x0016;
constexpr std::uint32_t kWmTimer = 0x0113;  // 275
constexpr std::uint32_t kWmUser = 0x0400;

struct Message {
    WindowHandle window = 0;
    std::uint32_t message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

// The handler object a hidden window carries in its extra bytes. Every message for the
// window is handed to it on the window's owning thread.
class WindowProcedure {
public:
    virtual ~WindowProcedure() = default;
    virtual std::intptr_t WindowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam) = 0;
};

ThreadId CurrentThreadId();  // GetCurrentThreadId

// Thread queue.
void EnsureMessageQueue();                          // PeekMessageW(PM_NOREMOVE, WM_USER..WM_USER)
bool GetMessage(Message& msg);                      // GetMessageW: false on the quit message
bool PeekMessage(Message& msg, bool remove);        // PeekMessageW(PM_REMOVE or PM_NOREMOVE)
std::intptr_t DispatchMessage(const Message& msg);  // DispatchMessageW
bool PostMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
bool PostThreadMessage(ThreadId thread, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

// The bound of a thread's queue for posts from anyone (Windows' default quota), and the
// room kept beyond it for the program's own messages that must not be lost: a close, a
// re-arm, a released handle's mark, a control code, the quit. Each such message is
// bounded by its sender (one re-arm in flight per timer list, one mark per released
// handle, ...), so a flood of ordinary posts can fill a queue but never this room.
constexpr std::size_t kMaxPostedMessages = 10000;
constexpr std::size_t kReservedMessages = 1000;
// Posts that a full queue does not refuse: they fail only where an ordinary post fails
// for another reason (1400, 1444), or with 1816 once kReservedMessages of them wait
// beyond a full queue. On POSIX they join the queue itself, in posting order with every
// other post. Windows' queue cannot grow: a message it refuses for quota waits, with the
// thread's later reserved ones, in a side queue of that thread and joins the system
// queue in order as soon as the thread takes a message (GetMessage, PeekMessage) or
// waits for one, so it may come after ordinary posts made meanwhile.
bool PostReservedMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
bool PostReservedThreadMessage(ThreadId thread, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
#ifdef _WIN32
// Tests on Windows, where the system's queue is not filled that easily (Wine sets no
// limit at all): true makes the system refuse every post for quota, as a full queue does.
void RefuseSystemPostsForTesting(bool refuse);
#endif

void PostQuitMessage(int exitCode);  // quit message for the calling thread

// Stand-in for "suspend the calling thread until resumed": blocks, serving nothing, until
// the calling thread's queue holds a message posted with PostThreadMessage (or a quit).
// A message posted before the call returns at once, so no wake-up is ever lost.
void SuspendUntilThreadMessage();

// Hidden windows (window classes registered for the program's module).
bool IsWindowClassRegistered(const std::u16string& className);  // GetClassInfoW; 1411 when not
bool RegisterWindowClass(const std::u16string& className);      // RegisterClassW, room for a handler reference
bool UnregisterWindowClass(const std::u16string& className);    // UnregisterClassW
// CreateWindowExW of an invisible window on the calling thread; 0 on failure, with the
// call's own error in GetLastError (0 where the system set none).
WindowHandle CreateHiddenWindow(const std::u16string& className);
bool DestroyWindow(WindowHandle window);
void SetWindowHandler(WindowHandle window, WindowProcedure* handler);  // SetWindowLongPtrW
WindowProcedure* GetWindowHandler(WindowHandle window);                // GetWindowLongPtrW
std::intptr_t DefWindowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
ThreadId WindowThread(WindowHandle window);  // GetWindowThreadProcessId; 0 if gone

// Periodic tick bound to a window of the calling thread: delivered as kWmTimer with
// wParam = id through the owning thread's queue; setting it again restarts the period;
// at most one tick is pending, so missed ticks arrive as one; killing is harmless.
bool SetTimer(WindowHandle window, std::uintptr_t id, std::uint32_t periodMs);
bool KillTimer(WindowHandle window, std::uintptr_t id);

// Millisecond counter since an arbitrary start that does not wrap (GetTickCount64). Like
// Windows' counter, which follows the clock interrupt (10 to 16 ms), it advances in steps:
// of 10 ms on POSIX, so readings taken within a few milliseconds of a tick agree with it.
std::uint64_t GetTickCount64();
// 32-bit wrapping millisecond counter (GetTickCount): the low 32 bits of GetTickCount64,
// so the two readings always agree.
std::uint32_t GetTickCount();

// Tests replace the clock: a function giving milliseconds as a 64-bit count. On POSIX it
// drives GetTickCount64, GetTickCount and the due times of the periodic ticks; on Windows
// only the two counters. An empty function restores the real clock.
void SetTestClock(std::function<std::uint64_t()> clock);

std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);

// Registers the class unless it is registered already; a registration that another
// thread won meanwhile counts as done. On failure GetLastError is the registration's own
// error, not the one the look after it left.
inline bool EnsureWindowClass(const std::u16string& className) {
    if (IsWindowClassRegistered(className) || RegisterWindowClass(className)) return true;
    const std::uint32_t error = GetLastError();
    if (IsWindowClassRegistered(className)) return true;
    SetLastError(error);
    return false;
}

}  // namespace platform
