#include "net/wndcontrol.h"

#include <algorithm>

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
    auto slot = std::find(slots_.begin(), slots_.end(), nullptr);
    // The window first: a failure leaves the table as it was.
    AllocateHWnd();
    *slot = &control;
    ++used_;
    return msgLow_ + std::uint32_t(slot - slots_.begin());
}

void TIcsWndHandler::ReleaseMessage(std::uint32_t& msg) {
    if (msg == 0) return;
    if (msgLow_ <= 1023) throw EIcsException(u"MsgLow not defined");
    if (msg < msgLow_ || msg >= msgLow_ + kMaxMsgs) throw EIcsException(u"Msg value out of bound");
    TIcsWndControl*& slot = slots_[msg - msgLow_];
    if (slot == nullptr) throw EIcsException(u"Msg not registered");
    slot = nullptr;
    --used_;
    msg = 0;
    if (used_ == 0 && window_ != 0) DeallocateHWnd();
}

std::intptr_t TIcsWndHandler::WindowProc(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                         std::intptr_t lParam) {
    try {
        if (message >= msgLow_ && message < msgLow_ + kMaxMsgs) {
            if (TIcsWndControl* control = slots_[message - msgLow_])
                return control->HandleWindowMessage(message, wParam, lParam);
        }
        if (message == platform::kWmTimer) return 0;  // no timer hook in this library
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
    try {
        FreeMsgHandlers();
    } catch (...) {
        wndHandler_ = nullptr;
        if (handler->MsgCount() <= 0) pool.ReleaseWindowHandler(*handler);
        throw;
    }
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
    platform::Message msg;
    while (platform::PeekMessage(msg, true)) {
        if (msg.message == platform::kWmQuit) {
            platform::PostQuitMessage(int(msg.wParam));
            return;
        }
        platform::DispatchMessage(msg);
    }
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
