// What memory regions share on every system: the size of a reservation and the move of a
// region, which hands over its mapping. Making, growing and releasing the mapping are the
// backends' (posix/, win32/).
#include "platform/memory.h"

#include <new>
#include <utility>

namespace platform {

std::size_t MemoryRegion::ReservationFor(std::size_t bytes) {
    const std::size_t unit = bytes >= kAlignment ? kAlignment : kSmallUnit;
    if (bytes == 0) return unit;
    if (bytes > static_cast<std::size_t>(-1) - unit) throw std::bad_alloc();
    return (bytes + unit - 1) / unit * unit;
}

MemoryRegion::MemoryRegion(MemoryRegion&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      reserved_(std::exchange(other.reserved_, 0)),
      usable_(std::exchange(other.usable_, 0)) {}

MemoryRegion& MemoryRegion::operator=(MemoryRegion&& other) noexcept {
    if (this != &other) {
        Release();
        data_ = std::exchange(other.data_, nullptr);
        reserved_ = std::exchange(other.reserved_, 0);
        usable_ = std::exchange(other.usable_, 0);
    }
    return *this;
}

}  // namespace platform
