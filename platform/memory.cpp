// What memory regions share on every system: moving one hands over its mapping. Making,
// growing and releasing the mapping are the backends' (posix/, win32/).
#include "platform/memory.h"

#include <utility>

namespace platform {

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
