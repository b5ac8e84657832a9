#pragma once
// A one-way signal between the threads of a test.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace testsupport {

class Signal {
public:
    void Set() {
        std::lock_guard lock(mutex_);
        set_ = true;
        cv_.notify_all();
    }
    bool Wait(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return set_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

}  // namespace testsupport
