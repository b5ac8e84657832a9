#pragma once
// TJvTimerList: named timer events with their own intervals, driven by one periodic tick
// of a hidden window on the thread that activated the list.
//
// Threading contract:
// - Ticks, handlers (OnTimer, OnTimers) and the list's own timer window belong to the
//   thread that activated the list; that thread must run a message loop.
// - Every setter and getter may be called from any thread. The list's state is guarded by
//   one internal mutex that is never held while a handler (OnTimer, OnTimers, OnFinish)
//   runs, so handlers may take their own locks and call setters. Lock order: caller's
//   locks -> timer list -> platform queues.
// - A re-arm of the tick requested on another thread is posted to the timer window and
//   carried out on the activating thread (the tick belongs to that thread's loop); it and
//   the request to destroy a window let go of elsewhere are reserved posts, which a full
//   queue does not refuse. When that loop has ended the request is dropped.
// - Deactivating (or destroying) the list on another thread stops its ticks at once: no
//   tick reaches an inactive list, and no further handler of the tick being handled
//   starts. The window and its platform timer belong to the activating thread, so they
//   are destroyed there, when its loop takes its next message (a request is posted); a
//   list activated again on that thread before then takes the same window back, so it
//   never has two.
// - OnFinish runs on the thread whose call deactivated the list.
// - Destruction may happen on any thread. On another thread than the activating one it
//   waits until a tick of the list being handled there has returned, so the destroying
//   thread must not hold a lock that the list's handlers take. Destroying the list from
//   inside one of its own handlers is not allowed.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/contracts.h"
#include "platform/messages.h"

namespace timers {

class TJvTimerList;
class TJvTimerEvents;

// Handlers receive the raising object as Sender.
using TNotifyEvent = std::function<void(void* sender)>;
using TAllTimersEvent = std::function<void(void* sender, std::int32_t handle)>;

// The common base of components that can own a TJvTimerEvents collection.
class TComponent {
public:
    virtual ~TComponent() = default;
};

// Side effects an operation collects under the list's lock and carries out after
// releasing it: OnFinish and the out-of-timers error.
struct TimerListEffects {
    bool finished = false;
    TNotifyEvent onFinish;
    bool outOfTimers = false;
    void Run(void* list);
};

class TJvTimerEvent {
public:
    ~TJvTimerEvent();
    TJvTimerEvent(const TJvTimerEvent&) = delete;
    TJvTimerEvent& operator=(const TJvTimerEvent&) = delete;

    bool Cycled() const;
    void SetCycled(bool value);
    bool Enabled() const;
    // Enabling restarts the period from now and re-arms the list (activating it);
    // disabling only clears the flag. Assigning the current state does nothing.
    void SetEnabled(bool value);
    std::int32_t FireCount() const;
    std::int32_t Handle() const;
    std::int32_t Interval() const;
    // Keeps LastFired; recomputes the tick and re-arms. The current value does nothing.
    void SetInterval(std::int32_t value);
    // The low 32 bits of the 64-bit tick count at the last firing or enabling.
    std::uint32_t LastFired() const;
    std::int32_t RepeatCount() const;
    void SetRepeatCount(std::int32_t value);
    std::u16string Name() const;
    void SetName(std::u16string value);
    TNotifyEvent OnTimer() const;
    void SetOnTimer(TNotifyEvent handler);
    // Name, or the class name when Name is empty.
    std::u16string DisplayName() const;
    // Copies Cycled, Enabled, Interval, Name and RepeatCount (the three through their
    // setters); OnTimer is not copied.
    void Assign(const TJvTimerEvent& source);
    TJvTimerList* List() const;

private:
    friend class TJvTimerEvents;
    friend class TJvTimerList;
    explicit TJvTimerEvent(std::shared_ptr<platform::CheckedMutex> lock);

    void SetEnabledLocked(bool value, TimerListEffects& fx);
    void SetIntervalLocked(std::int32_t value, TimerListEffects& fx);
    void SetRepeatCountLocked(std::int32_t value, TimerListEffects& fx);

    std::shared_ptr<platform::CheckedMutex> lock_;
    bool cycled_ = true;
    bool enabled_ = true;
    std::int32_t fireCount_ = 0;
    std::int32_t handle_ = -1;
    std::int32_t interval_ = 1000;
    std::uint64_t lastFired_;  // 64-bit tick count; LastFired gives its low 32 bits
    TJvTimerList* list_ = nullptr;
    std::int32_t repeatCount_ = 0;
    TNotifyEvent onTimer_;
    std::u16string name_;
};

class TJvTimerEvents {
public:
    // Fails with "Owner of TJvTimerEvents must be a TJvTimerList" for any other owner.
    explicit TJvTimerEvents(TComponent* owner);
    virtual ~TJvTimerEvents();
    TJvTimerEvents(const TJvTimerEvents&) = delete;
    TJvTimerEvents& operator=(const TJvTimerEvents&) = delete;

    int Count() const;
    TJvTimerEvent& Items(int index) const;
    TJvTimerEvent& operator[](int index) const { return Items(index); }
    // Creates an event with the defaults and adds it: it gets the next Handle, the tick
    // is recomputed, the events sorted if the list is Sorted, and the timer re-armed.
    TJvTimerEvent& Add();
    // Removing recomputes nothing.
    void Delete(int index);
    void Clear();
    // Deletes the event with that Handle (if any); an active list recomputes and re-arms.
    virtual void DeleteByHandle(std::int32_t handle);
    // Clears itself, then adds one event per source event, assigned from it.
    virtual void Assign(const TJvTimerEvents& source);

    std::int32_t TickInterval() const;
    std::int32_t NextHandle() const;
    TJvTimerList& List() const { return *list_; }

private:
    friend class TJvTimerList;
    friend class TJvTimerEvent;

    TJvTimerEvent& AddLocked(TimerListEffects& fx);
    void ClearLocked();

    TJvTimerList* list_;
    std::shared_ptr<platform::CheckedMutex> lock_;
    std::vector<std::shared_ptr<TJvTimerEvent>> items_;
    std::int32_t tickInterval_ = 0;
    std::int32_t nextHandle_ = 0;
};

class TJvTimerList : public TComponent {
public:
    TJvTimerList();
    // Clears OnFinish and OnTimers first (so no OnFinish on destruction), deactivates,
    // then deletes the events.
    ~TJvTimerList() override;
    TJvTimerList(const TJvTimerList&) = delete;
    TJvTimerList& operator=(const TJvTimerList&) = delete;

    bool Active() const;
    // true: creates the timer window on the calling thread, restarts every enabled
    // event's period, computes the tick and arms it. false: kills the tick, destroys the
    // window and calls OnFinish. Assigning the current state does nothing.
    void SetActive(bool value);
    TJvTimerEvents& Events() const { return *events_; }
    bool Sorted() const;
    void SetSorted(bool value);
    TNotifyEvent OnFinish() const;
    void SetOnFinish(TNotifyEvent handler);
    TAllTimersEvent OnTimers() const;
    void SetOnTimers(TAllTimersEvent handler);
    platform::WindowHandle TimerWindow() const;
    // Timer windows' handlers alive in the process (for tests and diagnostics).
    static int LiveTimerWindows();

    // Creates an event from code and returns its new Handle.
    virtual std::int32_t Add(TNotifyEvent onTimer, std::int32_t interval, bool cycled);

    // The algorithms, usable on their own (they take the list's lock). The 32-bit start
    // stands for the moment nearest to now with those low 32 bits.
    void ComputeTickInterval(std::uint32_t start);
    void RearmTimer();
    void SortByInterval();
    // Activating thread only: one pass over the events; true when one disabled itself.
    bool FireDueEvents();
    // Activating thread only: every message of the timer window.
    std::intptr_t HandleTimerMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

    // The private message that carries a re-arm to the activating thread.
    static constexpr std::uint32_t kRearmMessage = platform::kWmUser + 0x100;
    // The private message that asks the activating thread to destroy a timer window the
    // list let go of on another thread.
    static constexpr std::uint32_t kRetireMessage = platform::kWmUser + 0x101;
    // The timer window's class.
    static const std::u16string kWindowClass;

protected:
    // Calls the event's OnTimer (Sender: the event), then OnTimers (Sender: the list).
    virtual void FireEvent(TJvTimerEvent& event);
    // Asks the platform for the periodic tick of the timer window (SetTimer, identifier 1).
    // Called on the activating thread with the list's lock held, so an override must not
    // call back into the list; tests override it to have a timer refused.
    virtual bool SetPlatformTimer(platform::WindowHandle window, std::uint32_t periodMs);

private:
    friend class TJvTimerEvent;
    friend class TJvTimerEvents;

    class TickWindow;

    void SetActiveLocked(bool value, TimerListEffects& fx);
    void ComputeTickIntervalLocked(std::uint64_t start);
    void RearmTimerLocked(TimerListEffects& fx);
    void SortByIntervalLocked();
    bool AnyEnabledLocked() const;
    // Gives up the timer window: on its own thread (or when that thread has ended) it is
    // destroyed at once; on another thread it is detached from the list and left to its
    // thread, which destroys it at its next message. Returns the window's handler when a
    // call into the list may still be running on the window's thread.
    std::shared_ptr<TickWindow> DestroyTimerWindowLocked();
    // One pass; sets disabledItself before the handler of the event that disabled itself
    // runs, so the flag holds even when a handler raises.
    void FireDueEvents(bool& disabledItself);

    std::shared_ptr<platform::CheckedMutex> lock_;
    std::unique_ptr<TJvTimerEvents> events_;
    bool active_ = false;
    bool sorted_ = false;
    TNotifyEvent onFinish_;
    TAllTimersEvent onTimers_;
    platform::WindowHandle timerWindow_ = 0;
    platform::ThreadId ownerThread_ = 0;
    // The same thread for the contract checks: bound by each activation.
    platform::OwnerThread activatingThread_{platform::OwnerThread::Start::kDetached};
    bool rearmPosted_ = false;
    // The timer window's handler while the list has a window.
    std::shared_ptr<TickWindow> window_;
    // The last window let go of on another thread, until its thread has destroyed it: the
    // list takes it back when it is activated again on that thread first.
    std::shared_ptr<TickWindow> parked_;
};

}  // namespace timers
