#include "server/account_store.h"

#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace connchk::server {

namespace {
// The host part of an address in its own family's form (a mapped IPv4 address as IPv4).
struct HostBytes {
  std::array<std::uint8_t, 16> bytes{};
  bool ipv6 = false;
  bool operator==(const HostBytes&) const = default;
};

HostBytes hostOf(const platform::Address& address) {
  HostBytes host;
  sockaddr_storage raw{};
  const platform::Address own = address.unmapped();
  own.toSockaddr(raw);
  if (own.family() == platform::Family::IPv6) {
    host.ipv6 = true;
    std::memcpy(host.bytes.data(), &reinterpret_cast<const sockaddr_in6&>(raw).sin6_addr, 16);
  } else {
    std::memcpy(host.bytes.data(), &reinterpret_cast<const sockaddr_in&>(raw).sin_addr, 4);
  }
  return host;
}
}  // namespace

AccountStore& AccountStore::process() {
  static AccountStore store;
  return store;
}

void AccountStore::record(const Arrived& arrived, const platform::Address& source, std::size_t size,
                          Clock::time_point at) {
  const HostBytes host = hostOf(source);
  Entry entry{arrived.identity,
              host.bytes,
              host.ipv6,
              source.port(),
              static_cast<std::uint16_t>(std::min<std::size_t>(size, 0xFFFF)),
              arrived.service,
              arrived.protocol,
              static_cast<std::int16_t>(arrived.marks.ttl),
              static_cast<std::int16_t>(arrived.marks.tos),
              at};
  std::lock_guard<std::mutex> hold(mutex_);
  std::size_t position;
  if (ring_.size() < Capacity) {
    position = ring_.size();
    ring_.push_back(entry);
  } else {
    position = next_;
    // The entry that gives way leaves the index, unless a newer one with its identity replaced it.
    const std::size_t old = find(ring_[position].identity);
    if (index_[old].position == position + 1) eraseSlot(old);
    ring_[position] = entry;
  }
  next_ = (position + 1) % Capacity;
  index_[find(entry.identity)] = Slot{entry.identity, static_cast<std::uint32_t>(position + 1)};
}

std::size_t AccountStore::slotFor(std::uint64_t identity) {
  return static_cast<std::size_t>((identity * 0x9E3779B97F4A7C15ull) >> 40) % IndexSlots;
}

std::size_t AccountStore::find(std::uint64_t identity) const {
  std::size_t slot = slotFor(identity);
  while (index_[slot].position != 0 && index_[slot].identity != identity) slot = (slot + 1) % IndexSlots;
  return slot;
}

// Linear probing's deletion: later slots of the same run move back where their search would
// otherwise stop at the hole.
void AccountStore::eraseSlot(std::size_t hole) {
  for (std::size_t next = (hole + 1) % IndexSlots; index_[next].position != 0; next = (next + 1) % IndexSlots) {
    const std::size_t home = slotFor(index_[next].identity);
    // The entry at `next` may fill the hole unless its home lies cyclically in (hole, next].
    const bool homeBetween = hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
    if (homeBetween) continue;
    index_[hole] = index_[next];
    hole = next;
  }
  index_[hole] = Slot{};
}

std::vector<RequestArrival> AccountStore::lookUp(std::span<const std::uint64_t> identities,
                                                 const platform::Address& asker, Clock::time_point now) const {
  const HostBytes host = hostOf(asker);
  std::vector<RequestArrival> told;
  std::lock_guard<std::mutex> hold(mutex_);
  for (const std::uint64_t identity : identities) {
    RequestArrival a;
    a.identity = identity;
    const std::uint32_t found = index_[find(identity)].position;
    if (found != 0) {
      const Entry& e = ring_[found - 1];
      if (e.ipv6 == host.ipv6 && e.address == host.bytes) {
        a.arrived = true;
        a.service = e.service;
        a.protocol = e.protocol;
        a.ttl = e.ttl;
        a.tos = e.tos;
        a.size = e.size;
        a.ipv6 = e.ipv6;
        a.address = e.address;
        a.port = e.port;
        const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(now - e.at).count();
        a.ageMs = static_cast<std::uint32_t>(std::clamp<std::int64_t>(age, 0, 0xFFFFFFFF));
      }
    }
    told.push_back(a);
  }
  return told;
}

std::size_t AccountStore::size() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return ring_.size();
}

bool QueryRateLimit::allow(const platform::Address& source, Clock::time_point now) {
  const std::size_t index = source.withPort(0).unmapped().hash() % Buckets;
  std::lock_guard<std::mutex> hold(mutex_);
  Bucket& b = buckets_[index];
  if (!b.used) {
    b.used = true;
    b.refilled = now;
  }
  const double seconds = std::chrono::duration<double>(now - b.refilled).count();
  b.tokens = std::min<double>(Burst, b.tokens + std::max(0.0, seconds) * PerSecond);
  b.refilled = now;
  if (b.tokens < 1.0) return false;
  b.tokens -= 1.0;
  return true;
}

bool QueryRateLimit::mayTellRefusal(Clock::time_point now) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (told_ && now - lastTold_ < std::chrono::seconds(1)) return false;
  told_ = true;
  lastTold_ = now;
  return true;
}

}  // namespace connchk::server
