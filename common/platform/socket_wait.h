// Waiting on a socket without blocking past a deadline: the client's sockets are non-blocking, and
// every wait for an answer or a connection goes through poll with the time that is left.
#pragma once

#include <netinet/in.h>

#include <functional>

namespace connchk::platform {

// Puts a socket into non-blocking mode; false with the code in `error` when it cannot.
bool setNonBlocking(int fd, int& error);

enum class Readiness { Ready, TimedOut, Failed };

// Waits up to `ms` for `fd` to become readable (or to hold an error to report). Ready also for an
// error or a hang-up: the next receive tells which. Failed with the code in `error` when poll fails.
Readiness waitReadable(int fd, int ms, int& error);

// The same for room to send.
Readiness waitWritable(int fd, int ms, int& error);

enum class ConnectEnd { Connected, Failed, Stopped };

// Connects a non-blocking stream socket within `ms`, looking at `stopAsked` every `sliceMs` while
// the connection is pending. Failed carries the code of the refusal, or ETIMEDOUT past `ms`.
ConnectEnd connectWithin(int fd, const sockaddr_in& address, int ms, const std::function<bool()>& stopAsked,
                         int& error, int sliceMs = 50);

}  // namespace connchk::platform
