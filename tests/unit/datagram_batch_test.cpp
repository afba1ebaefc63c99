// Batched receive and send: datagrams taken together keep their arrival order, each with its own
// source and outcome, and the UDP echo service that works in batches writes for every datagram of
// a batch the lines and the answer it would have had alone.
#include "common/platform/datagram_batch.h"

#include <sched.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/cp1251.h"
#include "common/platform/wait.h"
#include "server/messages.h"
#include "server/services.h"
#include "tests/support/echo_server.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"

namespace connchk {
namespace {

using platform::Address;
using testing::Bytes;

// A UDP socket bound to `address` (port chosen by the system).
platform::Socket boundUdp(const char* address) {
  platform::Socket s = testing::openedSocket(platform::Family::IPv4, SOCK_DGRAM);
  EXPECT_EQ(platform::bindTo(s.fd(), *Address::parse(address)).code(), 0) << address;
  return s;
}

// Sends from one CPU: loopback datagrams of one thread then reach their socket in sending order.
struct OnOneCpu {
  OnOneCpu() {
    sched_getaffinity(0, sizeof before, &before);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    sched_setaffinity(0, sizeof one, &one);
  }
  ~OnOneCpu() { sched_setaffinity(0, sizeof before, &before); }
  cpu_set_t before{};
};

// A datagram a test sends: from which of its senders, and what.
struct Sent {
  std::size_t sender;
  Bytes bytes;
};

TEST(DatagramBatch, TakesWhatWaitsInArrivalOrderAndSendsEachAnswerAsAlone) {
  platform::Socket receiver = boundUdp("127.0.0.1");
  const Address to = *platform::localAddress(receiver.fd());
  const char* sources[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4"};
  std::vector<platform::Socket> senders;
  for (const char* s : sources) senders.push_back(boundUdp(s));

  // Interleaved senders, lengths that name each datagram, one too long for a buffer, one empty.
  std::vector<Sent> sent;
  for (std::size_t i = 0; i < 20; ++i) sent.push_back({i % 3, Bytes(i == 7 ? 3000 : i == 11 ? 0 : 10 + i, std::uint8_t(i))});
  {
    OnOneCpu pinned;
    for (const Sent& s : sent) ASSERT_TRUE(platform::sendTo(senders[s.sender].fd(), s.bytes.data(), s.bytes.size(), to).ok());
  }

  platform::ReceivedBatch batch(2048, 4);
  platform::StopEvent never;
  std::size_t taken = 0;
  while (taken < sent.size()) {
    ASSERT_EQ(platform::waitReadable(receiver.fd(), never, 5000), platform::WaitResult::Ready) << "after " << taken;
    const auto received = batch.receive(receiver.fd());
    ASSERT_TRUE(received.ok()) << received.code();
    const std::size_t n = *received;
    ASSERT_LE(n, batch.capacity());
    for (std::size_t i = 0; i < n; ++i, ++taken) {
      const auto& d = batch[i];
      const Sent& s = sent[taken];
      if (s.bytes.size() > 2048) {
        EXPECT_EQ(d.error, EMSGSIZE) << taken;
        continue;
      }
      EXPECT_EQ(d.error, 0) << taken;
      EXPECT_EQ(d.from.text(), sources[s.sender]) << taken;
      EXPECT_EQ(Bytes(d.bytes, d.bytes + d.length), s.bytes) << taken;
    }
  }

  // An answer that cannot go (an IPv6 address for an IPv4 socket) fails alone; the rest go.
  platform::SendBatch answers(2);
  const Bytes a = {1, 2, 3}, b = {4, 5}, c = {6};
  answers.add(a.data(), a.size(), *platform::localAddress(senders[0].fd()));
  answers.add(b.data(), b.size(), *Address::parse("::1", 9));
  answers.add(c.data(), c.size(), *platform::localAddress(senders[2].fd()));
  answers.add(a.data(), 1, *platform::localAddress(senders[0].fd()));
  answers.send(receiver.fd());
  EXPECT_EQ(answers.result(0).value_or(0), 3u);
  EXPECT_FALSE(answers.result(1).ok());
  EXPECT_NE(answers.result(1).code(), 0);
  EXPECT_EQ(answers.result(2).value_or(0), 1u);
  EXPECT_EQ(answers.result(3).value_or(0), 1u);
  std::uint8_t got[16];
  EXPECT_EQ(platform::receive(senders[0].fd(), got, sizeof got).value_or(0), 3u);
  EXPECT_EQ(platform::receive(senders[0].fd(), got, sizeof got).value_or(0), 1u);
  EXPECT_EQ(platform::receive(senders[2].fd(), got, sizeof got).value_or(0), 1u);
}

// Which answers go as one segmented send: a run of one size to one address, within the bounds.
TEST(DatagramBatch, GroupsRunsOfOneSizeToOneAddress) {
  using platform::SendBatch;
  struct Case {
    const char* what;
    std::vector<std::size_t> lengths;
    std::vector<int> addresses;
    std::vector<std::size_t> groups;
  };
  const std::size_t big = SendBatch::LongestSegment + 1;
  const std::vector<Case> cases = {
      {"one sender, one size", {32, 32, 32}, {0, 0, 0}, {3}},
      {"senders interleaved", {32, 32, 32, 32}, {0, 1, 1, 0}, {1, 2, 1}},
      {"a size changes", {32, 32, 40, 40, 32}, {0, 0, 0, 0, 0}, {2, 2, 1}},
      {"empty answers alone", {0, 0}, {0, 0}, {1, 1}},
      {"beyond a segment's size alone", {big, big}, {0, 0}, {1, 1}},
      {"at most MostSegments", std::vector<std::size_t>(SendBatch::MostSegments + 1, 28),
       std::vector<int>(SendBatch::MostSegments + 1, 0), {SendBatch::MostSegments, 1}},
      {"at most MostGroupBytes", std::vector<std::size_t>(60, 1100), std::vector<int>(60, 0),
       {SendBatch::MostGroupBytes / 1100, 60 - SendBatch::MostGroupBytes / 1100}},
  };
  for (const Case& c : cases) {
    std::vector<iovec> parts;
    for (const std::size_t n : c.lengths) parts.push_back(iovec{nullptr, n});
    std::vector<std::size_t> groups;
    for (std::size_t i = 0; i < parts.size(); i += groups.back()) {
      groups.push_back(SendBatch::groupAt(parts, i, parts.size(),
                                          [&](std::size_t a, std::size_t b) { return c.addresses[a] == c.addresses[b]; }));
    }
    EXPECT_EQ(groups, c.groups) << c.what;
  }
}

// Grouped answers reach each receiver as the same datagrams, in order, each with its own result;
// an answer that cannot go fails alone.
TEST(DatagramBatch, GroupedAnswersArriveAsTheSameDatagramsInOrder) {
  platform::Socket sender = boundUdp("127.0.0.1");
  std::vector<platform::Socket> receivers;
  for (const char* r : {"127.0.0.2", "127.0.0.3"}) receivers.push_back(boundUdp(r));
  platform::SendBatch answers(2, platform::SendBatch::Grouping::Udp);
  struct Answer {
    std::size_t to;  // 2: an address the socket cannot reach
    Bytes bytes;
  };
  std::vector<Answer> sent;
  const std::size_t lengths[] = {32, 32, 32, 32, 1300, 1300, 32, 32, 32};
  const std::size_t to[] = {0, 0, 0, 1, 0, 0, 0, 2, 0};
  for (std::size_t i = 0; i < std::size(lengths); ++i) sent.push_back({to[i], Bytes(lengths[i], std::uint8_t(i))});
  for (const Answer& a : sent) {
    const Address where = a.to < 2 ? *platform::localAddress(receivers[a.to].fd()) : *Address::parse("::1", 9);
    answers.add(a.bytes.data(), a.bytes.size(), where);
  }
  answers.send(sender.fd());
  std::vector<std::vector<Bytes>> expected(2);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    if (sent[i].to == 2) {
      EXPECT_FALSE(answers.result(i).ok()) << i;
      continue;
    }
    EXPECT_EQ(answers.result(i).value_or(0), sent[i].bytes.size()) << i;
    expected[sent[i].to].push_back(sent[i].bytes);
  }
  platform::StopEvent never;
  for (std::size_t r = 0; r < receivers.size(); ++r) {
    std::vector<Bytes> got;
    std::uint8_t buffer[2048];
    while (got.size() < expected[r].size() && platform::waitReadable(receivers[r].fd(), never, 5000) == platform::WaitResult::Ready) {
      const auto n = platform::receive(receivers[r].fd(), buffer, sizeof buffer);
      got.emplace_back(buffer, buffer + n.value_or(0));
    }
    EXPECT_EQ(got, expected[r]) << "receiver " << r;
    EXPECT_FALSE(platform::receive(receivers[r].fd(), buffer, sizeof buffer, platform::Wait::Now).ok()) << "nothing more";
  }
}

// A view that can hold the thread that logs inside its next line, until released.
class HoldingView : public LogView {
 public:
  void appendLine(const std::string&) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!holdNext_) return;
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !holdNext_; });
    held_ = false;
  }
  void holdNext() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdNext_ = true;
  }
  bool held() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdNext_ = false;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool holdNext_ = false, held_ = false;
};

// The file's lines as UTF-8, each checked to end LF CR.
std::vector<std::string> fileLines(const std::string& path) {
  const std::string bytes = testing::readFile(path);
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t end; (end = bytes.find("\n\r", from)) != std::string::npos; from = end + 2) {
    lines.push_back(fromWindows1251(bytes.substr(from, end - from)));
  }
  EXPECT_EQ(from, bytes.size()) << "the file ends inside a line";
  return lines;
}

// While the service is held inside a line, datagrams of every kind pile up on its socket from three
// senders; once released, it takes them in batches. Each request has the lines, and each sender the
// answers, that they would have had one at a time.
TEST(DatagramBatch, UdpEchoAnswersAndLogsEveryDatagramOfABatchAsAlone) {
  REQUIRE_PRIVATE_NETWORK();
  using namespace server;
  testing::ScratchFolder folder;
  ActivityLog log = ActivityLog::atPath(LogStyle::Server, folder.file("server_log.txt"));
  HoldingView view;
  log.setView(&view);
  SenderStatistics statistics;
  ServerCounters counters;
  ServerContext context{log, statistics, counters};
  platform::StopEvent stop;
  RequestLines gates;  // no rate bound: every line is written
  std::thread service([&] {
    ServiceRun run(context, EchoUdpSlot, stop, gates);
    EchoUdpService(run);
  });
  // Ends the service however the test ends.
  const auto stopService = [&] {
    view.release();
    stop.signal();
    if (service.joinable()) service.join();
  };
  struct AtEnd {
    std::function<void()> run;
    ~AtEnd() { run(); }
  } atEnd{stopService};
  ASSERT_TRUE(testing::eventually([&] { return counters.services[EchoUdpSlot].state == ServiceState::Running; }));

  const char* sources[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4"};
  std::vector<platform::Socket> senders;
  for (const char* s : sources) senders.push_back(boundUdp(s));
  const Address server = *Address::parse("127.0.0.1", EchoPort);
  std::vector<std::string> expected = {messages::startLine(messages::UdpEchoLabel)};
  std::vector<std::vector<Bytes>> answers(3);
  const auto send = [&](std::size_t sender, const Bytes& bytes) {
    ASSERT_TRUE(platform::sendTo(senders[sender].fd(), bytes.data(), bytes.size(), server).ok());
    const std::string from = sources[sender];
    const std::string tail = messages::packetTail(messages::UdpEchoLabel, bytes.size());
    if (bytes.empty()) {
      expected.push_back(messages::ClientClosed);
    } else if (hasMarker(bytes.data(), bytes.size(), layout_a::Marker, RequestMarker) ||
               hasMarker(bytes.data(), bytes.size(), 0, RequestMarker)) {
      const std::size_t at = hasMarker(bytes.data(), bytes.size(), layout_a::Marker, RequestMarker) ? layout_a::Marker : 0;
      answers[sender].push_back(testing::withReplyMarker(bytes, at));
      expected.insert(expected.end(), {messages::receivedPacketLine(from, tail), messages::bytesSent(ssize_t(bytes.size())),
                                       messages::WaitingForRequest});
    } else {
      expected.insert(expected.end(), {messages::receivedPacketLine(from, tail), messages::ErroneousRequest});
    }
  };

  view.holdNext();
  send(0, testing::echoRequest(32));
  ASSERT_TRUE(testing::eventually([&] { return view.held(); })) << "the service is held in its first line";
  {
    OnOneCpu pinned;
    for (std::size_t i = 0; i < 45; ++i) {
      const std::size_t length = 28 + i;
      switch (i % 9) {
        case 2: send(i % 3, testing::echoRequest(length, std::nullopt)); break;  // no marker: erroneous
        case 4: send(i % 3, testing::echoRequest(length, 0)); break;             // marker at 0
        case 5: send(i % 3, testing::echoRequest(8)); break;                      // too short for a marker
        case 6: send(i % 3, Bytes{}); break;
        case 8: send(i % 3, testing::echoRequest(3000)); break;                   // over 2048 bytes: whole too
        default: send(i % 3, testing::echoRequest(length)); break;
      }
    }
    // A run of one size from one sender (its answers go as one group), broken by an erroneous one.
    for (std::size_t i = 0; i < 6; ++i) send(0, i == 3 ? testing::echoRequest(40, std::nullopt) : testing::echoRequest(40));
  }
  view.release();

  for (std::size_t s = 0; s < 3; ++s) {
    std::vector<Bytes> got;
    std::vector<std::uint8_t> buffer(MaxDatagramSize);
    while (got.size() < answers[s].size()) {
      ASSERT_EQ(platform::waitReadable(senders[s].fd(), stop, 5000), platform::WaitResult::Ready) << sources[s];
      const auto n = platform::receive(senders[s].fd(), buffer.data(), buffer.size());
      got.emplace_back(buffer.data(), buffer.data() + n.value_or(0));
    }
    EXPECT_EQ(got, answers[s]) << sources[s];
  }
  ASSERT_TRUE(testing::eventually([&] { return counters.services[EchoUdpSlot].answered == answers[0].size() + answers[1].size() + answers[2].size(); }));
  stopService();
  ASSERT_TRUE(log.flush());
  EXPECT_EQ(fileLines(folder.file("server_log.txt")), expected);
  // Nothing more came than the answers counted: erroneous requests got none.
  std::uint8_t extra[64];
  for (const auto& s : senders) EXPECT_FALSE(platform::receive(s.fd(), extra, sizeof extra, platform::Wait::Now).ok());
}

}  // namespace
}  // namespace connchk
