#pragma once
// Binding of controls (the sockets) to a hidden notification window of their thread.
//
// Each thread that attaches a control gets a TIcsWndHandlerList; each handler of it is a
// hidden window with a table of 100 message numbers from 1025. A control takes the
// numbers it needs (a socket 7) from the first handler of its thread with room, so up to
// 14 sockets share one window. Messages for a number are handed to the control that owns
// it, on the window's thread, and so is a timer of the window whose id is one of its
// numbers. One process-wide TIcsWndHandlerPool holds the lists.
//
// A control that goes while others still use its window may leave messages for its numbers
// in the queue. Its numbers are therefore held back, not freed: a mark posted behind those
// messages frees them when it comes out of the queue, and until then whatever arrives for
// them is dropped, so it never reaches the next control that takes those numbers. The
// last control of a window takes the window, and with it every message queued for it.
//
// Threading contract:
// - Attach and detach take the pool lock (and, inside it, the window lock when a window
//   is created or destroyed), so controls may be created on several threads at once.
// - A control's messages run on the thread that attached it (its owning thread).
// - A control is destroyed on its owning thread, or while that thread's loop does not
//   dispatch to it: the window procedure uses the control without a lock.
// - PostMessage to a control's window may be called from any thread.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/contracts.h"
#include "platform/messages.h"

namespace runtime {
class Exception;
}

namespace net {

class TIcsWndHandlerList;

class TIcsWndControl;

// One hidden window with 100 message numbers.
class TIcsWndHandler final : public platform::WindowProcedure {
public:
    static constexpr int kMaxMsgs = 100;

    TIcsWndHandler(TIcsWndHandlerList& list, std::uint32_t msgLow);
    ~TIcsWndHandler() override;
    TIcsWndHandler(const TIcsWndHandler&) = delete;
    TIcsWndHandler& operator=(const TIcsWndHandler&) = delete;

    platform::WindowHandle Handle() const { return window_; }
    std::uint32_t MsgLow() const { return msgLow_; }
    int MsgCount() const { return used_; }
    TIcsWndHandlerList& List() const { return list_; }

    // Takes the first free number for the control (creating the window if there is none);
    // raises "MsgLow not defined" or "No more free message".
    std::uint32_t AllocateMessage(TIcsWndControl& control);
    // Frees a number and sets the control's field holding it to 0; 0 means none. Raises
    // "MsgLow not defined", "Msg value out of bound" or "Msg not registered". The window is
    // destroyed with the last number that is not held back.
    void ReleaseMessage(std::uint32_t& msg);

    // Around the release of all numbers of a control that goes: between the two the
    // numbers it releases are held back if other controls still use the window, and
    // EndHold posts the mark that frees them (or frees them at once when it cannot).
    void BeginHold(const TIcsWndControl& control);
    void EndHold();
    // Numbers held back now (included in MsgCount).
    int HeldCount() const { return held_; }

    // Creates the window if the handler has none (under the window lock).
    void AllocateHWnd();

    // Optional hooks; neither is set in the program.
    std::function<void(const runtime::Exception&)> OnBgException;
    std::function<std::intptr_t(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam)> OnUnownedMessage;

    std::intptr_t WindowProc(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override;

private:
    void DeallocateHWnd();
    // A message for a number without a control: the mark of its hold frees the hold;
    // anything else is dropped.
    void HandleHeldNumber(std::size_t slot, std::uintptr_t wParam, std::intptr_t lParam);
    void FreeHold(std::uint32_t hold);

    TIcsWndHandlerList& list_;
    platform::WindowHandle window_ = 0;
    std::uint32_t msgLow_;
    int used_ = 0;
    std::array<TIcsWndControl*, kMaxMsgs> slots_{};  // not owned
    // The hold each number is held back by, 0 when it is not; at most kMaxMsgs numbers
    // and, each with its one mark in the queue, as many holds.
    std::array<std::uint32_t, kMaxMsgs> holds_{};
    int held_ = 0;
    std::uint32_t holding_ = 0;  // between BeginHold and EndHold: the hold being made
    std::uint32_t lastHold_ = 0;
};

// The handlers of one thread, oldest first.
class TIcsWndHandlerList {
public:
    explicit TIcsWndHandlerList(platform::ThreadId thread) : thread_(thread) {}
    platform::ThreadId ThreadId() const { return thread_; }
    std::vector<std::unique_ptr<TIcsWndHandler>>& Handlers() { return handlers_; }

private:
    platform::ThreadId thread_;
    std::vector<std::unique_ptr<TIcsWndHandler>> handlers_;
};

// All lists of the process. Its lock is the pool lock of attach and detach.
class TIcsWndHandlerPool {
public:
    static TIcsWndHandlerPool& Instance();

    platform::CheckedRecursiveMutex& Lock() { return mutex_; }
    // Under the pool lock: the first handler of the thread's list with room for n numbers,
    // a new one when none has room.
    TIcsWndHandler& AcquireWindowHandler(int n, platform::ThreadId thread);
    // Under the pool lock: frees a handler without numbers, and its list when it was the last.
    void ReleaseWindowHandler(TIcsWndHandler& handler);

    // Diagnostics for tests: lists and handlers of a thread.
    std::size_t ListCount();
    std::size_t HandlerCount(platform::ThreadId thread);

private:
    platform::CheckedRecursiveMutex mutex_;
    std::vector<std::unique_ptr<TIcsWndHandlerList>> lists_;
};

// Number of existing hidden windows (for tests and diagnostics).
int IcsHiddenWindowCount();
// The class of every hidden notification window.
extern const char16_t kIcsWndControlWindowClass[];

// Base of every control bound to a notification window.
class TIcsWndControl {
public:
    TIcsWndControl();
    virtual ~TIcsWndControl();
    TIcsWndControl(const TIcsWndControl&) = delete;
    TIcsWndControl& operator=(const TIcsWndControl&) = delete;

    platform::WindowHandle Handle() const { return window_; }
    platform::ThreadId ThreadId() const { return threadId_; }
    TIcsWndHandler* WndHandler() const { return wndHandler_; }
    std::uint32_t MsgRelease() const { return msgRelease_; }
    bool MultiThreaded() const { return multiThreaded_; }
    void SetMultiThreaded(bool value) { multiThreaded_ = value; }

    // Called by the handler on the owning thread for every number the control owns.
    virtual std::intptr_t HandleWindowMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);

    // Processes the window messages waiting in the calling thread's queue and returns.
    // Messages posted to the thread itself are left to the caller's loop: they are posted
    // again, in order (at most kMaxKeptThreadMessages, what a queue holds; the pump stops
    // there). A quit message met on the way ends the pump and is put back behind them, so
    // the caller's loop still ends.
    virtual void PumpMessages();
    static constexpr std::size_t kMaxKeptThreadMessages = platform::kMaxPostedMessages + platform::kReservedMessages;

    // Thread hand-over: detach on the owning thread, then attach on the new one.
    // "Cannot detach from another thread", "Cannot attach when not detached".
    virtual void ThreadDetach();
    virtual void ThreadAttach();

    // Deferred destruction: takes ownership of a control and destroys it when its
    // MsgRelease message comes out of its thread's queue (at once if it cannot be posted).
    static void Release(std::unique_ptr<TIcsWndControl> control);

protected:
    // Attaches to the calling thread's notification window. Run by the constructor of the
    // most derived class, so that the numbers it needs are known.
    void AttachNotificationWindow();
    // Releases the numbers and, with the last one, the window. Run once, by the
    // destructor of the most derived class (the base destructor repeats it harmlessly).
    void DetachNotificationWindow();

    // How many message numbers the control needs, and their allocation and release. A
    // derived class adds its own numbers behind the base's.
    virtual int MsgHandlersCount() { return 1; }
    virtual void AllocateMsgHandlers();
    virtual void FreeMsgHandlers();
    std::uint32_t AllocateMessage();
    void ReleaseMessage(std::uint32_t& msg);
    // The owning thread, for the contract checks of the messages' handlers.
    const platform::OwnerThread& OwningThread() const { return owningThread_; }

private:
    friend class TIcsWndHandler;

    platform::WindowHandle window_ = 0;
    platform::ThreadId threadId_ = 0;
    // The same thread for the contract checks: bound by each attach.
    platform::OwnerThread owningThread_{platform::OwnerThread::Start::kDetached};
    TIcsWndHandler* wndHandler_ = nullptr;  // owned by the pool
    std::uint32_t msgRelease_ = 0;
    bool multiThreaded_ = false;
    bool releasePending_ = false;
};

}  // namespace net
