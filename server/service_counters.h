// What each of the fifteen services has done since start-up, for the window's table and the
// metrics endpoint. Services only add; readers take a snapshot at any time without a lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/protocol_types.h"

namespace connchk::server {

// The fifteen services in start-up order (ProtocolDescriptor::serviceSlot): the twelve raw
// responders (1, 53, 55, 56, 110..117), then the UDP echo, the TCP echo and the terminal exchange.
inline constexpr std::size_t ServiceCount = ProtocolTypes.size();
inline constexpr std::size_t EchoUdpSlot = protocolType("udp").serviceSlot;
inline constexpr std::size_t EchoTcpSlot = protocolType("tcp").serviceSlot;
inline constexpr std::size_t TerminalUdpSlot = protocolType("telm-udp").serviceSlot;

enum class ServiceState { Starting, Running, Failed, Stopped };

struct ServiceCounters {
  std::atomic<std::uint64_t> answered{0};         // requests answered
  std::atomic<std::uint64_t> accountQueriesAnswered{0};  // queries for the account of what arrived
  std::atomic<std::uint64_t> erroneous{0};        // "Принят ошибочный запрос" and the like
  std::atomic<std::uint64_t> receiveErrors{0};    // failed receives / accepts
  std::atomic<std::uint64_t> sendErrors{0};       // failed sends
  // Connections refused or closed by the server, exchanges given up before their end (a bound
  // reached, a connection quiet for too long, a newer request for the same port or client).
  std::atomic<std::uint64_t> dropped{0};
  std::atomic<ServiceState> state{ServiceState::Starting};

  // The start-up failure that stopped the service ("Ошибка bind 98", ...), empty otherwise.
  void setFailure(const std::string& text) {
    std::lock_guard<std::mutex> hold(mutex_);
    failure_ = text;
    state = ServiceState::Failed;
  }
  std::string failure() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return failure_;
  }

 private:
  mutable std::mutex mutex_;
  std::string failure_;
};

struct ServerCounters {
  std::array<ServiceCounters, ServiceCount> services;
  std::atomic<std::int64_t> tcpConnectionsOpen{0};
  std::atomic<std::int64_t> terminalExchangesInProgress{0};
};

// A short ASCII label per slot: the short name of the slot's protocol type, as the client accepts
// it ("icmp", "raw53", "udp", "telm-udp", ...).
const char* serviceLabel(std::size_t slot);

}  // namespace connchk::server
