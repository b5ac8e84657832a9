// The receive path and packet processing, including the bounded buffer, the NUL rule,
// stale leftovers, invalid payloads and the atomic replacement of the output file.
#include "fakes.h"

#include <chrono>
#include <ostream>
#include <thread>

#include "runtime/base64.h"
#include "runtime/codepage.h"
#include "runtime/lines.h"

namespace collector::testing {
namespace {

namespace fs = std::filesystem;

const std::string kAfgewerkt = "I:Vanto Brivon Morvel verzoek om informatie afgewerkt";
const std::string kOntvangen = "I:Vanto Brivon Morvel pakket ontvangen";
const std::string kOngeldig = "W:Vanto Brivon Morvel ongeldig pakket ontvangen, bestand niet vervangen";
const std::string kVol = "W:Vanto Brivon Morvel ontvangstbuffer vol, ontvangen gegevens verworpen";

std::string Frame(const std::string& payload) { return "\x01" + std::to_string(payload.size()) + "\x02" + payload + "\x04"; }
std::string FrameOf(const std::string& text) { return Frame(runtime::Base64Encode(text)); }

class ReceiveTest : public CollectorTest {
protected:
    void SetUp() override {
        Start();
        log.Clear();
    }
    void Connect() {
        socket.state = TSocketState::wsConnecting;
        socket.RaiseConnected();
    }
    std::string LastLog() {
        const auto lines = log.Lines();
        return lines.empty() ? "" : lines.back();
    }
};

TEST_F(ReceiveTest, OneReadAndSplitReads) {
    Connect();
    socket.Deliver(std::string("\x01\x34\x02\x59\x57\x4A\x6A\x04", 8));
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    EXPECT_EQ(LastLog(), kAfgewerkt);
    Tick();
    EXPECT_EQ(OutputBytes(), "abc\r\n");
    EXPECT_EQ(LastLog(), kOntvangen);
    EXPECT_TRUE(service->PakketBuffer.Empty());
    EXPECT_EQ(timers.events[1].changes.back(), "on");
    EXPECT_FALSE(fs::exists(XmlDir() / "TV_BRIVON.XML.tmp"));

    fs::remove(XmlDir() / "TV_BRIVON.XML");
    Connect();
    socket.Deliver("\x01\x34");
    socket.Deliver("\x02\x59\x57");
    EXPECT_EQ(socket.state, TSocketState::wsConnected);
    Tick();   // no EOT yet: nothing happens
    EXPECT_EQ(service->PakketBuffer.Bytes(), "\x01\x34\x02\x59\x57");
    EXPECT_FALSE(fs::exists(XmlDir() / "TV_BRIVON.XML"));
    socket.Deliver("\x4A\x6A\x04");
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    Tick();
    EXPECT_EQ(OutputBytes(), "abc\r\n");
}

struct ProcessCase {
    const char* name;
    std::string buffer;   // delivered in one read
    std::string file;     // expected TV_BRIVON.XML bytes, or "-" for no file
    std::string lastLog;
};

// Keeps the test names short: gtest would otherwise print the whole case as bytes.
void PrintTo(const ProcessCase& c, std::ostream* os) { *os << c.name; }

class ProcessTableTest : public ReceiveTest, public ::testing::WithParamInterface<ProcessCase> {};

TEST_P(ProcessTableTest, Frame) {
    const ProcessCase& c = GetParam();
    Connect();
    socket.Deliver(c.buffer);
    Tick();
    if (c.file == "-") {
        EXPECT_FALSE(fs::exists(XmlDir() / "TV_BRIVON.XML"));
    } else {
        EXPECT_EQ(OutputBytes(), c.file);
    }
    EXPECT_EQ(LastLog(), c.lastLog);
    EXPECT_TRUE(service->PakketBuffer.Empty());
    EXPECT_FALSE(fs::exists(XmlDir() / "TV_BRIVON.XML.tmp"));
}

const std::string Y = runtime::Base64Encode("abc");   // YWJj

// The archive file of a frame without STX: the lenient decoding of the frame text from its
// SOH, non-ASCII characters replaced by "?".
std::string ArchiveOf(const std::string& frame) {
    std::string text = runtime::NormaliseLineBreaks(frame);
    for (char& ch : text) {
        if (static_cast<unsigned char>(ch) >= 0x80) ch = '?';
    }
    runtime::TStringList lines;
    lines.SetText(runtime::Latin1ToText(runtime::Base64DecodeLenient(text)));
    return runtime::ToAnsi(lines.Text());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcessTableTest,
    ::testing::Values(
        ProcessCase{"LeadingBytes", "junk\r\n" + Frame(Y), "abc\r\n", kOntvangen},
        ProcessCase{"TwoFramesFirstWins", Frame(Y) + FrameOf("def"), "abc\r\n", kOntvangen},
        ProcessCase{"ShortLengthGivesEmptyFile", "\x01" "2\x02YWJj\x04", "", kOntvangen},
        ProcessCase{"LongLengthLoneFrame", "\x01" "9\x02YWJj\x04", "abc\r\n", kOntvangen},
        ProcessCase{"LengthPullsNextFrame", "\x01" "12\x02YWJj\x04" + Frame("ZGVm"), "-", kOngeldig},
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
        ProcessCase{"LineBreakInPayload", "\x01" "8\x02YW\r\nJj\x04", "-", kOngeldig},
        ProcessCase{"TrailingPartialGroupIgnored", Frame("YWJjZA"), "abc\r\n", kOntvangen}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReceiveTest, ArchiveForFrameWithoutStx) {
    Connect();
    const std::string frame = "\x01YWJj\x80\x04";
    socket.Deliver(frame);
    Tick();
    EXPECT_EQ(ReadFile(XmlDir() / "MC_03122026140507127.XML"), ArchiveOf(frame));
    EXPECT_FALSE(fs::exists(XmlDir() / "TV_BRIVON.XML"));
    EXPECT_EQ(LastLog(), kAfgewerkt);   // no entry of its own
    EXPECT_TRUE(service->PakketBuffer.Empty());
}

TEST_F(ReceiveTest, InvalidPayloadAndWriteFailuresKeepOldFile) {
    WriteFile(XmlDir() / "TV_BRIVON.XML", "old");
    Connect();
    socket.Deliver(Frame("YQ=A"));
    Tick();
    EXPECT_EQ(OutputBytes(), "old");
    EXPECT_EQ(LastLog(), kOngeldig);
    EXPECT_TRUE(service->PakketBuffer.Empty());
    EXPECT_TRUE(timers.events[1].enabled);

    // The rename cannot replace a directory: the old entry stays, the temporary file goes.
    fs::remove(XmlDir() / "TV_BRIVON.XML");
    fs::create_directories(XmlDir() / "TV_BRIVON.XML" / "inside");
    Connect();
    socket.Deliver(Frame(Y));
    Tick();
    const std::string prefix = "W:Cannot create file \"" + dir.string() + Native("/BrivonTV/XML/TV_BRIVON.XML") + "\". ";
    EXPECT_EQ(LastLog().rfind(prefix, 0), 0u) << LastLog();
    EXPECT_GT(LastLog().size(), prefix.size());   // the system's reason follows
    EXPECT_TRUE(fs::is_directory(XmlDir() / "TV_BRIVON.XML" / "inside"));
    EXPECT_FALSE(fs::exists(XmlDir() / "TV_BRIVON.XML.tmp"));
    EXPECT_TRUE(service->PakketBuffer.Empty());

    // A missing output directory: the name in the text is the output file's.
    service->OutputDirectory = base + u"missing";
    Connect();
    socket.Deliver(Frame(Y));
    Tick();
    const std::string missing = "W:Cannot create file \"" + dir.string() + Native("/missing/TV_BRIVON.XML") + "\". ";
    EXPECT_EQ(LastLog(), missing + SystemText(3));
#ifndef _WIN32
    EXPECT_EQ(LastLog(), missing + "The system cannot find the path specified");
#endif
}

TEST_F(ReceiveTest, LeftoversAtNextConnect) {
    // An unfinished reply is discarded when the next session connects.
    Connect();
    socket.Deliver("\x01" "4\x02YW");
    socket.PeerClosed();
    Tick();
    EXPECT_FALSE(service->PakketBuffer.Empty());
    Connect();
    EXPECT_TRUE(service->PakketBuffer.Empty());
    socket.Deliver(FrameOf("def"));
    Tick();
    EXPECT_EQ(OutputBytes(), "def\r\n");

    // A lone EOT closes its own connection but not the next one.
    Connect();
    socket.Deliver("\x04");
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    Connect();
    socket.Deliver("\x01" "4\x02" "Z2");
    EXPECT_EQ(socket.state, TSocketState::wsConnected);
    socket.Deliver("hp\x04");
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    Tick();
    EXPECT_EQ(OutputBytes(), "ghi\r\n");
}

// A reply that arrives on a later connection while an earlier frame waits for its tick is
// kept apart from it and processed on a later tick, whatever became of the earlier frame.
TEST_F(ReceiveTest, LaterConnectionWhileFrameWaits) {
    const std::string b = FrameOf("def");
    // Half of the next reply has arrived when the tick comes.
    Connect();
    socket.Deliver(Frame(Y));
    Connect();
    socket.Deliver(b.substr(0, 4));
    EXPECT_EQ(socket.state, TSocketState::wsConnected);   // the waiting EOT does not end it
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

    // The next reply arrived whole and its connection ended; a third is under way.
    const std::string c = FrameOf("ghi");
    Connect();
    socket.Deliver(Frame(Y));
    Connect();
    socket.Deliver(b);
    Connect();
    socket.Deliver(c.substr(0, 3));
    Tick();
    EXPECT_EQ(OutputBytes(), "abc\r\n");
    EXPECT_EQ(service->PakketBuffer.Bytes(), b + c.substr(0, 3));
    Tick();
    EXPECT_EQ(OutputBytes(), "def\r\n");
    EXPECT_EQ(service->PakketBuffer.Bytes(), c.substr(0, 3));
    socket.Deliver(c.substr(3));
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    Tick();
    EXPECT_EQ(OutputBytes(), "ghi\r\n");
    EXPECT_TRUE(service->PakketBuffer.Empty());

    // Two frames on one connection: the second is discarded with the first, the later
    // connection's reply is not.
    Connect();
    socket.Deliver(Frame(Y) + FrameOf("xyz"));
    Connect();
    socket.Deliver(b);
    Tick();
    EXPECT_EQ(OutputBytes(), "abc\r\n");
    EXPECT_EQ(service->PakketBuffer.Bytes(), b);
    Tick();
    EXPECT_EQ(OutputBytes(), "def\r\n");

    // A later connection that ended without a complete frame is a leftover once the next
    // one begins, even with a frame waiting before it.
    Connect();
    socket.Deliver(Frame(Y));
    Connect();
    socket.Deliver(std::string("\x01" "4\x02Z", 4) + std::string("\0", 1));
    socket.PeerClosed();
    Connect();
    EXPECT_EQ(service->PakketBuffer.Bytes(), Frame(Y));
    socket.Deliver(c);
    Tick();
    Tick();
    EXPECT_EQ(OutputBytes(), "ghi\r\n");
    EXPECT_TRUE(service->PakketBuffer.Empty());
}

// The kept reply survives every outcome of the earlier frame, and the earlier frame never
// reads or writes the later connection's bytes.
TEST_F(ReceiveTest, LaterConnectionSurvivesEveryOutcome) {
    const std::string b = FrameOf("def");
    const auto waitThenB = [&](const std::string& first) {
        Connect();
        socket.Deliver(first);
        Connect();
        socket.Deliver(b);
        log.Clear();
        Tick();
    };
    const auto bNext = [&] {
        EXPECT_EQ(service->PakketBuffer.Bytes(), b);
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
    service->OutputDirectory = runtime::FromUtf8(XmlDir().string());
    bNext();

    // A length beyond the payload reads up to the end of its own connection only.
    waitThenB("\x01" "12\x02YWJj\x04");
    EXPECT_EQ(OutputBytes(), "abc\r\n");
    bNext();

    // A payload that ends its connection's bytes (the EOT came before the STX): its file
    // form needs two bytes more than the payload, which must not come from the next reply.
    waitThenB("\x01" "4\x04\x02YWJj");
    EXPECT_EQ(OutputBytes(), "abc\r\n");
    bNext();
}

TEST_F(ReceiveTest, NulNeverHidesLaterFrames) {
    Connect();
    socket.Deliver(std::string("noise\0", 6));
    socket.Deliver(FrameOf("one"));
    Tick();
    EXPECT_EQ(OutputBytes(), "one\r\n");

    // NUL and frame in one read; several NULs.
    Connect();
    socket.Deliver(std::string("a\0b\0\0", 5) + FrameOf("two"));
    Tick();
    EXPECT_EQ(OutputBytes(), "two\r\n");

    // A complete frame before a NUL is never dropped by it.
    Connect();
    socket.Deliver(FrameOf("three") + std::string("\0junk", 5));
    Tick();
    EXPECT_EQ(OutputBytes(), "three\r\n");
}

TEST_F(ReceiveTest, BufferBoundPerConnection) {
    // Complete frames from two earlier connections wait for their ticks.
    const std::string waiting = Frame(Y) + FrameOf("def");
    Connect();
    socket.Deliver(Frame(Y));
    Connect();
    socket.Deliver(FrameOf("def"));
    Connect();
    const std::string chunk(8 * 1024 * 1024, 'A');
    for (int i = 0; i < 16; ++i) socket.Deliver(chunk);   // exactly the limit: kept
    EXPECT_EQ(socket.state, TSocketState::wsConnected);
    EXPECT_EQ(service->PakketBuffer.Size(), waiting.size() + ReceiveBuffer::kConnectionLimit);
    log.Clear();
    socket.Deliver("A");
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{kVol, kAfgewerkt}));
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    EXPECT_EQ(service->PakketBuffer.Bytes(), waiting);
    Tick();
    EXPECT_EQ(OutputBytes(), "abc\r\n");
    Tick();
    EXPECT_EQ(OutputBytes(), "def\r\n");
    EXPECT_TRUE(service->PakketBuffer.Empty());
}

// After the processed frame's connection is dropped, the kept bytes are scanned again:
// positions start at the kept bytes and the NUL rule applies to them.
TEST(ReceiveBufferTest, KeptBytesAreScannedAgain) {
    using R = ReceiveBuffer::AppendResult;
    const std::string a = "\x01" "4\x02YWJj\x04";
    ReceiveBuffer buffer;
    buffer.BeginConnection();
    EXPECT_EQ(buffer.Append(a), R::kEndOfFrame);
    buffer.BeginConnection();
    EXPECT_EQ(buffer.Append(std::string("zz\0\x01" "4\x02ZG", 8)), R::kMore);
    EXPECT_EQ(buffer.FrameConnectionSize(), a.size());
    EXPECT_EQ(buffer.FrameConnection(), a);
    EXPECT_EQ(buffer.FirstSoh(), 0u);

    buffer.DiscardFrameConnection();
    EXPECT_EQ(buffer.Bytes(), "\x01" "4\x02ZG");
    EXPECT_EQ(buffer.FirstSoh(), 0u);
    EXPECT_EQ(buffer.FirstEot(), ReceiveBuffer::npos);
    EXPECT_FALSE(buffer.HasCompleteFrame());
    EXPECT_EQ(buffer.FrameConnectionSize(), buffer.Size());
    EXPECT_EQ(buffer.Append("Vm\x04"), R::kEndOfFrame);
    EXPECT_TRUE(buffer.HasCompleteFrame());
    EXPECT_EQ(buffer.FirstEot(), 7u);

    // A stray EOT of the dropped connection does not end the kept one.
    buffer.DiscardFrameConnection();
    EXPECT_TRUE(buffer.Empty());
    buffer.BeginConnection();
    EXPECT_EQ(buffer.Append(a + "\x04"), R::kEndOfFrame);
    buffer.BeginConnection();
    EXPECT_EQ(buffer.Append("\x01" "4\x02"), R::kMore);
    buffer.DiscardFrameConnection();
    EXPECT_EQ(buffer.Append("ZGVm"), R::kMore);
    EXPECT_EQ(buffer.FirstEot(), ReceiveBuffer::npos);
}

// The socket's thread appends while the control thread processes; the lock keeps every
// frame whole (run under ThreadSanitizer by CI).
TEST_F(ReceiveTest, AppendAndProcessOnTwoThreads) {
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        while (!done.load()) Tick();
        const auto pending = [&] {
            std::lock_guard guard(service->Lock());
            return !service->PakketBuffer.Empty();
        };
        while (pending()) Tick();
    });
    const std::string frame = FrameOf("<a>payload</a>\r\n");
    for (int i = 0; i < 300; ++i) {
        socket.state = TSocketState::wsConnecting;
        socket.RaiseConnected();
        for (std::size_t at = 0; at < frame.size(); at += 5) socket.Deliver(frame.substr(at, 5));
    }
    done = true;
    consumer.join();
    // Every reply is processed once, however the ticks fell between its reads.
    int received = 0;
    for (const std::string& line : log.Lines()) {
        EXPECT_EQ(line.rfind("W:", 0), std::string::npos) << line;
        received += line == kOntvangen;
    }
    EXPECT_EQ(received, 300);
    EXPECT_EQ(OutputBytes(), "<a>payload</a>\r\n");
}

}  // namespace
}  // namespace collector::testing
