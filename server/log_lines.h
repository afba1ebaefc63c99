// The lines a service writes for every request, made into a LogLine from texts whose
// Windows-1251 form is made once: the very texts messages.h makes (a unit test holds the two to
// each other), without formatting, allocating or converting anything per line.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/log_line.h"

namespace connchk::server::lines {

// The protocols' labels (messages::UdpEchoLabel and the others).
const LogText& udpEchoLabel();
const LogText& tcpEchoLabel();
const LogText& terminalLabel();

// What follows the sender's address in a received-packet line: ", протокол IP-Клиент, 32 байт
// данных" (messages::packetTail), ", протокол №53, 84 байт данных" (numberedPacketTail), or
// " протокол TELM-UDP, 40 байт данных" (unconfirmedPacketTail).
struct PacketTail {
  enum class Form { Labelled, Numbered, Unconfirmed };
  Form form = Form::Labelled;
  const LogText* label = nullptr;  // Labelled and Unconfirmed
  std::uint32_t protocol = 0;      // Numbered
  std::size_t length = 0;
};
inline PacketTail labelled(const LogText& label, std::size_t length) {
  return {PacketTail::Form::Labelled, &label, 0, length};
}
inline PacketTail numbered(std::uint32_t protocol, std::size_t length) {
  return {PacketTail::Form::Numbered, nullptr, protocol, length};
}
inline PacketTail unconfirmed(const LogText& label, std::size_t length) {
  return {PacketTail::Form::Unconfirmed, &label, 0, length};
}

// Each clears `line` and makes the line in it.
void receivedPacket(LogLine& line, std::string_view dottedAddress, const PacketTail& tail);
void bytesSent(LogLine& line, ssize_t sent);
void sendFailed(LogLine& line, int error);
void receiveFailed(LogLine& line, int error);

// The fixed lines.
const LogText& waitingForRequest();
const LogText& erroneousRequest();
const LogText& clientClosed();

}  // namespace connchk::server::lines
