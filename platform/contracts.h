#pragma once
// Run-time checks of the threading contracts the headers state: a function that runs on
// one thread only (OwnerThread, VBX_EXPECT_OWNER_THREAD) or only while its caller holds a
// lock (CheckedMutex, CheckedRecursiveMutex, RequiredLock, VBX_EXPECT_LOCK_HELD). A broken
// contract ends the program at once: standard error gets "Contract broken in <function>:
// <contract>" and the program aborts.
//
// The checks are active where VBX_CONTRACT_CHECKS is defined, which the build does for
// the sanitizer configurations. Elsewhere the two macros expand to nothing, OwnerThread
// and RequiredLock hold nothing, and the checked mutexes are the standard ones, so a plain
// build pays nothing for them.
//
// Threading contract: an OwnerThread and a checked mutex may be checked from any thread;
// Bind and Detach are called by the thread that takes the object over or hands it on.
#include <condition_variable>
#include <mutex>

#if defined(VBX_CONTRACT_CHECKS)
#include <atomic>
#include <thread>
#endif

namespace platform {

#if defined(VBX_CONTRACT_CHECKS)
inline constexpr bool kContractChecks = true;
#else
inline constexpr bool kContractChecks = false;
#endif

// Writes "Contract broken in <function>: <contract>" to standard error and aborts.
[[noreturn]] void ContractBroken(const char* function, const char* contract);

// The thread that an object, or a group of its functions, belongs to. It starts bound to
// the constructing thread or detached; a detached checker binds to the first thread that
// checks it (so an object handed to its thread before first use needs no Bind).
class OwnerThread {
public:
    enum class Start { kThisThread, kDetached };
    explicit OwnerThread(Start start = Start::kThisThread) {
#if defined(VBX_CONTRACT_CHECKS)
        if (start == Start::kThisThread) owner_.store(std::this_thread::get_id());
#else
        (void)start;
#endif
    }
    OwnerThread(const OwnerThread&) = delete;
    OwnerThread& operator=(const OwnerThread&) = delete;

    // From now on the calling thread owns.
    void Bind() {
#if defined(VBX_CONTRACT_CHECKS)
        owner_.store(std::this_thread::get_id());
#endif
    }
    // The next thread that checks becomes the owner.
    void Detach() {
#if defined(VBX_CONTRACT_CHECKS)
        owner_.store(std::thread::id());
#endif
    }
    // True on the owner thread (a detached checker binds to the calling thread).
    bool OnOwnerThread() const {
#if defined(VBX_CONTRACT_CHECKS)
        const std::thread::id self = std::this_thread::get_id();
        std::thread::id owner = owner_.load();
        if (owner == std::thread::id() && owner_.compare_exchange_strong(owner, self)) return true;
        return owner == self;
#else
        return true;
#endif
    }

private:
#if defined(VBX_CONTRACT_CHECKS)
    mutable std::atomic<std::thread::id> owner_{};
#endif
};

#if defined(VBX_CONTRACT_CHECKS)

// A mutex that knows whether the calling thread holds it. The holder is recorded after
// the lock is taken and cleared before it is given up, so a thread only ever reads its own
// id while it holds the lock.
class CheckedMutex {
public:
    void lock() {
        mutex_.lock();
        holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    bool try_lock() {
        if (!mutex_.try_lock()) return false;
        holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        return true;
    }
    void unlock() {
        holder_.store(std::thread::id(), std::memory_order_relaxed);
        mutex_.unlock();
    }
    bool HeldByThisThread() const { return holder_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

private:
    std::mutex mutex_;
    std::atomic<std::thread::id> holder_{};
};

// The same for a recursive mutex: held from the first lock to the matching last unlock.
class CheckedRecursiveMutex {
public:
    void lock() {
        mutex_.lock();
        Entered();
    }
    bool try_lock() {
        if (!mutex_.try_lock()) return false;
        Entered();
        return true;
    }
    void unlock() {
        if (--depth_ == 0) holder_.store(std::thread::id(), std::memory_order_relaxed);
        mutex_.unlock();
    }
    bool HeldByThisThread() const { return holder_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

private:
    void Entered() {
        if (depth_++ == 0) holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }

    std::recursive_mutex mutex_;
    std::atomic<std::thread::id> holder_{};
    int depth_ = 0;  // changed by the holder only
};

// Waits on a checked mutex.
using CheckedConditionVariable = std::condition_variable_any;

#else

using CheckedMutex = std::mutex;
using CheckedRecursiveMutex = std::recursive_mutex;
using CheckedConditionVariable = std::condition_variable;

#endif

// The lock a class's callers must hold, for a class that does not own it: empty (never
// checked) where the checks are compiled out or no lock was given.
template <class Mutex>
class RequiredLock {
public:
    RequiredLock() = default;
    explicit RequiredLock(const Mutex* lock) {
#if defined(VBX_CONTRACT_CHECKS)
        lock_ = lock;
#else
        (void)lock;
#endif
    }
    // True when no lock was given or the calling thread holds it.
    bool HeldByThisThread() const {
#if defined(VBX_CONTRACT_CHECKS)
        return lock_ == nullptr || lock_->HeldByThisThread();
#else
        return true;
#endif
    }

private:
#if defined(VBX_CONTRACT_CHECKS)
    const Mutex* lock_ = nullptr;
#endif
};

}  // namespace platform

#if defined(__GNUC__)
#define VBX_CONTRACT_FUNCTION __PRETTY_FUNCTION__
#else
#define VBX_CONTRACT_FUNCTION __func__
#endif

#if defined(VBX_CONTRACT_CHECKS)
// At the entry of a function that runs on one thread only: `owner` is its OwnerThread,
// `contract` says which thread ("the control thread only").
#define VBX_EXPECT_OWNER_THREAD(owner, contract)                                                              \
    do {                                                                                                      \
        if (!(owner).OnOwnerThread()) ::platform::ContractBroken(VBX_CONTRACT_FUNCTION, "runs on " contract); \
    } while (false)
// At the entry of a function that runs under a lock: `lock` is a checked mutex or a
// RequiredLock, `contract` names the lock ("the timer list's lock").
#define VBX_EXPECT_LOCK_HELD(lock, contract)                                                                         \
    do {                                                                                                             \
        if (!(lock).HeldByThisThread()) ::platform::ContractBroken(VBX_CONTRACT_FUNCTION, "called under " contract); \
    } while (false)
#else
namespace platform::contract_detail {
// Names its argument in an unevaluated operand, so that a compiled-out check still has
// its argument type-checked and costs nothing.
template <class T>
char Unevaluated(const T&);
}  // namespace platform::contract_detail
#define VBX_EXPECT_OWNER_THREAD(owner, contract) ((void)sizeof(::platform::contract_detail::Unevaluated(owner)))
#define VBX_EXPECT_LOCK_HELD(lock, contract) ((void)sizeof(::platform::contract_detail::Unevaluated(lock)))
#endif
