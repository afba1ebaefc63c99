#include "server/service_host.h"

#include <sys/statvfs.h>

#include <filesystem>

#include "common/platform/clock.h"

namespace connchk::server {

void ServiceHost::run(std::size_t slot, std::function<int(ServiceRun&)> service) {
  threads_.emplace_back([this, slot, service = std::move(service)] {
    ServiceRun run(server_, slot, stop_, lines_);
    service(run);
    if (run.counters().state != ServiceState::Failed) run.counters().state = ServiceState::Stopped;
    ++ended_;
  });
}

void ServiceHost::start() {
  if (!threads_.empty()) return;
  for (auto& gate : lines_.gates) gate.setRate(server_.settings.log.ratePerSecond);
  lookAtDisk();
  logWatcher_ = std::thread([this] { watchLog(); });
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

void ServiceHost::watchLog() {
  const int nothing = -1;
  while (platform::waitReadable(std::span<const int>(&nothing, 1), stop_, 1000) == platform::WaitResult::TimedOut) {
    lookAtDisk();
    reportLeftOut();
  }
}

void ServiceHost::lookAtDisk() {
  const KeepFree& keep = server_.settings.log.keepFree;
  if (!keep.bounded()) return;
  // The file itself where it exists (it may be a link to another disk), its folder before.
  const std::filesystem::path file = server_.log.filePath();
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = ".";
  struct statvfs disk{};
  if (statvfs(file.c_str(), &disk) != 0 && statvfs(folder.c_str(), &disk) != 0) return;
  const std::uint64_t free = std::uint64_t{disk.f_bavail} * disk.f_frsize;
  const std::uint64_t margin = keep.marginFor(std::uint64_t{disk.f_blocks} * disk.f_frsize);
  const bool low = free < margin;
  if (low == lines_.diskLow) return;
  lines_.diskLow = low;
  server_.log.log(low ? messages::diskLow(free, margin) : messages::DiskRoomAgain);
}

void ServiceHost::reportLeftOut() {
  if (lines_.diskLow) return;  // the tallies wait until lines are written again
  for (std::size_t slot = 0; slot < ServiceCount; ++slot) {
    const LeftOut left = lines_.gates[slot].take();
    if (left.any()) server_.log.log(messages::requestLinesLeftOut(messages::serviceTitle(slot), left));
  }
}

void ServiceHost::stop() {
  stop_.signal();
  if (logWatcher_.joinable()) logWatcher_.join();
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

bool ServiceHost::stop(std::chrono::milliseconds limit) {
  stop_.signal();
  if (logWatcher_.joinable()) logWatcher_.join();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (ended_ < threads_.size()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    platform::sleepMs(5);
  }
  stop();
  return true;
}

}  // namespace connchk::server
