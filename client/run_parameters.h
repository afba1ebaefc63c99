// What one test run needs, and the rules by which the operator's texts become those values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/platform/address.h"
#include "common/protocol_types.h"
#include "common/platform/way_out.h"

namespace connchk::client {

inline constexpr std::size_t MaxAddressLength = 255;
inline constexpr std::uint32_t MinPacketSize = 12;
inline constexpr std::uint32_t MaxPacketSize = 1500;
inline constexpr int MinTerminal = 1;
inline constexpr int MaxTerminal = 999;
inline constexpr const char* InfiniteCountText = "Бесконечно";
inline constexpr const char* DefaultServerAddress = "127.0.0.1";

// What the operator chose, as the window, the terminal, a sweep or a probe hands it to startRun,
// and the record its worker runs from, unchanged: an infinite count stays -1.
struct RunRequest {
  std::string address = DefaultServerAddress;  // IPv4 or IPv6 address or host name, at most 255 characters
  platform::FamilyChoice family = platform::FamilyChoice::Any;  // -4, -6: the family forced
  std::uint32_t size = 32;    // requested packet size in bytes
  std::int32_t count = 1;     // rounds; -1 runs without end, below 1 none
  std::uint32_t protocolNumber = 17;
  int protocolIndex = 1;      // list index: protocol 17 is the UDP echo only at index 1
  std::uint32_t terminal = 1; // terminal number of the terminal exchange
  int intervalMs = 1000;      // pause after each round (not after the last)
  int timeoutMs = 5000;       // wait for an answer, counted from the send
  double maxLossPercent = 100.0;  // more loss than this fails a run that had answers
  platform::WayOut way;       // -I, --ttl: the way the requests leave, and their TTL
  int tos = -1;               // -Q: TOS / traffic class of the requests; -1 leaves the system's
  bool account = true;        // ask the server what it received after the run (--no-account: not)
  int accountTimeoutMs = 0;   // the wait for the server's account; 0: the answer time-out (-W)
  bool paced = false;         // --paced: a request every interval, several open at once (UDP, raw, ICMP)

  // The IP protocol number as the worker uses it (its low 8 bits).
  std::uint8_t protocol() const { return static_cast<std::uint8_t>(protocolNumber & 0xFF); }
};

// The window's count text: "Бесконечно" is -1; anything else is read as a decimal integer
// (leading blanks, an optional sign, digits up to the first other character), 0 if unreadable.
std::int32_t parseCountText(const std::string& text);

// The terminal mode's --count: a whole number from 1 up, or "Бесконечно" in any letter case, or
// -1 (both run without end, -1). Nothing else: no sign, blank, fraction or trailing text.
std::optional<std::int32_t> parseCountOption(const std::string& text);

// The number of characters of a UTF-8 text (not its bytes).
std::size_t characterCount(const std::string& text);
// Longer than MaxAddressLength characters (not bytes).
bool addressTooLong(const std::string& address);

// A text of digits only (at most 9) whose value lies within low..high.
std::optional<std::uint32_t> parseWholeNumber(const std::string& text, std::uint32_t low, std::uint32_t high);

// A size text of digits only, within 12..1500.
std::optional<std::uint32_t> parseSize(const std::string& text);

// A terminal number text of digits only, within 1..999.
std::optional<std::uint32_t> parseTerminal(const std::string& text);

// The test procedure that serves a list selection (its way in the protocol table) and its number.
using TestKind = TestWay;
TestKind chooseTest(std::uint8_t protocol, int protocolIndex);
const char* testKindName(TestKind kind);

}  // namespace connchk::client
