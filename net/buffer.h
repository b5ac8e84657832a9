#pragma once
// The socket's send buffer: a chain of fixed-size blocks in use (oldest first) and a free
// chain of spare blocks that are reused, so repeated sends allocate nothing new.
//
// Threading contract: TIcsBufferHandler carries its own reentrant lock (Lock/UnLock, or
// std::lock_guard on the handler). Every operation takes it, so the handler may be used
// from any thread; a caller that needs several steps to be one (the socket's send path)
// holds it around them. TIcsBuffer and TIcsBufferLinkedList are not locked themselves:
// they are only used under the handler's lock.
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace net {

// One block: BufSize bytes, of which those between the read count and the write count
// are unread.
class TIcsBuffer {
public:
    explicit TIcsBuffer(int bufSize);

    int BufSize() const { return static_cast<int>(data_.size()); }
    int WrCount() const { return wrCount_; }
    int RdCount() const { return rdCount_; }
    // Copies as much of data as fits behind the write count; returns the bytes copied.
    int Write(const char* data, int len);
    // The unread bytes.
    std::string_view Peek() const;
    // Advances the read count by len, at most to the write count; returns the advance.
    int Remove(int len);
    bool IsEmpty() const { return rdCount_ == wrCount_; }
    // Both counts back to 0.
    void Reset() { wrCount_ = rdCount_ = 0; }

private:
    std::vector<char> data_;
    int wrCount_ = 0;
    int rdCount_ = 0;
};

// A chain of blocks that owns them.
class TIcsBufferLinkedList {
public:
    bool Empty() const { return blocks_.empty(); }
    std::size_t Count() const { return blocks_.size(); }
    TIcsBuffer* Head() const { return blocks_.empty() ? nullptr : blocks_.front().get(); }
    TIcsBuffer* Tail() const { return blocks_.empty() ? nullptr : blocks_.back().get(); }
    void AddToListHead(std::unique_ptr<TIcsBuffer> block) { blocks_.push_front(std::move(block)); }
    void AddToListTail(std::unique_ptr<TIcsBuffer> block) { blocks_.push_back(std::move(block)); }
    std::unique_ptr<TIcsBuffer> RemoveFromListHead();

private:
    std::deque<std::unique_ptr<TIcsBuffer>> blocks_;
};

class TIcsBufferHandler {
public:
    static constexpr int kDefaultBufSize = 1460;

    explicit TIcsBufferHandler(int bufSize = kDefaultBufSize);
    TIcsBufferHandler(const TIcsBufferHandler&) = delete;
    TIcsBufferHandler& operator=(const TIcsBufferHandler&) = delete;

    // Size of blocks taken from now on; 0 or less means 1460.
    int BufSize() const;
    void SetBufSize(int size);

    // Reentrant: the holder may lock again (a send handler may send).
    void Lock() { mutex_.lock(); }
    void UnLock() { mutex_.unlock(); }
    void lock() { Lock(); }
    void unlock() { UnLock(); }
    bool try_lock() { return mutex_.try_lock(); }

    // Appends data behind the last block in use, taking blocks as needed.
    void Write(const char* data, int len);
    // The unread bytes of the first block in use (at most BufSize), empty when none.
    // Valid until the next change of the buffer.
    std::string_view Peek();
    // Consumes len bytes of the first block; a block read to its end goes to the head of
    // the free chain. Raises "TIcsBufferHandler.Remove: Invalid Len <n>" for a negative
    // len and "TIcsBufferHandler.Remove: nothing to remove" when no block is in use.
    void Remove(int len);
    // Every block in use goes to the free chain with both counts at 0.
    void DeleteAllData();
    // No block in use, or the first one has no unread byte.
    bool IsEmpty();

    std::size_t InUseCount();
    std::size_t FreeCount();

private:
    TIcsBuffer& TakeBlock();

    std::recursive_mutex mutex_;
    int bufSize_;
    TIcsBufferLinkedList inUse_;
    TIcsBufferLinkedList free_;
};

}  // namespace net
