// The receive path and packet processing, including the bounded buffer, the NUL rule,
// stale leftovers, invalid payloads and the atomic replacement of the output file.
#include "collector_test.h"

#include <ostream>
#include <random>
#include <thread>

#include "platform/memory.h"
#include "runtime/codepage.h"
#include "runtime/lines.h"
#include "text/base64.h"
#include "text/cp1252.h"

namespace collector::testing {
namespace {

namespace fs = std::filesystem;

class ReceiveTest : public CollectorTest {
protected:
    void SetUp() override {
        Start();
        log.Clear();
    }
};

TEST_F(ReceiveTest, OneReadAndSplitReads) {
    Receive(std::string("\x01\x34\x02\x59\x57\x4A\x6A\x04", 8));
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    EXPECT_EQ(log.Last(), kAfgewerkt);
    Tick();
    EXPECT_EQ(OutputBytes(), "abc\r\n");
    EXPECT_EQ(log.Last(), kOntvangen);
    EXPECT_TRUE(service->PakketBuffer.Empty());
    EXPECT_EQ(timers.events[1].changes.back(), "on");
    EXPECT_FALSE(fs::exists(XmlDir() / "TV_BRIVON.XML.tmp"));

    fs::remove(XmlDir() / "TV_BRIVON.XML");
    Receive("\x01\x34");
    socket.Deliver("\x02\x59\x57");
    EXPECT_EQ(socket.state, TSocketState::wsConnected);
    Tick();  // no EOT yet: nothing happens
    EXPECT_EQ(service->PakketBuffer.Bytes(), "\x01\x34\x02\x59\x57");
    EXPECT_FALSE(fs::exists(XmlDir() / "TV_BRIVON.XML"));
    socket.Deliver("\x4A\x6A\x04");
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    Tick();
    EXPECT_EQ(OutputBytes(), "abc\r\n");
}

struct ProcessCase {
    const char* name;
    std::string buffer;  // delivered in one read
    std::string file;    // expected TV_BRIVON.XML bytes, or "-" for no file
    std::string lastLog;
};

// Keeps the test names short: gtest would otherwise print the whole case as bytes.
void PrintTo(const ProcessCase& c, std::ostream* os) { *os << c.name; }

class ProcessTableTest : public ReceiveTest, public ::testing::WithParamInterface<ProcessCase> {};

TEST_P(ProcessTableTest, Frame) {
    const ProcessCase& c = GetParam();
    Receive(c.buffer);
    Tick();
    if (c.file == "-") {
        EXPECT_FALSE(fs::exists(XmlDir() / "TV_BRIVON.XML"));
    } else {
        EXPECT_EQ(OutputBytes(), c.file);
    }
    EXPECT_EQ(log.Last(), c.lastLog);
    EXPECT_TRUE(service->PakketBuffer.Empty());
    EXPECT_FALSE(fs::exists(XmlDir() / "TV_BRIVON.XML.tmp"));
}

const std::string Y = txt::Base64Encode("abc");  // YWJj

// The archive file of a frame without STX: the lenient decoding of the frame text from its
// SOH, non-ASCII characters replaced by "?".
std::string ArchiveOf(const std::string& frame) {
    std::string text = runtime::NormaliseLineBreaks(frame);
    for (char& ch : text) {
        if (static_cast<unsigned char>(ch) >= 0x80) ch = '?';
    }
    runtime::TStringList lines;
    lines.SetText(txt::Latin1ToText(txt::Base64DecodeLenient(text)));
    return runtime::ToAnsi(lines.Text());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcessTableTest,
    ::testing::Values(ProcessCase{"LeadingBytes", "junk\r\n" + Frame(Y), "abc\r\n", kOntvangen},
                      ProcessCase{"TwoFramesFirstWins", Frame(Y) + FrameOf("def"), "abc\r\n", kOntvangen},
                      ProcessCase{"ShortLengthGivesEmptyFile",
                                  "\x01"
                                  "2\x02YWJj\x04",
                                  "", kOntvangen},
                      ProcessCase{"LongLengthLoneFrame",
                                  "\x01"
                                  "9\x02YWJj\x04",
                                  "abc\r\n", kOntvangen},
                      ProcessCase{"LengthPullsNextFrame",
                                  "\x01"
                                  "12\x02YWJj\x04" +
                                      Frame("ZGVm"),
                                  "-", kOngeldig},
                      ProcessCase{"NegativeLength", "\x01-4\x02YWJj\x04", "abc\r\n", kOntvangen},
                      ProcessCase{"HexLength", "\x01$C\x02YWJjZGVmZ2hp\x04", "abcdefghi\r\n", kOntvangen},
                      ProcessCase{"SpacesAndPrefix", "\x01 +0x4\x02YWJj\x04", "abc\r\n", kOntvangen},
                      ProcessCase{"EmptyLength", "\x01\x02YWJj\x04", "", kOntvangen},
                      ProcessCase{"DecodedNulEndsFile", FrameOf(std::string("ab\0cd", 5)), "ab\r\n", kOntvangen},
                      ProcessCase{"DecodedLineBreaks", FrameOf("a\nb\rc\r\n\n"), "a\r\nb\r\nc\r\n\r\n", kOntvangen},
                      ProcessCase{"DecodedHighBytes", FrameOf("\x80\xE9\x81\x9D"), "?\xE9\x81\x9D\r\n", kOntvangen},
                      ProcessCase{"Padding1", Frame("YQ=="), "a\r\n", kOntvangen},
                      ProcessCase{"Padding2", Frame("YWI="), "ab\r\n", kOntvangen},
                      ProcessCase{"FillNotAtEnd", Frame("YQ=A"), "-", kOngeldig},
                      ProcessCase{"FillFirst", Frame("=AAA"), "-", kOngeldig},
                      ProcessCase{"FillInEarlierGroup", Frame("YQ==YWJj"), "-", kOngeldig},
                      ProcessCase{"OutsideAlphabet", Frame("YW*j"), "-", kOngeldig},
                      ProcessCase{"NonAscii", Frame("YW\xC3j"), "-", kOngeldig},
                      ProcessCase{"LineBreakInPayload",
                                  "\x01"
                                  "8\x02YW\r\nJj\x04",
                                  "-", kOngeldig},
                      ProcessCase{"TrailingPartialGroupIgnored", Frame("YWJjZA"), "abc\r\n", kOntvangen}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReceiveTest, ArchiveForFrameWithoutStx) {
    Connect();
    const std::string frame = "\x01YWJj\x80\x04";
    socket.Deliver(frame);
    Tick();
    EXPECT_EQ(ReadFile(XmlDir() / "MC_03122026140507127.XML"), ArchiveOf(frame));
    EXPECT_FALSE(fs::exists(XmlDir() / "TV_BRIVON.XML"));
    EXPECT_EQ(log.Last(), kAfgewerkt);  // no entry of its own
    EXPECT_TRUE(service->PakketBuffer.Empty());
}

TEST_F(ReceiveTest, InvalidPayloadAndWriteFailuresKeepOldFile) {
    WriteFile(XmlDir() / "TV_BRIVON.XML", "old");
    Receive(Frame("YQ=A"));
    Tick();
    EXPECT_EQ(OutputBytes(), "old");
    EXPECT_EQ(log.Last(), kOngeldig);
    EXPECT_TRUE(service->PakketBuffer.Empty());
    EXPECT_TRUE(timers.events[1].enabled);

    // The rename cannot replace a directory: the old entry stays, the temporary file goes.
    fs::remove(XmlDir() / "TV_BRIVON.XML");
    fs::create_directories(XmlDir() / "TV_BRIVON.XML" / "inside");
    Receive(Frame(Y));
    Tick();
    const std::string prefix =
        "W:Cannot create file \"" + dir.string() + Native("/BrivonTV/XML/TV_BRIVON.XML") + "\". ";
    EXPECT_EQ(log.Last().rfind(prefix, 0), 0u) << log.Last();
    EXPECT_GT(log.Last().size(), prefix.size());  // the system's reason follows
    EXPECT_TRUE(fs::is_directory(XmlDir() / "TV_BRIVON.XML" / "inside"));
    EXPECT_FALSE(fs::exists(XmlDir() / "TV_BRIVON.XML.tmp"));
    EXPECT_TRUE(service->PakketBuffer.Empty());

    // A missing output directory: the name in the text is the output file's.
    service->OutputDirectory = base + u"missing";
    Receive(Frame(Y));
    Tick();
    const std::string missing = "W:Cannot create file \"" + dir.string() + Native("/missing/TV_BRIVON.XML") + "\". ";
    EXPECT_EQ(log.Last(), missing + SystemText(3));
#ifndef _WIN32
    EXPECT_EQ(log.Last(), missing + "The system cannot find the path specified");
#endif
}

TEST_F(ReceiveTest, LeftoversAtNextConnect) {
    // An unfinished reply is discarded when the next session connects.
    Receive(
        "\x01"
        "4\x02YW");
    socket.PeerClosed();
    Tick();
    EXPECT_FALSE(service->PakketBuffer.Empty());
    Connect();
    EXPECT_TRUE(service->PakketBuffer.Empty());
    socket.Deliver(FrameOf("def"));
    Tick();
    EXPECT_EQ(OutputBytes(), "def\r\n");

    // A lone EOT closes its own connection but not the next one.
    Receive("\x04");
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    Receive(
        "\x01"
        "4\x02"
        "Z2");
    EXPECT_EQ(socket.state, TSocketState::wsConnected);
    socket.Deliver("hp\x04");
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    Tick();
    EXPECT_EQ(OutputBytes(), "ghi\r\n");
}

// A connection still receiving when the tick comes keeps its bytes: the tick processes
// the waiting reply and removes only that connection's bytes.
TEST_F(ReceiveTest, ReceivingConnectionStaysAcrossTick) {
    const std::string b = FrameOf("def");
    Receive(Frame(Y));
    Receive(b.substr(0, 4));
    EXPECT_EQ(socket.state, TSocketState::wsConnected);  // the waiting EOT does not end it
    EXPECT_EQ(service->PakketBuffer.Connections(), 2u);
    log.Clear();
    Tick();
    EXPECT_EQ(OutputBytes(), "abc\r\n");
    EXPECT_EQ(service->PakketBuffer.Bytes(), b.substr(0, 4));
    EXPECT_FALSE(service->PakketBuffer.HasCompleteFrame());
    socket.Deliver(b.substr(4));
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    Tick();
    EXPECT_EQ(OutputBytes(), "def\r\n");
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{kOntvangen, kAfgewerkt, kOntvangen}));
    EXPECT_TRUE(service->PakketBuffer.Empty());

    // Two frames on one connection: the second is discarded with the first, the bytes of
    // the connection still receiving are not.
    Receive(Frame(Y) + FrameOf("xyz"));
    Receive(b.substr(0, 6));
    Tick();
    EXPECT_EQ(OutputBytes(), "abc\r\n");
    EXPECT_EQ(service->PakketBuffer.Bytes(), b.substr(0, 6));
    socket.Deliver(b.substr(6));
    Tick();
    EXPECT_EQ(OutputBytes(), "def\r\n");

    // A later connection that ended without a complete frame is a leftover once the next
    // one begins, even with a frame waiting before it.
    const std::string c = FrameOf("ghi");
    Receive(Frame(Y));
    Receive(std::string("\x01"
                        "4\x02Z",
                        4) +
            std::string("\0", 1));
    socket.PeerClosed();
    Connect();
    EXPECT_EQ(service->PakketBuffer.Bytes(), Frame(Y));
    socket.Deliver(c);
    EXPECT_EQ(service->PakketBuffer.Bytes(), c);
    Tick();
    EXPECT_EQ(OutputBytes(), "ghi\r\n");
    EXPECT_TRUE(service->PakketBuffer.Empty());
}

// The waiting reply meets every outcome while a later connection is still receiving; it
// never reads or writes that connection's bytes, which are processed on the next tick.
TEST_F(ReceiveTest, ReceivingConnectionSurvivesEveryOutcome) {
    const std::string b = FrameOf("def");
    const auto waitThenB = [&](const std::string& first) {
        Receive(first);
        Receive(b.substr(0, b.size() - 1));
        log.Clear();
        Tick();
    };
    const auto bNext = [&] {
        EXPECT_EQ(service->PakketBuffer.Bytes(), b.substr(0, b.size() - 1));
        socket.Deliver("\x04");
        fs::remove(XmlDir() / "TV_BRIVON.XML");
        Tick();
        EXPECT_EQ(OutputBytes(), "def\r\n");
        EXPECT_TRUE(service->PakketBuffer.Empty());
    };

    WriteFile(XmlDir() / "TV_BRIVON.XML", "old");
    waitThenB(Frame("YQ=A"));
    EXPECT_EQ(log.Lines(), std::vector<std::string>{kOngeldig});
    EXPECT_EQ(OutputBytes(), "old");
    bNext();

    // No STX: the archive file takes the frame's own connection only.
    waitThenB("\x01YWJj\x04");
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(ReadFile(XmlDir() / "MC_03122026140507127.XML"), ArchiveOf("\x01YWJj\x04"));
    bNext();

    // The output file cannot be written.
    service->OutputDirectory = base + u"missing";
    waitThenB(Frame(Y));
    EXPECT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(log.Lines()[0].rfind("W:Cannot create file", 0), 0u);
    service->OutputDirectory = txt::FromUtf8(XmlDir().string());
    bNext();

    // A length beyond the payload reads up to the end of its own connection only.
    waitThenB(
        "\x01"
        "12\x02YWJj\x04");
    EXPECT_EQ(OutputBytes(), "abc\r\n");
    bNext();

    // A payload that ends its connection's bytes (the EOT came before the STX): its file
    // form needs two bytes more than the payload, which must not come from the next reply.
    waitThenB(
        "\x01"
        "4\x04\x02YWJj");
    EXPECT_EQ(OutputBytes(), "abc\r\n");
    bNext();
}

struct SupersedeCase {
    const char* name;
    std::string newer;  // the later connection's bytes; the last one arrives on its own
    bool supersedes;    // the later connection becomes complete
    std::string file;   // TV_BRIVON.XML after the tick ("old" was there before)
    std::string lastLog;
    bool archive;  // the tick writes an archive file
};

void PrintTo(const SupersedeCase& c, std::ostream* os) { *os << c.name; }

class SupersedeTableTest : public ReceiveTest, public ::testing::WithParamInterface<SupersedeCase> {};

// A reply waits for its tick while the next connection receives. Once that connection's
// bytes hold an SOH followed by an EOT, the waiting reply is gone at once, whatever the
// newer one holds; until then, and when they never do, the waiting reply stays.
TEST_P(SupersedeTableTest, WaitingReply) {
    const SupersedeCase& c = GetParam();
    WriteFile(XmlDir() / "TV_BRIVON.XML", "old");
    const std::string waiting = Frame(Y);
    Receive(waiting);
    Receive(c.newer.substr(0, c.newer.size() - 1));
    EXPECT_EQ(service->PakketBuffer.WaitingSize(), waiting.size());
    socket.Deliver(c.newer.substr(c.newer.size() - 1));
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    if (c.supersedes) {
        EXPECT_EQ(service->PakketBuffer.Bytes(), c.newer);
        EXPECT_EQ(service->PakketBuffer.Connections(), 1u);
    } else {
        EXPECT_EQ(service->PakketBuffer.Bytes().substr(0, waiting.size()), waiting);
        EXPECT_EQ(service->PakketBuffer.Connections(), 2u);
    }
    log.Clear();
    Tick();
    EXPECT_EQ(OutputBytes(), c.file);
    EXPECT_EQ(log.Last(), c.lastLog);
    EXPECT_EQ(fs::exists(XmlDir() / "MC_03122026140507127.XML"), c.archive);
    if (c.supersedes) {
        EXPECT_TRUE(service->PakketBuffer.Empty());
    }
    // Whatever is left never glues onto the next reply.
    Connect();
    EXPECT_TRUE(service->PakketBuffer.Empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, SupersedeTableTest,
                         ::testing::Values(SupersedeCase{"Good", FrameOf("def"), true, "def\r\n", kOntvangen, false},
                                           SupersedeCase{"Invalid", Frame("YQ=A"), true, "old", kOngeldig, false},
                                           SupersedeCase{"NoStx", "\x01YWJj\x04", true, "old", "", true},
                                           SupersedeCase{"GarbageAround", "junk\x01zz\x05\x04", true, "old", "", true},
                                           SupersedeCase{"StrayEot", "\x04", false, "abc\r\n", kOntvangen, false},
                                           SupersedeCase{"EotBeforeSoh",
                                                         "\x04\x01"
                                                         "4\x02YWJj",
                                                         false, "abc\r\n", kOntvangen, false},
                                           SupersedeCase{"HiddenByNul",
                                                         std::string("\x01"
                                                                     "4\x02YW\0\x04",
                                                                     7),
                                                         false, "abc\r\n", kOntvangen, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReceiveTest, NulNeverHidesLaterFrames) {
    Receive(std::string("noise\0", 6));
    socket.Deliver(FrameOf("one"));
    Tick();
    EXPECT_EQ(OutputBytes(), "one\r\n");

    // NUL and frame in one read; several NULs.
    Receive(std::string("a\0b\0\0", 5) + FrameOf("two"));
    Tick();
    EXPECT_EQ(OutputBytes(), "two\r\n");

    // A complete frame before a NUL is never dropped by it.
    Receive(FrameOf("three") + std::string("\0junk", 5));
    Tick();
    EXPECT_EQ(OutputBytes(), "three\r\n");

    // Behind a waiting reply the rule applies to the receiving connection on its own.
    Receive(FrameOf("four"));
    Receive(std::string("x\0", 2));
    socket.Deliver(FrameOf("five"));
    EXPECT_EQ(service->PakketBuffer.Bytes(), FrameOf("five"));
    Tick();
    EXPECT_EQ(OutputBytes(), "five\r\n");
}

TEST_F(ReceiveTest, BufferBoundPerConnection) {
    EXPECT_EQ(service->PakketBuffer.ConnectionLimit(), std::size_t{128} * 1024 * 1024);
    constexpr std::size_t kLimit = 64;
    service->PakketBuffer.SetConnectionLimit(kLimit);
    // A complete reply waits for its tick while the next connection fills up.
    const std::string waiting = Frame(Y);
    Receive(waiting);
    Receive(std::string(kLimit - 1, 'A'));
    socket.Deliver("A");  // exactly the limit: kept
    EXPECT_EQ(socket.state, TSocketState::wsConnected);
    EXPECT_EQ(service->PakketBuffer.Size(), waiting.size() + kLimit);
    log.Clear();
    socket.Deliver("A");
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{kVol, kAfgewerkt}));
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    EXPECT_EQ(service->PakketBuffer.Bytes(), waiting);
    Tick();
    EXPECT_EQ(OutputBytes(), "abc\r\n");
    EXPECT_TRUE(service->PakketBuffer.Empty());

    // The limit holds for bytes without a complete frame. The read that completes a
    // frame is kept whole, even past the limit; the connection takes nothing more.
    const std::string big = FrameOf(std::string(90, 'x'));
    ASSERT_GT(big.size(), kLimit + 16);
    Receive(big.substr(0, kLimit));
    socket.Deliver(big.substr(kLimit) + "trailing");
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    EXPECT_EQ(service->PakketBuffer.Bytes(), big + "trailing");
    {
        std::lock_guard guard(service->Lock());
        EXPECT_EQ(service->PakketBuffer.Append("more"), ReceiveBuffer::AppendResult::kEndOfFrame);
    }
    EXPECT_EQ(service->PakketBuffer.Bytes(), big + "trailing");
    Tick();
    EXPECT_EQ(OutputBytes(), std::string(90, 'x') + "\r\n");

    // Below the limit a complete connection takes later bytes up to it.
    ReceiveBuffer buffer;
    buffer.SetConnectionLimit(16);
    buffer.BeginConnection();
    buffer.Append(waiting);
    buffer.Append("0123456789");
    EXPECT_EQ(buffer.Bytes(), waiting + std::string("0123456789").substr(0, 16 - waiting.size()));
}

// When the system refuses storage for a read (an address-space limit, strict overcommit),
// the connection's bytes go with the buffer-full warning and the connection is closed; a
// reply already waiting stays, and the next cycle receives as usual. A read that fails is
// reported and ends the connection, never dropped unseen.
TEST_F(ReceiveTest, RefusedStorageAndFailedReadsAreReported) {
    const std::string waiting = FrameOf("old");
    Receive(waiting);
    Receive(
        "\x01"
        "8\x02YW");
    socket.announced = std::size_t{1} << 50;  // more than any address space
    log.Clear();
    socket.Deliver("Jj");
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{kVol, kAfgewerkt}));
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    EXPECT_EQ(service->PakketBuffer.Bytes(), waiting);
    socket.announced = 0;
    Tick();
    EXPECT_EQ(OutputBytes(), "old\r\n");

    Connect();
    socket.receiveError = "recv failed";
    log.Clear();
    socket.Deliver(FrameOf("x"));
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"W:recv failed", kAfgewerkt}));
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    socket.receiveError = nullptr;

    Receive(FrameOf("new"));
    Tick();
    EXPECT_EQ(OutputBytes(), "new\r\n");
    EXPECT_EQ(service->PakketBuffer.Reserved(), 0u);
}

// Whatever arrives, the buffer holds at most two connections, each within its bound, and
// a tick always writes the newest complete reply.
TEST_F(ReceiveTest, NeverMoreThanTwoConnections) {
    constexpr std::size_t kLimit = 48;
    constexpr std::size_t kMaxRead = 12;
    service->PakketBuffer.SetConnectionLimit(kLimit);
    std::mt19937 random(12345);
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    const std::vector<std::string> noise = {"zz", std::string("\0", 1), "\x04", "\x01", "\x02", "AAAA"};
    std::string newest;   // the newest complete reply's text, not yet written
    std::string pending;  // what the current connection is still to deliver
    std::string pendingText;
    int writes = 0;
    for (int step = 0; step < 4000; ++step) {
        switch (pick(6)) {
        case 0: {  // a new connection with a good reply in pieces
            Connect();
            pendingText = "r" + std::to_string(step);
            pending = FrameOf(pendingText);
            break;
        }
        case 1:
        case 2:
            if (!pending.empty() && socket.state == TSocketState::wsConnected) {
                const std::size_t n = 1 + pick(std::min(kMaxRead, pending.size()));
                socket.Deliver(pending.substr(0, n));
                pending.erase(0, n);
                if (pending.empty()) newest = pendingText;
            }
            break;
        case 3:  // noise ends the good reply of this connection
            if (socket.state == TSocketState::wsConnected) {
                socket.Deliver(noise[pick(noise.size())]);
                pending.clear();
                // Noise may complete a frame: it supersedes, and its output is garbage.
                const ReceiveBuffer& buffer = service->PakketBuffer;
                if (buffer.CurrentComplete()) newest = "?";
            }
            break;
        case 4:
            if (socket.state == TSocketState::wsConnected) socket.PeerClosed();
            pending.clear();
            break;
        case 5: {
            Tick();
            if (!newest.empty()) {
                if (newest != "?") {
                    ASSERT_EQ(OutputBytes(), newest + "\r\n") << "step " << step;
                }
                ++writes;
                newest.clear();
            }
            break;
        }
        }
        const ReceiveBuffer& buffer = service->PakketBuffer;
        ASSERT_LE(buffer.Connections(), 2u) << "step " << step;
        ASSERT_LE(buffer.WaitingSize(), kLimit + kMaxRead) << "step " << step;
        ASSERT_LE(buffer.CurrentSize(), buffer.CurrentComplete() ? kLimit + kMaxRead : kLimit) << "step " << step;
    }
    EXPECT_GT(writes, 50);
}

// Processing gives the storage back whatever the outcome, and only then: a connection
// still receiving keeps its bytes (and storage) across the tick.
TEST_F(ReceiveTest, StorageGivenBackOnceProcessed) {
    const ReceiveBuffer& buffer = service->PakketBuffer;
    const std::string big = FrameOf(std::string(3 * 1024 * 1024, 'x') + "\r\n");
    const std::string bad = Frame(std::string(4 * 1024 * 1024, '*'));
    for (const std::string* frame : {&big, &bad}) {
        Connect();
        for (std::size_t at = 0; at < frame->size(); at += 65536) socket.Deliver(frame->substr(at, 65536));
        EXPECT_GE(buffer.Capacity(), frame->size());
        EXPECT_LT(buffer.Capacity(), frame->size() + frame->size() / 8);
        // The length field let the last step stop at the frame's end.
        EXPECT_LE(buffer.Reserved(), frame->size() + platform::MemoryRegion::kAlignment);
        Tick();
        EXPECT_EQ(buffer.Capacity(), 0u);
        EXPECT_EQ(buffer.Reserved(), 0u);
    }
    EXPECT_EQ(log.Last(), kOngeldig);

    // A waiting reply is processed while the next one is still coming in: that one stays.
    Receive(FrameOf("abc"));
    Receive("\x01\x34\x02YW");
    Tick();
    EXPECT_EQ(OutputBytes(), "abc\r\n");
    EXPECT_EQ(buffer.Bytes(), "\x01\x34\x02YW");
    EXPECT_GE(buffer.Capacity(), buffer.Size());
    socket.Deliver("Jj\x04");
    Tick();
    EXPECT_EQ(buffer.Reserved(), 0u);
}

// The socket's thread appends while the control thread processes; the lock keeps every
// frame whole, and the last reply is the one written (run under ThreadSanitizer by CI).
TEST_F(ReceiveTest, AppendAndProcessOnTwoThreads) {
    std::atomic<bool> done{false};
    service->HandOverControlThread();  // the consumer ticks as the control thread
    std::thread consumer([&] {
        while (!done.load()) Tick();
        const auto pending = [&] {
            std::lock_guard guard(service->Lock());
            return !service->PakketBuffer.Empty();
        };
        while (pending()) Tick();
    });
    const auto text = [](int i) { return "<a>payload " + std::to_string(i) + "</a>\r\n"; };
    for (int i = 0; i < 300; ++i) {
        const std::string frame = FrameOf(text(i));
        Connect();
        for (std::size_t at = 0; at < frame.size(); at += 5) socket.Deliver(frame.substr(at, 5));
        std::lock_guard guard(service->Lock());
        EXPECT_LE(service->PakketBuffer.Connections(), 1u);
    }
    done = true;
    consumer.join();
    // A reply is processed once or superseded by a newer one, however the ticks fell
    // between its reads; it is never torn.
    int received = 0;
    for (const std::string& line : log.Lines()) {
        EXPECT_EQ(line.rfind("W:", 0), std::string::npos) << line;
        received += line == kOntvangen;
    }
    EXPECT_GE(received, 1);
    EXPECT_LE(received, 300);
    EXPECT_EQ(OutputBytes(), text(299));
}

}  // namespace
}  // namespace collector::testing
