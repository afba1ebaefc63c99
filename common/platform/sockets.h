// The socket calls that take an Address, for sockets of either family. Like the calls of net.h
// beside them, every failing call reports the errno value read right after it.
#pragma once

#include <cstddef>
#include <optional>

#include "common/platform/address.h"
#include "common/platform/net.h"
#include "common/platform/receive_time.h"

namespace connchk::platform {

// Opens a socket of `family` (SOCK_DGRAM, SOCK_STREAM or SOCK_RAW with `protocol`). A host with no
// IPv6 fails an IPv6 one with EAFNOSUPPORT.
Result<Socket> openSocket(Family family, int type, int protocol);

// A socket for a service that serves both families: IPv6 with IPV6_V6ONLY off, so that bound to
// :: it also takes IPv4 peers (as mapped addresses), or IPv4 where the host has no IPv6 at all.
// The socket's `family` says which it is.
struct DualStackSocket {
  Socket socket;
  Family family = Family::IPv6;
};
Result<DualStackSocket> openDualStackSocket(int type);

// IPV6_V6ONLY. With `only` false an IPv6 socket bound to :: also serves IPv4 peers, which it
// reports as mapped addresses (Address::isMapped). Raw sockets stay of one family whatever this says.
Status setIPv6Only(int fd, bool only);

// The address is passed in the form it came in (Address::toSockaddr): an IPv4 address read from a
// dual-stack socket goes back to that socket mapped. On a raw IPv6 socket the port must be 0 or
// the socket's protocol number.
Status bindTo(int fd, const Address& address);
Status connectTo(int fd, const Address& address);
// With Wait::Now a send that would wait for room in the socket's buffer fails with EAGAIN instead.
Result<std::size_t> sendTo(int fd, const void* data, std::size_t length, const Address& to, Wait wait = Wait::Block);

// One datagram with its source. A datagram longer than `capacity` is not cut short: the receive
// fails with EMSGSIZE, as it would on a system that refuses oversized messages. `from` is left as
// it was when the call fails.
Result<std::size_t> receiveFrom(int fd, void* buffer, std::size_t capacity, Address& from, Wait wait = Wait::Block);

// The TTL (IPv6: hop limit) and TOS (IPv6: traffic class) byte a packet arrived with; -1 where the
// system did not tell.
struct ArrivalMarks {
  int ttl = -1;
  int tos = -1;
};
// Asks the system to hand a datagram socket's (or a raw IPv6 socket's) arrival marks over with
// every datagram: IP_RECVTTL and IP_RECVTOS, and for an IPv6 socket also IPV6_RECVHOPLIMIT and
// IPV6_RECVTCLASS (a dual-stack socket gets IPv4 peers' marks through the former).
void askForArrivalMarks(int fd, Family family);
// The marks handed over with a received message (its control part), -1s where none came.
void readMarks(msghdr& message, ArrivalMarks& marks);

// A host with several addresses must answer from the one a request came to: a peer that talks to
// one address of ours (a connected UDP socket, a firewall keeping state, a NAT) takes nothing from
// another. askForArrivalAddress has the system hand over, with every datagram, the local address
// it came to (IP_PKTINFO, IPV6_RECVPKTINFO); arrivalAddress reads it from a received message's
// control part: nullopt where none came or for a multicast one, which no answer may leave from.
void askForArrivalAddress(int fd, Family family);
std::optional<Address> arrivalAddress(msghdr& message);
// Control bytes that make a send leave from `from` (IP_PKTINFO or IPV6_PKTINFO, by its family);
// `control` must hold ArrivalAddressControlBytes. Returns the bytes used.
inline constexpr std::size_t ArrivalAddressControlBytes = 64;
// The message header of a sendmsg or recvmsg over `count` parts, with its address and its control
// part (left out when `controlLength` is 0).
inline msghdr messageOf(void* address, socklen_t addressLength, iovec* parts, std::size_t count, void* control,
                        std::size_t controlLength) {
  msghdr m{};
  m.msg_name = address;
  m.msg_namelen = addressLength;
  m.msg_iov = parts;
  m.msg_iovlen = count;
  m.msg_control = controlLength != 0 ? control : nullptr;
  m.msg_controllen = controlLength;
  return m;
}
// Writes one control message at `at` (aligned as cmsghdr, with CMSG_SPACE(size) bytes of room);
// returns the bytes it takes.
std::size_t putControlMessage(unsigned char* at, int level, int type, const void* data, std::size_t size);
std::size_t sourceControl(const Address& from, unsigned char* control);
// sendTo that leaves from `from` where it is given (see askForArrivalAddress).
Result<std::size_t> sendFrom(int fd, const void* data, std::size_t length, const Address& to,
                             const std::optional<Address>& from, Wait wait = Wait::Block);
// receiveFrom that also reads the marks handed over with the datagram into `marks`, and where
// `arrivedAt` is given the local address it came to (askForArrivalAddress).
Result<std::size_t> receiveFrom(int fd, void* buffer, std::size_t capacity, Address& from, Wait wait,
                                ArrivalMarks& marks, std::optional<Address>* arrivedAt = nullptr);
// receiveFrom that also tells when the datagram came: `time` holds the kernel's stamp where the
// socket asked for one (askForReceiveStamps) and it came, and the time the receive returned.
Result<std::size_t> receiveFrom(int fd, void* buffer, std::size_t capacity, Address& from, Wait wait,
                                ReceiveTime& time);
// One receive of a stream, with the same `time`. The stamp is that of the last segment the
// receive read from: for a read that ends where the peer's message ends, its last piece.
Result<std::size_t> receive(int fd, void* buffer, std::size_t capacity, Wait wait, ReceiveTime& time);

// Sets the TOS byte (IPv6: traffic class) of what the socket sends; for IPv6 both, so that IPv4
// peers of a dual-stack socket get it too.
Status setTrafficClass(int fd, Family family, int tos);

// TCP has no marks per segment; Linux can keep each connection's SYN (TCP_SAVE_SYN on the
// listening socket), whose IP header tells the TTL and TOS the connection's first packet came with.
void keepSyns(int listeningFd);
// The marks of an accepted connection's SYN, once; -1s where none was kept.
ArrivalMarks synMarks(int connectionFd);
// The marks in an IPv4 or IPv6 header at the front of `header` (its version nibble says which).
ArrivalMarks headerMarks(const std::uint8_t* header, std::size_t length);

// The next connection of a listening socket, with the peer's address in `peer`. With Wait::Now the
// connection's own sends and receives never wait either.
Result<Socket> acceptFrom(int fd, Address& peer, Wait wait = Wait::Block);

// The address a socket is bound to (with its port); nullopt when it cannot be read.
// localPort() of net.h reads the port of either family.
std::optional<Address> localAddress(int fd);

// The segments a TCP connection has sent again so far (its SYN included); -1 when not told.
int tcpRetransmissions(int fd);

}  // namespace connchk::platform
