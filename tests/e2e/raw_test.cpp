// The raw IP and ICMP modes end to end: the real client and server in the test's own network
// namespace, the kernel's own echo replies, and datagrams that hping3 and scapy make, which our
// programs never send (a cut marker, IPv4 options, a forged source on a second loopback address).
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client/report.h"
#include "client/run_control.h"
#include "client/tests.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "common/text_format.h"
#include "tests/support/kept_lines.h"
#include "tests/support/peers.h"
#include "tests/support/echo_server.h"
#include "tests/support/private_network.h"
#include "tests/support/rights.h"
#include "tests/support/program.h"

namespace connchk::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

const std::string ServerStartPrefix = "Старт сервера, протокол №";

// Every datagram of one IP protocol that reaches the namespace, header first, as a raw socket
// receives it: requests, answers and the kernel's replies alike.
class RawSniffer {
 public:
  explicit RawSniffer(int protocol) {
    auto opened = platform::openSocket(platform::Family::IPv4, SOCK_RAW, protocol);
    if (!opened) throw std::runtime_error("sniffer: raw socket: " + std::to_string(opened.code()));
    socket_ = std::move(*opened);
    thread_ = std::thread([this] {
      std::uint8_t buf[4096];
      while (!stop_) {
        pollfd p{socket_.fd(), POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = recv(socket_.fd(), buf, sizeof buf, 0);
        if (n <= 0) continue;
        std::lock_guard<std::mutex> hold(mutex_);
        seen_.emplace_back(buf, buf + n);
      }
    });
  }
  ~RawSniffer() {
    stop_ = true;
    thread_.join();
  }
  std::vector<Bytes> matching(const std::function<bool(const Bytes&)>& wanted) {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<Bytes> out;
    for (const auto& d : seen_) {
      if (wanted(d)) out.push_back(d);
    }
    return out;
  }
  // What `matching` gives once at least `least` such datagrams came (or after ten seconds): the
  // sniffer's thread keeps a datagram a moment after the wire carried it.
  std::vector<Bytes> awaited(const std::function<bool(const Bytes&)>& wanted, std::size_t least = 1) {
    std::vector<Bytes> out;
    eventually([&] {
      out = matching(wanted);
      return out.size() >= least;
    });
    return out;
  }

 private:
  platform::Socket socket_;
  std::mutex mutex_;
  std::vector<Bytes> seen_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Sends a datagram of one protocol to 127.0.0.1 every 200 ms, at most 60 times, until destroyed:
// traffic that a waiting test receives and must pass over.
class TrafficSource {
 public:
  TrafficSource(int protocol, Bytes payload) {
    socket_ = openedSocket(platform::Family::IPv4, SOCK_RAW, protocol);
    thread_ = std::thread([this, payload] {
      const auto to = platform::Address::loopback(platform::Family::IPv4);
      for (int i = 0; i < 60 && !stop_; ++i) {
        (void)platform::sendTo(socket_.fd(), payload.data(), payload.size(), to);  // background traffic: a miss is harmless
        std::this_thread::sleep_for(200ms);
      }
    });
  }
  ~TrafficSource() {
    stop_ = true;
    thread_.join();
  }

 private:
  platform::Socket socket_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

bool carries(const Bytes& datagram, std::size_t offset, const Marker& marker) {
  return hasMarker(datagram.data(), datagram.size(), offset, marker);
}

std::string destinationOf(const Bytes& datagram) {
  return platform::Address::fromBytes(platform::Family::IPv4, datagram.data() + 16).text();
}

// A layout C request payload: timestamp, request marker, zero filler.
Bytes rawRequest(std::uint64_t timestamp, std::size_t length) {
  Bytes payload(length, 0);
  buildEchoRequest(payload.data(), timestamp);
  return payload;
}

std::string hex(const Bytes& bytes) {
  std::string out;
  for (const auto b : bytes) out += format("\\x%02x", b);
  return out;
}

// The kernel of the test's namespace answers echo requests unless told not to.
void setKernelEcho(bool answer) {
  std::ofstream("/proc/sys/net/ipv4/icmp_echo_ignore_all") << (answer ? "0" : "1");
}

// Runs a command of the machine to its end (at most 20 s) and returns its exit status.
int runTool(const std::string& command) {
  const int status = std::system(("timeout 20 " + command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Sends the datagrams that a scapy script builds, through a raw layer-3 socket (loopback takes no
// link-layer frames from scapy).
int runScapy(const std::string& sends) {
  const std::string script = "from scapy.all import IP, ICMP, Raw, IPOption_NOP\n"
                             "from scapy.supersocket import L3RawSocket\n"
                             "s = L3RawSocket()\n" + sends;
  char pattern[] = "/tmp/checker-scapy-XXXXXX";
  const int fd = mkstemp(pattern);
  if (fd < 0) return -1;
  close(fd);
  std::ofstream(pattern) << script;
  const int status = runTool(std::string("/usr/bin/python3 ") + pattern);
  std::filesystem::remove(pattern);
  return status;
}

// True when `expected` stands in `lines` as consecutive lines.
bool hasSequence(const Lines& lines, const Lines& expected) {
  return std::search(lines.begin(), lines.end(), expected.begin(), expected.end()) != lines.end();
}

std::vector<std::string> clientArgs(const std::string& protocol, const std::string& count, const std::string& size = "32",
                                    const std::string& address = "127.0.0.1") {
  return {"--console", "--protocol", protocol, "--count", count, "--size", size, address};
}

TEST(RawE2e, ServerAnswersEveryRawProtocolOfTheClient) {
  REQUIRE_PRIVATE_NETWORK();
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServer(server));
  for (const char* line : {"№1 (ICMP)", "№53 (ВЕЛТ-IP)", "№55 (TELM-IP)", "№56 (ВЕЛТ-IP RADM)", "№110 (ВЕЛТ-IP Поток 1)",
                           "№117 (ВЕЛТ-IP Поток 8)"}) {
    // The log file counts when the server serves; its output may come a moment later.
    EXPECT_TRUE(server.waitForOutput("Старт сервера, протокол " + std::string(line) + "\n")) << line;
  }

  RawSniffer sniffer(53);
  Program first(CLIENT_PROGRAM);
  ASSERT_EQ(first.run(clientArgs("ВЕЛТ-IP", "1", "64")), 0) << first.output();
  EXPECT_TRUE(answered(roundLines(first), {}, {"Отослан запрос к серверу"}, "№53")) << first.output();

  ASSERT_TRUE(server.waitForOutput("Статистика: 127.0.0.1 размер 84\n")) << server.output();
  EXPECT_TRUE(hasSequence(server.outputLines(), {"Принят пакет от 127.0.0.1 (unresolved), протокол №53, 84 байт данных",
                                                 "Отослано 20 байт данных", "Ожидание нового запроса"}))
      << server.output();
  // On the wire: a 64-byte request, and a 20-byte answer that carries its timestamp back.
  const auto requests = sniffer.awaited([](const Bytes& d) { return carries(d, 28, RequestMarker); });
  const auto answers = sniffer.awaited([](const Bytes& d) { return carries(d, 28, ReplyMarker); });
  ASSERT_EQ(requests.size(), 1u);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(requests[0].size(), 84u);
  EXPECT_EQ(answers[0].size(), 40u);
  EXPECT_EQ(readU64(answers[0].data(), 20), readU64(requests[0].data(), 20));

  // The other ten raw types at once: each protocol has its own sockets. A size of 12 still sends
  // the whole marker.
  const std::vector<std::pair<std::string, unsigned>> others = {
      {"TELM-IP", 55}, {"ВЕЛТ-IP RADM", 56}, {"ВЕЛТ-IP Поток 1", 110}, {"ВЕЛТ-IP Поток 2", 111},
      {"ВЕЛТ-IP Поток 3", 112}, {"ВЕЛТ-IP Поток 4", 113}, {"ВЕЛТ-IP Поток 5", 114}, {"ВЕЛТ-IP Поток 6", 115},
      {"ВЕЛТ-IP Поток 7", 116}, {"ВЕЛТ-IP Поток 8", 117}};
  std::vector<std::unique_ptr<Program>> clients;
  for (const auto& [type, number] : others) {
    clients.push_back(std::make_unique<Program>(CLIENT_PROGRAM));
    clients.back()->start(clientArgs(type, "1", number == 55 ? "12" : "32"));
  }
  for (std::size_t i = 0; i < others.size(); ++i) {
    const unsigned number = others[i].second;
    EXPECT_EQ(clients[i]->wait(), 0) << clients[i]->output();
    EXPECT_TRUE(answered(roundLines(*clients[i]), {}, {"Отослан запрос к серверу"}, "№" + std::to_string(number))) << clients[i]->output();
    const std::string received =
        format("Принят пакет от 127.0.0.1 (unresolved), протокол №%u, %d байт данных", number, number == 55 ? 40 : 52);
    EXPECT_TRUE(server.waitForOutput(received + "\n", 2000ms)) << received;
  }
  EXPECT_EQ(occurrences(server.output(), "Статистика: "), 1) << "one address, one statistics line";
}

TEST(RawE2e, IcmpAgainstAHostWithoutServerIsAnsweredByItsKernel) {
  REQUIRE_PRIVATE_NETWORK();
  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(client.run(clientArgs("ICMP", "2")), 0) << client.output();
  EXPECT_TRUE(answered(roundLines(client), {}, {R"(Отослан запрос к серверу \(1\))", R"(Отослан запрос к серверу \(2\))"}, "№1")) << client.output();
}

TEST(RawE2e, IcmpPassesOverTheServersAnswerAndTakesTheKernelsReply) {
  REQUIRE_PRIVATE_NETWORK();
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServer(server));
  RawSniffer sniffer(1);

  // With the kernel silent only the server answers, and its answer is not an echo reply. The
  // request is padded to the default size, 32 bytes.
  setKernelEcho(false);
  Program unanswered(CLIENT_PROGRAM);
  EXPECT_EQ(unanswered.run(clientArgs("ICMP", "1")), 1);
  EXPECT_EQ(roundLines(unanswered), (Lines{"Отослан запрос к серверу (1)", "Превышено время ожидания ответа"}));
  EXPECT_TRUE(hasSequence(server.outputLines(), {"Принят пакет от 127.0.0.1 (unresolved), протокол №1, 52 байт данных",
                                                 "Отослано 28 байт данных", "Ожидание нового запроса"}))
      << server.output();
  const auto answers = sniffer.awaited([](const Bytes& d) { return carries(d, 36, ReplyMarker); });
  ASSERT_EQ(answers.size(), 1u);
  const Bytes& answer = answers[0];
  ASSERT_EQ(answer.size(), 48u);
  EXPECT_EQ(answer[20], 8) << "the answer keeps the request's type";
  EXPECT_EQ(answer[21], 0);
  EXPECT_EQ(readU16(answer.data(), 24), 0) << "the identifier of the client's first request";
  EXPECT_EQ(InternetChecksum(answer.data() + 20, 28), 0) << "checksum of a whole message with a valid checksum";

  setKernelEcho(true);
  Program answeredClient(CLIENT_PROGRAM);
  EXPECT_EQ(answeredClient.run(clientArgs("ICMP", "1")), 0) << answeredClient.output();
  EXPECT_TRUE(answered(roundLines(answeredClient), {}, {R"(Отослан запрос к серверу \(1\))"}, "№1")) << answeredClient.output();
}

TEST(RawE2e, IcmpSizePadsTheEchoAndBothAnswerersStillTakeIt) {
  REQUIRE_PRIVATE_NETWORK();
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServer(server));
  RawSniffer sniffer(1);
  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(client.run({"--console", "-q", "-p", "ICMP", "-s", "1000", "127.0.0.1"}), 0) << client.output();
  EXPECT_NE(client.output().find("Итого: отослано 1, получено 1, потеряно 0%"), std::string::npos) << client.output();

  // A 1000-byte echo message behind its header, checksummed whole; the kernel's reply carries all
  // of it back, and the server's responder still recognises it and answers in its 28 bytes.
  const auto requests = sniffer.matching([](const Bytes& d) { return d.size() > 20 && d[20] == 8 && carries(d, 36, RequestMarker); });
  const auto replies = sniffer.matching([](const Bytes& d) { return d.size() > 20 && d[20] == 0 && carries(d, 36, RequestMarker); });
  ASSERT_EQ(requests.size(), 1u);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(requests[0].size(), 1020u);
  EXPECT_EQ(InternetChecksum(requests[0].data() + 20, 1000), 0);
  EXPECT_EQ(replies[0].size(), 1020u);
  EXPECT_TRUE(server.waitForOutput("протокол №1, 1020 байт данных\nОтослано 28 байт данных\n")) << server.output();
}

// Only an intact echo request is answered: messages of other types that carry the marker (with a
// forged source they would make the server write to a third party), an echo request with a wrong
// checksum, and the kernel's own reply to a request get no answer and no line.
TEST(RawE2e, IcmpMessagesOtherThanEchoRequestsAreNeverAnswered) {
  REQUIRE_PRIVATE_NETWORK();
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServer(server));
  RawSniffer sniffer(1);
  setKernelEcho(true);
  platform::Socket icmp = openedSocket(platform::Family::IPv4, SOCK_RAW, 1);
  ASSERT_TRUE(icmp.valid());
  const auto to = platform::Address::loopback(platform::Family::IPv4);
  const auto message = [](std::uint8_t type, bool goodChecksum) {
    Bytes m(layout_d::Length, 0);
    buildIcmpEchoRequest(m.data(), 77, SendTimestamp());
    m[layout_d::Type] = type;
    putU16(m.data(), layout_d::Checksum, 0);
    if (goodChecksum) putU16(m.data(), layout_d::Checksum, InternetChecksum(m.data(), int(m.size())));
    return m;
  };
  for (const std::uint8_t type : {0, 3, 5, 9, 11, 42}) {
    const Bytes m = message(type, true);
    EXPECT_TRUE(platform::sendTo(icmp.fd(), m.data(), m.size(), to).ok()) << int{type};
  }
  const Bytes damaged = message(layout_d::EchoRequest, false);
  EXPECT_TRUE(platform::sendTo(icmp.fd(), damaged.data(), damaged.size(), to).ok());
  const Bytes valid = message(layout_d::EchoRequest, true);
  EXPECT_TRUE(platform::sendTo(icmp.fd(), valid.data(), valid.size(), to).ok());

  ASSERT_TRUE(server.waitForOutput("Отослано 28 байт данных\n"));
  std::this_thread::sleep_for(500ms);  // time for any answer that should not come
  EXPECT_EQ(occurrences(server.output(), "протокол №1, "), 1) << server.output();
  const auto answers = sniffer.matching([](const Bytes& d) { return d[20] == 8 && carries(d, 36, ReplyMarker); });
  EXPECT_EQ(answers.size(), 1u) << "one answer, to the one valid request";
}

TEST(RawE2e, IcmpRequestNumbersGoOnFromOneRunToTheNext) {
  REQUIRE_PRIVATE_NETWORK();
  char pattern[] = "/tmp/checker-raw-XXXXXX";
  const std::string folder = mkdtemp(pattern);
  {
    ActivityLog log = ActivityLog::atPath(LogStyle::Client, folder + "/client_log.txt");
    KeptLines view;
    log.setView(&view);
    client::RunControl control(log, client::withLoggedSummary(log, client::RunEvents{}));
    client::RunRequest request;
    request.protocolNumber = 1;
    request.protocolIndex = 0;
    for (int run = 0; run < 2; ++run) {
      ASSERT_EQ(control.startRun(request), client::StartRefusal::None);
      EXPECT_EQ(control.waitForEnd().answersAccepted, 1);
    }
    EXPECT_EQ(client::IcmpRequestCounter::process().current(), 2);
    EXPECT_TRUE(answered(withoutSummaryLines(view.lines()), {}, {R"(Отослан запрос к серверу \(1\))", R"(Отослан запрос к серверу \(2\))"}, "№1"));
  }
  std::filesystem::remove_all(folder);
}

// Stop while datagrams without the expected marker keep coming: the run ends at the next one,
// well within one receive time-out.
void expectStopWhileOtherTrafficComes(const std::string& type, const std::string& sentLine) {
  Program client(CLIENT_PROGRAM);
  client.start(clientArgs(type, "Бесконечно"));
  ASSERT_TRUE(client.waitForOutput(sentLine)) << client.output();
  std::this_thread::sleep_for(500ms);
  client.signal(SIGINT);
  EXPECT_EQ(client.wait(3000ms), 1) << "still running 3 s after Stop: " << client.output();
  EXPECT_EQ(roundLines(client), (Lines{sentLine}));
}

TEST(RawE2e, StopEndsARawRunThatKeepsReceivingOtherTraffic) {
  REQUIRE_PRIVATE_NETWORK();
  TrafficSource traffic(53, Bytes(24, 0));
  expectStopWhileOtherTrafficComes("ВЕЛТ-IP", "Отослан запрос к серверу");
}

TEST(RawE2e, StopEndsAnIcmpRunThatKeepsReceivingOtherTraffic) {
  REQUIRE_PRIVATE_NETWORK();
  setKernelEcho(false);
  Bytes request(28, 0);
  buildIcmpEchoRequest(request.data(), 7, 0);
  putMarker(request.data(), 16, ReplyMarker);  // someone's echo request, not ours
  TrafficSource traffic(1, request);
  expectStopWhileOtherTrafficComes("ICMP", "Отослан запрос к серверу (1)");
}

// Echo replies to another request keep coming every 200 ms: they are passed over, and the round
// ends at its one deadline, five seconds after the send, with a time-out.
TEST(RawE2e, EchoRepliesToAnotherRequestDoNotEndOrStretchTheWait) {
  REQUIRE_PRIVATE_NETWORK();
  setKernelEcho(false);
  Bytes reply(28, 0);
  buildIcmpEchoRequest(reply.data(), 999, 0);
  reply[0] = 0;  // an echo reply with our marker, to a request that is not the one just sent
  TrafficSource traffic(1, reply);
  Program client(CLIENT_PROGRAM);
  const auto start = Clock::now();
  EXPECT_EQ(client.run(clientArgs("ICMP", "1")), 1);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 4900ms);
  EXPECT_LT(took, 6500ms);
  EXPECT_EQ(roundLines(client), (Lines{"Отослан запрос к серверу (1)", "Превышено время ожидания ответа"}));
}

TEST(RawE2e, LayoutCRequestFromHping3IsAnsweredToItsSource) {
  REQUIRE_PRIVATE_NETWORK();
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServer(server));
  RawSniffer sniffer(53);
  const std::string file = server.folder() + "/request.bin";
  const Bytes request = rawRequest(0x0807060504030201ULL, 24);
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(request.data()), request.size());
  runTool("hping3 --rawip --ipproto 53 --data 24 --file " + file + " --count 1 --spoof 127.0.0.2 127.0.0.1");

  ASSERT_TRUE(server.waitForOutput("Статистика: 127.0.0.2 размер 44\n")) << server.output();
  EXPECT_TRUE(hasSequence(server.outputLines(), {"Принят пакет от 127.0.0.2 (unresolved), протокол №53, 44 байт данных",
                                                 "Отослано 20 байт данных", "Ожидание нового запроса"}))
      << server.output();
  const auto answers = sniffer.awaited([](const Bytes& d) { return carries(d, 28, ReplyMarker); });
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].size(), 40u);
  EXPECT_EQ(destinationOf(answers[0]), "127.0.0.2");
  EXPECT_EQ(readU64(answers[0].data(), 20), 0x0807060504030201ULL);
}

TEST(RawE2e, DatagramsWithOptionsOrWithoutTheirWholeMarkerAreNotRecognised) {
  REQUIRE_PRIVATE_NETWORK();
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServer(server));
  const std::string request = hex(rawRequest(1, 32));
  Bytes icmpMarkerAt28(28, 0);
  icmpMarkerAt28[0] = 8;
  putMarker(icmpMarkerAt28.data(), 8, RequestMarker);
  // In order: a request (answered, 52 bytes), the same cut to 19 bytes (only the earlier
  // request's last marker byte would complete it), the request behind 4 bytes of IPv4 options,
  // protocol 53 with the marker where ICMP has it, ICMP with the marker where layout C has it,
  // and a 48-byte request that is answered (68 bytes) and shows that the others were seen.
  const std::string sends = "r = b'" + request + "'\n" +
                            "s.send(IP(dst='127.0.0.1', proto=53)/Raw(load=r))\n"
                            "s.send(IP(dst='127.0.0.1', proto=53)/Raw(load=r[:19]))\n"
                            "s.send(IP(dst='127.0.0.1', proto=53, options=[IPOption_NOP()]*4)/Raw(load=r))\n"
                            "s.send(IP(dst='127.0.0.1', proto=53)/Raw(load=bytes(8)+r))\n"
                            "s.send(IP(dst='127.0.0.1', proto=1)/Raw(load=b'" + hex(icmpMarkerAt28) + "'))\n"
                            "s.send(IP(dst='127.0.0.1', proto=53)/Raw(load=r+bytes(16)))\n";
  ASSERT_EQ(runScapy(sends), 0);
  ASSERT_TRUE(server.waitForOutput("протокол №53, 68 байт данных\n")) << server.output();
  const std::string out = server.output();
  EXPECT_EQ(occurrences(out, "Принят пакет от "), 2) << out;
  EXPECT_EQ(occurrences(out, "протокол №53, 52 байт данных\n"), 1) << out;
  EXPECT_EQ(occurrences(out, "Статистика: 127.0.0.1 размер 52\n"), 1) << out;
}

// While no server runs, another host sends the answer that the server would send (the request's
// own send time and the reply marker) and a datagram without marker: both are passed over, the
// wait is not started again, and the next request still goes to the server's address.
TEST(RawE2e, AnswersFromAnotherHostAreSkippedAndNeverBecomeThePeer) {
  REQUIRE_PRIVATE_NETWORK();
  RawSniffer sniffer(53);
  Program client(CLIENT_PROGRAM);
  const auto start = Clock::now();
  client.start(clientArgs("ВЕЛТ-IP", "2"));
  ASSERT_TRUE(client.waitForOutput("Отослан запрос к серверу")) << client.output();
  const auto sentRequests = [&] { return sniffer.matching([](const Bytes& d) { return carries(d, 28, RequestMarker); }); };
  eventually([&] { return !sentRequests().empty(); });
  ASSERT_EQ(sentRequests().size(), 1u);
  const Bytes request = sentRequests()[0];
  Bytes answer(request.begin() + 20, request.begin() + 40);
  putMarker(answer.data(), 8, ReplyMarker);
  ASSERT_EQ(runScapy("s.send(IP(src='127.0.0.2', dst='127.0.0.1', proto=53)/Raw(load=b'" + hex(answer) + "'))\n" +
                     "s.send(IP(src='127.0.0.3', dst='127.0.0.1', proto=53)/Raw(load=bytes(20)))\n"),
            0);
  ASSERT_TRUE(client.waitForOutput("Превышено время ожидания ответа", 10000ms)) << client.output();
  EXPECT_LT(Clock::now() - start, 6500ms) << "the wait started again after another host's datagram";

  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServer(server));
  EXPECT_EQ(client.wait(), 0) << client.output();
  EXPECT_TRUE(answered(roundLines(client), {"Отослан запрос к серверу", "Превышено время ожидания ответа"}, {"Отослан запрос к серверу"}, "№53")) << client.output();
  const auto requests = sentRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(destinationOf(requests[0]), "127.0.0.1");
  EXPECT_EQ(destinationOf(requests[1]), "127.0.0.1");
}

TEST(RawE2e, WithoutTheRawRightEveryProgramSaysSo) {
  REQUIRE_PRIVATE_NETWORK();
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServer(server, {"--console"}, DropRawRight));
  const std::string refused = format("Ошибка %i при открытии сокета", EPERM);
  EXPECT_TRUE(server.waitForCount(refused + "\n", 12)) << server.output();
  EXPECT_EQ(occurrences(server.output(), refused + "\n"), 12) << server.output();
  EXPECT_EQ(occurrences(server.output(), ServerStartPrefix), 0);

  Program raw(CLIENT_PROGRAM);
  raw.startThrough(DropRawRight, clientArgs("ВЕЛТ-IP", "1"));
  EXPECT_EQ(raw.wait(), 2);
  EXPECT_EQ(roundLines(raw), (Lines{refused, "Нет права на raw-сокеты (CAP_NET_RAW): нужен root или setcap cap_net_raw+ep"}));
  Program icmp(CLIENT_PROGRAM);
  icmp.startThrough(DropRawRight, clientArgs("ICMP", "1"));
  EXPECT_EQ(icmp.wait(), 2);
  const Lines icmpLines = roundLines(icmp);
  ASSERT_EQ(icmpLines.size(), 2u) << icmp.output();
  EXPECT_EQ(icmpLines[0], format("Ошибка bind %i", EPERM));
  EXPECT_EQ(icmpLines[1].rfind("Нет права открыть сокет ICMP: нужно право CAP_NET_RAW", 0), 0u) << icmpLines[1];
  EXPECT_TRUE(server.running());
}

TEST(RawE2e, WithoutTheRawRightTheOtherServicesStillAnswer) {
  REQUIRE_PRIVATE_NETWORK();
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServer(server, {"--console"}, DropRawRight));
  Program echo(CLIENT_PROGRAM);
  echo.startThrough(DropRawRight, clientArgs("IP-Клиент", "1"));
  EXPECT_EQ(echo.wait(), 0) << echo.output();
  EXPECT_TRUE(server.waitForOutput("Принят пакет от 127.0.0.1 (unresolved), протокол IP-Клиент, 32 байт данных\n"))
      << server.output();
}

}  // namespace
}  // namespace connchk::testing
