#pragma once
// Every Windows error number the program uses, once: its name and the text Windows gives
// for it (trimmed of the trailing full stop and line break, as SystemErrorText returns
// it). Each list is an X-macro, X(name, number, text), kept sorted by number; the lists
// produce the named constants below and, on POSIX, the text table behind
// SystemErrorText (Windows gives its own texts through FormatMessageW). An empty text
// means that the POSIX layer gives none for that number.
//
// Threading contract: constants only; usable from any thread.
#include <cstdint>

// System error numbers (GetLastError), below 10000.
#define VBX_SYSTEM_ERRORS(X)                                                                                         \
    X(kErrorSuccess, 0, "The operation completed successfully")                                                      \
    X(kErrorInvalidFunction, 1, "Incorrect function")                                                                \
    X(kErrorFileNotFound, 2, "The system cannot find the file specified")                                            \
    X(kErrorPathNotFound, 3, "The system cannot find the path specified")                                            \
    X(kErrorTooManyOpenFiles, 4, "The system cannot open the file")                                                  \
    X(kErrorAccessDenied, 5, "Access is denied")                                                                     \
    X(kErrorInvalidHandle, 6, "The handle is invalid")                                                               \
    X(kErrorNotEnoughMemory, 8, "Not enough memory resources are available to process this command")                 \
    X(kErrorInvalidData, 13, "The data is invalid")                                                                  \
    X(kErrorOutOfMemory, 14, "Not enough memory resources are available to complete this operation")                 \
    X(kErrorInvalidDrive, 15, "The system cannot find the drive specified")                                          \
    X(kErrorNotSameDevice, 17, "The system cannot move the file to a different disk drive")                          \
    X(kErrorWriteProtect, 19, "The media is write protected")                                                        \
    X(kErrorNotReady, 21, "The device is not ready")                                                                 \
    X(kErrorCrc, 23, "Data error (cyclic redundancy check)")                                                         \
    X(kErrorWriteFault, 29, "The system cannot write to the specified device")                                       \
    X(kErrorReadFault, 30, "The system cannot read from the specified device")                                       \
    X(kErrorGenFailure, 31, "A device attached to the system is not functioning")                                    \
    X(kErrorSharingViolation, 32, "The process cannot access the file because it is being used by another process")  \
    X(kErrorLockViolation, 33,                                                                                       \
      "The process cannot access the file because another process has locked a portion of the file")                 \
    X(kErrorHandleEof, 38, "Reached the end of the file")                                                            \
    X(kErrorHandleDiskFull, 39, "The disk is full")                                                                  \
    X(kErrorNotSupported, 50, "The request is not supported")                                                        \
    X(kErrorFileExists, 80, "The file exists")                                                                       \
    X(kErrorCannotMake, 82, "The directory or file cannot be created")                                               \
    X(kErrorInvalidParameter, 87, "The parameter is incorrect")                                                      \
    X(kErrorBrokenPipe, 109, "The pipe has been ended")                                                              \
    X(kErrorOpenFailed, 110, "The system cannot open the device or file specified")                                  \
    X(kErrorDiskFull, 112, "There is not enough space on the disk")                                                  \
    X(kErrorInsufficientBuffer, 122, "The data area passed to a system call is too small")                           \
    X(kErrorInvalidName, 123, "The filename, directory name, or volume label syntax is incorrect")                   \
    X(kErrorInvalidLevel, 124, "The system call level is not correct")                                               \
    X(kErrorModNotFound, 126, "")                                                                                    \
    X(kErrorDirNotEmpty, 145, "The directory is not empty")                                                          \
    X(kErrorBadPathname, 161, "The specified path is invalid")                                                       \
    X(kErrorBusy, 170, "The requested resource is in use")                                                           \
    X(kErrorAlreadyExists, 183, "Cannot create a file when that file already exists")                                \
    X(kErrorFilenameExcedRange, 206, "The filename or extension is too long")                                        \
    X(kErrorDirectory, 267, "The directory name is invalid")                                                         \
    X(kErrorOperationAborted, 995,                                                                                   \
      "The I/O operation has been aborted because of either a thread exit or an application request")                \
    X(kErrorDependentServicesRunning, 1051,                                                                          \
      "A stop control has been sent to a service that other running services are dependent on")                      \
    X(kErrorInvalidServiceControl, 1052, "The requested control is not valid for this service")                      \
    X(kErrorServiceRequestTimeout, 1053,                                                                             \
      "The service did not respond to the start or control request in a timely fashion")                             \
    X(kErrorServiceAlreadyRunning, 1056, "An instance of the service is already running")                            \
    X(kErrorServiceDoesNotExist, 1060, "The specified service does not exist as an installed service")               \
    X(kErrorServiceCannotAcceptCtrl, 1061, "The service cannot accept control messages at this time")                \
    X(kErrorServiceNotActive, 1062, "The service has not been started")                                              \
    X(kErrorFailedServiceControllerConnect, 1063, "The service process could not connect to the service controller") \
    X(kErrorServiceSpecificError, 1066, "The service has returned a service-specific error code")                    \
    X(kErrorServiceMarkedForDelete, 1072, "The specified service has been marked for deletion")                      \
    X(kErrorServiceExists, 1073, "The specified service already exists")                                             \
    X(kErrorDuplicateServiceName, 1078,                                                                              \
      "The name is already in use as either a service name or a service display name")                               \
    X(kErrorServiceNotInExe, 1083, "")                                                                               \
    X(kErrorIoDevice, 1117, "The request could not be performed because of an I/O device error")                     \
    X(kErrorInvalidWindowHandle, 1400, "Invalid window handle")                                                      \
    X(kErrorInvalidTimerId, 1402, "")                                                                                \
    X(kErrorCannotFindWndClass, 1407, "")                                                                            \
    X(kErrorClassAlreadyExists, 1410, "")                                                                            \
    X(kErrorClassDoesNotExist, 1411, "")                                                                             \
    X(kErrorClassHasWindows, 1412, "")                                                                               \
    X(kErrorInvalidThreadId, 1444, "")                                                                               \
    X(kErrorNoSystemResources, 1450, "Insufficient system resources exist to complete the requested service")        \
    X(kErrorTimeout, 1460, "This operation returned because the timeout period expired")                             \
    X(kErrorNotEnoughQuota, 1816, "")

// Windows Sockets error numbers (WSAGetLastError), from 10000 on.
#define VBX_SOCKET_ERRORS(X)                                                                                           \
    X(kWsaEIntr, 10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall")                     \
    X(kWsaEBadF, 10009, "The file handle supplied is not valid")                                                       \
    X(kWsaEAcces, 10013, "An attempt was made to access a socket in a way forbidden by its access permissions")        \
    X(kWsaEFault, 10014,                                                                                               \
      "The system detected an invalid pointer address in attempting to use a pointer argument in a call")              \
    X(kWsaEInval, 10022, "An invalid argument was supplied")                                                           \
    X(kWsaEMFile, 10024, "Too many open sockets")                                                                      \
    X(kWsaEWouldBlock, 10035, "A non-blocking socket operation could not be completed immediately")                    \
    X(kWsaEInProgress, 10036, "A blocking operation is currently executing")                                           \
    X(kWsaEAlready, 10037,                                                                                             \
      "An operation was attempted on a non-blocking socket that already had an operation in progress")                 \
    X(kWsaENotSock, 10038, "An operation was attempted on something that is not a socket")                             \
    X(kWsaEDestAddrReq, 10039, "A required address was omitted from an operation on a socket")                         \
    X(kWsaEMsgSize, 10040,                                                                                             \
      "A message sent on a datagram socket was larger than the internal message buffer or some other "                 \
      "network limit, or the buffer used to receive a datagram into was smaller than the datagram "                    \
      "itself")                                                                                                        \
    X(kWsaEProtoType, 10041,                                                                                           \
      "A protocol was specified in the socket function call that does not support the semantics of the "               \
      "socket type requested")                                                                                         \
    X(kWsaENoProtoOpt, 10042,                                                                                          \
      "An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt "               \
      "call")                                                                                                          \
    X(kWsaEProtoNoSupport, 10043,                                                                                      \
      "The requested protocol has not been configured into the system, or no implementation for it "                   \
      "exists")                                                                                                        \
    X(kWsaESocktNoSupport, 10044, "The support for the specified socket type does not exist in this address family")   \
    X(kWsaEOpNotSupp, 10045, "The attempted operation is not supported for the type of object referenced")             \
    X(kWsaEPfNoSupport, 10046,                                                                                         \
      "The protocol family has not been configured into the system or no implementation for it exists")                \
    X(kWsaEAfNoSupport, 10047, "An address incompatible with the requested protocol was used")                         \
    X(kWsaEAddrInUse, 10048,                                                                                           \
      "Only one usage of each socket address (protocol/network address/port) is normally permitted")                   \
    X(kWsaEAddrNotAvail, 10049, "The requested address is not valid in its context")                                   \
    X(kWsaENetDown, 10050, "A socket operation encountered a dead network")                                            \
    X(kWsaENetUnreach, 10051, "A socket operation was attempted to an unreachable network")                            \
    X(kWsaENetReset, 10052,                                                                                            \
      "The connection has been broken due to keep-alive activity detecting a failure while the "                       \
      "operation was in progress")                                                                                     \
    X(kWsaEConnAborted, 10053, "An established connection was aborted by the software in your host machine")           \
    X(kWsaEConnReset, 10054, "An existing connection was forcibly closed by the remote host")                          \
    X(kWsaENoBufs, 10055,                                                                                              \
      "An operation on a socket could not be performed because the system lacked sufficient buffer "                   \
      "space or because a queue was full")                                                                             \
    X(kWsaEIsConn, 10056, "A connect request was made on an already connected socket")                                 \
    X(kWsaENotConn, 10057,                                                                                             \
      "A request to send or receive data was disallowed because the socket is not connected and (when "                \
      "sending on a datagram socket using a sendto call) no address was supplied")                                     \
    X(kWsaEShutdown, 10058,                                                                                            \
      "A request to send or receive data was disallowed because the socket had already been shut down "                \
      "in that direction with a previous shutdown call")                                                               \
    X(kWsaETooManyRefs, 10059, "Too many references to some kernel object")                                            \
    X(kWsaETimedOut, 10060,                                                                                            \
      "A connection attempt failed because the connected party did not properly respond after a period "               \
      "of time, or established connection failed because connected host has failed to respond")                        \
    X(kWsaEConnRefused, 10061, "No connection could be made because the target machine actively refused it")           \
    X(kWsaELoop, 10062, "Cannot translate name")                                                                       \
    X(kWsaENameTooLong, 10063, "Name component or name was too long")                                                  \
    X(kWsaEHostDown, 10064, "A socket operation failed because the destination host was down")                         \
    X(kWsaEHostUnreach, 10065, "A socket operation was attempted to an unreachable host")                              \
    X(kWsaENotEmpty, 10066, "Cannot remove a directory that is not empty")                                             \
    X(kWsaEProcLim, 10067,                                                                                             \
      "A Windows Sockets implementation may have a limit on the number of applications that may use it "               \
      "simultaneously")                                                                                                \
    X(kWsaEUsers, 10068, "Ran out of quota")                                                                           \
    X(kWsaEDQuot, 10069, "Ran out of disk quota")                                                                      \
    X(kWsaEStale, 10070, "File handle reference is no longer available")                                               \
    X(kWsaERemote, 10071, "Item is not available locally")                                                             \
    X(kWsaSysNotReady, 10091,                                                                                          \
      "WSAStartup cannot function at this time because the underlying system it uses to provide network "              \
      "services is currently unavailable")                                                                             \
    X(kWsaVerNotSupported, 10092, "The Windows Sockets version requested is not supported")                            \
    X(kWsaNotInitialised, 10093, "Either the application has not called WSAStartup, or WSAStartup failed")             \
    X(kWsaEDiscon, 10101,                                                                                              \
      "Returned by WSARecv or WSARecvFrom to indicate the remote party has initiated a graceful "                      \
      "shutdown sequence")                                                                                             \
    X(kWsaENoMore, 10102, "No more results can be returned by WSALookupServiceNext")                                   \
    X(kWsaECancelled, 10103,                                                                                           \
      "A call to WSALookupServiceEnd was made while this call was still processing. The call has been "                \
      "canceled")                                                                                                      \
    X(kWsaEInvalidProcTable, 10104, "The procedure call table is invalid")                                             \
    X(kWsaEInvalidProvider, 10105, "The requested service provider is invalid")                                        \
    X(kWsaEProviderFailedInit, 10106, "The requested service provider could not be loaded or initialized")             \
    X(kWsaSysCallFailure, 10107, "A system call that should never fail has failed")                                    \
    X(kWsaServiceNotFound, 10108, "No such service is known. The service cannot be found in the specified name space") \
    X(kWsaTypeNotFound, 10109, "The specified class was not found")                                                    \
    X(kWsaNoMoreResults, 10110, "No more results can be returned by WSALookupServiceNext")                             \
    X(kWsaCallCancelled, 10111,                                                                                        \
      "A call to WSALookupServiceEnd was made while this call was still processing. The call has been "                \
      "canceled")                                                                                                      \
    X(kWsaERefused, 10112, "A database query failed because it was actively refused")                                  \
    X(kWsaHostNotFound, 11001, "No such host is known")                                                                \
    X(kWsaTryAgain, 11002,                                                                                             \
      "This is usually a temporary error during hostname resolution and means that the local server did "              \
      "not receive a response from an authoritative server")                                                           \
    X(kWsaNoRecovery, 11003, "A non-recoverable error occurred during a database lookup")                              \
    X(kWsaNoData, 11004, "The requested name is valid, but no data of the requested type was found")

namespace platform {

#define VBX_ERROR_CONSTANT(name, number, text) inline constexpr std::uint32_t name = number;
VBX_SYSTEM_ERRORS(VBX_ERROR_CONSTANT)
#undef VBX_ERROR_CONSTANT

}  // namespace platform

namespace platform::net {

// The socket calls speak int, as Windows Sockets does.
#define VBX_ERROR_CONSTANT(name, number, text) inline constexpr int name = number;
VBX_SOCKET_ERRORS(VBX_ERROR_CONSTANT)
#undef VBX_ERROR_CONSTANT

}  // namespace platform::net
