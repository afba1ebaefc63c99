// Socket ownership, options and the calls that need no address, for sockets of either family
// (those that take an address are in sockets.h). Every failing call reports the errno value read
// right after it, so that the code logged is that of the call that failed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "common/platform/result.h"

namespace connchk::platform {

// Owns one socket descriptor and closes it.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() { close(); }
  Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void close();

 private:
  int fd_ = -1;
};

Status setReceiveTimeout(int fd, int ms);

// Lets a listening socket bind its port while connections of an earlier run linger (TIME_WAIT).
Status setReuseAddress(int fd);

Status setNonBlocking(int fd);

// Probes a connection that has been quiet for `idleS` seconds every `intervalS` seconds, and gives
// it up after `count` unanswered probes; data that stays unacknowledged that long ends it too.
// A peer that vanished without a word is thus found within idleS + intervalS * count seconds.
Status setKeepAlive(int fd, int idleS, int intervalS, int count);

// Caps what the kernel holds for the socket's unsent data (and so what a peer that takes
// nothing can make it hold).
Status setSendBuffer(int fd, int bytes);
// Lets the socket's unsent data reach `bytes`, past the system's usual cap where the program has
// the right (CAP_NET_ADMIN), up to that cap otherwise.
void raiseSendBuffer(int fd, int bytes);

// The local port a socket of either family is bound to (host order), 0 when it cannot be read.
std::uint16_t localPort(int fd);

// Whether a send or receive may wait: Now fails at once with EAGAIN (timedOut()) where it would.
enum class Wait { Block, Now };

// A send or receive gives the bytes it moved, or the error of its call.
// Sends never raise SIGPIPE; a closed peer shows as an EPIPE failure.
Result<std::size_t> sendBytes(int fd, const void* data, std::size_t length, Wait wait = Wait::Block);

// One receive of at most `capacity` bytes; 0 when a stream's peer has closed.
Result<std::size_t> receive(int fd, void* buffer, std::size_t capacity, Wait wait = Wait::Block);

Status listenOn(int fd, int backlog);

// The TTL (IPv6: hop limit) a socket's packets leave with, -1 when it cannot be read.
int outgoingTtl(int fd, bool ipv6);

}  // namespace connchk::platform
