#include "server/ui/server_dialog.h"

#include <QAction>
#include <QGroupBox>
#include <QListWidget>
#include <QPushButton>

#include "common/ui/about_dialog.h"
#include "common/ui/dialog_units.h"
#include "common/ui/group_frame.h"
#include "common/ui/program_icon.h"

namespace connchk::server::ui {

using connchk::ui::DialogUnits;

namespace {
constexpr const char* ProgramTitle = "server";
}  // namespace

// New senders' lines, handed to the window thread like the log's.
class ServerDialog::StatisticsListView : public StatisticsView {
 public:
  StatisticsListView(QListWidget* list, connchk::ui::HandOff& handOff) : list_(list), handOff_(handOff) {}
  void appendStatisticsLine(const std::string& line) override {
    QListWidget* list = list_;
    handOff_.run([list, line] { connchk::ui::appendToList(list, line, false); });
  }

 private:
  QListWidget* list_;
  connchk::ui::HandOff& handOff_;
};

ServerDialog::ServerDialog(ServerContext& server, ServiceStarter starter, QWidget* parent)
    : QDialog(parent), server_(server), handOff_(this) {
  buildControls();
  // 1. The About entry (in the context menu, as there is no system menu to extend) and the icon.
  about_ = new QAction(QStringLiteral("&About server..."), this);
  connect(about_, &QAction::triggered, this, [this] { showAbout(); });
  setContextMenuPolicy(Qt::ActionsContextMenu);
  addAction(about_);
  setWindowIcon(connchk::ui::programIcon(connchk::ui::serverIconColor()));
  // 2. The log and the statistics show their lines here.
  logView_ = std::make_unique<connchk::ui::LogListView>(logList_, handOff_);
  statisticsView_ = std::make_unique<StatisticsListView>(statisticsList_, handOff_);
  server_.log.setView(logView_.get());
  server_.log.setAlert(connchk::ui::messageBoxAlert(this, handOff_, QString::fromUtf8(ProgramTitle)));
  server_.statistics.setView(statisticsView_.get());
  // 3. The services; their first lines wait until the window thread runs its event loop.
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
  setFixedSize(du.size(494, 262));

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

void ServerDialog::showAbout() {
  connchk::ui::AboutDialog about(QString::fromUtf8(ProgramTitle), windowIcon(), this);
  about.exec();
}

void ServerDialog::done(int result) {
  handOff_.close();
  QDialog::done(result);
}

}  // namespace connchk::server::ui
