// The receive path and packet processing, including the bounded buffer, the NUL rule,
// stale leftovers, invalid payloads and the atomic replacement of the output file.
#include "fakes.h"

#include <chrono>
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
    // The archive gets the lenient decoding of the frame text from its SOH, non-ASCII
    // characters replaced by "?".
    std::string text = runtime::NormaliseLineBreaks(frame);
    for (char& ch : text) {
        if (static_cast<unsigned char>(ch) >= 0x80) ch = '?';
    }
    runtime::TStringList lines;
    lines.SetText(runtime::Latin1ToText(runtime::Base64DecodeLenient(text)));
    EXPECT_EQ(ReadFile(XmlDir() / "MC_03122026140507127.XML"), runtime::ToAnsi(lines.Text()));
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
    const std::string prefix = "W:Cannot create file \"" + dir.string() + "/BrivonTV/XML/TV_BRIVON.XML\". ";
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
    EXPECT_EQ(LastLog(), "W:Cannot create file \"" + dir.string() +
                             "/missing/TV_BRIVON.XML\". The system cannot find the path specified");
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

    // A complete frame waiting for its tick is kept, and does not cut the next reply short;
    // the tick then processes the first frame only.
    Connect();
    socket.Deliver(Frame(Y));
    Connect();
    socket.Deliver("\x01" "4\x02ZG");
    EXPECT_EQ(socket.state, TSocketState::wsConnected);
    socket.Deliver("Vm\x04");
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    Tick();
    EXPECT_EQ(OutputBytes(), "abc\r\n");
    EXPECT_TRUE(service->PakketBuffer.Empty());
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
    // A complete frame from the previous connection waits for its tick.
    Connect();
    socket.Deliver(Frame(Y));
    Connect();
    const std::string chunk(8 * 1024 * 1024, 'A');
    for (int i = 0; i < 16; ++i) socket.Deliver(chunk);   // exactly the limit: kept
    EXPECT_EQ(socket.state, TSocketState::wsConnected);
    EXPECT_EQ(service->PakketBuffer.Size(), Frame(Y).size() + ReceiveBuffer::kConnectionLimit);
    log.Clear();
    socket.Deliver("A");
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{kVol, kAfgewerkt}));
    EXPECT_EQ(socket.state, TSocketState::wsClosed);
    EXPECT_EQ(service->PakketBuffer.Bytes(), Frame(Y));
    Tick();
    EXPECT_EQ(OutputBytes(), "abc\r\n");
}

// The socket's thread appends while the control thread processes; the lock keeps every
// frame whole (run under ThreadSanitizer by CI).
TEST_F(ReceiveTest, AppendAndProcessOnTwoThreads) {
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        while (!done.load()) Tick();
        Tick();
    });
    const std::string frame = FrameOf("<a>payload</a>\r\n");
    for (int i = 0; i < 300; ++i) {
        socket.state = TSocketState::wsConnecting;
        socket.RaiseConnected();
        for (std::size_t at = 0; at < frame.size(); at += 5) socket.Deliver(frame.substr(at, 5));
    }
    done = true;
    consumer.join();
    for (const std::string& line : log.Lines()) EXPECT_EQ(line.rfind("W:", 0), std::string::npos) << line;
    EXPECT_EQ(OutputBytes(), "<a>payload</a>\r\n");
    // A tick that processed a waiting frame while the next reply was arriving leaves that
    // reply's tail behind, without a frame in it.
    EXPECT_FALSE(service->PakketBuffer.HasCompleteFrame());
}

}  // namespace
}  // namespace collector::testing
