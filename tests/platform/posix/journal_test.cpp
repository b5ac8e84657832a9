// The journal's side of the event log against a fake journal that takes passed
// descriptors: entries up to the bound arrive whole, a datagram too large goes as a sealed
// memory file, a longer text is cut with its marker, and syslog takes long texts in parts.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/event_log.h"
#include "platform/posix/service_internal.h"
#include "support/datagram_receiver.h"
#include "text/strings.h"

namespace {

using platform::posix::kMaxEntryCharacters;

// The fields of an entry in the journal's native format.
std::map<std::string, std::string> Fields(const std::string& entry) {
    std::map<std::string, std::string> fields;
    for (std::size_t at = 0; at < entry.size();) {
        const std::size_t nl = entry.find('\n', at);
        const std::string line = entry.substr(at, nl - at);
        if (const std::size_t eq = line.find('='); eq != std::string::npos) {
            fields[line.substr(0, eq)] = line.substr(eq + 1);
            at = nl + 1;
            continue;
        }
        std::uint64_t size = 0;
        for (int i = 0; i < 8; ++i) size |= std::uint64_t(static_cast<unsigned char>(entry[nl + 1 + i])) << (8 * i);
        fields[line] = entry.substr(nl + 9, size);
        at = nl + 9 + size + 1;
    }
    return fields;
}

// What the journal reads from a datagram: its bytes, or the sealed file passed with it.
std::string EntryOf(testsupport::DatagramReceiver::Datagram& d, bool& sealedFile) {
    sealedFile = !d.fds.empty();
    if (!sealedFile) return d.bytes;
    EXPECT_EQ(1u, d.fds.size());
    EXPECT_EQ("", d.bytes) << "a file comes in an empty datagram";
    const int fd = d.fds[0];
    const int seals = ::fcntl(fd, F_GET_SEALS);
    EXPECT_EQ(F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE, seals & (F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE));
    std::string bytes;
    char chunk[65536];
    for (ssize_t n; (n = ::pread(fd, chunk, sizeof chunk, static_cast<off_t>(bytes.size()))) > 0;)
        bytes.append(chunk, static_cast<std::size_t>(n));
    for (int passed : d.fds) ::close(passed);
    return bytes;
}

class JournalTest : public ::testing::Test {
protected:
    void SetUp() override { platform::posix::SetJournalSocketPath(journal.Path()); }
    void TearDown() override { platform::posix::SetJournalSocketPath({}); }
    testsupport::DatagramReceiver journal;
};

TEST_F(JournalTest, EntriesUpToTheBoundArriveWholeLongerOnesCutWithAMarker) {
    const platform::EventSourceHandle source = platform::RegisterEventSource(u"BrivonMorvel");
    struct Row {
        std::size_t characters;
        bool sealedFile;   // too large for one datagram
        std::string tail;  // the end of the MESSAGE field
    };
    const std::string cutMarker = " [... entry cut at 1048576 of 1300000 characters]";
    for (const Row& row : {Row{100, false, "xy"}, Row{300'000, true, "xy"}, Row{kMaxEntryCharacters, true, "xy"},
                           Row{1'300'000, true, "x" + cutMarker}}) {
        const std::u16string text = std::u16string(row.characters - 2, u'x') + u"xy";
        ASSERT_TRUE(platform::ReportEvent(source, 4, 0, 1, text));
        auto datagrams = journal.Drain();
        ASSERT_EQ(1u, datagrams.size()) << row.characters;
        bool sealedFile = false;
        const auto fields = Fields(EntryOf(datagrams[0], sealedFile));
        EXPECT_EQ(row.sealedFile, sealedFile) << row.characters;
        const std::string& message = fields.at("MESSAGE");
        EXPECT_EQ(std::min(row.characters, kMaxEntryCharacters) +
                      (row.characters > kMaxEntryCharacters ? cutMarker.size() : 0),
                  message.size());
        EXPECT_EQ(row.tail, message.substr(message.size() - row.tail.size())) << row.characters;
        EXPECT_EQ("BrivonMorvel", fields.at("SYSLOG_IDENTIFIER"));
        EXPECT_EQ("1", fields.at("EVENT_ID"));
    }
    platform::DeregisterEventSource(source);
}

TEST(EntryText, CutsNeverInsideACharacter) {
    std::u16string text(kMaxEntryCharacters - 1, u'a');
    text += u"\U0001F600tail";  // a pair of code units across the bound
    const std::u16string cut = platform::posix::EntryText(text);
    EXPECT_EQ(std::u16string(kMaxEntryCharacters - 1, u'a') +
                  txt::FromUtf8(" [... entry cut at " + std::to_string(kMaxEntryCharacters - 1) + " of " +
                                std::to_string(text.size()) + " characters]"),
              cut);
    EXPECT_EQ(u"short", platform::posix::EntryText(u"short"));
}

TEST(SyslogParts, LongTextsGoInNumberedPartsThatKeepEveryCharacter) {
    using platform::posix::kSyslogPartBytes;
    using platform::posix::SyslogParts;
    EXPECT_EQ(std::vector<std::string>{"kort"}, SyslogParts("kort"));
    EXPECT_EQ(std::vector<std::string>{std::string(kSyslogPartBytes, 'a')},
              SyslogParts(std::string(kSyslogPartBytes, 'a')));
    // "é" (two bytes) straddles every part boundary somewhere.
    std::string text;
    while (text.size() < 3 * kSyslogPartBytes + 10) text += "a\xC3\xA9";
    const std::vector<std::string> parts = SyslogParts(text);
    ASSERT_EQ(4u, parts.size());
    std::string joined;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string head = "[part " + std::to_string(i + 1) + " of 4] ";
        ASSERT_EQ(0u, parts[i].find(head));
        const std::string body = parts[i].substr(head.size());
        EXPECT_LE(body.size(), kSyslogPartBytes);
        EXPECT_NE(0x80, static_cast<unsigned char>(body[0]) & 0xC0) << "part " << i << " starts inside a character";
        joined += body;
    }
    EXPECT_EQ(text, joined);
}

}  // namespace
