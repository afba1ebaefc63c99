#include "common/platform/address.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <tuple>

namespace connchk::platform {
namespace {

constexpr std::size_t byteCount(Family family) { return family == Family::IPv4 ? 4 : 16; }

bool isMappedIPv4(const in6_addr& a) { return IN6_IS_ADDR_V4MAPPED(&a); }

// The zone of "fe80::1%zone": an interface name or a decimal index; 0 when it names nothing.
std::uint32_t zoneIndex(const std::string& zone) {
  if (zone.empty()) return 0;
  std::uint32_t index = 0;
  const auto [end, problem] = std::from_chars(zone.data(), zone.data() + zone.size(), index);
  if (problem == std::errc() && end == zone.data() + zone.size()) return index;
  return if_nametoindex(zone.c_str());
}

std::string zoneText(std::uint32_t index) {
  char name[IF_NAMESIZE] = {};
  if (if_indextoname(index, name) != nullptr) return name;
  return std::to_string(index);
}

}  // namespace

Address Address::any(Family family, std::uint16_t port) {
  Address a;
  a.family_ = family;
  a.port_ = port;
  return a;
}

Address Address::loopback(Family family, std::uint16_t port) {
  static constexpr std::uint8_t four[4] = {127, 0, 0, 1};
  Address a = any(family, port);
  if (family == Family::IPv4) {
    std::memcpy(a.bytes_.data(), four, 4);
  } else {
    a.bytes_[15] = 1;
  }
  return a;
}

Address Address::fromBytes(Family family, const std::uint8_t* bytes, std::uint16_t port) {
  Address a = any(family, port);
  std::memcpy(a.bytes_.data(), bytes, byteCount(family));
  return a;
}

std::optional<Address> Address::parse(std::string_view text, std::uint16_t port) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
    if (text.find(':') == std::string_view::npos) return std::nullopt;  // "[192.0.2.1]"
  }
  std::string literal(text);
  if (literal.find('\0') != std::string::npos) return std::nullopt;

  if (literal.find(':') == std::string::npos) {
    in_addr four{};
    if (inet_pton(AF_INET, literal.c_str(), &four) != 1) return std::nullopt;
    return fromBytes(Family::IPv4, reinterpret_cast<const std::uint8_t*>(&four), port);
  }
  std::uint32_t scope = 0;
  if (const auto percent = literal.find('%'); percent != std::string::npos) {
    scope = zoneIndex(literal.substr(percent + 1));
    if (scope == 0) return std::nullopt;
    literal.resize(percent);
  }
  in6_addr six{};
  if (inet_pton(AF_INET6, literal.c_str(), &six) != 1) return std::nullopt;
  if (isMappedIPv4(six)) {
    if (scope != 0) return std::nullopt;
    return fromBytes(Family::IPv4, six.s6_addr + 12, port);
  }
  Address a = fromBytes(Family::IPv6, six.s6_addr, port);
  a.scope_ = scope;
  return a;
}

std::optional<Address> Address::fromSockaddr(const sockaddr* address, socklen_t length) {
  if (address == nullptr || length < static_cast<socklen_t>(sizeof(sa_family_t))) return std::nullopt;
  if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in in{};
    std::memcpy(&in, address, sizeof in);
    return fromBytes(Family::IPv4, reinterpret_cast<const std::uint8_t*>(&in.sin_addr), ntohs(in.sin_port));
  }
  if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 in6{};
    std::memcpy(&in6, address, sizeof in6);
    if (isMappedIPv4(in6.sin6_addr)) {
      Address a = fromBytes(Family::IPv4, in6.sin6_addr.s6_addr + 12, ntohs(in6.sin6_port));
      a.mapped_ = true;
      return a;
    }
    Address a = fromBytes(Family::IPv6, in6.sin6_addr.s6_addr, ntohs(in6.sin6_port));
    a.scope_ = in6.sin6_scope_id;
    return a;
  }
  return std::nullopt;
}

Address Address::unmapped() const {
  Address a = *this;
  a.mapped_ = false;
  return a;
}

Address Address::withPort(std::uint16_t port) const {
  Address a = *this;
  a.port_ = port;
  return a;
}

std::string Address::text() const {
  char out[INET6_ADDRSTRLEN] = {};
  inet_ntop(family_ == Family::IPv4 ? AF_INET : AF_INET6, bytes_.data(), out, sizeof out);
  std::string result = out;
  if (scope_ != 0) result += "%" + zoneText(scope_);
  return result;
}

std::string Address::textWithPort() const {
  const std::string port = ":" + std::to_string(port_);
  return family_ == Family::IPv4 ? text() + port : "[" + text() + "]" + port;
}

socklen_t Address::toSockaddr(sockaddr_storage& out) const {
  return toSockaddr(out, mapped_ ? Family::IPv6 : family_);
}

socklen_t Address::toSockaddr(sockaddr_storage& out, Family socketFamily) const {
  std::memset(&out, 0, sizeof out);
  if (family_ == Family::IPv4 && socketFamily == Family::IPv4) {
    auto& in = reinterpret_cast<sockaddr_in&>(out);
    in.sin_family = AF_INET;
    in.sin_port = htons(port_);
    std::memcpy(&in.sin_addr, bytes_.data(), 4);
    return sizeof in;
  }
  auto& in6 = reinterpret_cast<sockaddr_in6&>(out);
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(port_);
  in6.sin6_scope_id = scope_;
  if (family_ == Family::IPv4) {
    in6.sin6_addr.s6_addr[10] = 0xFF;
    in6.sin6_addr.s6_addr[11] = 0xFF;
    std::memcpy(in6.sin6_addr.s6_addr + 12, bytes_.data(), 4);
  } else {
    std::memcpy(in6.sin6_addr.s6_addr, bytes_.data(), 16);
  }
  return sizeof in6;
}

bool Address::operator==(const Address& other) const { return (*this <=> other) == 0; }

std::strong_ordering Address::operator<=>(const Address& other) const {
  return std::tie(family_, bytes_, scope_, port_) <=> std::tie(other.family_, other.bytes_, other.scope_, other.port_);
}

std::size_t Address::hash() const {
  std::size_t h = static_cast<std::size_t>(family_);
  for (const auto b : bytes_) h = h * 131 + b;
  return (h * 131 + scope_) * 65599 + port_;
}

bool sameHost(const Address& a, const Address& b) { return a.withPort(0) == b.withPort(0); }

const char* familyName(Family family) { return family == Family::IPv4 ? "IPv4" : "IPv6"; }

namespace {

int lookupFamily(FamilyChoice choice) {
  switch (choice) {
    case FamilyChoice::IPv4: return AF_INET;
    case FamilyChoice::IPv6: return AF_INET6;
    case FamilyChoice::Any: break;
  }
  return AF_UNSPEC;
}

// The first address getaddrinfo gives for `name` in `family`, or its error (the code alone: the
// caller words it).
Result<Address> lookUp(const std::string& name, int family) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_DGRAM;  // one entry per address instead of one per socket type
  addrinfo* found = nullptr;
  int code = getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (code == EAI_SYSTEM) code = errno;
  std::optional<Address> first;
  for (const addrinfo* p = found; code == 0 && p != nullptr && !first; p = p->ai_next) {
    first = Address::fromSockaddr(p->ai_addr, p->ai_addrlen);
  }
  if (found != nullptr) freeaddrinfo(found);
  if (code == 0 && !first) code = EAI_NONAME;
  if (!first) return Error{"getaddrinfo", code, {}};
  // A mapped answer stands for its IPv4 address and is used as one.
  return first->unmapped();
}

}  // namespace

Result<Address> resolve(const std::string& text, FamilyChoice choice) {
  const Family forced = choice == FamilyChoice::IPv6 ? Family::IPv6 : Family::IPv4;
  const auto fail = [](int code, std::string why) { return Error{"getaddrinfo", code, std::move(why)}; };
  if (text.empty()) return fail(0, "Адрес сервера не указан");
  if (const auto literal = Address::parse(text)) {
    if (choice != FamilyChoice::Any && literal->family() != forced) {
      return fail(0, "Адрес " + text + " не является адресом " + familyName(forced));
    }
    return *literal;
  }
  if (text.find('\0') != std::string::npos) return fail(EAI_NONAME, "Имя сервера не найдено");

  const auto found = lookUp(text, lookupFamily(choice));
  if (found) return found;
  const int code = found.code();
  // What cannot be a host name was meant as an address: say so rather than "not found".
  const auto percent = text.find('%');
  if (percent != std::string::npos && Address::parse(text.substr(0, percent))) {
    return fail(code, "Зона «" + text.substr(percent + 1) + "» адреса «" + text + "» не найдена");
  }
  if (text.find_first_not_of("0123456789.") == std::string::npos || text.find(':') != std::string::npos) {
    return fail(code, "Адрес «" + text + "» не является адресом IPv4 или IPv6");
  }
  const bool absent = code == EAI_NONAME || code == EAI_NODATA || code == EAI_ADDRFAMILY;
  if (absent && choice != FamilyChoice::Any) {
    if (lookUp(text, AF_UNSPEC)) {
      return fail(code, "У имени «" + text + "» нет адреса " + familyName(forced));
    }
  }
  if (absent) return fail(code, "Имя «" + text + "» не найдено");
  const std::string why = code > 0 ? std::strerror(code) : gai_strerror(code);
  return fail(code, "Ошибка при поиске имени «" + text + "»: " + why);
}

namespace {

// One lookup on its thread: what it found, once it is done. Shared by the thread and its waiter,
// so that either may go first.
struct Lookup {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  Result<Address> result = Error{};
};

std::atomic<int> lookupsUnderWay{0};

}  // namespace

Result<Address> resolve(const std::string& text, FamilyChoice choice, const std::function<bool()>& stopped) {
  // A literal (or an empty or refused text) needs no resolver.
  if (text.empty() || Address::parse(text) || text.find('\0') != std::string::npos) return resolve(text, choice);
  if (lookupsUnderWay.fetch_add(1) >= MaxLookupsUnderWay) {
    --lookupsUnderWay;
    return Error{"getaddrinfo", EAI_AGAIN, "Поиск имени «" + text + "» не начат: слишком много поисков имён уже идёт"};
  }
  const auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, text, choice] {
      Result<Address> found = resolve(text, choice);
      {
        std::lock_guard<std::mutex> hold(lookup->mutex);
        lookup->result = std::move(found);
        lookup->finished = true;
      }
      lookup->done.notify_all();
      --lookupsUnderWay;
    }).detach();
  } catch (const std::system_error& failure) {
    --lookupsUnderWay;
    return Error{"getaddrinfo", EAI_AGAIN, "Ошибка при поиске имени «" + text + "»: " + failure.what()};
  }
  std::unique_lock<std::mutex> hold(lookup->mutex);
  while (!lookup->done.wait_for(hold, std::chrono::milliseconds(20), [&] { return lookup->finished; })) {
    if (stopped()) return Error{"getaddrinfo", EAI_CANCELED, "Поиск имени «" + text + "» прерван"};
  }
  return lookup->result;
}

}  // namespace connchk::platform
