// Owns the server's fifteen service threads: starts them in their written order, tells whether
// any of them serves, and stops and joins them. The context they report to belongs to the
// program's front-end and must outlive the host.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "common/platform/wait.h"
#include "server/services.h"

namespace connchk::server {

class ServiceHost {
 public:
  explicit ServiceHost(ServerContext& server) : server_(server) {}
  // Stops and joins the services.
  ~ServiceHost() { stop(); }
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // Starts the twelve raw responders (1, 53, 55, 56, 110..117), then the UDP echo, the TCP echo
  // and the terminal exchange, each on a thread of its own, and the log's watcher. Once only.
  void start();

  // Waits until every service serves or has failed (at most `limit`); true when one serves.
  bool waitUntilStarted(std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) const;

  // Asks every service to stop and joins it; each closes its sockets. Safe to call again.
  void stop();
  // The same within `limit`; false, with the services left running, when one has not ended by
  // then (stuck writing a line to an output that nobody reads, say).
  bool stop(std::chrono::milliseconds limit);

 private:
  void run(std::size_t slot, std::function<int(ServiceRun&)> service);
  // Once a second: whether the log's disk has the room it must keep free (said when that
  // changes), and each service's tally of requests whose lines were left out.
  void watchLog();
  void lookAtDisk();
  void reportLeftOut();

  ServerContext& server_;
  platform::StopEvent stop_;
  RequestLines lines_;
  std::thread logWatcher_;
  std::vector<std::thread> threads_;
  std::atomic<std::size_t> ended_{0};
};

}  // namespace connchk::server
