// The send buffer: blocks of BufSize bytes, the free chain and the Remove errors.
#include "net/buffer.h"

#include <gtest/gtest.h>

#include <string>

#include "support/errors.h"

namespace {

using net::TIcsBufferHandler;

std::string Drain(TIcsBufferHandler& buffer, std::vector<int>& chunks) {
    std::string out;
    while (!buffer.IsEmpty()) {
        std::string_view chunk = buffer.Peek();
        chunks.push_back(int(chunk.size()));
        out.append(chunk);
        buffer.Remove(int(chunk.size()));
    }
    return out;
}

TEST(TIcsBufferHandler, AppendsAcrossBlocksHandsOutOneBlockAtATimeAndRecyclesThem) {
    TIcsBufferHandler buffer(0);  // 0 or less means 1460
    EXPECT_EQ(buffer.BufSize(), 1460);
    EXPECT_TRUE(buffer.IsEmpty());
    EXPECT_TRUE(buffer.Peek().empty());

    std::string data(4000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = char(i * 13);
    buffer.Write(data.data(), 1000);
    buffer.Write(data.data() + 1000, 3000);  // fills the first block's tail first
    EXPECT_EQ(buffer.InUseCount(), 3u);
    std::vector<int> chunks;
    EXPECT_EQ(Drain(buffer, chunks), data);
    EXPECT_EQ(chunks, (std::vector<int>{1460, 1460, 1080}));
    EXPECT_EQ(buffer.InUseCount(), 0u);
    EXPECT_EQ(buffer.FreeCount(), 3u);
    // A second request reuses the blocks of the first: no block is added.
    buffer.Write(data.data(), 3000);
    EXPECT_EQ(buffer.InUseCount() + buffer.FreeCount(), 3u);
    buffer.DeleteAllData();
    EXPECT_TRUE(buffer.IsEmpty());
    EXPECT_EQ(buffer.FreeCount(), 3u);

    buffer.Write("abcdef", 6);
    EXPECT_EQ(buffer.Peek(), "abcdef");  // discarded blocks come back with both counts at 0
    // Partial removal leaves the rest of the block first in line.
    buffer.Remove(2);
    EXPECT_EQ(buffer.Peek(), "cdef");
    buffer.Remove(100);  // at most up to the write count
    EXPECT_TRUE(buffer.IsEmpty());
}

TEST(TIcsBufferHandler, RemoveErrors) {
    TIcsBufferHandler buffer;
    auto message = [&](int n) { return testsupport::MessageOf([&] { buffer.Remove(n); }); };
    EXPECT_EQ(message(1), "TIcsBufferHandler.Remove: nothing to remove");
    buffer.Write("abc", 3);
    EXPECT_EQ(message(-5), "TIcsBufferHandler.Remove: Invalid Len -5");
    EXPECT_EQ(buffer.Peek(), "abc");
}

}  // namespace
