#include "net/buffer.h"

#include <algorithm>
#include <cstring>

#include "runtime/errors.h"
#include "text/strings.h"

namespace net {

TIcsBuffer::TIcsBuffer(int bufSize) : data_(static_cast<std::size_t>(bufSize > 0 ? bufSize : 1)) {}

int TIcsBuffer::Write(const char* data, int len) {
    int room = BufSize() - wrCount_;
    int n = std::min(room, std::max(len, 0));
    if (n > 0) {
        std::memcpy(data_.data() + wrCount_, data, static_cast<std::size_t>(n));
        wrCount_ += n;
    }
    return n;
}

std::string_view TIcsBuffer::Peek() const {
    return std::string_view(data_.data() + rdCount_, static_cast<std::size_t>(wrCount_ - rdCount_));
}

int TIcsBuffer::Remove(int len) {
    int n = std::min(std::max(len, 0), wrCount_ - rdCount_);
    rdCount_ += n;
    return n;
}

std::unique_ptr<TIcsBuffer> TIcsBufferLinkedList::RemoveFromListHead() {
    if (blocks_.empty()) return nullptr;
    std::unique_ptr<TIcsBuffer> block = std::move(blocks_.front());
    blocks_.pop_front();
    return block;
}

TIcsBufferHandler::TIcsBufferHandler(int bufSize) : bufSize_(bufSize > 0 ? bufSize : kDefaultBufSize) {}

int TIcsBufferHandler::BufSize() const { return bufSize_; }

void TIcsBufferHandler::SetBufSize(int size) {
    std::lock_guard guard(mutex_);
    bufSize_ = size > 0 ? size : kDefaultBufSize;
}

TIcsBuffer& TIcsBufferHandler::TakeBlock() {
    std::unique_ptr<TIcsBuffer> block = free_.RemoveFromListHead();
    // A spare block of an older size is not reused for a changed BufSize.
    if (!block || block->BufSize() != bufSize_) block = std::make_unique<TIcsBuffer>(bufSize_);
    block->Reset();
    inUse_.AddToListTail(std::move(block));
    return *inUse_.Tail();
}

void TIcsBufferHandler::Write(const char* data, int len) {
    std::lock_guard guard(mutex_);
    if (len <= 0) return;
    TIcsBuffer* block = inUse_.Empty() ? &TakeBlock() : inUse_.Tail();
    int done = block->Write(data, len);
    while (done < len) {
        block = &TakeBlock();
        done += block->Write(data + done, len - done);
    }
}

std::string_view TIcsBufferHandler::Peek() {
    std::lock_guard guard(mutex_);
    TIcsBuffer* head = inUse_.Head();
    return head ? head->Peek() : std::string_view();
}

void TIcsBufferHandler::Remove(int len) {
    std::lock_guard guard(mutex_);
    if (len < 0) throw runtime::Exception(u"TIcsBufferHandler.Remove: Invalid Len " + txt::IntToStr(len));
    if (inUse_.Empty()) throw runtime::Exception(u"TIcsBufferHandler.Remove: nothing to remove");
    TIcsBuffer* head = inUse_.Head();
    head->Remove(len);
    if (head->IsEmpty()) {
        head->Reset();
        free_.AddToListHead(inUse_.RemoveFromListHead());
    }
}

void TIcsBufferHandler::DeleteAllData() {
    std::lock_guard guard(mutex_);
    while (std::unique_ptr<TIcsBuffer> block = inUse_.RemoveFromListHead()) {
        block->Reset();
        free_.AddToListTail(std::move(block));
    }
}

bool TIcsBufferHandler::IsEmpty() {
    std::lock_guard guard(mutex_);
    return inUse_.Empty() || inUse_.Head()->IsEmpty();
}

std::size_t TIcsBufferHandler::InUseCount() {
    std::lock_guard guard(mutex_);
    return inUse_.Count();
}

std::size_t TIcsBufferHandler::FreeCount() {
    std::lock_guard guard(mutex_);
    return free_.Count();
}

}  // namespace net
