// The server's account of a run: after the run the client names its requests by their identity
// (the send time each carried) and asks the server which of them it received and how they looked
// on arrival. From that it tells where answers went missing (on the way there or on the way back),
// how the server sees this host (a NAT on the way), the TTL on arrival and the hops it implies,
// and whether the path rewrote the requests' DSCP. A server that does not know the query gives no
// account; the run's verdict never depends on it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "client/run_outcome.h"
#include "client/run_parameters.h"
#include "common/platform/address.h"
#include "common/platform/wait.h"
#include "common/platform/way_out.h"
#include "common/protocol.h"

namespace connchk::client {

// The newest requests of a run that are asked about (an endless run may have sent many more).
inline constexpr std::size_t MostRequestsAsked = 256;

// Asks the server at `server` (port ignored) about `identities`: over TCP port 87 in queries of up
// to 64, or, when TCP does not connect, over UDP port 87 in padded queries of up to 50, leaving by
// `way` (the run's, its TTL left out) since the server tells only about requests from the address
// that asks. The entries in the order asked, or nullopt when no whole answer came within `timeoutMs`
// or `stop` came first.
std::optional<std::vector<RequestArrival>> askAccount(const platform::Address& server,
                                                      std::span<const std::uint64_t> identities, int timeoutMs,
                                                      const platform::StopEvent& stop,
                                                      const platform::WayOut& way = {});

// What the account is measured against: how this host sent the requests.
struct SendingSide {
  std::string host;            // this host's address towards the server
  int port = 0;                // the requests' source port, 0 where they have none (raw, ICMP)
  int ttl = -1;                // the TTL / hop limit they left with, -1 when unknown
  int tos = 0;                 // the TOS / traffic class byte they left with
  std::uint32_t answerPort = 0;  // TELM-UDP: the server's answering port
};

// The account of `outcome`'s requests from what the server told (nullopt: it told nothing).
ServerAccount judgeAccount(const RunOutcome& outcome, const std::optional<std::vector<RequestArrival>>& told,
                           const SendingSide& side);

// Asks about the run's requests and judges the answer; not asked (asked false) when no request left
// or the run was stopped.
ServerAccount takeAccount(const RunRequest& params, TestKind kind, const RunOutcome& outcome,
                          const platform::StopEvent& stop);

// The lines an operator reads, each starting "Отчет сервера: "; none when nothing was asked.
std::vector<std::string> accountLines(const ServerAccount& account);

// The sweep's "туда / обратно" cell: "4 / 0" (lost there / lost back), "-" without an account.
std::string accountLossCell(const ServerAccount& account);

// The hops a TTL on arrival implies: sent - arrived where the sent TTL is known, else counted from
// the usual starting values 64, 128 or 255; -1 when it cannot be told.
int hopsTaken(int sentTtl, int arrivedTtl);

}  // namespace connchk::client
