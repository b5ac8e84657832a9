// Memory regions as reserved address space, committed as it is made usable.
#include "platform/memory.h"

#include <algorithm>
#include <new>

#include "platform/win32/win32.h"

namespace platform {

namespace {

std::size_t RoundUp(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }

// Commits in steps of this much, so growing by small reads does not call the system each
// time; the committed part never exceeds the usable part by more than one step.
constexpr std::size_t kCommitStep = 64 * 1024;

}  // namespace

MemoryRegion::MemoryRegion(std::size_t bytes) {
    const std::size_t size = RoundUp(bytes == 0 ? 1 : bytes, kAlignment);
    if (size < bytes) throw std::bad_alloc();
    void* base = ::VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
    if (base == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(base);
    reserved_ = size;
}

void MemoryRegion::Grow(std::size_t bytes) {
    if (bytes <= usable_) return;
    if (bytes > reserved_) throw std::bad_alloc();
    const std::size_t committed = RoundUp(usable_, kCommitStep);
    if (bytes > committed) {
        const std::size_t target = std::min(reserved_, RoundUp(bytes, kCommitStep));
        if (::VirtualAlloc(data_ + committed, target - committed, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
            throw std::bad_alloc();
        }
    }
    usable_ = bytes;
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
