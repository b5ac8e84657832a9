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
    const std::size_t keep = std::min(usable_, bytes);
    const std::size_t size = ReservationFor(bytes);
    if (size < reserved_) {
        // A smaller reservation takes the kept bytes over, so that address space follows
        // the bytes down as well (the owner shrinks only what is well above its bytes).
        auto* smaller = static_cast<char*>(::VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS));
        if (smaller != nullptr &&
            (keep == 0 || ::VirtualAlloc(smaller, RoundUp(keep, kCommitStep), MEM_COMMIT, PAGE_READWRITE) != nullptr)) {
            if (keep > 0) std::memcpy(smaller, data_, keep);
            ::VirtualFree(data_, 0, MEM_RELEASE);
            data_ = smaller;
            reserved_ = size;
            usable_ = keep;
            return;
        }
        if (smaller != nullptr) ::VirtualFree(smaller, 0, MEM_RELEASE);
    }
    // Where no smaller reservation can be had, the commit beyond the kept bytes goes back.
    const std::size_t kept = RoundUp(keep, kCommitStep);
    const std::size_t committed = std::min(RoundUp(usable_, kCommitStep), reserved_);
    if (committed > kept) ::VirtualFree(data_ + kept, committed - kept, MEM_DECOMMIT);
    usable_ = keep;
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
