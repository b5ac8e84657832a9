// Memory regions: reserved address space made usable on demand and given back whole.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "platform/memory.h"
#include "platform/process.h"

using platform::MemoryRegion;

namespace {
constexpr std::size_t kMiB = 1024 * 1024;
}

TEST(MemoryRegionTest, ReservesWholeAlignedUnitsAndGrowsWithinThem) {
    MemoryRegion region(3 * kMiB);
    ASSERT_NE(region.Data(), nullptr);
    EXPECT_EQ(region.Reserved(), 4 * kMiB);
    EXPECT_EQ(region.Usable(), 0u);
    region.Grow(100);
    EXPECT_EQ(region.Usable(), 100u);
    region.Grow(50);  // never shrinks
    EXPECT_EQ(region.Usable(), 100u);
    region.Grow(region.Reserved());
    // Every usable byte can be written and read back, the last one included.
    std::memset(region.Data(), 0x5A, region.Usable());
    EXPECT_EQ(region.Data()[region.Usable() - 1], 0x5A);
    EXPECT_THROW(region.Grow(region.Reserved() + 1), std::bad_alloc);
    EXPECT_EQ(region.Usable(), region.Reserved());
}

TEST(MemoryRegionTest, ReleaseAndMoveLeaveOneOwner) {
    MemoryRegion region(kMiB);
    region.Grow(kMiB);
    region.Data()[0] = 'x';
    char* const data = region.Data();

    MemoryRegion moved(std::move(region));
    EXPECT_EQ(moved.Data(), data);
    EXPECT_EQ(moved.Usable(), kMiB);
    EXPECT_EQ(region.Data(), nullptr);
    EXPECT_EQ(region.Reserved(), 0u);
    EXPECT_EQ(region.Usable(), 0u);

    MemoryRegion other(kMiB);
    other = std::move(moved);
    EXPECT_EQ(other.Data(), data);
    EXPECT_EQ(other.Data()[0], 'x');

    other.Release();
    EXPECT_EQ(other.Data(), nullptr);
    EXPECT_EQ(other.Reserved(), 0u);
    other.Release();  // twice is harmless
    EXPECT_THROW(other.Grow(1), std::bad_alloc);
}

#ifndef _WIN32
// The region starts on a huge-page boundary, and the storage it gave back no longer
// counts as resident.
TEST(MemoryRegionTest, AlignedAndGivenBackToTheSystem) {
    MemoryRegion region(64 * kMiB);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(region.Data()) % MemoryRegion::kAlignment, 0u);
    region.Grow(region.Reserved());
    region.ExpectEnd(48 * kMiB + 100);
    const std::uint64_t before = platform::ResidentMemoryKiB();
    std::memset(region.Data(), 1, 48 * kMiB + 100);
    const std::uint64_t touched = platform::ResidentMemoryKiB();
    EXPECT_GE(touched, before + 40 * 1024);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The last, barely used 2 MiB is not a whole huge page. (A sanitizer's shadow memory
    // for the written bytes would count as well.)
    EXPECT_LT(touched, before + 50 * 1024);
#endif
    region.Release();
    EXPECT_LT(platform::ResidentMemoryKiB(), touched - 40 * 1024);
}
#endif
