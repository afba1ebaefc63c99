// Whether bytes received are the answer to the request now outstanding. The send time a request
// carries is its identity: an answer counts only when it holds its layout's marker at its place
// and the very send-time bytes of that request. Anything else (a duplicate, a late answer to an
// earlier request, a forgery) is not the answer. Pure functions over the request as it was sent
// and the bytes as they were received; nothing past `length` is ever read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace connchk::client {

// Layout A over UDP or TCP: the request's send time at 0 and the reply marker at 8.
// `request` holds at least the 20 bytes of a layout A request.
bool isEchoAnswer(const std::uint8_t* request, const std::uint8_t* received, std::size_t length);

// A TCP stream that may hold bytes of earlier answers in front of this one: the offset of the first
// place where the head of this request's answer (send time and reply marker) stands, if any.
std::optional<std::size_t> findEchoAnswer(const std::uint8_t* request, const std::uint8_t* received,
                                          std::size_t length);

// Layout B, first or final answer of the terminal exchange: the request's send time at 0 and the
// reply marker at 12. `request` holds at least the 24 defined bytes of a layout B request.
bool isTerminalAnswer(const std::uint8_t* request, const std::uint8_t* received, std::size_t length);

// The raw IP server's answer behind a 20-byte IPv4 header (a header with options is not one):
// the request's send time at 20 and the reply marker at 28. `request` is the layout C payload sent.
// A raw IPv6 socket gives the payload alone: there the answer is the one isEchoAnswer knows.
bool isRawAnswer(const std::uint8_t* request, const std::uint8_t* received, std::size_t length);

// An ICMP echo reply behind a 20-byte IPv4 header of protocol 1: type 0 at 20, the request's
// identifier at 24, its send time at 28 and the request marker at 36, as the target's system
// returns them. `request` is the 28-byte layout D message sent.
bool isIcmpEchoReply(const std::uint8_t* request, const std::uint8_t* received, std::size_t length);

// An echo reply as a message that starts at its ICMP header (what raw ICMPv6 sockets and ICMP
// datagram sockets of both families give): `replyType` (0, or 129 for ICMPv6) at 0, `identifier`
// at 4 (the request's own, or the one the kernel put in its place), the request's send time at 8
// and the request marker at 16.
bool isEchoReplyMessage(const std::uint8_t* request, const std::uint8_t* message, std::size_t length,
                        std::uint8_t replyType, std::uint16_t identifier);

// The send time an answer carries, whichever request of the run it answers: the same places and
// markers as above, without the comparison with one request. What tells a duplicate or a late
// answer (RunContext::strayAnswer) from any other datagram; nullopt for anything else.
std::optional<std::uint64_t> echoAnswerTime(const std::uint8_t* received, std::size_t length);
std::optional<std::uint64_t> rawAnswerTime(const std::uint8_t* received, std::size_t length);
std::optional<std::uint64_t> icmpEchoReplyTime(const std::uint8_t* received, std::size_t length);
std::optional<std::uint64_t> echoReplyMessageTime(const std::uint8_t* message, std::size_t length,
                                                  std::uint8_t replyType);

}  // namespace connchk::client
