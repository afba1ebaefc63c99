// The fifteen services at a glance: each one's state (running, or the error that stopped it at
// start-up), the requests it answered, the erroneous requests, its receive and send errors, and
// its answers per second over the last seconds, from snapshots the window takes of the counters.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>

#include <QTableWidget>

#include "server/service_counters.h"

namespace connchk::server::ui {

// The service's name as its start line gives it: "№53 (ВЕЛТ-IP)", "IP-Клиент", "TCP", ...
QString serviceName(std::size_t slot);

class ServiceTable : public QTableWidget {
 public:
  enum Column { Service, State, Answered, Erroneous, Errors, Rate, ColumnCount };
  using Clock = std::chrono::steady_clock;
  // The rate is that of the answers within this span before the newest snapshot.
  static constexpr std::chrono::seconds RateSpan{5};

  explicit ServiceTable(const ServerCounters& counters, QWidget* parent = nullptr);

  // Reads every counter and shows it; called once a second by the window.
  void sample(Clock::time_point now);

  QString cell(int row, Column column) const;

 private:
  struct Snapshot {
    Clock::time_point at;
    std::array<std::uint64_t, ServiceCount> answered{};
  };
  void setCell(int row, Column column, const QString& text);

  const ServerCounters& counters_;
  std::deque<Snapshot> history_;
};

}  // namespace connchk::server::ui
