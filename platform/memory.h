#pragma once
// Large byte storage straight from the system, for buffers that grow to many megabytes
// and must be given back completely once they are no longer needed.
//
// A region holds address space for its usable prefix and little more: it grows with the
// bytes its owner keeps, so address space and commit follow what is used. Growing beyond
// the reservation extends it: on POSIX the mapping is remapped, which moves page tables
// and never the bytes; on Windows a new reservation takes the committed bytes over (the
// owner grows geometrically, so each byte is copied a bounded number of times). Untouched
// storage costs no memory. On POSIX a reservation of 2 MiB or more is marked for
// transparent huge pages, so touching fresh storage costs one fault per 2 MiB instead of
// one per 4 KiB; on Windows the storage is committed as it is made usable. Release() gives
// everything back to the system (the resident figure drops at once; the heap would keep
// it).
//
// Every call that needs more from the system throws std::bad_alloc when the system refuses
// (an address-space limit, strict overcommit) and then leaves the region as it was.
//
// Threading contract: a region is used by one thread at a time (its owner's lock).
#include <cstddef>

namespace platform {

class MemoryRegion {
public:
    // Reservations of at least this size are whole multiples of it (a huge page).
    static constexpr std::size_t kAlignment = std::size_t{2} * 1024 * 1024;
    // Smaller reservations are whole multiples of this.
    static constexpr std::size_t kSmallUnit = std::size_t{64} * 1024;
    // What a reservation for `bytes` amounts to: `bytes` rounded up to kSmallUnit, or to
    // kAlignment from kAlignment on. So a reservation exceeds its bytes by less than
    // kAlignment.
    static std::size_t ReservationFor(std::size_t bytes);

    MemoryRegion() = default;
    // Reserves ReservationFor(bytes) of address space; nothing is usable yet.
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
    // Makes the first `bytes` usable (never shrinks). Beyond Reserved() the reservation
    // is extended to ReservationFor(bytes) first, keeping the usable bytes; Data() may
    // change then.
    void Grow(std::size_t bytes);
    // Extends the reservation to ReservationFor(bytes) (never shrinks) without making more
    // usable; Data() may change. For an owner that expects many more bytes: from 2 MiB on,
    // the storage touched first can be a huge page.
    void Reserve(std::size_t bytes);
    // Keeps only the first `bytes` usable and gives back the storage and the address space
    // beyond ReservationFor(bytes); Data() stays on POSIX, and on Windows, where the kept
    // bytes move to a smaller reservation, may change. 0 releases everything. Never
    // throws: where no smaller reservation can be had, only the storage goes back.
    void Shrink(std::size_t bytes);
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
