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
  // waiting. Returns how many; 0 with `error` set when none was there (EAGAIN) or the receive
  // failed (its errno).
  std::size_t receive(int fd, int& error);

  std::size_t size() const { return count_; }
  std::size_t capacity() const { return slots_.size(); }
  std::size_t bufferSize() const { return bufferSize_; }
  Datagram& operator[](std::size_t i) { return slots_[i]; }

 private:
  static constexpr std::size_t ControlBytes = 192;
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
// a send of its own would have given (the bytes sent, or the errno of its failure).
class SendBatch {
 public:
  explicit SendBatch(std::size_t capacity = ReceivedBatch::DefaultCapacity);

  void clear() { count_ = 0; }
  // Adds one datagram, to leave from `from` where it is given (the address its request came to);
  // its bytes must stay in place until send(). Returns its index.
  std::size_t add(const void* data, std::size_t length, const Address& to,
                  const std::optional<Address>& from = std::nullopt);
  std::size_t size() const { return count_; }
  // Sends them all, in order.
  void send(int fd);
  const IoResult& result(std::size_t i) const { return results_[i]; }

 private:
  struct alignas(cmsghdr) Control {
    unsigned char bytes[ArrivalAddressControlBytes];
  };
  std::vector<sockaddr_storage> destinations_;
  std::vector<Control> controls_;
  std::vector<iovec> parts_;
  std::vector<mmsghdr> messages_;
  std::vector<IoResult> results_;
  std::size_t count_ = 0;
};

}  // namespace connchk::platform
