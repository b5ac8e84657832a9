// The receive buffer on its own: the markers of the frame, the NUL rule, the connections
// it keeps apart, and storage that follows the bytes received.
#include "collector/receive_buffer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <tuple>

#include "platform/memory.h"
#include "support/collector_fakes.h"

namespace collector {
namespace {

using testsupport::FrameOf;
using testsupport::Soh;
using R = ReceiveBuffer::AppendResult;
constexpr std::size_t npos = ReceiveBuffer::npos;

// What the processor sees of a buffer: its bytes, the first SOH and EOT, a complete frame.
using Markers = std::tuple<std::string, std::size_t, std::size_t, bool>;
Markers Of(const ReceiveBuffer& buffer) {
    return {std::string(buffer.Bytes()), buffer.FirstSoh(), buffer.FirstEot(), buffer.HasCompleteFrame()};
}

TEST(ReceiveBufferTest, MarkersAndNulRule) {
    ReceiveBuffer buffer;
    buffer.BeginConnection();
    EXPECT_EQ(buffer.Append("\x04x"), R::kEndOfFrame);
    EXPECT_EQ(Of(buffer), Markers("\x04x", npos, 0, false));
    buffer.BeginConnection();  // the stray EOT is gone
    EXPECT_TRUE(buffer.Empty());

    EXPECT_EQ(buffer.Append("ab\x01"), R::kMore);
    EXPECT_EQ(buffer.Append(std::string("\0", 1)), R::kMore);
    EXPECT_EQ(buffer.Size(), 4u);  // a NUL at the end waits for later bytes
    EXPECT_EQ(buffer.Append("\x04z\x01"), R::kEndOfFrame);
    // "ab SOH NUL" dropped: the EOT that followed the NUL belongs to no frame before it.
    EXPECT_EQ(Of(buffer), Markers("\x04z\x01", 2, 0, false));
    buffer.Append("\x04");
    EXPECT_TRUE(buffer.HasCompleteFrame());
    buffer.Append(std::string("\0tail", 5));
    EXPECT_EQ(buffer.Visible(), "\x04z\x01\x04");
    EXPECT_EQ(buffer.Size(), 9u);
}

TEST(ReceiveBufferTest, CostIsLinearInTheBytesReceived) {
    // Many reads and many NULs: each byte is looked at a constant number of times. A
    // re-scan of the whole buffer per read would take minutes here.
    ReceiveBuffer buffer;
    buffer.BeginConnection();
    const auto start = std::chrono::steady_clock::now();
    const std::string noise(1 << 20, '\0');
    buffer.Append(noise);
    buffer.Append("x");
    EXPECT_EQ(buffer.Bytes(), "x");
    buffer.Append(Soh("9\x02"));
    for (int i = 0; i < 200000; ++i) buffer.Append("AAAA");
    EXPECT_EQ(buffer.FirstSoh(), 1u);
    EXPECT_EQ(buffer.Append("\x04"), R::kEndOfFrame);
    EXPECT_TRUE(buffer.HasCompleteFrame());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// A length field reserves nothing: storage follows the bytes that came.
TEST(ReceiveBufferTest, StorageGrowsWithTheBytesOnly) {
    ReceiveBuffer buffer;
    buffer.BeginConnection();
    buffer.Append("\x01$FFFFFFFF\x02YWJ");  // 14 bytes announcing 4 GiB
    EXPECT_LT(buffer.Capacity(), 4096u);
    const std::string chunk(64 * 1024, 'A');
    buffer.Append(chunk);
    // Large reads get a reservation that huge pages can back from the first byte on.
    EXPECT_EQ(buffer.Reserved(), platform::MemoryRegion::kAlignment);
    for (int i = 1; i < 64; ++i) {
        buffer.Append(chunk);
        EXPECT_LE(buffer.Capacity(), 2 * buffer.Size());
        EXPECT_LE(buffer.Reserved(), 2 * buffer.Size() + ReceiveBuffer::kStorageSlack);
    }
    // Storage follows the bytes down as well: a dropped connection leaves only the bound
    // of what is still held.
    ReceiveBuffer two;
    two.BeginConnection();
    two.Append(FrameOf("abc"));
    two.BeginConnection();
    for (int i = 0; i < 64; ++i) two.Append(chunk);
    EXPECT_GE(two.Reserved(), 4 * 1024 * 1024u);
    two.DropCurrentConnection();
    EXPECT_EQ(two.Bytes(), FrameOf("abc"));
    EXPECT_LE(two.Reserved(), 2 * two.Size() + ReceiveBuffer::kStorageSlack);
}

// A read larger than the storage moves the bytes to a larger reservation intact; the
// limit still decides what the connection keeps.
TEST(ReceiveBufferTest, ReadBeyondTheReservationKeepsTheBytes) {
    ReceiveBuffer buffer;
    buffer.SetConnectionLimit(1000);
    buffer.BeginConnection();
    buffer.Append(Soh("8\x02YWJj"));
    const std::size_t reserved = buffer.Reserved();
    EXPECT_EQ(reserved, platform::MemoryRegion::kSmallUnit);
    // The read that completes the frame is kept in full.
    std::string tail = "YWJj\x04" + std::string(reserved + 100, 'z');
    EXPECT_EQ(buffer.Append(tail), R::kEndOfFrame);
    EXPECT_GT(buffer.Reserved(), reserved);
    EXPECT_LE(buffer.Reserved(), 2 * buffer.Size() + ReceiveBuffer::kStorageSlack);
    EXPECT_EQ(buffer.Bytes().substr(0, 12), Soh("8\x02YWJjYWJj\x04"));
    EXPECT_EQ(buffer.Size(), 7 + tail.size());
    EXPECT_EQ(buffer.Bytes().substr(7), tail);
    buffer.Clear();
    EXPECT_EQ(buffer.Reserved(), 0u);
    EXPECT_TRUE(buffer.Empty());
}

// A read straight into the storage is appended exactly as the same bytes passed to Append;
// a read of nothing, even with no storage yet (a fresh buffer, or one given back), is no
// fault and changes nothing.
TEST(ReceiveBufferTest, ReadIntoTheStorageIsAnAppend) {
    ReceiveBuffer direct, copied;
    direct.BeginConnection();
    copied.BeginConnection();
    EXPECT_EQ(direct.CommitRead(0), R::kMore);
    EXPECT_TRUE(direct.Empty());
    const std::string reads[] = {"\x01", "8\x02YW", "JjYWJj\x04tail"};
    for (const std::string& read : reads) {
        char* room = direct.ReadRoom(read.size() + 100);
        std::memcpy(room, read.data(), read.size());
        EXPECT_EQ(direct.CommitRead(read.size()), copied.Append(read));
        EXPECT_EQ(direct.Bytes(), copied.Bytes());
        EXPECT_EQ(direct.CurrentComplete(), copied.CurrentComplete());
    }
    EXPECT_TRUE(direct.HasCompleteFrame());
    direct.Clear();
    copied.Clear();
    EXPECT_EQ(direct.CommitRead(0), copied.Append(""));
    EXPECT_TRUE(direct.Empty());
}

// When the waiting connection goes, the receiving connection's markers move with its
// bytes; the NUL rule has already applied to them.
TEST(ReceiveBufferTest, CurrentConnectionMarkersAfterWaitingOneGoes) {
    const std::string a = Soh("4\x02YWJj\x04");
    ReceiveBuffer buffer;
    buffer.BeginConnection();
    EXPECT_EQ(buffer.Append(a), R::kEndOfFrame);
    buffer.BeginConnection();
    EXPECT_EQ(buffer.Append(std::string("zz\0", 3) + Soh("4\x02ZG")), R::kMore);
    EXPECT_EQ(Of(buffer), Markers(a + Soh("4\x02ZG"), 0, a.size() - 1, true));
    EXPECT_EQ(buffer.FrameConnectionSize(), a.size());
    EXPECT_EQ(buffer.Visible(), a);

    buffer.DiscardFrameConnection();
    EXPECT_EQ(Of(buffer), Markers(Soh("4\x02ZG"), 0, npos, false));
    EXPECT_EQ(buffer.FrameConnectionSize(), buffer.Size());
    EXPECT_EQ(buffer.Append("Vm\x04"), R::kEndOfFrame);
    EXPECT_EQ(Of(buffer), Markers(Soh("4\x02ZGVm\x04"), 0, 7, true));

    // Superseded: the newer connection's markers start at the buffer's start.
    buffer.BeginConnection();
    EXPECT_EQ(buffer.Append("ab" + Soh("4\x02YW")), R::kMore);
    EXPECT_EQ(buffer.Append("Jj\x04"), R::kEndOfFrame);
    EXPECT_EQ(Of(buffer), Markers("ab" + Soh("4\x02YWJj\x04"), 2, 9, true));
    EXPECT_EQ(buffer.Visible(), buffer.Bytes());

    // A stray EOT of the dropped connection does not end the kept one.
    buffer.DiscardFrameConnection();
    EXPECT_TRUE(buffer.Empty());
    buffer.BeginConnection();
    EXPECT_EQ(buffer.Append(a + "\x04"), R::kEndOfFrame);
    buffer.BeginConnection();
    EXPECT_EQ(buffer.Append(Soh("4\x02")), R::kMore);
    buffer.DiscardFrameConnection();
    EXPECT_EQ(buffer.Append("ZGVm"), R::kMore);
    EXPECT_EQ(buffer.FirstEot(), npos);

    // The waiting connection goes before the next one has sent anything.
    buffer.Clear();
    buffer.BeginConnection();
    buffer.Append(a);
    buffer.BeginConnection();
    buffer.DiscardFrameConnection();
    EXPECT_TRUE(buffer.Empty());
}

}  // namespace
}  // namespace collector
