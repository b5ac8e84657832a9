// The run-time checks of the threading contracts: a deliberate misuse ends the program
// with a message that names the function and the contract, and proper use passes. The
// checks are built into the sanitizer builds only; elsewhere the misuses are skipped.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/contracts.h"
#include "platform/progress.h"
#include "platform/service_manager.h"
#ifndef _WIN32
#include "platform/posix/notify_client.h"
#endif

namespace {

using platform::CheckedMutex;
using platform::CheckedRecursiveMutex;
using platform::OwnerThread;
using platform::RequiredLock;

void OnAnotherThread(const std::function<void()>& body) { std::thread(body).join(); }

void ExpectHeld(const CheckedMutex& lock) { VBX_EXPECT_LOCK_HELD(lock, "the test's lock"); }
void ExpectHeldRecursive(const CheckedRecursiveMutex& lock) { VBX_EXPECT_LOCK_HELD(lock, "the test's lock"); }
void ExpectOwner(const OwnerThread& owner) { VBX_EXPECT_OWNER_THREAD(owner, "the test's thread"); }

// A use of a contract and, for a misuse, what the program ends with.
struct Use {
    const char* what;
    std::function<void()> body;
    const char* message = nullptr;
};

TEST(ContractDeathTest, MisusesEndTheProgramNamingTheFunctionAndTheContract) {
    if (!platform::kContractChecks) GTEST_SKIP() << "the contract checks are not built into this configuration";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Use misuses[] = {
        {"a lock nobody holds", [] { ExpectHeld(CheckedMutex()); },
         "Contract broken in void .*ExpectHeld\\(.*\\): called under the test's lock"},
        {"a lock another thread holds",
         [] {
             CheckedMutex lock;
             std::lock_guard guard(lock);
             OnAnotherThread([&] { ExpectHeld(lock); });
         },
         "ExpectHeld.*called under the test's lock"},
        {"a recursive lock taken twice and given up twice",
         [] {
             CheckedRecursiveMutex lock;
             lock.lock();
             lock.lock();
             lock.unlock();
             lock.unlock();
             ExpectHeldRecursive(lock);
         },
         "ExpectHeldRecursive.*called under the test's lock"},
        {"an object used away from the thread that made it",
         [] {
             const OwnerThread owner;
             OnAnotherThread([&] { ExpectOwner(owner); });
         },
         "Contract broken in void .*ExpectOwner\\(.*\\): runs on the test's thread"},
        {"a detached checker taken by another thread first",
         [] {
             const OwnerThread owner(OwnerThread::Start::kDetached);
             OnAnotherThread([&] { ExpectOwner(owner); });
             ExpectOwner(owner);
         },
         "ExpectOwner.*runs on the test's thread"},
        {"a progress record marked by a thread that does not watch it",
         [] {
             platform::ThreadProgress record;
             const platform::WatchProgress watch(record);
             OnAnotherThread([&] { record.Mark(5); });
         },
         "ThreadProgress::Mark.*runs on the thread the progress record belongs to"},
        {"a control gate offered a code without its owner's lock",
         [] {
             CheckedMutex lock;
             platform::ControlGate gate{RequiredLock<CheckedMutex>(&lock)};
             gate.Offer(platform::kServiceControlStop);
         },
         "ControlGate::Offer.*called under the owner's lock"},
#ifndef _WIN32
        {"the notification client called without the dispatcher's lock",
         [] {
             CheckedMutex lock;
             platform::posix::NotifyClient client{RequiredLock<CheckedMutex>(&lock)};
             client.Ping();
         },
         "NotifyClient::Ping.*called under the dispatcher's lock"},
#endif
    };
    for (const Use& misuse : misuses) EXPECT_DEATH(misuse.body(), misuse.message) << misuse.what;
}

TEST(ContractTest, ProperUsePasses) {
    const Use uses[] = {
        {"a lock this thread holds",
         [] {
             CheckedMutex lock;
             std::lock_guard guard(lock);
             ExpectHeld(lock);
         }},
        {"a recursive lock still held once",
         [] {
             CheckedRecursiveMutex lock;
             std::lock_guard outer(lock);
             { std::lock_guard inner(lock); }
             ExpectHeldRecursive(lock);
         }},
        {"the thread that made the object", [] { ExpectOwner(OwnerThread()); }},
        {"a detached checker bound by the thread that takes the object over",
         [] {
             OwnerThread owner(OwnerThread::Start::kDetached);
             ExpectOwner(owner);
             OnAnotherThread([&] {
                 owner.Bind();
                 ExpectOwner(owner);
             });
         }},
        {"a requirement without a lock", [] { VBX_EXPECT_LOCK_HELD(RequiredLock<CheckedMutex>(), "no lock"); }},
#ifndef _WIN32
        {"the notification client under the dispatcher's lock",
         [] {
             CheckedMutex lock;
             platform::posix::NotifyClient client{RequiredLock<CheckedMutex>(&lock)};
             std::lock_guard guard(lock);
             EXPECT_FALSE(client.Ping());
         }},
#endif
    };
    for (const Use& use : uses) {
        SCOPED_TRACE(use.what);
        use.body();
    }
}

}  // namespace
