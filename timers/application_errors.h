#pragma once
// The application's error handling for errors that escape an event handler run by a
// message loop (a timer event's handler). The service host connects it to the event log;
// until then such errors are swallowed, so that a failing handler never ends the loop.
//
// Threading contract: SetApplicationErrorHandler may be called from any thread; the
// handler is called on the thread where the error was caught.
#include <exception>
#include <functional>

namespace timers {

using ApplicationErrorHandler = std::function<void(void* sender, const std::exception& error)>;

// Installs the handler (an empty function restores the default: swallow).
void SetApplicationErrorHandler(ApplicationErrorHandler handler);

// Hands an error to the installed handler. An error raised by the handler itself is
// swallowed: the loop that called us must keep running.
void HandleApplicationError(void* sender, const std::exception& error);

}  // namespace timers
