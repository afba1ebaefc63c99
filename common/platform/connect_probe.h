// Whether something accepts a stream connection, without sending anything: how a program finds
// out, before it opens a window, whether the X server that DISPLAY names is there.
#pragma once

#include <cstdint>
#include <string>

namespace connchk::platform {

// A listener on the local stream socket `path`: in the abstract namespace first, then in the file
// system (as X clients look for their server's socket).
bool localSocketAccepts(const std::string& path);

// A listener on TCP `port` of any address `host` resolves to (either family), each address tried
// for at most `ms`.
bool tcpPortAccepts(const std::string& host, std::uint16_t port, int ms);

}  // namespace connchk::platform
