#include "common/platform/datagram_batch.h"

#include <cerrno>

namespace connchk::platform {

ReceivedBatch::ReceivedBatch(std::size_t bufferSize, std::size_t capacity)
    : bufferSize_(bufferSize),
      buffers_(std::make_unique_for_overwrite<std::uint8_t[]>(bufferSize * capacity)),
      slots_(capacity),
      sources_(capacity),
      controls_(ControlBytes * capacity),
      parts_(capacity),
      messages_(capacity) {
  for (std::size_t i = 0; i < capacity; ++i) {
    slots_[i].bytes = buffers_.get() + i * bufferSize;
    parts_[i] = iovec{slots_[i].bytes, bufferSize};
  }
}

std::size_t ReceivedBatch::receive(int fd, int& error) {
  count_ = 0;
  error = 0;
  // The control parts hold cmsghdr structures: each starts aligned as the buffer's start is.
  static_assert(ControlBytes % alignof(cmsghdr) == 0);
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    msghdr& m = messages_[i].msg_hdr;
    m = msghdr{};
    m.msg_name = &sources_[i];
    m.msg_namelen = sizeof(sockaddr_storage);
    m.msg_iov = &parts_[i];
    m.msg_iovlen = 1;
    m.msg_control = controls_.data() + i * ControlBytes;
    m.msg_controllen = ControlBytes;
    messages_[i].msg_len = 0;
  }
  int n;
  do {
    n = ::recvmmsg(fd, messages_.data(), static_cast<unsigned>(messages_.size()), MSG_DONTWAIT, nullptr);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    error = n < 0 ? errno : EAGAIN;
    return 0;
  }
  count_ = static_cast<std::size_t>(n);
  for (std::size_t i = 0; i < count_; ++i) {
    Datagram& d = slots_[i];
    msghdr& m = messages_[i].msg_hdr;
    d.error = (m.msg_flags & MSG_TRUNC) ? EMSGSIZE : 0;
    d.length = d.error != 0 ? 0 : messages_[i].msg_len;
    readMarks(m, d.marks);
    d.to = arrivalAddress(m);
    if (auto sender = Address::fromSockaddr(reinterpret_cast<const sockaddr*>(&sources_[i]), m.msg_namelen)) {
      d.from = *sender;
    }
  }
  return count_;
}

SendBatch::SendBatch(std::size_t capacity)
    : destinations_(capacity), controls_(capacity), parts_(capacity), messages_(capacity), results_(capacity) {}

std::size_t SendBatch::add(const void* data, std::size_t length, const Address& to, const std::optional<Address>& from) {
  if (count_ == messages_.size()) {
    const std::size_t more = messages_.size() * 2;
    destinations_.resize(more);
    controls_.resize(more);
    parts_.resize(more);
    messages_.resize(more);
    results_.resize(more);
  }
  const std::size_t i = count_++;
  parts_[i] = iovec{const_cast<void*>(data), length};
  msghdr& m = messages_[i].msg_hdr;
  m = msghdr{};
  m.msg_namelen = to.toSockaddr(destinations_[i]);
  m.msg_controllen = from ? sourceControl(*from, controls_[i].bytes) : 0;
  return i;
}

void SendBatch::send(int fd) {
  // The pointers into the vectors are set here, once they no longer grow.
  for (std::size_t i = 0; i < count_; ++i) {
    messages_[i].msg_hdr.msg_name = &destinations_[i];
    messages_[i].msg_hdr.msg_iov = &parts_[i];
    messages_[i].msg_hdr.msg_iovlen = 1;
    messages_[i].msg_hdr.msg_control = messages_[i].msg_hdr.msg_controllen != 0 ? controls_[i].bytes : nullptr;
    messages_[i].msg_len = 0;
  }
  std::size_t done = 0;
  while (done < count_) {
    const int n = ::sendmmsg(fd, messages_.data() + done, static_cast<unsigned>(count_ - done), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // The first of the rest failed: that is its own result, and the others are sent after it.
      results_[done++] = IoResult{-1, n < 0 ? errno : EIO};
      continue;
    }
    for (int k = 0; k < n; ++k, ++done) results_[done] = IoResult{static_cast<ssize_t>(messages_[done].msg_len), 0};
  }
}

}  // namespace connchk::platform
