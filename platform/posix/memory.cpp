// Memory regions as anonymous private mappings, aligned to 2 MiB and advised for huge
// pages. The kernel provides pages on first touch, so Grow only moves the usable mark.
#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace platform {

namespace {

std::size_t RoundUp(std::size_t bytes) {
    return (bytes + MemoryRegion::kAlignment - 1) / MemoryRegion::kAlignment * MemoryRegion::kAlignment;
}

}  // namespace

MemoryRegion::MemoryRegion(std::size_t bytes) {
    const std::size_t size = RoundUp(bytes == 0 ? 1 : bytes);
    if (size < bytes) throw std::bad_alloc();
    // Map one alignment more than asked and cut the ends off, so the region starts on a
    // huge-page boundary and every 2 MiB of it can be one huge page. MAP_NORESERVE: the
    // reservation is address space only; memory is charged as pages are touched.
    const std::size_t mapped = size + kAlignment;
    void* base = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(base);
    const std::uintptr_t aligned = (start + kAlignment - 1) / kAlignment * kAlignment;
    const std::size_t head = aligned - start;
    if (head > 0) ::munmap(base, head);
    const std::size_t tail = mapped - head - size;
    if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
    data_ = reinterpret_cast<char*>(aligned);
    reserved_ = size;
#ifdef MADV_HUGEPAGE
    // Advice only: where huge pages are off or none is free, 4 KiB pages are used.
    ::madvise(data_, reserved_, MADV_HUGEPAGE);
#endif
}

void MemoryRegion::Grow(std::size_t bytes) {
    if (bytes <= usable_) return;
    if (bytes > reserved_) throw std::bad_alloc();
    usable_ = bytes;
}

void MemoryRegion::ExpectEnd(std::size_t end) {
#ifdef MADV_NOHUGEPAGE
    const std::size_t from = end / kAlignment * kAlignment;
    if (from < reserved_ && end % kAlignment != 0) ::madvise(data_ + from, kAlignment, MADV_NOHUGEPAGE);
#else
    static_cast<void>(end);
#endif
}

void MemoryRegion::Release() {
    if (data_ != nullptr) ::munmap(data_, reserved_);
    data_ = nullptr;
    reserved_ = usable_ = 0;
}

}  // namespace platform
