#include "net/wndcontrol.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "net/exceptions.h"
#include "platform/error_codes.h"
#include "text/strings.h"

namespace net {

const char16_t kIcsWndControlWindowClass[] = u"IcsWndControlWindowClass";

namespace {

// The window lock guards class registration and the window count.
std::recursive_mutex& WindowLock() {
    static std::recursive_mutex mutex;
    return mutex;
}
int g_windowCount = 0;
// The class is registered with the first window and kept for the process's life: taking it
// away with the last window and registering it again with the next one only adds calls
// that can fail, and an error number read after them that is not the failing call's.
bool g_classRegistered = false;

// First message number for new handlers: starts at 0 and is set to 1025 when a handler
// is created while it is outside 1025..65434, so every handler uses 1025..1124.
std::uint32_t g_nextMsgLow = 0;

constexpr std::uint32_t kFirstMsg = 1025;
constexpr std::uint32_t kMsgLowLimit = 65435;

// The lParam of a hold's mark (its wParam is the hold): no notice of the platform has it.
constexpr std::intptr_t kHoldMark = -1;

}  // namespace

int IcsHiddenWindowCount() {
    std::lock_guard guard(WindowLock());
    return g_windowCount;
}

// ---- TIcsWndHandler ----------------------------------------------------------------------

TIcsWndHandler::TIcsWndHandler(TIcsWndHandlerList& list, std::uint32_t msgLow) : list_(list), msgLow_(msgLow) {}

TIcsWndHandler::~TIcsWndHandler() {
    if (window_ != 0) DeallocateHWnd();
}

void TIcsWndHandler::AllocateHWnd() {
    if (window_ != 0) return;
    std::lock_guard guard(WindowLock());
    const std::u16string className(kIcsWndControlWindowClass);
    if (!g_classRegistered) {
        // Each error number is read right after the call that failed.
        if (!platform::RegisterWindowClass(className)) {
            const std::uint32_t error = platform::GetLastError();
            if (error != platform::kErrorClassAlreadyExists)
                throw EIcsException(u"Unable to register TIcsWndControl hidden window class. Error #" +
                                    txt::IntToStr(error) + u".");
        }
        g_classRegistered = true;
    }
    platform::WindowHandle window = platform::CreateHiddenWindow(className);
    if (window == 0) {
        throw EIcsException(u"Unable to create TIcsWndControl hidden window.  Error #" +
                            txt::IntToStr(platform::GetLastError()) + u".");
    }
    platform::SetWindowHandler(window, this);
    window_ = window;
    ++g_windowCount;
}

void TIcsWndHandler::DeallocateHWnd() {
    slots_.fill(nullptr);
    holds_.fill(0);
    held_ = 0;
    used_ = 0;
    platform::WindowHandle window = window_;
    window_ = 0;
    platform::SetWindowHandler(window, nullptr);
    platform::DestroyWindow(window);
    std::lock_guard guard(WindowLock());
    --g_windowCount;
}

std::uint32_t TIcsWndHandler::AllocateMessage(TIcsWndControl& control) {
    if (msgLow_ < 1024) throw EIcsException(u"MsgLow not defined");
    if (used_ >= kMaxMsgs) throw EIcsException(u"No more free message");
    std::size_t slot = 0;
    while (slots_[slot] != nullptr || holds_[slot] != 0) ++slot;  // a free one exists: used_ < kMaxMsgs
    // The window first: a failure leaves the table as it was.
    AllocateHWnd();
    slots_[slot] = &control;
    ++used_;
    return msgLow_ + std::uint32_t(slot);
}

void TIcsWndHandler::ReleaseMessage(std::uint32_t& msg) {
    if (msg == 0) return;
    if (msgLow_ <= 1023) throw EIcsException(u"MsgLow not defined");
    if (msg < msgLow_ || msg >= msgLow_ + kMaxMsgs) throw EIcsException(u"Msg value out of bound");
    TIcsWndControl*& slot = slots_[msg - msgLow_];
    if (slot == nullptr) throw EIcsException(u"Msg not registered");
    slot = nullptr;
    if (holding_ != 0) {
        holds_[msg - msgLow_] = holding_;
        ++held_;
        msg = 0;
        return;
    }
    --used_;
    msg = 0;
    // With the last control the window goes, and the messages of the held numbers with it.
    if (used_ == held_ && window_ != 0) DeallocateHWnd();
}

void TIcsWndHandler::BeginHold(const TIcsWndControl& control) {
    const bool others = std::any_of(slots_.begin(), slots_.end(),
                                    [&](const TIcsWndControl* c) { return c != nullptr && c != &control; });
    if (!others || window_ == 0) return;
    if (++lastHold_ == 0) ++lastHold_;
    holding_ = lastHold_;
}

void TIcsWndHandler::EndHold() {
    const std::uint32_t hold = std::exchange(holding_, 0);
    if (hold == 0) return;
    const auto held = std::find(holds_.begin(), holds_.end(), hold);
    if (held == holds_.end()) return;
    // Behind every message already queued for the numbers; a reserved post, which a full
    // queue still takes. Without it the numbers are freed now, as they always were.
    const std::uint32_t number = msgLow_ + std::uint32_t(held - holds_.begin());
    if (!platform::PostReservedMessage(window_, number, hold, kHoldMark)) FreeHold(hold);
}

void TIcsWndHandler::FreeHold(std::uint32_t hold) {
    for (std::uint32_t& h : holds_) {
        if (h != hold) continue;
        h = 0;
        --held_;
        --used_;
    }
    // Other controls use the window (the last one takes it along), so it stays.
}

void TIcsWndHandler::HandleHeldNumber(std::size_t slot, std::uintptr_t wParam, std::intptr_t lParam) {
    // Under the pool lock: a control of this window may be going on another thread.
    std::lock_guard guard(TIcsWndHandlerPool::Instance().Lock());
    const std::uint32_t hold = holds_[slot];
    if (hold != 0 && lParam == kHoldMark && wParam == hold) FreeHold(hold);
}

std::intptr_t TIcsWndHandler::WindowProc(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                         std::intptr_t lParam) {
    try {
        if (message >= msgLow_ && message < msgLow_ + kMaxMsgs) {
            if (TIcsWndControl* control = slots_[message - msgLow_])
                return control->HandleWindowMessage(message, wParam, lParam);
            HandleHeldNumber(message - msgLow_, wParam, lParam);
            return 0;
        }
        if (message == platform::kWmTimer) {
            // A control's timer has one of its numbers as its id.
            if (wParam >= msgLow_ && wParam < msgLow_ + kMaxMsgs)
                if (TIcsWndControl* control = slots_[wParam - msgLow_])
                    return control->HandleWindowMessage(message, wParam, lParam);
            return 0;
        }
        if (OnUnownedMessage) return OnUnownedMessage(message, wParam, lParam);
        return platform::DefWindowProc(window, message, wParam, lParam);
    } catch (const runtime::Exception& e) {
        // Nothing escapes into the thread's loop: the hook sees it when set, else it is
        // dropped (the controls report their own errors before this point).
        if (OnBgException) {
            try {
                OnBgException(e);
            } catch (const std::exception&) {}
        }
        return 0;
    } catch (const std::exception& e) {
        if (OnBgException) {
            try {
                OnBgException(runtime::Exception(txt::FromUtf8(e.what())));
            } catch (const std::exception&) {}
        }
        return 0;
    }
}

// ---- TIcsWndHandlerPool --------------------------------------------------------------------

TIcsWndHandlerPool& TIcsWndHandlerPool::Instance() {
    // Never destroyed: controls with static lifetime may detach during static destruction.
    static TIcsWndHandlerPool* pool = new TIcsWndHandlerPool;
    return *pool;
}

TIcsWndHandler& TIcsWndHandlerPool::AcquireWindowHandler(int n, platform::ThreadId thread) {
    VBX_EXPECT_LOCK_HELD(mutex_, "the pool lock");
    std::lock_guard guard(mutex_);
    TIcsWndHandlerList* list = nullptr;
    for (auto it = lists_.rbegin(); it != lists_.rend(); ++it) {
        if ((*it)->ThreadId() == thread) {
            list = it->get();
            break;
        }
    }
    if (list == nullptr) {
        lists_.push_back(std::make_unique<TIcsWndHandlerList>(thread));
        list = lists_.back().get();
    }
    for (auto& handler : list->Handlers())
        if (TIcsWndHandler::kMaxMsgs - handler->MsgCount() >= n) return *handler;
    if (g_nextMsgLow <= 1024 || g_nextMsgLow >= kMsgLowLimit) g_nextMsgLow = kFirstMsg;
    list->Handlers().push_back(std::make_unique<TIcsWndHandler>(*list, g_nextMsgLow));
    return *list->Handlers().back();
}

void TIcsWndHandlerPool::ReleaseWindowHandler(TIcsWndHandler& handler) {
    VBX_EXPECT_LOCK_HELD(mutex_, "the pool lock");
    std::lock_guard guard(mutex_);
    TIcsWndHandlerList& list = handler.List();
    auto& handlers = list.Handlers();
    std::erase_if(handlers, [&](const std::unique_ptr<TIcsWndHandler>& h) { return h.get() == &handler; });
    if (handlers.empty())
        std::erase_if(lists_, [&](const std::unique_ptr<TIcsWndHandlerList>& l) { return l.get() == &list; });
}

std::size_t TIcsWndHandlerPool::ListCount() {
    std::lock_guard guard(mutex_);
    return lists_.size();
}

std::size_t TIcsWndHandlerPool::HandlerCount(platform::ThreadId thread) {
    std::lock_guard guard(mutex_);
    for (auto& list : lists_)
        if (list->ThreadId() == thread) return list->Handlers().size();
    return 0;
}

// ---- TIcsWndControl ----------------------------------------------------------------------

TIcsWndControl::TIcsWndControl() = default;

TIcsWndControl::~TIcsWndControl() {
    try {
        DetachNotificationWindow();
    } catch (const runtime::Exception&) {
        // A destructor cannot report; the numbers of a broken table are lost at worst.
    }
}

void TIcsWndControl::AttachNotificationWindow() {
    if (window_ != 0) return;
    threadId_ = platform::CurrentThreadId();
    owningThread_.Bind();
    TIcsWndHandlerPool& pool = TIcsWndHandlerPool::Instance();
    std::lock_guard guard(pool.Lock());
    if (wndHandler_ == nullptr) wndHandler_ = &pool.AcquireWindowHandler(MsgHandlersCount(), threadId_);
    try {
        wndHandler_->AllocateHWnd();
        window_ = wndHandler_->Handle();
        AllocateMsgHandlers();
    } catch (...) {
        // Leave nothing half attached: the numbers taken so far go back, and a handler
        // left without numbers goes away.
        try {
            FreeMsgHandlers();
        } catch (const runtime::Exception&) {}
        if (wndHandler_->MsgCount() <= 0) pool.ReleaseWindowHandler(*wndHandler_);
        wndHandler_ = nullptr;
        window_ = 0;
        threadId_ = 0;
        throw;
    }
}

void TIcsWndControl::DetachNotificationWindow() {
    if (window_ == 0 || wndHandler_ == nullptr) return;
    TIcsWndHandlerPool& pool = TIcsWndHandlerPool::Instance();
    std::lock_guard guard(pool.Lock());
    TIcsWndHandler* handler = wndHandler_;
    window_ = 0;
    threadId_ = 0;
    owningThread_.Detach();
    handler->BeginHold(*this);
    try {
        FreeMsgHandlers();
    } catch (...) {
        handler->EndHold();
        wndHandler_ = nullptr;
        if (handler->MsgCount() <= 0) pool.ReleaseWindowHandler(*handler);
        throw;
    }
    handler->EndHold();
    wndHandler_ = nullptr;
    if (handler->MsgCount() <= 0) pool.ReleaseWindowHandler(*handler);
}

void TIcsWndControl::AllocateMsgHandlers() { msgRelease_ = AllocateMessage(); }

void TIcsWndControl::FreeMsgHandlers() { ReleaseMessage(msgRelease_); }

std::uint32_t TIcsWndControl::AllocateMessage() { return wndHandler_->AllocateMessage(*this); }

void TIcsWndControl::ReleaseMessage(std::uint32_t& msg) {
    if (wndHandler_ != nullptr) wndHandler_->ReleaseMessage(msg);
}

std::intptr_t TIcsWndControl::HandleWindowMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
    VBX_EXPECT_OWNER_THREAD(OwningThread(), "the thread that attached the control");
    if (msg != 0 && msg == msgRelease_) {
        // Only a control handed to Release() owns itself; any other MsgRelease is stale.
        if (releasePending_) {
            std::unique_ptr<TIcsWndControl> self(this);
        }
        return 0;
    }
    return platform::DefWindowProc(window_, msg, wParam, lParam);
}

void TIcsWndControl::PumpMessages() {
    // A message posted to the thread rather than to a window (a control code, a stop) is
    // for the thread's own loop, which this pump is not: it is kept and posted again, in
    // order, behind what the pump hands out. A quit ends the pump and comes after them.
    std::vector<platform::Message> kept;
    std::optional<int> quit;
    platform::Message msg;
    while (kept.size() < kMaxKeptThreadMessages && platform::PeekMessage(msg, true)) {
        if (msg.message == platform::kWmQuit) {
            quit = int(msg.wParam);
            break;
        }
        if (msg.window == 0) {
            kept.push_back(msg);
            continue;
        }
        platform::DispatchMessage(msg);
    }
    const platform::ThreadId self = platform::CurrentThreadId();
    for (const platform::Message& m : kept) {
        // They came out of this queue, so it has room for them again; the reserved room
        // takes those that the queue's own posts beat to it meanwhile.
        if (!platform::PostThreadMessage(self, m.message, m.wParam, m.lParam))
            platform::PostReservedThreadMessage(self, m.message, m.wParam, m.lParam);
    }
    if (quit) platform::PostQuitMessage(*quit);
}

void TIcsWndControl::ThreadDetach() {
    if (window_ == 0) return;
    if (platform::CurrentThreadId() != threadId_) throw EIcsException(u"Cannot detach from another thread");
    DetachNotificationWindow();
}

void TIcsWndControl::ThreadAttach() {
    if (window_ != 0) throw EIcsException(u"Cannot attach when not detached");
    AttachNotificationWindow();
}

void TIcsWndControl::Release(std::unique_ptr<TIcsWndControl> control) {
    if (!control) return;
    control->releasePending_ = true;
    if (control->window_ != 0 && control->msgRelease_ != 0 &&
        platform::PostReservedMessage(control->window_, control->msgRelease_, 0, 0)) {
        control.release();  // owned by the queued MsgRelease from here on
    }
    // Otherwise the unique_ptr destroys it now.
}

}  // namespace net
