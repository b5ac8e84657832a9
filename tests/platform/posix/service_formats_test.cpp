// The wire formats of the systemd side: journal entries, notification datagrams and the
// unit file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/messages.h"
#include "platform/posix/service_internal.h"
#include "platform/service_manager.h"
#include "support/temp_folder.h"
#include "text/strings.h"

namespace {

// The lines of a text that begin with one of `keys`, each with its line end.
std::string LinesOf(const std::string& text, std::initializer_list<std::string_view> keys) {
    std::string lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        for (std::string_view key : keys) {
            if (line.starts_with(key)) lines += line + "\n";
        }
    }
    return lines;
}

TEST(LinuxFormats, JournalNotifyAndUnitTexts) {
    using platform::posix::JournalDatagram;
    EXPECT_EQ(std::string("MESSAGE=hallo\nPRIORITY=6\nSYSLOG_IDENTIFIER=BrivonMorvel\nEVENT_TYPE=4\n"
                          "EVENT_CATEGORY=0\nEVENT_ID=1\nVBX_VERSION=" VBX_PROJECT_VERSION "\n"),
              JournalDatagram(u"BrivonMorvel", 4, 0, 1, u"hallo"));
    const std::string multi = JournalDatagram(u"VBxMorvel", 1, 0, 0, u"a\r\nb");
    EXPECT_EQ(std::string("MESSAGE\n\x04\0\0\0\0\0\0\0a\r\nb\nPRIORITY=3\n", 23), multi.substr(0, 23));
    EXPECT_EQ("\nEVENT_ID=0\nVBX_VERSION=" VBX_PROJECT_VERSION "\n", multi.substr(multi.find("\nEVENT_ID=")));
    EXPECT_EQ(4, platform::posix::JournalPriority(2));
    EXPECT_EQ(6, platform::posix::JournalPriority(16));

    EXPECT_EQ(
        "STATUS=ssStartPending\nEXTEND_TIMEOUT_USEC=5000000\nX_SERVICE_STATE=2\nX_CONTROLS_ACCEPTED=0\n"
        "X_CHECKPOINT=2\nX_WAIT_HINT=5000",
        platform::posix::NotifyDatagram({.dwCurrentState = 2, .dwCheckPoint = 2, .dwWaitHint = 5000}));
    EXPECT_EQ("STATUS=ssRunning\nREADY=1\nX_SERVICE_STATE=4\nX_CONTROLS_ACCEPTED=7\nX_CHECKPOINT=0\nX_WAIT_HINT=5000",
              platform::posix::NotifyDatagram({.dwCurrentState = 4, .dwControlsAccepted = 7, .dwWaitHint = 5000}));
    EXPECT_EQ(0u, platform::posix::NotifyDatagram({.dwCurrentState = 3, .dwWaitHint = 5000})
                      .find("STATUS=ssStopPending\nSTOPPING=1\nEXTEND_TIMEOUT_USEC=5000000\n"));
    // The whole unit here; end to end only the ExecStart line of each installation.
    EXPECT_EQ(
        "[Unit]\nDescription=Vanto Brivon Morvel Collector\n\n[Service]\nType=notify\nNotifyAccess=main\n"
        "ExecStart=/opt/vbx/"
        "VBxMorvel\nRestart=on-failure\nRestartSec=5\nStartLimitInterval=10min\nStartLimitBurst=10\nWatchdogSec=60\n"
        "ProtectSystem=full\n"
        "ProtectKernelTunables=yes\nProtectKernelModules=yes\nProtectKernelLogs=yes\nProtectControlGroups=yes\n"
        "ProtectClock=yes\nProtectHostname=yes\nProtectProc=invisible\nProcSubset=pid\nPrivateDevices=yes\n"
        "PrivateMounts=yes\nNoNewPrivileges=yes\nCapabilityBoundingSet=CAP_DAC_OVERRIDE CAP_FOWNER\n"
        "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\nRestrictNamespaces=yes\n"
        "RestrictRealtime=yes\nRestrictSUIDSGID=yes\nLockPersonality=yes\nMemoryDenyWriteExecute=yes\n"
        "SystemCallArchitectures=native\nSystemCallFilter=@system-service\nSystemCallFilter=~@privileged @resources\n"
        "SystemCallErrorNumber=EPERM\n"
        "\n[Install]\nWantedBy=multi-user.target\n",
        platform::posix::UnitFileText(u"Vanto Brivon Morvel Collector", u"/opt/vbx/VBxMorvel"));
    auto execStart = [](const std::u16string& path) {
        return LinesOf(platform::posix::UnitFileText(u"d", path), {"ExecStart="});
    };
    EXPECT_EQ("ExecStart=\"/opt/my tools/VBxMorvel\"\n", execStart(u"/opt/my tools/VBxMorvel"));
    // "$" stays single: systemd expands no variable in the executable path.
    EXPECT_EQ("ExecStart=/opt/100%%/$HOME/a${b}$$/x\n", execStart(u"/opt/100%/$HOME/a${b}$$/x"));
    EXPECT_EQ("ExecStart=\"/opt/50%% off/x\"\n", execStart(u"/opt/50% off/x"));
}

// CreateService against a private unit folder: a folder name systemd cannot run from is
// refused with error 123 and leaves no unit behind; every other name is written. Which
// characters systemd refuses in an executable path was read from `systemd-analyze verify`.
TEST(LinuxUnits, InstallRefusesPathsSystemdCannotRun) {
    namespace fs = std::filesystem;
    const testsupport::TempFolder root("units");
    // The unit folder is made when missing, parents included. Where systemd runs, every
    // change of a unit is followed by a reload, here by a stand-in on PATH that writes down
    // its arguments.
    const fs::path units = root.Path("etc") / "systemd" / "system";
    fs::create_directories(root.Path("run"));
    testsupport::WriteFile(root.Path("systemctl"), "#!/bin/sh\necho \"$@\" >> \"$0.calls\"\n");
    fs::permissions(root.Path("systemctl"), fs::perms::owner_all);
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", (root.Path().string() + ":" + path).c_str(), 1);
    platform::posix::SetServiceManagerFolders(units.string(), root.Path("run").string(), {root.Path("lib").string()},
                                              "false");
    const platform::ScHandle manager = platform::OpenSCManager(0xF003F);
    ASSERT_NE(0u, manager);
    EXPECT_TRUE(fs::is_directory(units));
    EXPECT_EQ(fs::perms::owner_all, fs::status(units).permissions() & fs::perms::owner_all);

    // Accepted folders, then refused ones; the last is the text of a name that is not UTF-8:
    // it names no file.
    const std::vector<std::u16string> accepted = {
        u"plain", u"a b", u"a$b", u"a${HOME}b", u"100%", u"a;b", u"caf\u00e9 \U0001F600", u"a*?[x]=#@-:+!~{}<>|&()`^,"};
    const std::vector<std::u16string> refused = {u"a\"b", u"a'b",    u"a\\b",   u"a\tb",   u"a\nb",
                                                 u"a\rb", u"a\001b", u"a\037b", u"a\177b", u"caf\uFFFD"};
    const fs::path unit = units / "BrivonMorvel.service";
    const fs::path link = units / "multi-user.target.wants" / "BrivonMorvel.service";
    // The service made, with the error left by the call.
    const auto create = [](platform::ScHandle on, const std::u16string& name, const std::u16string& folder) {
        platform::SetLastError(0);
        const platform::ScHandle service = platform::CreateService(
            on, name, u"Vanto Brivon Morvel Collector", 0xF01FF, 0x10, platform::kServiceAutoStart, 1,
            u"/opt/" + folder + u"/VBxMorvel", u"", nullptr, u"", nullptr, u"");
        return std::pair{service, platform::GetLastError()};
    };
    const auto failed = [](std::uint32_t error) { return std::pair{platform::ScHandle(0), error}; };
    for (const auto* folders : {&accepted, &refused}) {
        for (const std::u16string& folder : *folders) {
            SCOPED_TRACE(txt::ToUtf8(folder));
            const auto [service, error] = create(manager, u"BrivonMorvel", folder);
            EXPECT_EQ(folders == &accepted, service != 0);
            if (service == 0) {
                EXPECT_EQ(123u, error);
                EXPECT_FALSE(fs::exists(unit) || fs::is_symlink(link));
                continue;
            }
            EXPECT_TRUE(fs::is_regular_file(unit) && fs::is_symlink(link));
            EXPECT_TRUE(platform::DeleteService(service));
            platform::CloseServiceHandle(service);
        }
    }
    // Each accepted unit was written and removed, each time followed by a reload.
    std::string reloads;
    for (std::size_t i = 0; i < 2 * accepted.size(); ++i) reloads += "daemon-reload\n";
    EXPECT_EQ(reloads, testsupport::ReadFile(root.Path("systemctl.calls")));
    ::setenv("PATH", path.c_str(), 1);
    // Bad input: a handle that is no manager's (6), a name that is no unit's (123), a wants
    // folder that is a file (no link, so no unit either), a handle closed twice (6).
    EXPECT_EQ(failed(6), create(manager + 100, u"BrivonMorvel", u"plain"));
    EXPECT_EQ(failed(123), create(manager, u"Brivon/Morvel", u"plain"));
    fs::remove_all(link.parent_path());
    testsupport::WriteFile(link.parent_path(), "x");
    EXPECT_EQ(failed(3), create(manager, u"BrivonMorvel", u"plain"));
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_TRUE(platform::CloseServiceHandle(manager));
    platform::SetLastError(0);
    EXPECT_FALSE(platform::CloseServiceHandle(manager));
    EXPECT_EQ(6u, platform::GetLastError());

    // A unit folder that cannot be made is no manager: below a file the path is not found,
    // below a dangling link the file.
    testsupport::WriteFile(root.Path("file"), "x");
    ASSERT_TRUE(testsupport::MakeLink(root.Path("gone"), root.Path("dangling")));
    for (const auto& [below, code] : {std::pair{"file", 3u}, std::pair{"dangling", 2u}}) {
        platform::posix::SetServiceManagerFolders((root.Path(below) / "units").string(),
                                                  root.Path("no-systemd").string());
        EXPECT_EQ(0u, platform::OpenSCManager(0xF003F)) << below;
        EXPECT_EQ(code, platform::GetLastError()) << below;
    }
    platform::posix::SetServiceManagerFolders("", "");
}

// The lines that decide where the sandboxed service may write: the executable's folder
// must stay writable wherever it lives, and the rest of the system stays read-only
// wherever that can be said.
TEST(LinuxFormats, UnitKeepsTheExecutablesFolderWritable) {
    struct Case {
        std::u16string exe;
        const char* lines;  // ProtectSystem= and ReadWritePaths= lines, in order
    };
    const Case cases[] = {
        {u"/opt/vbx/VBxMorvel", "ProtectSystem=full\n"},
        {u"/home/ann/vbx/VBxMorvel", "ProtectSystem=full\n"},
        {u"/tmp/VBxMorvel", "ProtectSystem=full\n"},
        {u"/VBxMorvel", "ProtectSystem=full\n"},
        // Folders that only begin like a protected one are not under it.
        {u"/usrlocal/VBxMorvel", "ProtectSystem=full\n"},
        {u"/etcetera/x/VBxMorvel", "ProtectSystem=full\n"},
        {u"/usr/local/bin/VBxMorvel", "ProtectSystem=full\nReadWritePaths=/usr/local/bin\n"},
        {u"/usr/VBxMorvel", "ProtectSystem=full\nReadWritePaths=/usr\n"},
        {u"/etc/vbx/VBxMorvel", "ProtectSystem=full\nReadWritePaths=/etc/vbx\n"},
        {u"/boot/x/VBxMorvel", "ProtectSystem=full\nReadWritePaths=/boot/x\n"},
        {u"/efi/VBxMorvel", "ProtectSystem=full\nReadWritePaths=/efi\n"},
        {u"/usr/local/my tools/VBxMorvel", "ProtectSystem=full\nReadWritePaths=\"/usr/local/my tools\"\n"},
        {u"/usr/local/100%/VBxMorvel", "ProtectSystem=full\nReadWritePaths=/usr/local/100%%\n"},
        {u"/usr/local/$HOME/VBxMorvel", "ProtectSystem=full\nReadWritePaths=/usr/local/$HOME\n"},
        {u"/usr/local/caf\u00e9/VBxMorvel", "ProtectSystem=full\nReadWritePaths=/usr/local/caf\xc3\xa9\n"},
        // A folder ReadWritePaths= cannot name: the system stays writable, not the service broken.
        {u"/usr/local/a\"b/VBxMorvel", ""},
        {u"/usr/local/a'b/VBxMorvel", ""},
        {u"/usr/local/a\\b/VBxMorvel", ""},
        {u"/usr/local/a\tb/VBxMorvel", ""},
        // Outside the protected folders such a name needs no ReadWritePaths= at all.
        {u"/opt/a\"b/VBxMorvel", "ProtectSystem=full\n"},
    };
    for (const Case& c : cases) {
        const std::string text = platform::posix::UnitFileText(u"d", c.exe);
        EXPECT_EQ(c.lines, LinesOf(text, {"ProtectSystem=", "ReadWritePaths="})) << txt::ToUtf8(c.exe);
        // The sandbox never takes the service's folders under /tmp and /home away from it.
        for (const char* key : {"PrivateTmp=", "ProtectHome=", "User="}) {
            EXPECT_EQ(std::string::npos, text.find(key)) << key << txt::ToUtf8(c.exe);
        }
    }
}

}  // namespace
