// Paced rounds, as ping sends: a request every interval whatever came back, so that several are
// open at once, each waiting up to the time-out for its own answer, told apart by the send time it
// carries. The run waits after its last request until every open one has ended. The datagram
// tests that carry that identity and need no exchange (UDP echo, raw IP, ICMP echo) can run so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "client/test_skeleton.h"

namespace connchk::client {

// What a paced run needs of its test procedure.
struct PacedTest {
  std::string label;  // the protocol of the round-trip line: "IP-Клиент", "№53"
  // Builds and sends the request that carries `identity`; the send's result, and the line that
  // tells it left.
  std::function<platform::Result<std::size_t>(std::uint64_t identity, std::string& sentLine)> send;
  // The identity that a datagram received from `from` answers with, when it is an answer of this
  // test from the server, to whichever request; nullopt for anything else.
  std::function<std::optional<std::uint64_t>(const std::uint8_t* received, std::size_t length,
                                              const platform::Address& from)>
      answerTime;
  bool emptyCloses = false;  // an empty datagram is the server closing (UDP echo)
};

// Runs params.count paced rounds (-1 without end) on `fd`. Each request's lines come as it is
// sent and as its answer comes or its deadline passes; its round is recorded once every earlier
// one was, so that rounds stay in send order. A receive error or an empty datagram ends the oldest
// open request; a failed send ends the sending, and the open requests are still waited for. Stop
// ends the run at once, the open requests counted as cut short.
void runPacedRounds(RunContext& run, int fd, const PacedTest& test);

}  // namespace connchk::client
