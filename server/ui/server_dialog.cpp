#include "server/ui/server_dialog.h"

#include <algorithm>

#include <QAction>
#include <QDateTime>
#include <QGroupBox>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include "common/ui/about_dialog.h"
#include "common/ui/dialog_units.h"
#include "common/ui/group_frame.h"
#include "common/ui/program_icon.h"
#include "server/ui/service_table.h"

namespace connchk::server::ui {

using connchk::ui::DialogUnits;

namespace {
constexpr const char* ProgramTitle = "server";
}  // namespace

// New senders' lines, shown in batches like the log's.
class ServerDialog::StatisticsListView : public StatisticsView {
 public:
  StatisticsListView(QListWidget* list, connchk::ui::HandOff& handOff) : lines_(list, handOff, false) {}
  void appendStatisticsLine(const std::string& line) override { lines_.append(line); }

 private:
  connchk::ui::BatchedList lines_;
};

ServerDialog::ServerDialog(ServerContext& server, ServiceStarter starter, QWidget* parent)
    : QDialog(parent), server_(server), handOff_(this) {
  buildControls();
  const DialogUnits du(fontMetrics());
  auto* servicesFrame = connchk::ui::groupFrame(QStringLiteral("Службы"), this);
  du.place(servicesFrame, 7, 262, 480, GrowthUnits - 7);
  services_ = new ServiceTable(server_.counters, this);
  du.place(services_, 13, 272, 468, GrowthUnits - 21);
  auto* refreshTimer = new QTimer(this);
  refreshTimer->setInterval(1000);
  connect(refreshTimer, &QTimer::timeout, this, [this] { refreshFigures(); });
  refreshTimer->start();
  // The About entry (in the context menu: X11 has no system menu to extend) and the icon.
  about_ = new QAction(QStringLiteral("&About server..."), this);
  connect(about_, &QAction::triggered, this, [this] { showAbout(); });
  setContextMenuPolicy(Qt::ActionsContextMenu);
  addAction(about_);
  setWindowIcon(connchk::ui::programIcon(connchk::ui::serverIconColor()));
  // From here on the log and the statistics show their lines in the window's lists.
  logView_ = std::make_unique<connchk::ui::LogListView>(logList_, handOff_);
  statisticsView_ = std::make_unique<StatisticsListView>(statisticsList_, handOff_);
  server_.log.setView(logView_.get());
  server_.log.setAlert(connchk::ui::messageBoxAlert(this, handOff_, QString::fromUtf8(ProgramTitle)));
  server_.statistics.setView(statisticsView_.get());
  // The services start; their first lines show once the window thread runs its event loop.
  if (starter) starter(server_);
}

ServerDialog::~ServerDialog() {
  handOff_.close();
  server_.log.setView(nullptr);
  server_.log.setAlert({});
  server_.statistics.setView(nullptr);
}

void ServerDialog::buildControls() {
  setWindowTitle(QString::fromUtf8(ServerCaption));
  const DialogUnits du(fontMetrics());
  setFixedSize(du.size(494, 262 + GrowthUnits));

  exit_ = new QPushButton(QStringLiteral("Выход"), this);
  du.place(exit_, 437, 239, 50, 16);
  exit_->setDefault(true);
  connect(exit_, &QPushButton::clicked, this, &QDialog::accept);

  auto* statisticsFrame = connchk::ui::groupFrame(QStringLiteral("Статистика"), this);
  du.place(statisticsFrame, 7, 7, 182, 248);
  auto* logFrame = connchk::ui::groupFrame(QStringLiteral("Протокол работы"), this);
  du.place(logFrame, 195, 7, 292, 227);

  statisticsList_ = new QListWidget(this);
  statisticsList_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  statisticsList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  du.place(statisticsList_, 13, 16, 169, 231);

  logList_ = new QListWidget(this);
  logList_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  logList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  du.place(logList_, 201, 22, 280, 206);

  setTabOrder(exit_, statisticsList_);
  setTabOrder(statisticsList_, logList_);
}

void ServerDialog::refreshFigures() {
  services_->sample(ServiceTable::Clock::now());
  // A sender's line is the one of its slot: both are in the order the slots were filled.
  const std::vector<SenderActivity> senders = server_.statistics.activity();
  const int shown = std::min(statisticsList_->count(), static_cast<int>(senders.size()));
  for (int i = 0; i < shown; ++i) {
    const SenderActivity& sender = senders[static_cast<std::size_t>(i)];
    const QString last = QDateTime::fromMSecsSinceEpoch(sender.lastSeenUnixMs).toString(QStringLiteral("HH:mm:ss"));
    const QString tip = QStringLiteral("Запросов: %1, последний в %2").arg(sender.requests).arg(last);
    if (statisticsList_->item(i)->toolTip() != tip) statisticsList_->item(i)->setToolTip(tip);
  }
}

void ServerDialog::showAbout() {
  connchk::ui::AboutDialog about(QString::fromUtf8(ProgramTitle), windowIcon(), this);
  about.exec();
}

void ServerDialog::done(int result) {
  handOff_.close();
  QDialog::done(result);
}

}  // namespace connchk::server::ui
