// Many datagrams in one system call each way (recvmmsg, sendmmsg): a service that finds several
// requests waiting takes them all at once and sends all their answers at once, so that a busy
// socket costs a few system calls per batch rather than two per request.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "common/platform/address.h"
#include "common/platform/net.h"
#include "common/platform/sockets.h"

namespace connchk::platform {

// Datagrams received together, each in a buffer of its own that the service may answer in place.
class ReceivedBatch {
 public:
  static constexpr std::size_t DefaultCapacity = 32;

  struct Datagram {
    std::uint8_t* bytes = nullptr;  // bufferSize bytes, kept from batch to batch
    std::size_t length = 0;
    Address from;
    ArrivalMarks marks;
    std::optional<Address> to;  // the local address it came to, where asked for (askForArrivalAddress)
    // Not 0 when this datagram could not be taken: EMSGSIZE for one longer than the buffer (as
    // receiveFrom reports it); `length` and `from` then say nothing.
    int error = 0;
  };

  explicit ReceivedBatch(std::size_t bufferSize, std::size_t capacity = DefaultCapacity);
  ReceivedBatch(const ReceivedBatch&) = delete;
  ReceivedBatch& operator=(const ReceivedBatch&) = delete;

  // Takes what waits on `fd` now, in arrival order, at most capacity() datagrams, without
  // waiting. Returns how many (at least one), or the error: timedOut() when none was there.
  Result<std::size_t> receive(int fd);

  std::size_t size() const { return count_; }
  std::size_t capacity() const { return slots_.size(); }
  std::size_t bufferSize() const { return bufferSize_; }
  Datagram& operator[](std::size_t i) { return slots_[i]; }

 private:
  static constexpr std::size_t ControlBytes = 128;
  std::size_t bufferSize_;
  // Not cleared when made: a large buffer's pages are taken only as datagrams fill them.
  std::unique_ptr<std::uint8_t[]> buffers_;
  std::vector<Datagram> slots_;
  std::vector<sockaddr_storage> sources_;
  std::vector<std::uint8_t> controls_;
  std::vector<iovec> parts_;
  std::vector<mmsghdr> messages_;
  std::size_t count_ = 0;
};

// Answers sent together, each to its own address, never waiting for room: each gets the result
// a send of its own would have given (the bytes sent, or the error of its failure).
//
// On a UDP socket (Grouping::Udp), consecutive answers of one size to one address (a busy
// client's) go as one segmented send (UDP_SEGMENT): the kernel cuts it into the very same
// datagrams, and wakes the receiver once for them rather than once each, which over loopback
// spares the sender a preemption per answer. Such a group shares one result. Where the system
// or the way out cannot segment, the group's answers go one by one, and from then on all do.
class SendBatch {
 public:
  enum class Grouping { None, Udp };
  explicit SendBatch(std::size_t capacity = ReceivedBatch::DefaultCapacity, Grouping grouping = Grouping::None);

  void clear() { count_ = 0; }
  // Adds one datagram, to leave from `from` where it is given (the address its request came to);
  // its bytes must stay in place until send(). Returns its index.
  std::size_t add(const void* data, std::size_t length, const Address& to,
                  const std::optional<Address>& from = std::nullopt);
  std::size_t size() const { return count_; }
  // Sends them all, in order.
  void send(int fd);
  // What answer i's send gave: its length, or the error of the call that failed to send it.
  Result<std::size_t> result(std::size_t i) const {
    if (failures_[i].code == 0) return parts_[i].iov_len;
    return Error{failures_[i].call, failures_[i].code, {}};
  }

  // The answers of one group at most, and the group's bytes at most (the kernel's bounds); an
  // answer longer than LongestSegment goes alone, since a segment must fit the way's MTU (1200:
  // below any IPv6 path's).
  static constexpr std::size_t MostSegments = 64;
  static constexpr std::size_t MostGroupBytes = 60000;
  static constexpr std::size_t LongestSegment = 1200;
  // Where answers [from, from + n) start a group: n such that they may go as one send (pure;
  // `lengths` and `sameAddress(i, j)` describe the batch).
  template <class SameAddress>
  static std::size_t groupAt(const std::vector<iovec>& parts, std::size_t from, std::size_t count, SameAddress sameAddress);

 private:
  // How one answer's send ended: code 0 when it went, else the errno of `call`.
  struct Failure {
    int code = 0;
    const char* call = "";
  };
  // Sends messages_[0, n) (groups), spreading each group's result over its answers.
  void sendGroups(int fd, std::size_t n);
  Failure sendAlone(int fd, std::size_t i);
  bool sameDestination(std::size_t a, std::size_t b) const;
  // Writes the control part of a send of `segment`-byte segments (0: one datagram) leaving from
  // answer i's source, where it has one; returns its length.
  std::size_t writeControl(std::uint8_t* control, std::uint16_t segment, std::size_t i) const;

  std::vector<sockaddr_storage> destinations_;
  std::vector<socklen_t> destinationLengths_;
  std::vector<std::optional<Address>> sources_;
  std::vector<iovec> parts_;
  std::vector<mmsghdr> messages_;      // one per group
  std::vector<std::size_t> groupFirst_;  // the first answer of each group
  std::vector<std::size_t> groupSize_;
  std::vector<std::uint8_t> controls_;  // a segment size for each group of more than one, a source
  std::vector<Failure> failures_;
  std::size_t count_ = 0;
  bool segmenting_;
};

template <class SameAddress>
std::size_t SendBatch::groupAt(const std::vector<iovec>& parts, std::size_t from, std::size_t count, SameAddress sameAddress) {
  const std::size_t size = parts[from].iov_len;
  std::size_t n = 1;
  while (from + n < count && n < MostSegments && size > 0 && size <= LongestSegment && parts[from + n].iov_len == size &&
         (n + 1) * size <= MostGroupBytes && sameAddress(from, from + n)) {
    ++n;
  }
  return n;
}

}  // namespace connchk::platform
