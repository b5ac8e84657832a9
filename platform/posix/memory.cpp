// Memory regions as anonymous private mappings; from 2 MiB on aligned to 2 MiB and advised
// for huge pages. The kernel provides pages on first touch, so making storage usable
// within the reservation only moves the usable mark, and a larger reservation is the same
// mapping remapped (mremap moves the page tables, not the bytes).
#include "platform/memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <new>

namespace platform {

namespace {

bool Aligned(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % MemoryRegion::kAlignment == 0; }

void AdviseHugePages(char* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
    // Advice only: where huge pages are off or none is free, 4 KiB pages are used.
    if (size >= MemoryRegion::kAlignment) ::madvise(data, size, MADV_HUGEPAGE);
#else
    static_cast<void>(data);
    static_cast<void>(size);
#endif
}

// A fresh mapping of `size` bytes; from kAlignment on it starts on a 2 MiB boundary, so that
// every 2 MiB of it can be one huge page. Recent kernels place such mappings aligned by
// themselves; otherwise one alignment more is mapped and the ends are cut off.
char* MapFresh(std::size_t size) {
    // MAP_NORESERVE: where the system overcommits, the reservation is address space only
    // and memory is charged as pages are touched.
    constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
    void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, kFlags, -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
    if (size < MemoryRegion::kAlignment || Aligned(base)) return static_cast<char*>(base);
    ::munmap(base, size);
    const std::size_t mapped = size + MemoryRegion::kAlignment;
    base = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, kFlags, -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(base);
    const std::uintptr_t aligned =
        (start + MemoryRegion::kAlignment - 1) / MemoryRegion::kAlignment * MemoryRegion::kAlignment;
    const std::size_t head = aligned - start;
    if (head > 0) ::munmap(base, head);
    const std::size_t tail = mapped - head - size;
    if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
    return reinterpret_cast<char*>(aligned);
}

}  // namespace

MemoryRegion::MemoryRegion(std::size_t bytes) {
    const std::size_t size = ReservationFor(bytes);
    data_ = MapFresh(size);
    reserved_ = size;
    AdviseHugePages(data_, reserved_);
}

void MemoryRegion::Reserve(std::size_t bytes) {
    if (bytes <= reserved_) return;
    const std::size_t size = ReservationFor(bytes);
    if (data_ == nullptr) {
        data_ = MapFresh(size);
    } else {
        // mremap takes one mapping only: advice for the whole region first joins a last
        // part that ExpectEnd advised apart.
        AdviseHugePages(data_, reserved_);
        void* moved = ::mremap(data_, reserved_, size, MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<char*>(moved);
    }
    reserved_ = size;
    AdviseHugePages(data_, reserved_);
}

void MemoryRegion::Grow(std::size_t bytes) {
    if (bytes <= usable_) return;
    Reserve(bytes);
    usable_ = bytes;
}

void MemoryRegion::Shrink(std::size_t bytes) {
    if (bytes == 0) {
        Release();
        return;
    }
    usable_ = std::min(usable_, bytes);
    const std::size_t size = ReservationFor(bytes);
    if (size < reserved_) {
        ::munmap(data_ + size, reserved_ - size);
        reserved_ = size;
    }
}

void MemoryRegion::ExpectEnd(std::size_t end) {
#ifdef MADV_NOHUGEPAGE
    const std::size_t from = end / kAlignment * kAlignment;
    if (from + kAlignment <= reserved_ && end % kAlignment != 0) ::madvise(data_ + from, kAlignment, MADV_NOHUGEPAGE);
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
