#include "timers/timer_list.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <limits>
#include <stdexcept>

#include "runtime/errors.h"
#include "timers/application_errors.h"

namespace timers {

namespace {

constexpr std::uintptr_t kTimerId = 1;
constexpr std::int32_t kMinTick = 100;
constexpr std::int32_t kNoTick = std::numeric_limits<std::int32_t>::max();

// Elapsed time between two readings of the 64-bit tick count. The list measures with that
// count because the 32-bit one cannot tell a gap of more than 2^31 ms (a thread suspended
// for 25 days) from a moment in the future, and one of 2^32 ms from no time at all.
std::int64_t Elapsed(std::uint64_t now, std::uint64_t since) { return std::int64_t(now - since); }

// Hands an error caught on the loop to the application's error handling.
void ReportApplicationError(void* sender, const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        HandleApplicationError(sender, e);
    } catch (...) {
        // Only errors derived from std::exception can be reported; anything else is
        // dropped here rather than ending the thread's message loop.
    }
}

}  // namespace

const std::u16string TJvTimerList::kWindowClass = u"TPUtilWindowEx";

// ---- the timer window ----------------------------------------------------------------------

// The timer window's handler, apart from the list: only the window's own thread may kill
// its timer and destroy it, so a list that lets it go on another thread leaves it here,
// detached, until that thread's loop hands it its next message and it destroys itself
// there. It keeps itself alive (self_) for as long as its window exists, and no longer than
// its thread: a thread that ends without another message destroys its windows on the way.
class TJvTimerList::TickWindow final : public platform::WindowProcedure {
public:
    // Creates the window on the calling thread, bound to the list; raises the platform's
    // error when it cannot.
    static std::shared_ptr<TickWindow> Create(TJvTimerList& list) {
        // The class is registered once per process; another list may have won a race.
        if (!platform::EnsureWindowClass(kWindowClass)) throw runtime::MakeOSError(platform::GetLastError());
        const platform::WindowHandle handle = platform::CreateHiddenWindow(kWindowClass);
        if (handle == 0) throw runtime::MakeOSError(platform::GetLastError());
        std::shared_ptr<TickWindow> window(new TickWindow(handle, list));
        window->self_ = window;
        platform::SetWindowHandler(handle, window.get());
        ThreadWindows().Track(window);
        return window;
    }
    ~TickWindow() override { --g_liveWindows; }

    static int LiveCount() { return g_liveWindows.load(); }

    platform::WindowHandle Handle() const { return handle_; }
    platform::ThreadId Thread() const { return thread_; }

    std::intptr_t WindowProc(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override {
        std::shared_ptr<TickWindow> keep;  // this object lives until the call returns
        TJvTimerList* list;
        {
            std::lock_guard lock(mutex_);
            keep = self_;
            list = list_;
            if (list != nullptr) ++running_;
        }
        if (list == nullptr) {
            // Let go of on another thread: the list's own messages (its tick, a re-arm,
            // the request) destroy the window now, on its thread.
            const bool ours = message == platform::kWmTimer || message == kRearmMessage || message == kRetireMessage;
            if (!ours) return platform::DefWindowProc(window, message, wParam, lParam);
            if (keep) Destroy();
            return 0;
        }
        struct Leave {
            TickWindow& window;
            ~Leave() {
                std::lock_guard lock(window.mutex_);
                if (--window.running_ == 0) window.idle_.notify_all();
            }
        } leave{*this};
        return list->HandleTimerMessage(message, wParam, lParam);
    }

    // Any thread: the list lets go; nothing reaches it through this window any more.
    void Detach() {
        std::lock_guard lock(mutex_);
        list_ = nullptr;
    }
    // The window's thread: binds a detached window again; false once it is destroyed.
    bool Reattach(TJvTimerList& list) {
        std::lock_guard lock(mutex_);
        if (!alive_) return false;
        list_ = &list;
        return true;
    }
    // The window's thread, or any thread once that one has ended: kills the tick and
    // destroys the window (a window whose thread has ended is gone already).
    void Destroy() {
        if (platform::WindowThread(handle_) == platform::CurrentThreadId()) {
            platform::KillTimer(handle_, kTimerId);
            platform::SetWindowHandler(handle_, nullptr);
            platform::DestroyWindow(handle_);
        }
        std::shared_ptr<TickWindow> self;  // released after the lock
        std::lock_guard lock(mutex_);
        list_ = nullptr;
        alive_ = false;
        self = std::move(self_);
    }
    // Any thread but the window's: returns once no call into the list runs through this
    // window (a detached window starts none).
    void WaitUntilIdle() {
        if (platform::CurrentThreadId() == thread_) return;
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [this] { return running_ == 0; });
    }

private:
    TickWindow(platform::WindowHandle handle, TJvTimerList& list)
        : handle_(handle), thread_(platform::CurrentThreadId()), list_(&list) {
        ++g_liveWindows;
    }

    // The windows made on one thread that are still alive (at most those of the lists
    // active there, and the ones let go of that wait for its next message): destroyed,
    // on their own thread, when it ends.
    class Tracker {
    public:
        ~Tracker() {
            for (const auto& tracked : windows_)
                if (std::shared_ptr<TickWindow> window = tracked.lock()) window->Destroy();
        }
        void Track(const std::shared_ptr<TickWindow>& window) {
            std::erase_if(windows_, [](const std::weak_ptr<TickWindow>& w) { return w.expired(); });
            windows_.push_back(window);
        }

    private:
        std::vector<std::weak_ptr<TickWindow>> windows_;
    };
    // Made with the thread's first window, after the platform's own state of the thread,
    // so it goes before that.
    static Tracker& ThreadWindows() {
        thread_local Tracker tracker;
        return tracker;
    }

    static inline std::atomic<int> g_liveWindows{0};

    const platform::WindowHandle handle_;
    const platform::ThreadId thread_;
    std::mutex mutex_;
    std::condition_variable idle_;
    TJvTimerList* list_;
    int running_ = 0;  // calls into the list now running on the window's thread (nested ones too)
    bool alive_ = true;
    std::shared_ptr<TickWindow> self_;
};

void TimerListEffects::Run(void* list) {
    if (finished && onFinish) {
        TNotifyEvent handler = std::move(onFinish);
        finished = false;
        handler(list);
    }
    if (outOfTimers) {
        outOfTimers = false;
        throw runtime::EOutOfResources(u"Not enough timers available");
    }
}

// ---- TJvTimerEvent ------------------------------------------------------------------------

TJvTimerEvent::TJvTimerEvent(std::shared_ptr<platform::CheckedMutex> lock)
    : lock_(std::move(lock)), lastFired_(platform::GetTickCount64()) {}

TJvTimerEvent::~TJvTimerEvent() { onTimer_ = nullptr; }

bool TJvTimerEvent::Cycled() const {
    std::lock_guard lock(*lock_);
    return cycled_;
}

void TJvTimerEvent::SetCycled(bool value) {
    std::lock_guard lock(*lock_);
    cycled_ = value;
}

bool TJvTimerEvent::Enabled() const {
    std::lock_guard lock(*lock_);
    return enabled_;
}

void TJvTimerEvent::SetEnabled(bool value) {
    TimerListEffects fx;
    TJvTimerList* list;
    {
        std::lock_guard lock(*lock_);
        SetEnabledLocked(value, fx);
        list = list_;
    }
    fx.Run(list);
}

void TJvTimerEvent::SetEnabledLocked(bool value, TimerListEffects& fx) {
    VBX_EXPECT_LOCK_HELD(*lock_, "the timer list's lock");
    if (value == enabled_) return;
    enabled_ = value;
    if (!value) return;  // disabling only clears the flag
    fireCount_ = 0;
    std::uint64_t now = platform::GetTickCount64();
    lastFired_ = now;
    if (list_) {
        list_->ComputeTickIntervalLocked(now);
        list_->RearmTimerLocked(fx);
        // A refused timer ends the operation here, as its error will: the re-arm has
        // already deactivated the list, and activating it again would leave a ticking
        // window behind an operation that reports failure.
        if (fx.outOfTimers) return;
        list_->SetActiveLocked(true, fx);
    }
}

std::int32_t TJvTimerEvent::FireCount() const {
    std::lock_guard lock(*lock_);
    return fireCount_;
}

std::int32_t TJvTimerEvent::Handle() const {
    std::lock_guard lock(*lock_);
    return handle_;
}

std::int32_t TJvTimerEvent::Interval() const {
    std::lock_guard lock(*lock_);
    return interval_;
}

void TJvTimerEvent::SetInterval(std::int32_t value) {
    TimerListEffects fx;
    TJvTimerList* list;
    {
        std::lock_guard lock(*lock_);
        SetIntervalLocked(value, fx);
        list = list_;
    }
    fx.Run(list);
}

void TJvTimerEvent::SetIntervalLocked(std::int32_t value, TimerListEffects& fx) {
    VBX_EXPECT_LOCK_HELD(*lock_, "the timer list's lock");
    if (value == interval_) return;
    interval_ = value;
    if (list_) {
        list_->ComputeTickIntervalLocked(platform::GetTickCount64());
        list_->RearmTimerLocked(fx);
    }
}

std::uint32_t TJvTimerEvent::LastFired() const {
    std::lock_guard lock(*lock_);
    return std::uint32_t(lastFired_);
}

std::int32_t TJvTimerEvent::RepeatCount() const {
    std::lock_guard lock(*lock_);
    return repeatCount_;
}

void TJvTimerEvent::SetRepeatCount(std::int32_t value) {
    TimerListEffects fx;
    TJvTimerList* list;
    {
        std::lock_guard lock(*lock_);
        SetRepeatCountLocked(value, fx);
        list = list_;
    }
    fx.Run(list);
}

void TJvTimerEvent::SetRepeatCountLocked(std::int32_t value, TimerListEffects& fx) {
    VBX_EXPECT_LOCK_HELD(*lock_, "the timer list's lock");
    if (value == repeatCount_) return;
    value = std::max(value, cycled_ ? 0 : 1);
    if (enabled_ && value <= fireCount_) SetEnabledLocked(false, fx);
    repeatCount_ = value;
}

std::u16string TJvTimerEvent::Name() const {
    std::lock_guard lock(*lock_);
    return name_;
}

void TJvTimerEvent::SetName(std::u16string value) {
    std::lock_guard lock(*lock_);
    name_ = std::move(value);
}

TNotifyEvent TJvTimerEvent::OnTimer() const {
    std::lock_guard lock(*lock_);
    return onTimer_;
}

void TJvTimerEvent::SetOnTimer(TNotifyEvent handler) {
    std::lock_guard lock(*lock_);
    onTimer_ = std::move(handler);
}

std::u16string TJvTimerEvent::DisplayName() const {
    std::lock_guard lock(*lock_);
    return name_.empty() ? u"TJvTimerEvent" : name_;
}

void TJvTimerEvent::Assign(const TJvTimerEvent& source) {
    if (&source == this) return;
    bool cycled, enabled;
    std::int32_t interval, repeatCount;
    std::u16string name;
    {
        std::lock_guard lock(*source.lock_);
        cycled = source.cycled_;
        enabled = source.enabled_;
        interval = source.interval_;
        name = source.name_;
        repeatCount = source.repeatCount_;
    }
    TimerListEffects fx;
    TJvTimerList* list;
    {
        std::lock_guard lock(*lock_);
        cycled_ = cycled;
        SetEnabledLocked(enabled, fx);
        SetIntervalLocked(interval, fx);
        name_ = std::move(name);
        SetRepeatCountLocked(repeatCount, fx);
        list = list_;
    }
    fx.Run(list);
}

TJvTimerList* TJvTimerEvent::List() const {
    std::lock_guard lock(*lock_);
    return list_;
}

// ---- TJvTimerEvents -----------------------------------------------------------------------

TJvTimerEvents::TJvTimerEvents(TComponent* owner) : list_(dynamic_cast<TJvTimerList*>(owner)) {
    if (!list_) throw runtime::Exception(u"Owner of TJvTimerEvents must be a TJvTimerList");
    lock_ = list_->lock_;
}

TJvTimerEvents::~TJvTimerEvents() {
    std::lock_guard lock(*lock_);
    ClearLocked();
}

int TJvTimerEvents::Count() const {
    std::lock_guard lock(*lock_);
    return int(items_.size());
}

TJvTimerEvent& TJvTimerEvents::Items(int index) const {
    std::lock_guard lock(*lock_);
    if (index < 0 || std::size_t(index) >= items_.size()) throw std::out_of_range("TJvTimerEvents index");
    return *items_[std::size_t(index)];
}

TJvTimerEvent& TJvTimerEvents::Add() {
    TimerListEffects fx;
    TJvTimerEvent* added;
    {
        std::lock_guard lock(*lock_);
        added = &AddLocked(fx);
    }
    fx.Run(list_);
    return *added;
}

TJvTimerEvent& TJvTimerEvents::AddLocked(TimerListEffects& fx) {
    VBX_EXPECT_LOCK_HELD(*lock_, "the timer list's lock");
    auto event = std::shared_ptr<TJvTimerEvent>(new TJvTimerEvent(lock_));
    items_.push_back(event);
    event->list_ = list_;
    event->handle_ = ++nextHandle_;
    list_->ComputeTickIntervalLocked(platform::GetTickCount64());
    if (list_->sorted_) list_->SortByIntervalLocked();
    list_->RearmTimerLocked(fx);
    return *event;
}

void TJvTimerEvents::Delete(int index) {
    std::shared_ptr<TJvTimerEvent> removed;  // destroyed after the lock is released
    std::lock_guard lock(*lock_);
    if (index < 0 || std::size_t(index) >= items_.size()) throw std::out_of_range("TJvTimerEvents index");
    removed = items_[std::size_t(index)];
    removed->list_ = nullptr;
    items_.erase(items_.begin() + index);
}

void TJvTimerEvents::Clear() {
    std::vector<std::shared_ptr<TJvTimerEvent>> removed;
    std::lock_guard lock(*lock_);
    for (auto& event : items_) event->list_ = nullptr;
    removed.swap(items_);
}

void TJvTimerEvents::ClearLocked() {
    VBX_EXPECT_LOCK_HELD(*lock_, "the timer list's lock");
    for (auto& event : items_) event->list_ = nullptr;
    items_.clear();
}

void TJvTimerEvents::DeleteByHandle(std::int32_t handle) {
    TimerListEffects fx;
    std::shared_ptr<TJvTimerEvent> removed;
    {
        std::lock_guard lock(*lock_);
        auto it = std::find_if(items_.begin(), items_.end(), [handle](const auto& e) { return e->handle_ == handle; });
        if (it == items_.end()) return;
        removed = *it;
        removed->list_ = nullptr;
        items_.erase(it);
        if (list_->active_) {
            list_->ComputeTickIntervalLocked(platform::GetTickCount64());
            list_->RearmTimerLocked(fx);
        }
    }
    fx.Run(list_);
}

void TJvTimerEvents::Assign(const TJvTimerEvents& source) {
    if (&source == this) return;
    // The source's state is copied first: the two collections may share no lock, and
    // holding both at once could deadlock against an assignment the other way round.
    struct Copy {
        bool cycled, enabled;
        std::int32_t interval, repeatCount;
        std::u16string name;
    };
    std::vector<Copy> copies;
    {
        std::lock_guard lock(*source.lock_);
        for (const auto& e : source.items_)
            copies.push_back(Copy{e->cycled_, e->enabled_, e->interval_, e->repeatCount_, e->name_});
    }
    TimerListEffects fx;
    std::vector<std::shared_ptr<TJvTimerEvent>> removed;
    {
        std::lock_guard lock(*lock_);
        for (auto& event : items_) event->list_ = nullptr;
        removed.swap(items_);
        for (const Copy& c : copies) {
            TJvTimerEvent& event = AddLocked(fx);
            event.cycled_ = c.cycled;
            event.SetEnabledLocked(c.enabled, fx);
            event.SetIntervalLocked(c.interval, fx);
            event.name_ = c.name;
            event.SetRepeatCountLocked(c.repeatCount, fx);
        }
    }
    fx.Run(list_);
}

std::int32_t TJvTimerEvents::TickInterval() const {
    std::lock_guard lock(*lock_);
    return tickInterval_;
}

std::int32_t TJvTimerEvents::NextHandle() const {
    std::lock_guard lock(*lock_);
    return nextHandle_;
}

// ---- TJvTimerList -------------------------------------------------------------------------

TJvTimerList::TJvTimerList() : lock_(std::make_shared<platform::CheckedMutex>()) {
    events_ = std::make_unique<TJvTimerEvents>(this);
}

TJvTimerList::~TJvTimerList() {
    std::shared_ptr<TickWindow> current, parked;
    {
        std::lock_guard lock(*lock_);
        onFinish_ = nullptr;
        onTimers_ = nullptr;
        // Deactivated without OnFinish; a window let go of here or earlier on another
        // thread may still be running a tick of this list.
        current = DestroyTimerWindowLocked();
        active_ = false;
        parked = std::move(parked_);
    }
    // Without the lock: the tick being handled there may call the list's setters.
    for (const auto& window : {current, parked})
        if (window) window->WaitUntilIdle();
    // A parked window of this thread goes now rather than at the loop's next message (the
    // loop may not run again); one whose thread ended before it could destroy it keeps
    // nothing alive any more.
    for (const auto& window : {current, parked}) {
        const platform::ThreadId thread = window ? platform::WindowThread(window->Handle()) : 0;
        if (window && (thread == 0 || thread == platform::CurrentThreadId())) window->Destroy();
    }
    std::lock_guard lock(*lock_);
    events_->ClearLocked();
}

bool TJvTimerList::Active() const {
    std::lock_guard lock(*lock_);
    return active_;
}

void TJvTimerList::SetActive(bool value) {
    TimerListEffects fx;
    {
        std::lock_guard lock(*lock_);
        SetActiveLocked(value, fx);
    }
    fx.Run(this);
}

void TJvTimerList::SetActiveLocked(bool value, TimerListEffects& fx) {
    VBX_EXPECT_LOCK_HELD(*lock_, "the timer list's lock");
    if (value == active_) return;
    if (!value) {
        DestroyTimerWindowLocked();
        fx.finished = true;
        fx.onFinish = onFinish_;
        active_ = false;
        return;
    }
    // A window this thread has not destroyed yet since the list let it go elsewhere is
    // taken back, so the list never has two; otherwise a new one.
    if (parked_ && parked_->Thread() == platform::CurrentThreadId() && parked_->Reattach(*this)) {
        window_ = std::move(parked_);
    } else {
        window_ = TickWindow::Create(*this);
    }
    timerWindow_ = window_->Handle();
    ownerThread_ = window_->Thread();
    activatingThread_.Bind();
    rearmPosted_ = false;

    std::uint64_t now = platform::GetTickCount64();
    for (auto& event : events_->items_)
        if (event->enabled_) event->lastFired_ = now;
    ComputeTickIntervalLocked(now);
    if (sorted_) SortByIntervalLocked();
    // With no enabled event the re-arm leaves the list as it is (it is not active yet),
    // so the list becomes active without a running tick until an event is enabled.
    RearmTimerLocked(fx);
    if (fx.outOfTimers) return;  // the re-arm already removed the window
    active_ = true;
}

std::shared_ptr<TJvTimerList::TickWindow> TJvTimerList::DestroyTimerWindowLocked() {
    VBX_EXPECT_LOCK_HELD(*lock_, "the timer list's lock");
    if (!window_) return nullptr;
    std::shared_ptr<TickWindow> window = std::move(window_);
    timerWindow_ = 0;
    rearmPosted_ = false;
    if (window->Thread() == platform::CurrentThreadId() || platform::WindowThread(window->Handle()) == 0) {
        window->Destroy();
        return nullptr;
    }
    // Another thread's window: detached at once, so no tick reaches the list from here
    // on, and destroyed by its own thread at its next message, which the request makes
    // sure of. The request uses the room a full queue keeps for such messages; should
    // even that be taken, the window's next tick does it.
    window->Detach();
    platform::PostReservedMessage(window->Handle(), kRetireMessage, 0, 0);
    // The earlier parked window, when its thread has ended without destroying it, holds
    // nothing alive any more.
    if (parked_ && platform::WindowThread(parked_->Handle()) == 0) parked_->Destroy();
    parked_ = window;
    return window;
}

bool TJvTimerList::Sorted() const {
    std::lock_guard lock(*lock_);
    return sorted_;
}

void TJvTimerList::SetSorted(bool value) {
    std::lock_guard lock(*lock_);
    if (value == sorted_) return;
    sorted_ = value;
    if (value) SortByIntervalLocked();
}

TNotifyEvent TJvTimerList::OnFinish() const {
    std::lock_guard lock(*lock_);
    return onFinish_;
}

void TJvTimerList::SetOnFinish(TNotifyEvent handler) {
    std::lock_guard lock(*lock_);
    onFinish_ = std::move(handler);
}

TAllTimersEvent TJvTimerList::OnTimers() const {
    std::lock_guard lock(*lock_);
    return onTimers_;
}

void TJvTimerList::SetOnTimers(TAllTimersEvent handler) {
    std::lock_guard lock(*lock_);
    onTimers_ = std::move(handler);
}

int TJvTimerList::LiveTimerWindows() { return TickWindow::LiveCount(); }

platform::WindowHandle TJvTimerList::TimerWindow() const {
    std::lock_guard lock(*lock_);
    return timerWindow_;
}

std::int32_t TJvTimerList::Add(TNotifyEvent onTimer, std::int32_t interval, bool cycled) {
    TimerListEffects fx;
    std::int32_t handle;
    {
        std::lock_guard lock(*lock_);
        TJvTimerEvent& event = events_->AddLocked(fx);
        event.cycled_ = cycled;
        event.onTimer_ = std::move(onTimer);
        event.SetIntervalLocked(interval, fx);
        handle = event.handle_;
    }
    fx.Run(this);
    return handle;
}

void TJvTimerList::ComputeTickInterval(std::uint32_t start) {
    // The 32-bit moment stands for the 64-bit one nearest to now.
    std::uint64_t now = platform::GetTickCount64();
    std::uint64_t start64 = now + std::uint64_t(std::int64_t(std::int32_t(start - std::uint32_t(now))));
    std::lock_guard lock(*lock_);
    ComputeTickIntervalLocked(start64);
}

void TJvTimerList::ComputeTickIntervalLocked(std::uint64_t start) {
    VBX_EXPECT_LOCK_HELD(*lock_, "the timer list's lock");
    auto& items = events_->items_;
    std::int32_t& tick = events_->tickInterval_;
    if (items.empty()) {
        tick = 0;
        return;
    }
    // 64-bit while searching: an overdue event's remaining time is negative and may lie
    // far below the 32-bit range.
    std::int64_t t = kNoTick;
    for (const auto& e : items) {
        if (!e->enabled_ || e->interval_ <= 0) continue;
        if (e->interval_ < t) t = e->interval_;
        std::int64_t remaining = std::int64_t(e->interval_) - Elapsed(start, e->lastFired_);
        if (remaining < t) t = remaining;
    }
    if (t < kMinTick) t = kMinTick;
    if (t == kNoTick) {
        tick = 0;
        return;
    }
    // Shrink the tick until it divides every interval. Events with a negative interval
    // take no part: their remainder would raise the tick, and two events can then make
    // the walk alternate between two values for ever.
    for (;;) {
        bool changed = false;
        for (const auto& e : items) {
            if (e->interval_ < 0) continue;
            std::int64_t r = e->interval_ % t;
            if (r != 0) {
                t -= r;
                changed = true;
                break;
            }
        }
        if (!changed || t <= kMinTick) break;
    }
    if (t < kMinTick) t = kMinTick;
    tick = std::int32_t(t);
}

void TJvTimerList::RearmTimer() {
    TimerListEffects fx;
    {
        std::lock_guard lock(*lock_);
        RearmTimerLocked(fx);
    }
    fx.Run(this);
}

void TJvTimerList::RearmTimerLocked(TimerListEffects& fx) {
    VBX_EXPECT_LOCK_HELD(*lock_, "the timer list's lock");
    if (!timerWindow_) return;
    if (platform::CurrentThreadId() != ownerThread_) {
        // The tick belongs to the activating thread's loop: ask that thread to re-arm.
        // One request in flight is enough, it re-arms with the state it finds; a full
        // queue keeps room for it. If the loop has ended the post fails and there is
        // nothing left to re-arm.
        if (!rearmPosted_) rearmPosted_ = platform::PostReservedMessage(timerWindow_, kRearmMessage, 0, 0);
        return;
    }
    platform::KillTimer(timerWindow_, kTimerId);
    if (!AnyEnabledLocked()) {
        SetActiveLocked(false, fx);
        return;
    }
    std::int32_t tick = events_->tickInterval_;
    if (tick > 0 && !SetPlatformTimer(timerWindow_, std::uint32_t(tick))) {
        if (active_)
            SetActiveLocked(false, fx);
        else
            DestroyTimerWindowLocked();  // a failed activation leaves no window behind
        fx.outOfTimers = true;
    }
}

bool TJvTimerList::SetPlatformTimer(platform::WindowHandle window, std::uint32_t periodMs) {
    VBX_EXPECT_OWNER_THREAD(activatingThread_, "the thread that activated the timer list");
    VBX_EXPECT_LOCK_HELD(*lock_, "the timer list's lock");
    return platform::SetTimer(window, kTimerId, periodMs);
}

bool TJvTimerList::AnyEnabledLocked() const {
    VBX_EXPECT_LOCK_HELD(*lock_, "the timer list's lock");
    for (const auto& e : events_->items_)
        if (e->enabled_) return true;
    return false;
}

void TJvTimerList::SortByInterval() {
    std::lock_guard lock(*lock_);
    SortByIntervalLocked();
}

void TJvTimerList::SortByIntervalLocked() {
    VBX_EXPECT_LOCK_HELD(*lock_, "the timer list's lock");
    auto& items = events_->items_;
    bool moved = true;
    while (moved) {
        moved = false;
        for (std::size_t i = 0; i + 1 < items.size(); ++i) {
            if (items[i]->interval_ > items[i + 1]->interval_) {
                std::swap(items[i], items[i + 1]);
                moved = true;
            }
        }
    }
}

bool TJvTimerList::FireDueEvents() {
    bool disabledItself = false;
    FireDueEvents(disabledItself);
    return disabledItself;
}

void TJvTimerList::FireDueEvents(bool& disabledItself) {
    VBX_EXPECT_OWNER_THREAD(activatingThread_, "the thread that activated the timer list");
    std::uint64_t now = platform::GetTickCount64();
    // The events as the pass starts, each examined once: a handler that deletes or adds
    // events moves the indices of the others, and a walk by index would then meet one of
    // them twice (or miss one).
    std::vector<std::shared_ptr<TJvTimerEvent>> pass;
    {
        std::lock_guard lock(*lock_);
        pass = events_->items_;
    }
    for (auto it = pass.rbegin(); it != pass.rend(); ++it) {
        std::shared_ptr<TJvTimerEvent> event;
        {
            std::lock_guard lock(*lock_);
            // Deactivated meanwhile (by a handler, or on another thread): the rest of the
            // tick does not reach the list.
            if (!active_) return;
            TJvTimerEvent& e = **it;
            // Deleted by a handler of this pass.
            if (e.list_ != this) continue;
            if (!e.enabled_) continue;
            if (Elapsed(now, e.lastFired_) < std::int64_t(e.interval_) - 50) continue;
            e.lastFired_ = now;
            e.fireCount_ = std::int32_t(std::uint32_t(e.fireCount_) + 1u);
            TimerListEffects none;  // disabling has no side effects
            e.SetEnabledLocked(e.cycled_ || e.fireCount_ < e.repeatCount_, none);
            if (!e.enabled_) disabledItself = true;
            event = *it;
        }
        // Handlers run without the list's lock: they take their own and call setters.
        // The flag is already set when a handler raises, so the caller's end-of-tick
        // work still sees the event that disabled itself.
        FireEvent(*event);
    }
}

void TJvTimerList::FireEvent(TJvTimerEvent& event) {
    VBX_EXPECT_OWNER_THREAD(activatingThread_, "the thread that activated the timer list");
    TNotifyEvent onTimer = event.OnTimer();
    if (onTimer) onTimer(&event);
    std::int32_t handle = event.Handle();
    TAllTimersEvent onTimers = OnTimers();
    if (onTimers) onTimers(this, handle);
}

std::intptr_t TJvTimerList::HandleTimerMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    VBX_EXPECT_OWNER_THREAD(activatingThread_, "the thread that activated the timer list");
    if (message != platform::kWmTimer && message != kRearmMessage) {
        platform::WindowHandle window = TimerWindow();
        return platform::DefWindowProc(window, message, wParam, lParam);
    }
    TimerListEffects fx;
    std::exception_ptr handlerError;
    try {
        if (message == kRearmMessage) {
            // A re-arm requested on another thread, carried out here on the owning thread.
            std::lock_guard lock(*lock_);
            rearmPosted_ = false;
            RearmTimerLocked(fx);
        } else {
            bool active;
            {
                std::lock_guard lock(*lock_);
                active = active_;
                if (!active) RearmTimerLocked(fx);
            }
            bool disabledItself = false;
            if (active) {
                try {
                    FireDueEvents(disabledItself);
                } catch (...) {
                    // The events not yet examined in this tick wait for the next one, but
                    // the tick's own bookkeeping below still runs: without it a list whose
                    // last event disabled itself in a failing handler would tick for ever.
                    handlerError = std::current_exception();
                }
            }
            if (disabledItself) {
                std::lock_guard lock(*lock_);
                if (!AnyEnabledLocked()) {
                    SetActiveLocked(false, fx);
                } else {
                    ComputeTickIntervalLocked(platform::GetTickCount64());
                    RearmTimerLocked(fx);
                }
            }
        }
    } catch (...) {
        // Nothing above throws but a failed allocation; it is reported like a handler's.
        if (!handlerError) handlerError = std::current_exception();
    }
    // The handler's error first, then what the bookkeeping left (OnFinish, a refused timer).
    if (handlerError) ReportApplicationError(this, handlerError);
    try {
        fx.Run(this);
    } catch (...) {
        ReportApplicationError(this, std::current_exception());
    }
    return 0;
}

}  // namespace timers
