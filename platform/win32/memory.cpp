// Memory regions as reserved address space, committed as it is made usable. A larger
// reservation is a new one that the committed bytes move into: the owners grow
// geometrically, so each byte moves a bounded number of times.
#include "platform/memory.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/win32/win32.h"

namespace platform {

namespace {

std::size_t RoundUp(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }

// Commits in steps of this much, so growing by small reads does not call the system each
// time; the committed part never exceeds the usable part by more than one step.
constexpr std::size_t kCommitStep = 64 * 1024;

char* ReserveSpace(std::size_t size) {
    void* base = ::VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
    if (base == nullptr) throw std::bad_alloc();
    return static_cast<char*>(base);
}

// Commits [from, to) of a reservation, `to` rounded up to a step within it.
void Commit(char* data, std::size_t reserved, std::size_t from, std::size_t to) {
    const std::size_t target = std::min(reserved, RoundUp(to, kCommitStep));
    if (target > from && ::VirtualAlloc(data + from, target - from, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        throw std::bad_alloc();
    }
}

}  // namespace

MemoryRegion::MemoryRegion(std::size_t bytes) {
    const std::size_t size = ReservationFor(bytes);
    data_ = ReserveSpace(size);
    reserved_ = size;
}

void MemoryRegion::Reserve(std::size_t bytes) {
    if (bytes <= reserved_) return;
    const std::size_t size = ReservationFor(bytes);
    char* larger = ReserveSpace(size);
    try {
        Commit(larger, size, 0, usable_);
    } catch (...) {
        ::VirtualFree(larger, 0, MEM_RELEASE);
        throw;
    }
    if (usable_ > 0) std::memcpy(larger, data_, usable_);
    if (data_ != nullptr) ::VirtualFree(data_, 0, MEM_RELEASE);
    data_ = larger;
    reserved_ = size;
}

void MemoryRegion::Grow(std::size_t bytes) {
    if (bytes <= usable_) return;
    Reserve(bytes);
    Commit(data_, reserved_, RoundUp(usable_, kCommitStep), bytes);
    usable_ = bytes;
}

void MemoryRegion::Shrink(std::size_t bytes) {
    if (bytes == 0) {
        Release();
        return;
    }
    // The reservation stays; the commit beyond the kept bytes goes back.
    const std::size_t keep = RoundUp(std::min(usable_, bytes), kCommitStep);
    const std::size_t committed = RoundUp(usable_, kCommitStep);
    if (committed > keep) ::VirtualFree(data_ + keep, std::min(committed, reserved_) - keep, MEM_DECOMMIT);
    usable_ = std::min(usable_, bytes);
}

void MemoryRegion::ExpectEnd(std::size_t) {
    // Committed storage uses small pages here.
}

void MemoryRegion::Release() {
    if (data_ != nullptr) ::VirtualFree(data_, 0, MEM_RELEASE);
    data_ = nullptr;
    reserved_ = usable_ = 0;
}

}  // namespace platform
