#include "common/platform/datagram_batch.h"

#include <netinet/udp.h>

#include <cerrno>
#include <cstring>

namespace connchk::platform {

namespace {
constexpr std::size_t SegmentSizeBytes = CMSG_SPACE(sizeof(std::uint16_t));
constexpr std::size_t SegmentControlBytes = SegmentSizeBytes + ArrivalAddressControlBytes;
// What a send says when the system or the way out cannot segment: no checksum offload on the way,
// a kernel without UDP_SEGMENT.
bool cannotSegment(int error) { return error == EIO || error == EINVAL || error == EOPNOTSUPP || error == ENOPROTOOPT; }
}  // namespace

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

Result<std::size_t> ReceivedBatch::receive(int fd) {
  count_ = 0;
  // The control parts hold cmsghdr structures: each starts aligned as the buffer's start is.
  static_assert(ControlBytes % alignof(cmsghdr) == 0);
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    messages_[i].msg_hdr =
        messageOf(&sources_[i], sizeof(sockaddr_storage), &parts_[i], 1, controls_.data() + i * ControlBytes, ControlBytes);
    messages_[i].msg_len = 0;
  }
  int n;
  do {
    n = ::recvmmsg(fd, messages_.data(), static_cast<unsigned>(messages_.size()), MSG_DONTWAIT, nullptr);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return lastError("recvmmsg");
  if (n == 0) return Error{"recvmmsg", EAGAIN, {}};
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

SendBatch::SendBatch(std::size_t capacity, Grouping grouping)
    : destinations_(capacity),
      destinationLengths_(capacity),
      sources_(capacity),
      parts_(capacity),
      messages_(capacity),
      groupFirst_(capacity),
      groupSize_(capacity),
      controls_(capacity * SegmentControlBytes),
      failures_(capacity),
      segmenting_(grouping == Grouping::Udp) {}

std::size_t SendBatch::add(const void* data, std::size_t length, const Address& to, const std::optional<Address>& from) {
  if (count_ == parts_.size()) {
    const std::size_t more = parts_.size() * 2;
    destinations_.resize(more);
    destinationLengths_.resize(more);
    sources_.resize(more);
    parts_.resize(more);
    messages_.resize(more);
    groupFirst_.resize(more);
    groupSize_.resize(more);
    controls_.resize(more * SegmentControlBytes);
    failures_.resize(more);
  }
  const std::size_t i = count_++;
  parts_[i] = iovec{const_cast<void*>(data), length};
  destinationLengths_[i] = to.toSockaddr(destinations_[i]);
  sources_[i] = from;
  return i;
}

bool SendBatch::sameDestination(std::size_t a, std::size_t b) const {
  return destinationLengths_[a] == destinationLengths_[b] &&
         std::memcmp(&destinations_[a], &destinations_[b], destinationLengths_[a]) == 0 && sources_[a] == sources_[b];
}

std::size_t SendBatch::writeControl(std::uint8_t* control, std::uint16_t segment, std::size_t i) const {
  std::size_t used = segment != 0 ? putControlMessage(control, SOL_UDP, UDP_SEGMENT, &segment, sizeof segment) : 0;
  if (sources_[i]) used += sourceControl(*sources_[i], control + used);
  return used;
}

void SendBatch::send(int fd) {
  // The pointers into the vectors are set here, once they no longer grow.
  std::size_t groups = 0;
  for (std::size_t i = 0; i < count_; ++groups) {
    const std::size_t n =
        segmenting_ ? groupAt(parts_, i, count_, [this](std::size_t a, std::size_t b) { return sameDestination(a, b); }) : 1;
    std::uint8_t* control = controls_.data() + groups * SegmentControlBytes;
    const std::size_t controlLength = writeControl(control, n > 1 ? static_cast<std::uint16_t>(parts_[i].iov_len) : 0, i);
    messages_[groups].msg_hdr = messageOf(&destinations_[i], destinationLengths_[i], &parts_[i], n, control, controlLength);
    messages_[groups].msg_len = 0;
    groupFirst_[groups] = i;
    groupSize_[groups] = n;
    i += n;
  }
  sendGroups(fd, groups);
}

void SendBatch::sendGroups(int fd, std::size_t groups) {
  std::size_t done = 0;
  while (done < groups) {
    const int n = ::sendmmsg(fd, messages_.data() + done, static_cast<unsigned>(groups - done), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // The first of the rest failed: that is its result, and the others are sent after it.
      const Failure failure{n < 0 ? errno : EIO, "sendmmsg"};
      const std::size_t first = groupFirst_[done], size = groupSize_[done];
      if (size > 1 && cannotSegment(failure.code)) {
        segmenting_ = false;
        for (std::size_t k = first; k < first + size; ++k) failures_[k] = sendAlone(fd, k);
      } else {
        for (std::size_t k = first; k < first + size; ++k) failures_[k] = failure;
      }
      ++done;
      continue;
    }
    for (int k = 0; k < n; ++k, ++done) {
      const std::size_t first = groupFirst_[done], size = groupSize_[done];
      for (std::size_t j = first; j < first + size; ++j) failures_[j] = Failure{};
    }
  }
}

SendBatch::Failure SendBatch::sendAlone(int fd, std::size_t i) {
  alignas(cmsghdr) std::uint8_t control[SegmentControlBytes];
  const std::size_t controlLength = writeControl(control, 0, i);
  msghdr m = messageOf(&destinations_[i], destinationLengths_[i], &parts_[i], 1, control, controlLength);
  ssize_t n;
  do {
    n = ::sendmsg(fd, &m, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? Failure{errno, "sendmsg"} : Failure{};
}

}  // namespace connchk::platform
