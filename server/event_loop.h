// The loop of a service that serves many sockets from one thread (the TCP echo's connections, the
// terminal exchanges): one epoll set holds its listening socket, the host's stop and the sockets it
// opens meanwhile (each tagged with its descriptor), and every round hands each ready socket to
// the service, then lets it look at its deadlines. The loop ends once the host asks it to stop.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "common/platform/wait.h"
#include "server/services.h"

namespace connchk::server {

class ServiceEventLoop {
 public:
  using Clock = std::chrono::steady_clock;

  // `mostReady`: the sockets handed over in one round at most (the rest wait for the next).
  ServiceEventLoop(ServiceRun& run, std::size_t mostReady) : run_(run), ready_(mostReady) {}

  // Watches `listening` and the host's stop; 0, or the error that kept them out.
  int watchListening(int listening) { return run_.watch(poller_, listening, ListeningTag, StopTag); }
  // A socket the service opened, tagged with its descriptor; false (errno set) when it cannot be.
  bool add(int fd, std::uint32_t events) { return poller_.add(fd, events, tagOf(fd)); }
  void modify(int fd, std::uint32_t events) { poller_.modify(fd, events, tagOf(fd)); }
  void pauseListening(int listening) { poller_.modify(listening, 0, ListeningTag); }
  void resumeListening(int listening) { poller_.modify(listening, EPOLLIN, ListeningTag); }
  void remove(int fd) { poller_.remove(fd); }

  // Marks the service serving and runs it until the stop. `Service` has:
  //   int waitLimitMs() const;                  // how long a round may wait (-1: no limit)
  //   void listeningReady(Clock::time_point);   // the listening socket has something
  //   void socketReady(int fd, Clock::time_point);
  //   void roundEnded(Clock::time_point);       // after the round's sockets
  // with the time taken when the round's wait ended.
  template <class Service>
  void serve(Service& service) {
    run_.serving();
    while (!run_.stop().signalled()) {
      const int n =
          poller_.wait(ready_.data(), static_cast<int>(ready_.size()), run_.waitLimit(service.waitLimitMs()));
      const auto now = Clock::now();
      for (int i = 0; i < n && !run_.stop().signalled(); ++i) {
        const std::uint64_t tag = ready_[static_cast<std::size_t>(i)].data.u64;
        if (tag == StopTag) break;
        if (tag == ListeningTag) {
          service.listeningReady(now);
        } else {
          service.socketReady(static_cast<int>(tag), now);
        }
      }
      service.roundEnded(now);
    }
  }

 private:
  static constexpr std::uint64_t ListeningTag = ~std::uint64_t{0};
  static constexpr std::uint64_t StopTag = ListeningTag - 1;
  static std::uint64_t tagOf(int fd) { return static_cast<std::uint64_t>(fd); }

  ServiceRun& run_;
  platform::Poller poller_;
  std::vector<epoll_event> ready_;
};

}  // namespace connchk::server
