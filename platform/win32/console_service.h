#pragma once
// Internal to the Windows platform layer: the console-mode stand-in for the service
// control manager. It runs the service main of the table's first entry on a thread of its
// own and passes the console's control events (Ctrl+C, Ctrl+Break, closing the window,
// logging off, shutting down) to the registered handler as stop and shutdown codes, with
// the manager's rules for which codes a state accepts (ControlGate). Reports are echoed
// to the console.
//
// Threading contract: as the manager's calls of platform/service_manager.h:
// RunConsoleDispatcher blocks its calling thread (the dispatcher thread), which calls the
// handler one code at a time; RegisterConsoleHandler and ReportConsoleStatus from any
// thread of the service.
#include <vector>

#include "platform/service_manager.h"

namespace platform::win32 {

// StartServiceCtrlDispatcher in console mode; false with error 87 for an empty table.
bool RunConsoleDispatcher(const std::vector<ServiceTableEntry>& table);
// RegisterServiceCtrlHandler in console mode: the handler for every later code.
ServiceStatusHandle RegisterConsoleHandler(HandlerFunction handler);
// SetServiceStatus in console mode: echoes the report and lets the gate learn the state.
bool ReportConsoleStatus(const ServiceStatus& status);

}  // namespace platform::win32
