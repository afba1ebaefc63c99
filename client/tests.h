// The five test procedures. Each runs one whole test on the worker thread and returns its exit
// code; the run control closes nothing for them (their sockets close as they return) and gives
// the buttons back afterwards.
#pragma once

#include <atomic>
#include <cstdint>

#include "client/test_skeleton.h"

namespace connchk::client {

int EchoUdpTest(RunContext& run);
int EchoTcpTest(RunContext& run);
int TerminalUdpTest(RunContext& run);
int RawIpTest(RunContext& run);
int IcmpEchoTest(RunContext& run);

// The identifiers of ICMP echo requests: 0 when the program starts, never reset between runs,
// 65535 followed by 0. The program has one (`process()`); any thread may take from it.
class IcmpRequestCounter {
 public:
  explicit IcmpRequestCounter(std::uint16_t start = 0) : next_(start) {}
  IcmpRequestCounter(const IcmpRequestCounter&) = delete;
  IcmpRequestCounter& operator=(const IcmpRequestCounter&) = delete;

  // The identifier for the next request; the counter moves on by one, modulo 65536.
  std::uint16_t take() { return next_.fetch_add(1); }
  std::uint16_t current() const { return next_.load(); }

  static IcmpRequestCounter& process();

 private:
  std::atomic<std::uint16_t> next_;
};

}  // namespace connchk::client
