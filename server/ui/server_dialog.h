// The server's window: the sender statistics and the activity log, and "Выход", and below them
// the table of the fifteen services with their counters. Its services start while it
// initialises; from then on it only shows what they report.
#pragma once

#include <functional>
#include <memory>

#include <QDialog>

#include "common/activity_log.h"
#include "common/ui/hand_off.h"
#include "common/ui/list_views.h"
#include "server/sender_statistics.h"
#include "server/service_counters.h"
#include "server/services.h"

class QAction;
class QListWidget;
class QPushButton;

namespace connchk::server::ui {

class ServiceTable;

inline constexpr const char* ServerCaption = "Сервер проверки соединения для клиента ВЕЛТ-IP";

// Starts the services over the window's context (the real start-up, or a test's own threads).
using ServiceStarter = std::function<void(ServerContext&)>;

class ServerDialog : public QDialog {
 public:
  // The context lives outside the window and outlives it; `starter` starts the services over it
  // while the window initialises (the program's starter runs its ServiceHost).
  explicit ServerDialog(ServerContext& server, ServiceStarter starter = {}, QWidget* parent = nullptr);
  ~ServerDialog() override;

  QListWidget* statisticsList() const { return statisticsList_; }
  QListWidget* logList() const { return logList_; }
  QPushButton* exitButton() const { return exit_; }
  QAction* aboutAction() const { return about_; }
  ServiceTable* serviceTable() const { return services_; }

  // The statistics, the log and the exit button keep the places and sizes their operators know;
  // the table of the services lies below them, growing the window by this many dialog units.
  static constexpr int GrowthUnits = 172;

  // Reads the counters into the table and each sender's requests into its line's tooltip; a
  // timer calls it every second.
  void refreshFigures();

  void done(int result) override;

 private:
  class StatisticsListView;

  void buildControls();
  void showAbout();

  ServerContext& server_;
  connchk::ui::HandOff handOff_;
  std::unique_ptr<connchk::ui::LogListView> logView_;
  std::unique_ptr<StatisticsView> statisticsView_;

  QListWidget* statisticsList_ = nullptr;
  QListWidget* logList_ = nullptr;
  QPushButton* exit_ = nullptr;
  QAction* about_ = nullptr;
  ServiceTable* services_ = nullptr;
};

}  // namespace connchk::server::ui
