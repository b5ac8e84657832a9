// The receive path and packet processing, including the bounded buffer, the NUL rule,
// stale leftovers, invalid payloads and the atomic replacement of the output file.
#include "collector_test.h"

#include <thread>

#include "platform/memory.h"
#include "text/base64.h"

namespace collector::testing {
namespace {

namespace fs = std::filesystem;

using ReceiveTest = StartedTest;

const std::string Y = txt::Base64Encode("abc");  // YWJj

// One reply in one or more reads, then a tick. Before the last read the connection stays
// and a tick finds nothing to process.
TEST_F(ReceiveTest, ProcessTable) {
    struct Case {
        const char* name;
        std::vector<std::string> reads;
        std::string file;  // TV_BRIVON.XML afterwards; "-": none
        std::string lastLog;
    };
    const Case cases[] = {
        {"Plain", {Frame(Y)}, "abc\r\n", kOntvangen},
        {"SplitReads", {Soh("4"), "\x02YW", "Jj\x04"}, "abc\r\n", kOntvangen},
        {"LeadingBytes", {"junk\r\n" + Frame(Y)}, "abc\r\n", kOntvangen},
        {"TwoFramesFirstWins", {Frame(Y) + FrameOf("def")}, "abc\r\n", kOntvangen},
        {"ShortLengthGivesEmptyFile", {Soh("2\x02YWJj\x04")}, "", kOntvangen},
        {"LongLengthLoneFrame", {Soh("9\x02YWJj\x04")}, "abc\r\n", kOntvangen},
        {"LengthPullsNextFrame", {Soh("12\x02YWJj\x04") + Frame("ZGVm")}, "-", kOngeldig},
        {"DecodedNulEndsFile", {FrameOf(std::string("ab\0cd", 5))}, "ab\r\n", kOntvangen},
        {"DecodedLineBreaks", {FrameOf("a\nb\rc\r\n\n")}, "a\r\nb\r\nc\r\n\r\n", kOntvangen},
        {"DecodedHighBytes", {FrameOf("\x80\xE9\x81\x9D")}, "?\xE9\x81\x9D\r\n", kOntvangen},
        {"LineBreakInPayload", {Soh("8\x02YW\r\nJj\x04")}, "-", kOngeldig},
        // A NUL never hides a later frame, nor drops an earlier one.
        {"NulAtTheEndOfARead", {std::string("noise\0", 6), FrameOf("one")}, "one\r\n", kOntvangen},
        {"NulsBeforeTheFrame", {std::string("a\0b\0\0", 5) + FrameOf("two")}, "two\r\n", kOntvangen},
        {"NulAfterTheFrame", {FrameOf("three") + std::string("\0junk", 5)}, "three\r\n", kOntvangen},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(XmlDir() / "TV_BRIVON.XML");
        log.Clear();
        Connect();
        std::string received;
        for (const std::string& read : c.reads) {
            if (!received.empty()) {
                EXPECT_EQ(socket.state, TSocketState::wsConnected);
                Tick();
                EXPECT_EQ(service->PakketBuffer.Bytes(), received);
                EXPECT_FALSE(fs::exists(XmlDir() / "TV_BRIVON.XML"));
            }
            socket.Deliver(read);
            received += read;
        }
        EXPECT_EQ(socket.state, TSocketState::wsClosed);
        Tick();
        EXPECT_EQ(fs::exists(XmlDir() / "TV_BRIVON.XML") ? OutputBytes() : "-", c.file);
        EXPECT_EQ(log.Lines(), (std::vector<std::string>{kVerzonden, kAfgewerkt, c.lastLog}));
        EXPECT_EQ(timers.events[1].changes.back(), "on");
        EXPECT_TRUE(service->PakketBuffer.Empty());
        EXPECT_FALSE(fs::exists(XmlDir() / "TV_BRIVON.XML.tmp"));
    }
}

// The waiting reply meets every outcome while a later connection is still receiving; it
// never reads or writes that connection's bytes, which are processed on the next tick.
TEST_F(ReceiveTest, ReceivingConnectionSurvivesEveryOutcome) {
    const std::string missing = "W:Cannot create file \"" + dir.string() + Native("/missing/TV_BRIVON.XML") + "\". ";
    struct Case {
        const char* name;
        std::string waiting;           // the reply that waits for the tick
        std::string file;              // TV_BRIVON.XML after the tick ("old" before)
        std::vector<std::string> log;  // the tick's entries; none: it writes the archive file
        bool missingFolder = false;    // the output folder does not exist
    };
    const Case cases[] = {
        {"Good", Frame(Y), "abc\r\n", {kOntvangen}},
        {"SecondFrameGoesWithTheFirst", Frame(Y) + FrameOf("xyz"), "abc\r\n", {kOntvangen}},
        {"Invalid", Frame("YQ=A"), "old", {kOngeldig}},
        // The archive decodes the frame text leniently: a non-ASCII byte is skipped like any stray one.
        {"NoStxIsArchivedWithoutAnEntry", "\x01YWJj\x80\x04", "old", {}},
        {"OutputFolderMissing", Frame(Y), "old", {missing + SystemText(3)}, true},
        // A length beyond the payload reads up to the end of its own connection only.
        {"LengthBeyondThePayload", Soh("12\x02YWJj\x04"), "abc\r\n", {kOntvangen}},
        // The EOT came before the STX: the payload's file form needs two bytes more than
        // the payload, which must not come from the next reply.
        {"EotBeforeStx", Soh("4\x04\x02YWJj"), "abc\r\n", {kOntvangen}},
    };
    const std::string b = FrameOf("def");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(XmlDir() / "TV_BRIVON.XML", "old");
        fs::remove(XmlDir() / kArchiveName);
        if (c.missingFolder) service->OutputDirectory = base + u"missing";
        Receive(c.waiting);
        Receive(b.substr(0, b.size() - 1));
        EXPECT_EQ(socket.state, TSocketState::wsConnected);  // the waiting EOT does not end it
        EXPECT_EQ(service->PakketBuffer.Connections(), 2u);
        log.Clear();
        Tick();
        EXPECT_EQ(log.Lines(), c.log);
        EXPECT_EQ(OutputBytes(), c.file);
        EXPECT_EQ(ReadFile(XmlDir() / kArchiveName), c.log.empty() ? kArchive : "");
        EXPECT_EQ(service->PakketBuffer.Bytes(), b.substr(0, b.size() - 1));
        EXPECT_FALSE(service->PakketBuffer.HasCompleteFrame());
        EXPECT_GE(service->PakketBuffer.Capacity(), service->PakketBuffer.Size());
        service->OutputDirectory = txt::FromUtf8(XmlDir().string());
        socket.Deliver("\x04");
        Tick();
        EXPECT_EQ(OutputBytes(), "def\r\n");
        EXPECT_TRUE(service->PakketBuffer.Empty());
        EXPECT_EQ(service->PakketBuffer.Reserved(), 0u);
    }
}

TEST_F(ReceiveTest, LeftoversAtNextConnect) {
    // An unfinished reply is discarded when the next session connects.
    Receive(Soh("4\x02YW"));
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
    Receive(Soh("4\x02Z2"));
    EXPECT_EQ(socket.state, TSocketState::wsConnected);
    socket.Deliver("hp\x04");
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    Tick();
    EXPECT_EQ(OutputBytes(), "ghi\r\n");

    // A later connection that ended without a complete frame is a leftover once the next
    // one begins, even with a frame waiting before it.
    const std::string c = FrameOf("jkl");
    Receive(Frame(Y));
    Receive(Soh(std::string_view("4\x02Z\0", 4)));
    socket.PeerClosed();
    Connect();
    EXPECT_EQ(service->PakketBuffer.Bytes(), Frame(Y));
    socket.Deliver(c);
    EXPECT_EQ(service->PakketBuffer.Bytes(), c);
    Tick();
    EXPECT_EQ(OutputBytes(), "jkl\r\n");
    EXPECT_TRUE(service->PakketBuffer.Empty());
}

// A reply waits for its tick while the next connection receives. Once that connection's
// bytes hold an SOH followed by an EOT, the waiting reply is gone at once, whatever the
// newer one holds; until then, and when they never do, the waiting reply stays.
TEST_F(ReceiveTest, SupersedeTable) {
    struct Case {
        const char* name;
        std::string newer;    // the later connection's bytes; the last one arrives on its own
        bool supersedes;      // the later connection becomes complete
        std::string file;     // TV_BRIVON.XML after the tick ("old" was there before)
        std::string lastLog;  // none: the tick writes an archive file
    };
    const Case cases[] = {
        {"Good", FrameOf("def"), true, "def\r\n", kOntvangen},
        {"Invalid", Frame("YQ=A"), true, "old", kOngeldig},
        {"NoStx", "\x01YWJj\x04", true, "old", ""},
        {"GarbageAround", "junk\x01zz\x05\x04", true, "old", ""},
        {"StrayEot", "\x04", false, "abc\r\n", kOntvangen},
        {"EotBeforeSoh", "\x04" + Soh("4\x02YWJj"), false, "abc\r\n", kOntvangen},
        {"HiddenByNul", Soh(std::string_view("4\x02YW\0\x04", 6)), false, "abc\r\n", kOntvangen},
        // The NUL rule applies to the receiving connection on its own.
        {"NulBeforeTheFrame", std::string("x\0", 2) + FrameOf("five"), true, "five\r\n", kOntvangen},
    };
    const std::string waiting = Frame(Y);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(XmlDir() / "TV_BRIVON.XML", "old");
        fs::remove(XmlDir() / kArchiveName);
        Receive(waiting);
        Receive(c.newer.substr(0, c.newer.size() - 1));
        EXPECT_EQ(service->PakketBuffer.WaitingSize(), waiting.size());
        socket.Deliver(c.newer.substr(c.newer.size() - 1));
        EXPECT_EQ(socket.state, TSocketState::wsClosed);
        if (c.supersedes) {
            // What the NUL rule keeps: the bytes after the last NUL.
            EXPECT_EQ(service->PakketBuffer.Bytes(), c.newer.substr(c.newer.rfind('\0') + 1));
            EXPECT_EQ(service->PakketBuffer.Connections(), 1u);
        } else {
            EXPECT_EQ(service->PakketBuffer.Bytes().substr(0, waiting.size()), waiting);
            EXPECT_EQ(service->PakketBuffer.Connections(), 2u);
        }
        log.Clear();
        Tick();
        EXPECT_EQ(OutputBytes(), c.file);
        EXPECT_EQ(log.Last(), c.lastLog);
        EXPECT_EQ(fs::exists(XmlDir() / kArchiveName), c.lastLog.empty());
        if (c.supersedes) {
            EXPECT_TRUE(service->PakketBuffer.Empty());
        }
        // Whatever is left never glues onto the next reply.
        Connect();
        EXPECT_TRUE(service->PakketBuffer.Empty());
    }
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
    Receive(Soh("8\x02YW"));
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

// Processing gives the storage back whatever the outcome (a connection still receiving
// keeps its own across the tick: see ReceivingConnectionSurvivesEveryOutcome).
TEST_F(ReceiveTest, StorageGivenBackOnceProcessed) {
    const ReceiveBuffer& buffer = service->PakketBuffer;
    const std::string big = FrameOf(std::string(3 * 1024 * 1024, 'x') + "\r\n");
    const std::string bad = Frame(std::string(4 * 1024 * 1024, '*'));
    for (const std::string* frame : {&big, &bad}) {
        Connect();
        socket.Deliver(frame->substr(0, 3));  // the first read ends inside the length field
        for (std::size_t at = 3; at < frame->size(); at += 65536) socket.Deliver(frame->substr(at, 65536));
        // The length field let the last step stop at the frame's end.
        EXPECT_EQ(buffer.Capacity(), frame->size());
        EXPECT_LE(buffer.Reserved(), frame->size() + platform::MemoryRegion::kAlignment);
        Tick();
        EXPECT_EQ(buffer.Capacity(), 0u);
        EXPECT_EQ(buffer.Reserved(), 0u);
    }
    EXPECT_EQ(log.Last(), kOngeldig);
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
