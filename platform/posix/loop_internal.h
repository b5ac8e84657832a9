#pragma once
// Internal to the POSIX platform layer: the message loop of a thread can also watch file
// descriptors for the socket layer. A watch belongs to the thread whose loop serves it;
// its callback runs on that thread, inside GetMessage/PeekMessage/SuspendUntilThreadMessage
// processing, and normally posts a notice (PostMessage) so that notices keep queue order.
#include <cstdint>
#include <functional>

#include "platform/messages.h"

namespace platform::posix {

// epoll event bits (EPOLLIN, EPOLLOUT, EPOLLRDHUP, EPOLLERR, EPOLLHUP as the kernel defines them).
using FdCallback = std::function<void(std::uint32_t epollEvents)>;

// Adds or replaces the watch of fd on the loop of `owner` with the given epoll interest
// (level-triggered). Returns false when the owner thread has no queue (its loop ended).
// May be called from any thread; wakes the owner's wait when needed.
bool WatchFd(ThreadId owner, int fd, std::uint32_t epollEvents, FdCallback callback);
// Changes only the interest of an existing watch (e.g. to stop asking for EPOLLIN until
// the next receive). Returns false when there is no such watch.
bool ModifyFdWatch(ThreadId owner, int fd, std::uint32_t epollEvents);
// Removes the watch; after it returns the callback is not running and will not run again,
// unless it is called from within that very callback (then it just will not run again).
// Called on another thread it waits until the owner has finished the callbacks it is
// running, so the caller must not hold a lock that a callback of that loop takes.
void UnwatchFd(ThreadId owner, int fd);

// How many times any thread's loop has come back from a blocking wait (a wait with a
// timeout other than 0), process-wide since start. Benchmarks compare it with the ticks
// they expect, to show that an idle loop wakes for nothing else.
std::uint64_t LoopWakeups();

}  // namespace platform::posix
