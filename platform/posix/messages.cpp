// The POSIX message loop: one queue per thread, blocking in one epoll wait that holds an
// eventfd (woken by posts from other threads), a timerfd and the descriptors the socket
// layer watches. Periodic ticks are not separate timers: the timerfd is set to the moment
// the nearest tick falls due, and a tick is produced when the queue is asked for its next
// message and no posted message is waiting, exactly as Windows synthesises WM_TIMER.
//
// Why a timerfd rather than the wait's own timeout: the kernel lets a long epoll timeout
// end up to 0.1 % late (1 ms on a 1000 ms tick). A handler that re-enables its event then
// stamps it a millisecond late, the event drifts off the tick's phase, and the tick
// computation shrinks the tick to 100-200 ms around the next due event. The timerfd
// expires on the due millisecond. With the test clock the wait uses a plain timeout.
//
// Why the real tick count moves in steps of 10 ms (as Windows' counter moves with the
// system's clock interrupt, every 10 to 16 ms): a timer list stamps an event with the tick
// count when a handler re-enables it, and the handler of one event runs a little after the
// tick (the wake-up, the handler's own work, a connection attempt). On a counter with
// single milliseconds those stamps fall 1 to 5 ms after the tick, different for each
// event, and the list's tick computation, which needs the events' remaining times to be
// multiples of its tick, then shrinks the tick to 100 ms for up to two seconds: an idle
// service woke 85 to 107 times a minute instead of 61. With steps of 10 ms, a tick falls
// due on a step and everything stamped within 10 ms of it reads the same count, so the
// events stay in phase. The due times of ticks are kept in the same count; the timerfd
// expires at the step on which the count reaches the due time.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "platform/error_codes.h"
#include "platform/messages.h"
#include "platform/posix/loop_internal.h"

namespace platform {
namespace {

// SetTimer's period limits on Windows (USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM).
constexpr std::uint32_t kMinTimerPeriod = 10;
constexpr std::uint32_t kMaxTimerPeriod = 0x7FFFFFFF;

// epoll data of the queue's own eventfd and timerfd; watched descriptors carry
// serial << 32 | fd.
constexpr std::uint64_t kWakeToken = ~std::uint64_t(0);
constexpr std::uint64_t kTimerToken = ~std::uint64_t(0) - 1;

std::atomic<std::uint64_t> g_wakeups{0};
std::atomic<ThreadId> g_nextThreadId{1};

// ---- clock -------------------------------------------------------------------------

// The real tick count advances in whole steps of this many milliseconds (see the top of
// this file); the test clock is used as it is.
constexpr std::uint64_t kTickStepMs = 10;

std::atomic<bool> g_hasTestClock{false};
std::mutex g_clockMutex;
std::shared_ptr<const std::function<std::uint64_t()>> g_testClock;

std::uint64_t NowMs() {
    if (g_hasTestClock.load(std::memory_order_acquire)) {
        std::shared_ptr<const std::function<std::uint64_t()>> clock;
        {
            std::lock_guard lock(g_clockMutex);
            clock = g_testClock;
        }
        // The function is called outside the lock: a test clock may itself take locks.
        if (clock) return (*clock)();
    }
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ms = std::uint64_t(ts.tv_sec) * 1000u + std::uint64_t(ts.tv_nsec) / 1000000u;
    return ms - ms % kTickStepMs;
}

// The first moment at which the stepped real count reaches `due`.
std::uint64_t StepAtOrAfter(std::uint64_t due) {
    const std::uint64_t rest = due % kTickStepMs;
    return rest == 0 ? due : due + (kTickStepMs - rest);
}

// ---- per-thread queue ----------------------------------------------------------------

struct TimerSlot {
    WindowHandle window;
    std::uintptr_t id;
    std::uint32_t period;
    std::uint64_t due;
};

struct Watch {
    std::uint32_t serial;
    std::uint32_t events;
    std::shared_ptr<posix::FdCallback> callback;
};

struct Queue {
    explicit Queue(ThreadId owner) : thread(owner) {
        try {
            epollFd = Check(epoll_create1(EPOLL_CLOEXEC), "epoll_create1");
            wakeFd = Check(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC), "eventfd");
            timerFd = Check(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC), "timerfd_create");
            Add(wakeFd, kWakeToken);
            Add(timerFd, kTimerToken);
        } catch (...) {
            CloseAll();
            throw;
        }
    }
    ~Queue() { CloseAll(); }
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    const ThreadId thread;
    int epollFd = -1;
    int wakeFd = -1;
    int timerFd = -1;
    std::uint64_t timerFdDue = 0;  // ms of the armed expiry; 0: disarmed (owner only)

    // Guards everything below. Taken after the registry lock is released, never while
    // calling out to a window procedure or an fd callback.
    std::mutex mutex;
    bool dead = false;
    bool wakePending = false;  // one eventfd write in flight at a time
    std::deque<Message> posted;
    bool quitPending = false;
    int quitCode = 0;
    std::vector<TimerSlot> timers;
    std::map<int, Watch> watches;
    std::uint32_t nextSerial = 1;

    // Held by the owner while it runs fd callbacks, so that UnwatchFd from another thread
    // can wait until no callback of the removed watch is running. Recursive because a
    // callback may pump the loop again (a nested PeekMessage).
    std::recursive_mutex callbackMutex;

private:
    static int Check(int fd, const char* what) {
        if (fd < 0) throw std::system_error(errno, std::generic_category(), what);
        return fd;
    }
    void Add(int fd, std::uint64_t token) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = token;
        if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) != 0)
            throw std::system_error(errno, std::generic_category(), "epoll_ctl");
    }
    void CloseAll() {
        for (int fd : {timerFd, wakeFd, epollFd})
            if (fd >= 0) close(fd);
    }
};

// ---- process-wide tables ---------------------------------------------------------------

struct WindowEntry {
    ThreadId thread = 0;
    std::weak_ptr<Queue> queue;
    WindowProcedure* handler = nullptr;
    std::u16string className;
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<ThreadId, std::shared_ptr<Queue>> queues;
    std::map<WindowHandle, WindowEntry> windows;
    std::set<std::u16string> classes;
    WindowHandle nextWindow = 0x10000;  // handles are never reused
};

// Deliberately never destroyed: threads may still post or end after static destruction
// has begun, and a leaked table is harmless at process end.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

std::shared_ptr<Queue> FindQueue(ThreadId thread) {
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.queues.find(thread);
    return it == reg.queues.end() ? nullptr : it->second;
}

void RetireQueue(const std::shared_ptr<Queue>& queue);

// The calling thread's identity, last error and queue. The queue ends with the thread:
// it is unregistered, its windows are destroyed and later posts to it fail.
struct ThreadState {
    ThreadId id = 0;
    std::uint32_t lastError = 0;
    std::shared_ptr<Queue> queue;

    ~ThreadState() {
        if (queue) RetireQueue(queue);
    }
};

thread_local ThreadState t_state;

ThreadId ThisThread() {
    if (t_state.id == 0) t_state.id = g_nextThreadId.fetch_add(1);
    return t_state.id;
}

Queue& CurrentQueue() {
    if (!t_state.queue) {
        auto queue = std::make_shared<Queue>(ThisThread());
        Registry& reg = TheRegistry();
        std::lock_guard lock(reg.mutex);
        reg.queues[queue->thread] = queue;
        t_state.queue = std::move(queue);
    }
    return *t_state.queue;
}

void RetireQueue(const std::shared_ptr<Queue>& queue) {
    Registry& reg = TheRegistry();
    {
        std::lock_guard lock(reg.mutex);
        reg.queues.erase(queue->thread);
        for (auto it = reg.windows.begin(); it != reg.windows.end();) {
            if (it->second.thread == queue->thread)
                it = reg.windows.erase(it);
            else
                ++it;
        }
    }
    // Callbacks and messages are released outside the lock: destroying a callback may run
    // arbitrary destructors.
    std::map<int, Watch> watches;
    std::deque<Message> posted;
    {
        std::lock_guard lock(queue->mutex);
        queue->dead = true;
        watches.swap(queue->watches);
        posted.swap(queue->posted);
        queue->timers.clear();
    }
}

// Appends a message; false when the queue has ended or is full. An ordinary post finds
// it full at kMaxPostedMessages (as on Windows: a flood from a runaway producer fails its
// posts instead of exhausting memory); a reserved one only kReservedMessages later.
bool Enqueue(Queue& queue, const Message& msg, std::uint32_t goneError, bool reserved) {
    std::lock_guard lock(queue.mutex);
    if (queue.dead) {
        SetLastError(goneError);
        return false;
    }
    if (queue.posted.size() >= kMaxPostedMessages + (reserved ? kReservedMessages : 0)) {
        SetLastError(kErrorNotEnoughQuota);
        return false;
    }
    queue.posted.push_back(msg);
    // The owner checks its queue before every wait, so a post from the owner itself
    // needs no wake-up; another thread wakes it once until the owner drains the eventfd.
    if (queue.thread != t_state.id && !queue.wakePending) {
        queue.wakePending = true;
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(queue.wakeFd, &one, sizeof one);
    }
    return true;
}

// Under the queue lock: the next message (posted messages, then the quit message, then a
// due tick). `now` is read once per pass.
bool TakeNext(Queue& queue, Message& msg, bool remove, std::uint64_t now) {
    if (!queue.posted.empty()) {
        msg = queue.posted.front();
        if (remove) queue.posted.pop_front();
        return true;
    }
    if (queue.quitPending) {
        msg = Message{0, kWmQuit, std::uintptr_t(queue.quitCode), 0};
        if (remove) queue.quitPending = false;
        return true;
    }
    TimerSlot* earliest = nullptr;
    for (TimerSlot& slot : queue.timers) {
        if (slot.due <= now && (!earliest || slot.due < earliest->due)) earliest = &slot;
    }
    if (!earliest) return false;
    msg = Message{earliest->window, kWmTimer, earliest->id, 0};
    if (remove) {
        // Missed periods collapse into this one tick; the next one keeps the phase.
        std::uint64_t missed = (now - earliest->due) / earliest->period;
        earliest->due += (missed + 1) * std::uint64_t(earliest->period);
    }
    return true;
}

// Under the queue lock, on the owner thread: arms the timerfd for the ms moment `due`
// (0 disarms); false when the kernel refuses.
bool SetTimerFd(Queue& queue, std::uint64_t due) {
    if (due == queue.timerFdDue) return true;
    // One-shot at an absolute CLOCK_MONOTONIC moment; all zero disarms.
    itimerspec spec{};
    if (due != 0) {
        spec.it_value.tv_sec = time_t(due / 1000);
        spec.it_value.tv_nsec = long(due % 1000) * 1000000L;
    }
    if (timerfd_settime(queue.timerFd, TFD_TIMER_ABSTIME, &spec, nullptr) != 0) return false;
    queue.timerFdDue = due;
    return true;
}

// Under the queue lock, on the owner thread: prepares the wait until the nearest tick
// falls due and returns the epoll timeout (-1: no limit). On the real clock the timerfd
// carries the due moment; with the test clock the timeout does. Due times and `now` are
// whole milliseconds of a clock read by rounding down, so the difference already rounds
// the wait up to the due moment and never gives a 0 ms spin.
int PrepareWait(Queue& queue, std::uint64_t now) {
    std::uint64_t due = 0;
    if (!queue.timers.empty()) {
        due = UINT64_MAX;
        for (const TimerSlot& slot : queue.timers) due = std::min(due, slot.due);
    }
    bool realClock = !g_hasTestClock.load(std::memory_order_acquire);
    // On the real clock a due time between two steps is reached only at the next step:
    // waking before it would find a count that is not yet due.
    if (realClock && due != 0) due = StepAtOrAfter(due);
    if (!SetTimerFd(queue, realClock ? due : 0)) realClock = false;  // then the timeout serves
    if (due == 0 || realClock) return -1;
    if (due <= now) return 0;
    return int(std::min<std::uint64_t>(due - now, INT_MAX));
}

// Waits up to timeoutMs (0: just looks) for the eventfd or a watched descriptor, and
// serves what it finds on the calling (owner) thread.
void Serve(Queue& queue, int timeoutMs) {
    epoll_event events[32];
    int n = epoll_wait(queue.epollFd, events, 32, timeoutMs);
    if (timeoutMs != 0) g_wakeups.fetch_add(1, std::memory_order_relaxed);
    if (n <= 0) return;  // timeout, or EINTR: the caller looks at its queue again

    bool haveWatchEvents = false;
    for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == kWakeToken) {
            std::lock_guard lock(queue.mutex);
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t r = read(queue.wakeFd, &count, sizeof count);
            queue.wakePending = false;
        } else if (events[i].data.u64 == kTimerToken) {
            std::lock_guard lock(queue.mutex);
            std::uint64_t expirations = 0;
            [[maybe_unused]] ssize_t r = read(queue.timerFd, &expirations, sizeof expirations);
            queue.timerFdDue = 0;  // a one-shot expiry disarms it
        } else {
            haveWatchEvents = true;
        }
    }
    if (!haveWatchEvents) return;

    std::lock_guard callbacks(queue.callbackMutex);
    for (int i = 0; i < n; ++i) {
        std::uint64_t token = events[i].data.u64;
        if (token == kWakeToken || token == kTimerToken) continue;
        int fd = int(std::uint32_t(token));
        std::uint32_t serial = std::uint32_t(token >> 32);
        std::shared_ptr<posix::FdCallback> callback;
        {
            std::lock_guard lock(queue.mutex);
            auto it = queue.watches.find(fd);
            // A watch removed or replaced since the wait returned is not served: its
            // event belongs to the old registration.
            if (it == queue.watches.end() || it->second.serial != serial) continue;
            callback = it->second.callback;
        }
        if (callback && *callback) (*callback)(events[i].events);
    }
}

}  // namespace

// ---- thread queue ----------------------------------------------------------------------

ThreadId CurrentThreadId() { return ThisThread(); }

void EnsureMessageQueue() { CurrentQueue(); }

bool GetMessage(Message& msg) {
    Queue& queue = CurrentQueue();
    for (;;) {
        int timeout;
        {
            std::lock_guard lock(queue.mutex);
            std::uint64_t now = NowMs();
            if (TakeNext(queue, msg, true, now)) return msg.message != kWmQuit;
            timeout = PrepareWait(queue, now);
        }
        // A wake-up before the due time (a post, a watch, a signal) just leads to another
        // look at the queue and another wait for the rest of the time.
        Serve(queue, timeout);
    }
}

bool PeekMessage(Message& msg, bool remove) {
    Queue& queue = CurrentQueue();
    {
        std::lock_guard lock(queue.mutex);
        if (TakeNext(queue, msg, remove, NowMs())) return true;
    }
    Serve(queue, 0);
    std::lock_guard lock(queue.mutex);
    return TakeNext(queue, msg, remove, NowMs());
}

std::intptr_t DispatchMessage(const Message& msg) {
    if (msg.window == 0) return 0;  // thread messages have no window procedure
    WindowProcedure* handler = nullptr;
    {
        Registry& reg = TheRegistry();
        std::lock_guard lock(reg.mutex);
        auto it = reg.windows.find(msg.window);
        // A message for a window destroyed after it was queued is dropped here, as is
        // one for a window of another thread.
        if (it == reg.windows.end() || it->second.thread != ThisThread()) {
            SetLastError(kErrorInvalidWindowHandle);
            return 0;
        }
        handler = it->second.handler;
    }
    if (!handler) return DefWindowProc(msg.window, msg.message, msg.wParam, msg.lParam);
    return handler->WindowProc(msg.window, msg.message, msg.wParam, msg.lParam);
}

namespace {

bool PostToWindow(WindowHandle window, const Message& msg, bool reserved) {
    std::shared_ptr<Queue> queue;
    {
        Registry& reg = TheRegistry();
        std::lock_guard lock(reg.mutex);
        auto it = reg.windows.find(window);
        if (it != reg.windows.end()) queue = it->second.queue.lock();
    }
    if (!queue) {
        SetLastError(kErrorInvalidWindowHandle);
        return false;
    }
    return Enqueue(*queue, msg, kErrorInvalidWindowHandle, reserved);
}

bool PostToThread(ThreadId thread, const Message& msg, bool reserved) {
    std::shared_ptr<Queue> queue = FindQueue(thread);
    if (!queue) {
        SetLastError(kErrorInvalidThreadId);
        return false;
    }
    return Enqueue(*queue, msg, kErrorInvalidThreadId, reserved);
}

}  // namespace

bool PostMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    return PostToWindow(window, Message{window, message, wParam, lParam}, false);
}

bool PostThreadMessage(ThreadId thread, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    return PostToThread(thread, Message{0, message, wParam, lParam}, false);
}

bool PostReservedMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    return PostToWindow(window, Message{window, message, wParam, lParam}, true);
}

bool PostReservedThreadMessage(ThreadId thread, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    return PostToThread(thread, Message{0, message, wParam, lParam}, true);
}

void PostQuitMessage(int exitCode) {
    Queue& queue = CurrentQueue();
    std::lock_guard lock(queue.mutex);
    queue.quitPending = true;
    queue.quitCode = exitCode;
}

void SuspendUntilThreadMessage() {
    Queue& queue = CurrentQueue();
    for (;;) {
        {
            std::lock_guard lock(queue.mutex);
            if (queue.quitPending) return;
            for (const Message& m : queue.posted)
                if (m.window == 0) return;
            SetTimerFd(queue, 0);  // a suspended thread has no tick to wake for
        }
        // No timeout: a suspended thread produces no ticks. A thread message posted from
        // now on finds wakePending false or an eventfd not yet drained, so it ends the wait.
        Serve(queue, -1);
    }
}

// ---- hidden windows ----------------------------------------------------------------------

bool IsWindowClassRegistered(const std::u16string& className) {
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    if (reg.classes.count(className) != 0) return true;
    SetLastError(kErrorClassDoesNotExist);  // as GetClassInfoW
    return false;
}

bool RegisterWindowClass(const std::u16string& className) {
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    if (!reg.classes.insert(className).second) {
        SetLastError(kErrorClassAlreadyExists);
        return false;
    }
    return true;
}

bool UnregisterWindowClass(const std::u16string& className) {
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    if (reg.classes.count(className) == 0) {
        SetLastError(kErrorClassDoesNotExist);
        return false;
    }
    for (const auto& [handle, entry] : reg.windows) {
        if (entry.className == className) {
            SetLastError(kErrorClassHasWindows);
            return false;
        }
    }
    reg.classes.erase(className);
    return true;
}

WindowHandle CreateHiddenWindow(const std::u16string& className) {
    Queue& queue = CurrentQueue();
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    if (reg.classes.count(className) == 0) {
        SetLastError(kErrorCannotFindWndClass);
        return 0;
    }
    WindowHandle handle = reg.nextWindow++;
    WindowEntry& entry = reg.windows[handle];
    entry.thread = queue.thread;
    entry.queue = t_state.queue;
    entry.className = className;
    return handle;
}

bool DestroyWindow(WindowHandle window) {
    std::shared_ptr<Queue> queue;
    {
        Registry& reg = TheRegistry();
        std::lock_guard lock(reg.mutex);
        auto it = reg.windows.find(window);
        if (it == reg.windows.end()) {
            SetLastError(kErrorInvalidWindowHandle);
            return false;
        }
        // Only the owning thread destroys a window, as on Windows: another thread would
        // pull it from under a message its owner is handling.
        if (it->second.thread != ThisThread()) {
            SetLastError(kErrorAccessDenied);
            return false;
        }
        queue = it->second.queue.lock();
        reg.windows.erase(it);
    }
    if (queue) {
        // Its ticks stop and the messages still queued for it go with it, as on Windows.
        std::lock_guard lock(queue->mutex);
        std::erase_if(queue->timers, [window](const TimerSlot& slot) { return slot.window == window; });
        std::erase_if(queue->posted, [window](const Message& msg) { return msg.window == window; });
    }
    return true;
}

void SetWindowHandler(WindowHandle window, WindowProcedure* handler) {
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.windows.find(window);
    if (it == reg.windows.end()) {
        SetLastError(kErrorInvalidWindowHandle);
        return;
    }
    it->second.handler = handler;
}

WindowProcedure* GetWindowHandler(WindowHandle window) {
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.windows.find(window);
    return it == reg.windows.end() ? nullptr : it->second.handler;
}

std::intptr_t DefWindowProc(WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t) { return 0; }

ThreadId WindowThread(WindowHandle window) {
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.windows.find(window);
    return it == reg.windows.end() ? 0 : it->second.thread;
}

// ---- periodic ticks -----------------------------------------------------------------------

namespace {

// A window's tick is served by its owner's wait, so only the owner arms or kills it, as on
// Windows: false with the error set for an unknown window or another thread's.
bool OwnsTimerWindow(const Queue& queue, WindowHandle window) {
    const ThreadId owner = WindowThread(window);
    if (owner == 0) {
        SetLastError(kErrorInvalidWindowHandle);
        return false;
    }
    if (owner != queue.thread) {
        SetLastError(kErrorAccessDenied);
        return false;
    }
    return true;
}

}  // namespace

bool SetTimer(WindowHandle window, std::uintptr_t id, std::uint32_t periodMs) {
    Queue& queue = CurrentQueue();
    if (!OwnsTimerWindow(queue, window)) return false;
    std::uint32_t period = std::clamp(periodMs, kMinTimerPeriod, kMaxTimerPeriod);
    std::lock_guard lock(queue.mutex);
    std::uint64_t due = NowMs() + period;
    for (TimerSlot& slot : queue.timers) {
        if (slot.window == window && slot.id == id) {
            slot.period = period;
            slot.due = due;
            return true;
        }
    }
    queue.timers.push_back(TimerSlot{window, id, period, due});
    return true;
}

bool KillTimer(WindowHandle window, std::uintptr_t id) {
    Queue& queue = CurrentQueue();
    if (!OwnsTimerWindow(queue, window)) return false;
    std::lock_guard lock(queue.mutex);
    auto removed =
        std::erase_if(queue.timers, [&](const TimerSlot& slot) { return slot.window == window && slot.id == id; });
    if (removed == 0) {
        SetLastError(kErrorInvalidTimerId);
        return false;
    }
    return true;
}

// ---- clock and last error ------------------------------------------------------------------

std::uint64_t GetTickCount64() { return NowMs(); }
std::uint32_t GetTickCount() { return std::uint32_t(NowMs()); }

void SetTestClock(std::function<std::uint64_t()> clock) {
    std::lock_guard lock(g_clockMutex);
    if (clock) {
        g_testClock = std::make_shared<const std::function<std::uint64_t()>>(std::move(clock));
        g_hasTestClock.store(true, std::memory_order_release);
    } else {
        g_testClock.reset();
        g_hasTestClock.store(false, std::memory_order_release);
    }
}

std::uint32_t GetLastError() { return t_state.lastError; }
void SetLastError(std::uint32_t code) { t_state.lastError = code; }

// ---- descriptor watches for the socket layer --------------------------------------------------

namespace posix {

std::uint64_t LoopWakeups() { return g_wakeups.load(std::memory_order_relaxed); }

bool WatchFd(ThreadId owner, int fd, std::uint32_t epollEvents, FdCallback callback) {
    std::shared_ptr<Queue> queue = FindQueue(owner);
    if (!queue || fd < 0) return false;
    auto shared = std::make_shared<FdCallback>(std::move(callback));
    std::shared_ptr<FdCallback> replaced;  // released outside the lock
    std::lock_guard lock(queue->mutex);
    if (queue->dead) return false;
    std::uint32_t serial = queue->nextSerial++;
    epoll_event ev{};
    ev.events = epollEvents;
    ev.data.u64 = (std::uint64_t(serial) << 32) | std::uint32_t(fd);
    auto it = queue->watches.find(fd);
    // Adding a descriptor that is already ready wakes a waiting owner by itself.
    int rc;
    if (it != queue->watches.end()) {
        rc = epoll_ctl(queue->epollFd, EPOLL_CTL_MOD, fd, &ev);
        // The old descriptor was closed without UnwatchFd and its number reused.
        if (rc != 0 && errno == ENOENT) rc = epoll_ctl(queue->epollFd, EPOLL_CTL_ADD, fd, &ev);
    } else {
        rc = epoll_ctl(queue->epollFd, EPOLL_CTL_ADD, fd, &ev);
    }
    if (rc != 0) return false;
    Watch& watch = queue->watches[fd];
    replaced = std::move(watch.callback);
    watch = Watch{serial, epollEvents, std::move(shared)};
    return true;
}

bool ModifyFdWatch(ThreadId owner, int fd, std::uint32_t epollEvents) {
    std::shared_ptr<Queue> queue = FindQueue(owner);
    if (!queue) return false;
    std::lock_guard lock(queue->mutex);
    auto it = queue->watches.find(fd);
    if (it == queue->watches.end()) return false;
    epoll_event ev{};
    ev.events = epollEvents;
    ev.data.u64 = (std::uint64_t(it->second.serial) << 32) | std::uint32_t(fd);
    if (epoll_ctl(queue->epollFd, EPOLL_CTL_MOD, fd, &ev) != 0) return false;
    it->second.events = epollEvents;
    return true;
}

void UnwatchFd(ThreadId owner, int fd) {
    std::shared_ptr<Queue> queue = FindQueue(owner);
    if (!queue) return;  // the owner's loop has ended: no callback can run any more
    std::shared_ptr<FdCallback> removed;
    {
        std::lock_guard lock(queue->mutex);
        auto it = queue->watches.find(fd);
        if (it == queue->watches.end()) return;
        removed = std::move(it->second.callback);
        queue->watches.erase(it);
        epoll_ctl(queue->epollFd, EPOLL_CTL_DEL, fd, nullptr);
    }
    // On another thread, wait for a callback batch the owner may be running: after that
    // the watch is gone from the table and the owner will not find it again. The owner
    // itself is not running a callback of this watch unless it is inside it.
    if (owner != ThisThread()) {
        std::lock_guard wait(queue->callbackMutex);
    }
}

}  // namespace posix
}  // namespace platform
