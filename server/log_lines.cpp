#include "server/log_lines.h"

#include <algorithm>

#include "server/messages.h"

namespace connchk::server::lines {
namespace {

// The pieces of the lines around their numbers and addresses, each converted once.
struct Pieces {
  LogText packetFrom{"Принят пакет от "};
  LogText unresolved{" (unresolved)"};
  LogText protocolComma{", протокол "};
  LogText protocolSpace{" протокол "};
  LogText protocolNumber{", протокол №"};
  LogText comma{", "};
  LogText dataBytes{" байт данных"};
  LogText sent{"Отослано "};
  LogText sendFailed{"Возникла ошибка "};
  LogText inTransfer{" при передаче данных"};
  LogText receiveFailed{"Ошибка приема "};
  LogText waiting{messages::WaitingForRequest};
  LogText erroneous{messages::ErroneousRequest};
  LogText closed{messages::ClientClosed};
  LogText udpEcho{messages::UdpEchoLabel};
  LogText tcpEcho{messages::TcpEchoLabel};
  LogText terminal{messages::TerminalLabel};
};

const Pieces& pieces() {
  static const Pieces made;
  return made;
}

}  // namespace

const LogText& udpEchoLabel() { return pieces().udpEcho; }
const LogText& tcpEchoLabel() { return pieces().tcpEcho; }
const LogText& terminalLabel() { return pieces().terminal; }
const LogText& waitingForRequest() { return pieces().waiting; }
const LogText& erroneousRequest() { return pieces().erroneous; }
const LogText& clientClosed() { return pieces().closed; }

void receivedPacket(LogLine& line, std::string_view dottedAddress, const PacketTail& tail) {
  const Pieces& p = pieces();
  line.clear() << p.packetFrom;
  // An IPv6 zone is an interface's name, which need not be ASCII.
  const bool ascii = std::all_of(dottedAddress.begin(), dottedAddress.end(), [](char c) { return (c & 0x80) == 0; });
  (ascii ? line.ascii(dottedAddress) : line.utf8(dottedAddress)) << p.unresolved;
  switch (tail.form) {
    case PacketTail::Form::Labelled: line << p.protocolComma << *tail.label << p.comma; break;
    case PacketTail::Form::Unconfirmed: line << p.protocolSpace << *tail.label << p.comma; break;
    case PacketTail::Form::Numbered: line << p.protocolNumber; line.number(tail.protocol) << p.comma; break;
  }
  line.number(static_cast<unsigned long>(tail.length)) << p.dataBytes;
}

void bytesSent(LogLine& line, ssize_t sent) {
  line.clear() << pieces().sent;
  line.number(static_cast<int>(sent)) << pieces().dataBytes;
}

void sendFailed(LogLine& line, int error) {
  line.clear() << pieces().sendFailed;
  line.number(error) << pieces().inTransfer;
}

void receiveFailed(LogLine& line, int error) {
  line.clear() << pieces().receiveFailed;
  line.number(error);
}

}  // namespace connchk::server::lines
