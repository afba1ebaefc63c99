#include "server/service_host.h"

#include "common/platform/clock.h"

namespace connchk::server {

void ServiceHost::run(std::size_t slot, std::function<int(ServiceRun&)> service) {
  threads_.emplace_back([this, slot, service = std::move(service)] {
    ServiceRun run(server_, slot, stop_);
    service(run);
    if (run.counters().state != ServiceState::Failed) run.counters().state = ServiceState::Stopped;
    ++ended_;
  });
}

void ServiceHost::start() {
  if (!threads_.empty()) return;
  for (std::size_t slot = 0; slot < ServiceCount; ++slot) {
    const ProtocolDescriptor& type = protocolTypeOfService(slot);
    switch (type.way) {
      case TestWay::IcmpEcho:
      case TestWay::RawIp:
        run(slot, [protocol = type.number](ServiceRun& r) { return RawIpService(r, protocol); });
        break;
      case TestWay::EchoUdp: run(slot, EchoUdpService); break;
      case TestWay::EchoTcp: run(slot, EchoTcpService); break;
      case TestWay::TerminalUdp: run(slot, TerminalUdpService); break;
    }
  }
}

bool ServiceHost::waitUntilStarted(std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    bool starting = false, serving = false;
    for (const auto& service : server_.counters.services) {
      const ServiceState state = service.state;
      starting = starting || state == ServiceState::Starting;
      serving = serving || state == ServiceState::Running;
    }
    if (!starting || std::chrono::steady_clock::now() >= deadline) return serving;
    platform::sleepMs(5);
  }
}

void ServiceHost::stop() {
  stop_.signal();
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

bool ServiceHost::stop(std::chrono::milliseconds limit) {
  stop_.signal();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (ended_ < threads_.size()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    platform::sleepMs(5);
  }
  stop();
  return true;
}

}  // namespace connchk::server
