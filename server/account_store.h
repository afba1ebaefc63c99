// The server's account of what it received: for the newest requests of every service, what each
// looked like on arrival (its identity, the service, the source as seen, TTL and TOS, size, time).
// A client that names a request by its identity (its 8 send-time bytes) learns whether it came.
// Bounded: a ring of the newest 65,536 requests. It tells a host only about requests that came
// from that very host, so an identity known to someone else reveals nothing to them.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "common/platform/address.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"

namespace connchk::server {

// A request a service accepted, as its account keeps it.
struct Arrived {
  std::uint64_t identity = 0;
  AccountService service = AccountService::None;
  std::uint8_t protocol = 0;
  platform::ArrivalMarks marks;
};

class AccountStore {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t Capacity = 65536;

  // Keeps one request; the oldest gives way once the ring is full.
  void record(const Arrived& arrived, const platform::Address& source, std::size_t size,
              Clock::time_point at = Clock::now());

  // For each identity: the newest request with it that came from `asker`'s host, or "not
  // arrived" (so a request from any other host is never told).
  std::vector<RequestArrival> lookUp(std::span<const std::uint64_t> identities, const platform::Address& asker,
                                     Clock::time_point now = Clock::now()) const;

  std::size_t size() const;

  // The one the services share unless they are given another.
  static AccountStore& process();

 private:
  struct Entry {
    std::uint64_t identity = 0;
    std::array<std::uint8_t, 16> address{};
    bool ipv6 = false;
    std::uint16_t port = 0;
    std::uint16_t size = 0;
    AccountService service = AccountService::None;
    std::uint8_t protocol = 0;
    std::int16_t ttl = -1;
    std::int16_t tos = -1;
    Clock::time_point at{};
  };

  // The newest ring position of each identity: open addressing with linear probing over twice
  // as many slots as the ring holds, so that a request costs no allocation. A slot holds the
  // identity and the position + 1 (0 when empty), so that a search reads the index alone.
  static constexpr std::size_t IndexSlots = 2 * Capacity;
  struct Slot {
    std::uint64_t identity = 0;
    std::uint32_t position = 0;
  };
  static std::size_t slotFor(std::uint64_t identity);
  // The slot that holds `identity`, or the empty slot where it would go.
  std::size_t find(std::uint64_t identity) const;
  void eraseSlot(std::size_t slot);

  mutable std::mutex mutex_;
  std::vector<Entry> ring_;  // grows to Capacity, then wraps
  std::size_t next_ = 0;
  std::vector<Slot> index_ = std::vector<Slot>(IndexSlots);
};

// How often one source may ask over UDP, where its address may be forged: a bucket of 10 queries
// that refills at 5 a second. Sources share 4096 buckets by a hash of their host address, so the
// memory stays fixed whatever a flood of forged sources does (two sources in one bucket only
// share its allowance).
class QueryRateLimit {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int Burst = 10;
  static constexpr int PerSecond = 5;
  static constexpr std::size_t Buckets = 4096;

  // True when a query from `source` may be answered now (and takes one from its bucket).
  bool allow(const platform::Address& source, Clock::time_point now = Clock::now());
  // True at most once a second: whether a refused query may have its line in the log.
  bool mayTellRefusal(Clock::time_point now = Clock::now());

 private:
  struct Bucket {
    double tokens = Burst;
    Clock::time_point refilled{};
    bool used = false;
  };
  std::mutex mutex_;
  std::array<Bucket, Buckets> buckets_{};
  Clock::time_point lastTold_{};
  bool told_ = false;
};

}  // namespace connchk::server
