#pragma once
// Large byte storage straight from the system, for buffers that grow to many megabytes
// and must be given back completely once they are no longer needed.
//
// A region reserves address space in one piece and makes a prefix of it usable on
// demand, so growing never moves the bytes. Untouched storage costs no memory. On POSIX
// the mapping starts on a 2 MiB boundary and is marked for transparent huge pages, so
// touching fresh storage costs one fault per 2 MiB instead of one per 4 KiB; on Windows
// the storage is committed as it is made usable. Release() gives everything back to the
// system (the resident figure drops at once; the heap would keep it).
//
// Threading contract: a region is used by one thread at a time (its owner's lock).
#include <cstddef>

namespace platform {

class MemoryRegion {
public:
    // The granularity of the reservation: reservations are whole multiples of it.
    static constexpr std::size_t kAlignment = std::size_t{2} * 1024 * 1024;

    MemoryRegion() = default;
    // Reserves at least `bytes` of address space (rounded up to kAlignment); nothing is
    // usable yet. Throws std::bad_alloc when the system refuses.
    explicit MemoryRegion(std::size_t bytes);
    ~MemoryRegion() { Release(); }
    MemoryRegion(MemoryRegion&& other) noexcept;
    MemoryRegion& operator=(MemoryRegion&& other) noexcept;
    MemoryRegion(const MemoryRegion&) = delete;
    MemoryRegion& operator=(const MemoryRegion&) = delete;

    char* Data() const { return data_; }
    std::size_t Reserved() const { return reserved_; }
    // The usable prefix: [Data(), Data() + Usable()).
    std::size_t Usable() const { return usable_; }
    // Makes the first `bytes` usable (never shrinks). Throws std::bad_alloc when `bytes`
    // exceeds Reserved() or the system refuses to commit.
    void Grow(std::size_t bytes);
    // The bytes are expected to end at `end`: the storage from the last 2 MiB boundary
    // below it on is given small pages, so that a last, mostly unused huge page does not
    // cost 2 MiB. Advice only; a no-op where the system has no huge pages.
    void ExpectEnd(std::size_t end);
    // Gives the storage and the reservation back; the region is empty afterwards.
    void Release();

private:
    char* data_ = nullptr;
    std::size_t reserved_ = 0;
    std::size_t usable_ = 0;
};

}  // namespace platform
