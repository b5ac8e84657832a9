// Memory regions: address space that follows the bytes kept, made usable on demand and
// given back whole.
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
using Sizes = std::pair<std::size_t, std::size_t>;  // reserved, usable
Sizes SizesOf(const MemoryRegion& region) { return {region.Reserved(), region.Usable()}; }
}  // namespace

TEST(MemoryRegionTest, ReservationsAreWholeUnits) {
    struct Case {
        std::size_t bytes, reserved;
    };
    constexpr std::size_t kSmall = MemoryRegion::kSmallUnit;
    for (const Case& c : {Case{0, kSmall}, Case{1, kSmall}, Case{kSmall, kSmall}, Case{kSmall + 1, 2 * kSmall},
                          Case{2 * kMiB - 1, 2 * kMiB}, Case{2 * kMiB, 2 * kMiB}, Case{2 * kMiB + 1, 4 * kMiB},
                          Case{3 * kMiB, 4 * kMiB}}) {
        EXPECT_EQ(MemoryRegion::ReservationFor(c.bytes), c.reserved) << c.bytes;
    }
    EXPECT_THROW(MemoryRegion::ReservationFor(static_cast<std::size_t>(-1)), std::bad_alloc);
}

// Growing within the reservation only moves the usable mark; beyond it the reservation
// follows the bytes and keeps them; a refusal leaves the region as it was.
TEST(MemoryRegionTest, GrowsWithTheBytesAndKeepsThem) {
    MemoryRegion region(3 * kMiB);
    ASSERT_NE(region.Data(), nullptr);
    EXPECT_EQ(SizesOf(region), Sizes(4 * kMiB, 0));
    char* const data = region.Data();
    region.Grow(100);
    region.Grow(50);  // never shrinks
    EXPECT_EQ(region.Usable(), 100u);
    region.Grow(region.Reserved());
    EXPECT_EQ(region.Data(), data);
    for (std::size_t i = 0; i < region.Usable(); i += 4096) region.Data()[i] = static_cast<char>(i / 4096);
    // Advice for the last part (which splits the mapping on POSIX) does not stop growth.
    region.ExpectEnd(3 * kMiB + 100);
    region.Grow(region.Reserved() + 1);
    EXPECT_EQ(SizesOf(region), Sizes(6 * kMiB, 4 * kMiB + 1));
    for (std::size_t i = 0; i < 4 * kMiB; i += 4096) ASSERT_EQ(region.Data()[i], static_cast<char>(i / 4096)) << i;
    region.Data()[region.Usable() - 1] = 'z';  // the last usable byte can be written

    char* const before = region.Data();
    EXPECT_THROW(region.Grow(std::size_t{1} << 50), std::bad_alloc);  // more than any address space
    EXPECT_EQ(region.Data(), before);
    EXPECT_EQ(SizesOf(region), Sizes(6 * kMiB, 4 * kMiB + 1));
    EXPECT_EQ(region.Data()[4096], 1);

    // An empty region grows from nothing.
    MemoryRegion empty;
    empty.Grow(10);
    EXPECT_EQ(empty.Reserved(), MemoryRegion::kSmallUnit);
    empty.Data()[9] = 'x';
}

// Shrinking keeps the bytes asked for where they are and gives back the rest; 0 gives
// back everything.
TEST(MemoryRegionTest, ShrinksToTheBytesKept) {
    MemoryRegion region;
    region.Grow(9 * kMiB);
    std::memset(region.Data(), 'q', region.Usable());
    char* const data = region.Data();
    region.Shrink(kMiB + 5);
#ifndef _WIN32
    EXPECT_EQ(region.Data(), data);  // Windows moves the kept bytes to a smaller reservation
#else
    static_cast<void>(data);
#endif
    EXPECT_EQ(SizesOf(region), Sizes(MemoryRegion::ReservationFor(kMiB + 5), kMiB + 5));
    EXPECT_EQ(region.Data()[kMiB + 4], 'q');
    region.Grow(3 * kMiB);
    EXPECT_EQ(region.Data()[kMiB], 'q');
    region.Shrink(0);
    EXPECT_EQ(region.Data(), nullptr);
    EXPECT_EQ(region.Reserved(), 0u);
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
    EXPECT_EQ(SizesOf(region), Sizes(0, 0));

    MemoryRegion other(kMiB);
    other = std::move(moved);
    EXPECT_EQ(other.Data(), data);
    EXPECT_EQ(other.Data()[0], 'x');

    other.Release();
    EXPECT_EQ(other.Data(), nullptr);
    EXPECT_EQ(other.Reserved(), 0u);
    other.Release();  // twice is harmless
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
    EXPECT_GE(platform::PeakResidentKiB(), before + 40 * 1024);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The last, barely used 2 MiB is not a whole huge page. (A sanitizer's shadow memory
    // for the written bytes would count as well.)
    EXPECT_LT(touched, before + 50 * 1024);
#endif
    region.Release();
    EXPECT_LT(platform::ResidentMemoryKiB(), touched - 40 * 1024);
}
#endif
