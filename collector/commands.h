#pragma once
// The two switches for fleet operation, which run without the service:
// - CONFIGURE Key=Value ...: writes the configuration file with these values in place of
//   the default document's when no configuration exists yet (an installer's answers), and
//   changes nothing when one does.
// - STATUS [WARNING_S [CRITICAL_S]]: a check for monitoring agents, judged only from what
//   the service leaves on disk (configuration, output file, metrics file), so that an
//   unprivileged agent can run it; it never writes anything.
// Both return the exit status and the one line to print.
//
// Threading contract: plain functions of the calling thread; they share nothing.
#include <string>
#include <vector>

namespace collector {

struct CommandResult {
    int exitStatus = 0;
    std::u16string line;
    bool error = false;  // the line belongs on standard error
};

// The keys CONFIGURE takes (any letter case): those of the configuration table and MetricsFile.
CommandResult ConfigureCommand(const std::u16string& baseDirectory, const std::vector<std::u16string>& assignments);

// Exit status 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN. `now`: seconds since 1970 UTC.
CommandResult StatusCommand(const std::u16string& baseDirectory, const std::vector<std::u16string>& arguments,
                            double now);

}  // namespace collector
