// The manager's watchdog as the process sees it: how WATCHDOG_USEC and WATCHDOG_PID are
// read, and that no ping goes anywhere without a running dispatcher.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/error_codes.h"
#include "platform/messages.h"
#include "platform/service_manager.h"
#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

TEST(WatchdogTimeout, ReadAsSystemdReadsIt) {
    constexpr std::uint64_t kOwn = 4242;
    const struct {
        const char* usec;
        const char* pid;
        std::uint64_t expected;
    } rows[] = {
        {"60000000", nullptr, 60'000'000},
        {"600000", "4242", 600'000},  // meant for this process
        {"1", nullptr, 1},
        {"18446744073709551614", nullptr, 18'446'744'073'709'551'614u},
        {nullptr, nullptr, 0},  // not asked for
        {nullptr, "4242", 0},
        {"600000", "4243", 0},         // meant for another process (a child)
        {"600000", "04242", 600'000},  // leading zeros are still the number
        {"600000", "", 0},
        {"600000", "42x", 0},
        {"600000", "-4242", 0},
        {"", nullptr, 0},
        {"0", nullptr, 0},                     // no watchdog
        {"18446744073709551615", nullptr, 0},  // infinity
        {"18446744073709551616", nullptr, 0},  // overflow
        {"99999999999999999999999", nullptr, 0},
        {"-600000", nullptr, 0},
        {"+600000", nullptr, 0},
        {" 600000", nullptr, 0},
        {"600000 ", nullptr, 0},
        {"60s", nullptr, 0},
        {"0x600", nullptr, 0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.expected, platform::ParseWatchdogTimeout(row.usec, row.pid, kOwn))
            << (row.usec ? row.usec : "(unset)") << " / " << (row.pid ? row.pid : "(unset)");
    }
}

TEST(WatchdogTimeout, NoPingWithoutARunningDispatcher) {
    EXPECT_FALSE(platform::NotifyServiceWatchdog());
#ifndef _WIN32
    // Nor a handler: no manager started the dispatcher.
    platform::SetLastError(0);
    EXPECT_EQ(0u, platform::RegisterServiceCtrlHandler(u"BrivonMorvel", [](std::uint32_t) {}));
    EXPECT_EQ(platform::kErrorFailedServiceControllerConnect, platform::GetLastError());
#endif
}

#ifndef _WIN32
// The variables of a service run, read for this process but never in console mode (the
// values themselves are the table's above).
TEST(WatchdogTimeout, TheEnvironmentOfAServiceRunButNeverTheConsole) {
    ::setenv("WATCHDOG_USEC", "600000", 1);
    ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
    EXPECT_EQ(600'000u, platform::ServiceWatchdogTimeoutUsec());
    platform::SetConsoleMode(true);
    EXPECT_EQ(0u, platform::ServiceWatchdogTimeoutUsec());
    platform::SetConsoleMode(false);
    ::unsetenv("WATCHDOG_PID");
    ::unsetenv("WATCHDOG_USEC");
}
#else
TEST(WatchdogTimeout, WindowsKeepsNoWatchdog) { EXPECT_EQ(0u, platform::ServiceWatchdogTimeoutUsec()); }
#endif

}  // namespace
