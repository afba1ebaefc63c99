// IPv4 sockets as both programs use them. Every failing call reports the errno value read right
// after it, so that the code logged is that of the call that failed.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

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

// The result of one send or receive: n bytes, or n == -1 with the call's errno in `error`.
struct IoResult {
  ssize_t n = -1;
  int error = 0;
  bool failed() const { return n < 0; }
};

// Opens an IPv4 socket (SOCK_DGRAM, SOCK_STREAM or SOCK_RAW with `protocol`).
// On failure the socket is invalid and `error` holds the code.
Socket openSocket(int type, int protocol, int& error);

bool setReceiveTimeout(int fd, int ms, int& error);

// True for the error a receive reports when its time-out ran out, and for "nothing there now".
bool isTimeout(int error);

// Lets a listening socket bind its port while connections of an earlier run linger (TIME_WAIT).
bool setReuseAddress(int fd, int& error);

bool setNonBlocking(int fd, int& error);

// Probes a connection that has been quiet for `idleS` seconds every `intervalS` seconds, and gives
// it up after `count` unanswered probes; data that stays unacknowledged that long ends it too.
// A peer that vanished without a word is thus found within idleS + intervalS * count seconds.
bool setKeepAlive(int fd, int idleS, int intervalS, int count, int& error);

// Caps what the kernel holds for the socket's unsent data (and so what a peer that takes
// nothing can make it hold).
bool setSendBuffer(int fd, int bytes, int& error);

// Same address and port.
bool sameEndpoint(const sockaddr_in& a, const sockaddr_in& b);

sockaddr_in ipv4Address(std::uint32_t addressNetworkOrder, std::uint16_t port);
inline sockaddr_in anyAddress(std::uint16_t port) { return ipv4Address(htonl(INADDR_ANY), port); }

bool bindTo(int fd, const sockaddr_in& address, int& error);
bool connectTo(int fd, const sockaddr_in& address, int& error);

// A dotted IPv4 address is taken as it is; any other text is looked up as a host name and the
// first IPv4 result is taken. The port of the result is 0.
std::optional<sockaddr_in> resolveIPv4(const std::string& text);

std::string dotted(const sockaddr_in& address);
std::string dotted(std::uint32_t addressNetworkOrder);

// The local port a socket is bound to (host order), 0 when it cannot be read.
std::uint16_t localPort(int fd);

// Whether a send or receive may wait: Now fails at once with EAGAIN (isTimeout) where it would.
enum class Wait { Block, Now };

// Sends never raise SIGPIPE; a closed peer shows as an EPIPE failure.
IoResult sendBytes(int fd, const void* data, std::size_t length, Wait wait = Wait::Block);
IoResult sendTo(int fd, const void* data, std::size_t length, const sockaddr_in& to);

// One receive of at most `capacity` bytes.
IoResult receive(int fd, void* buffer, std::size_t capacity, Wait wait = Wait::Block);

// One datagram with its source. A datagram longer than `capacity` is not cut short: the receive
// fails with EMSGSIZE, as it would on a system that refuses oversized messages.
IoResult receiveFrom(int fd, void* buffer, std::size_t capacity, sockaddr_in& from, Wait wait = Wait::Block);

bool listenOn(int fd, int backlog, int& error);

// Takes the next connection from a listening socket with the peer's address; on failure the
// socket is invalid and `error` holds the code. With Wait::Now the connection's own sends and
// receives never wait either.
Socket acceptFrom(int fd, sockaddr_in& peer, int& error, Wait wait = Wait::Block);

}  // namespace connchk::platform
