#include "server/messages.h"

#include "common/text_format.h"
#include "server/protocol_names.h"
#include "server/service_counters.h"
#include "server/services.h"

namespace connchk::server::messages {

std::string startLine(const char* protocol) { return format("Старт сервера, протокол %s", protocol); }

std::string rawProtocolTitle(std::uint32_t protocol) {
  std::string title = format("№%u", protocol);
  if (const auto name = protocolName(protocol)) title += " (" + *name + ")";
  return title;
}

std::string rawStartLine(std::uint32_t protocol) { return "Старт сервера, протокол " + rawProtocolTitle(protocol); }

std::string socketOpenFailed(int error) { return format("Ошибка %i при открытии сокета", error); }
std::string bindFailed(int error) { return format("Ошибка bind %i", error); }
std::string listenFailed(int error) { return format("Ошибка listen %i", error); }
std::string ipv6SocketFailed(int error) {
  return format("Ошибка %i при открытии сокета IPv6, запросы принимаются только по IPv4", error);
}
std::string receiveFailed(int error) { return format("Ошибка приема %i", error); }
std::string sendFailed(int error) { return format("Возникла ошибка %i при передаче данных", error); }
std::string bytesSent(ssize_t sent) { return format("Отослано %i байт данных", static_cast<int>(sent)); }

std::string bytesSentToTerminal(ssize_t sent, std::uint32_t terminal) {
  return format("Отослано %i байт данных, терминал №%lu", static_cast<int>(sent), static_cast<unsigned long>(terminal));
}

std::string receivedPacketLine(const std::string& dottedAddress, const std::string& tail) {
  return "Принят пакет от " + dottedAddress + " (unresolved)" + tail;
}

std::string packetTail(const char* protocol, std::size_t length) {
  return format(", протокол %s, %lu байт данных", protocol, static_cast<unsigned long>(length));
}

std::string numberedPacketTail(std::uint32_t protocol, std::size_t length) {
  return format(", протокол №%u, %lu байт данных", protocol, static_cast<unsigned long>(length));
}

std::string unconfirmedPacketTail(const char* protocol, std::size_t length) {
  return format(" протокол %s, %lu байт данных", protocol, static_cast<unsigned long>(length));
}

std::string connectionIdle(const std::string& dottedAddress, int seconds) {
  return format("Соединение с %s закрыто: нет запросов %i с", dottedAddress.c_str(), seconds);
}

std::string connectionSendStuck(const std::string& dottedAddress, int seconds) {
  return format("Соединение с %s закрыто: ответ не уходит %i с", dottedAddress.c_str(), seconds);
}

std::string connectionRefused(const std::string& dottedAddress, int open) {
  return format("Соединение с %s отклонено: открыто соединений %i", dottedAddress.c_str(), open);
}

std::string terminalPortForeign(std::uint32_t terminal) {
  return format("Порт терминала №%lu занят другой программой, запрос отклонен", static_cast<unsigned long>(terminal));
}

std::string exchangeRefused(std::uint32_t terminal) {
  return format("Запрос терминала №%lu отклонен: все места ожидают подтверждения", static_cast<unsigned long>(terminal));
}

std::string connectionRefusedForSource(const std::string& dottedAddress, int open) {
  return format("Соединение с %s отклонено: открыто соединений с этого адреса %i", dottedAddress.c_str(), open);
}

std::string exchangeAbandoned(std::uint32_t terminal) {
  return format("Ожидание подтверждения прервано, терминал №%lu", static_cast<unsigned long>(terminal));
}

std::string requestLinesLeftOut(const std::string& protocol, const LeftOut& left) {
  return format("Пропущены строки запросов, протокол %s: отвечено %llu, ошибочных %llu, без ответа %llu",
                protocol.c_str(), static_cast<unsigned long long>(left.answered),
                static_cast<unsigned long long>(left.erroneous), static_cast<unsigned long long>(left.unanswered));
}

std::string diskLow(std::uint64_t freeBytes, std::uint64_t marginBytes) {
  return format("Свободно на диске %llu МБ, меньше запаса %llu МБ: строки запросов не записываются",
                static_cast<unsigned long long>(freeBytes >> 20), static_cast<unsigned long long>(marginBytes >> 20));
}

std::string serviceTitle(std::size_t slot) {
  if (slot >= ServiceCount) return {};
  const ProtocolDescriptor& type = protocolTypeOfService(slot);
  switch (type.way) {
    case TestWay::IcmpEcho:
    case TestWay::RawIp: return rawProtocolTitle(type.number);
    case TestWay::EchoUdp: return UdpEchoLabel;
    case TestWay::EchoTcp: return TcpEchoLabel;
    case TestWay::TerminalUdp: return TerminalLabel;
  }
  return {};
}

}  // namespace connchk::server::messages
