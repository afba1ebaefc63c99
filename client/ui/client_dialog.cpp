#include "client/ui/client_dialog.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSpinBox>
#include <QTabWidget>
#include <QThread>
#include <QTimer>

#include "client/protocol_catalogue.h"
#include "client/report.h"
#include "client/run_parameters.h"
#include "client/ui/account_panel.h"
#include "client/ui/round_trip_plot.h"
#include "client/ui/run_summary_panel.h"
#include "client/ui/sweep_page.h"
#include "client/ui/sweep_table.h"
#include "client/ui/trace_view.h"
#include "client/ui/ways_table.h"
#include "client/sweep_ways.h"
#include "common/ui/about_dialog.h"
#include "common/ui/dialog_units.h"
#include "common/ui/group_frame.h"
#include "common/ui/program_icon.h"

namespace connchk::client::ui {

using connchk::ui::DialogUnits;

namespace {
constexpr const char* ProgramTitle = "client";

QLabel* label(QWidget* parent, const char* text, const DialogUnits& du, int x, int y, int w, int h) {
  auto* l = new QLabel(QString::fromUtf8(text), parent);
  du.place(l, x, y, w, h);
  // A label never cuts its text: where the font draws it wider than its field, it grows.
  if (l->sizeHint().width() > l->width()) l->resize(l->sizeHint().width(), l->height());
  return l;
}
}  // namespace

ClientDialog::ClientDialog(ActivityLog& log, QWidget* parent)
    : QDialog(parent), log_(log), handOff_(this) {
  buildControls();
  RunEvents events;
  // Check runs on this thread; the worker's end arrives from its own thread and is posted.
  events.started = [this] {
    if (QThread::currentThread() == thread()) {
      runStarting();
    } else {
      handOff_.post([this] { runStarting(); });
    }
  };
  events.ended = [this](const RunOutcome&) {
    handOff_.post([this] {
      runEnded();
      setRunning(false);
    });
  };
  // The worker never waits on the window for its rounds: they queue for the next tick.
  events.roundEnded = [this](const RoundRecord& round, const RunSummary& soFar) { rounds_.push({round, soFar}); };
  control_ = std::make_unique<RunControl>(log_, withLoggedSummary(log_, std::move(events)));
  initialise();
}

ClientDialog::~ClientDialog() {
  // Nobody may wait on this window from now on; then the worker is stopped and joined.
  handOff_.close();
  if (sweepMtu_) sweepMtu_->stop();
  if (sweep_) sweep_->stop();
  if (sweepThread_.joinable()) sweepThread_.join();
  log_.setView(nullptr);
  log_.setAlert({});
  control_.reset();
}

void ClientDialog::buildControls() {
  setWindowTitle(QString::fromUtf8(ClientCaption));
  const DialogUnits du(fontMetrics());
  setFixedSize(du.size(373, 207 + GrowthUnits + AccountUnits));

  // The frame first, so that the controls it surrounds lie above it.
  auto* frame = connchk::ui::groupFrame(QStringLiteral("Параметры"), this);
  du.place(frame, 7, 7, 124, 169);

  label(this, "Имя/адрес", du, 15, 17, 73, 8);
  address_ = new QLineEdit(this);
  du.place(address_, 14, 29, 112, 14);

  label(this, "Размер:", du, 15, 47, 84, 8);
  size_ = new QLineEdit(this);
  size_->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), size_));
  du.place(size_, 14, 59, 40, 14);
  label(this, "байт", du, 59, 62, 16, 8);

  label(this, "Количество пакетов:", du, 15, 77, 83, 8);
  count_ = new QComboBox(this);
  count_->setEditable(true);
  count_->setInsertPolicy(QComboBox::NoInsert);
  for (const char* entry : {"1", "5", "10", InfiniteCountText}) count_->addItem(QString::fromUtf8(entry));
  du.place(count_, 14, 89, 74, 14);

  label(this, "Тип протокола:", du, 16, 106, 53, 8);
  protocol_ = new QComboBox(this);
  for (const ProtocolType& type : ProtocolCatalogue()) protocol_->addItem(QString::fromUtf8(type.text));
  protocol_->setMaxVisibleItems(static_cast<int>(ProtocolCatalogue().size()));
  du.place(protocol_, 14, 116, 112, 14);

  label(this, "Номер протокола:", du, 15, 135, 63, 8);
  protocolNumber_ = new QLineEdit(this);
  protocolNumber_->setReadOnly(true);
  du.place(protocolNumber_, 85, 131, 40, 14);

  // The terminal edit and its up-down control are one spin box here, spanning both.
  label(this, "Номер терминала:", du, 15, 153, 64, 8);
  terminal_ = new QSpinBox(this);
  du.place(terminal_, 85, 149, 45, 14);

  check_ = new QPushButton(QStringLiteral("Проверить"), this);
  du.place(check_, 7, 185, 50, 15);
  check_->setDefault(true);
  stop_ = new QPushButton(QStringLiteral("Остановить"), this);
  du.place(stop_, 81, 185, 50, 15);
  exit_ = new QPushButton(QStringLiteral("Выход"), this);
  du.place(exit_, 316, 184, 50, 16);
  // Focus on "Выход" never makes Enter end the program.
  exit_->setAutoDefault(false);

  logList_ = new QListWidget(this);
  logList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  logList_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  du.place(logList_, 137, 7, 229, 168);

  // Tab goes through the parameters in the order an operator fills them in (address, size, count,
  // type and its number, terminal), then the buttons, then the log.
  setTabOrder(address_, size_);
  setTabOrder(size_, count_);
  setTabOrder(count_, protocol_);
  setTabOrder(protocol_, protocolNumber_);
  setTabOrder(protocolNumber_, terminal_);
  setTabOrder(terminal_, check_);
  setTabOrder(check_, stop_);
  setTabOrder(stop_, exit_);
  setTabOrder(exit_, logList_);

  buildRunViews();
  setTabOrder(logList_, tabs_);

  connect(protocol_, &QComboBox::activated, this, [this](int index) { protocolChosen(index); });
  connect(check_, &QPushButton::clicked, this, [this] { checkClicked(); });
  connect(stop_, &QPushButton::clicked, this, [this] { stopClicked(); });
  connect(exit_, &QPushButton::clicked, this, &QDialog::reject);
}

void ClientDialog::buildRunViews() {
  const DialogUnits du(fontMetrics());
  tabs_ = new QTabWidget(this);
  du.place(tabs_, 7, 207, 256, GrowthUnits - 7);
  plot_ = new RoundTripPlot(tabs_);
  tabs_->addTab(plot_, QStringLiteral("Время приема-передачи"));
  sweepPage_ = new SweepPage(tabs_);
  sweepTable_ = sweepPage_->table();
  tabs_->addTab(sweepPage_, QStringLiteral("Все типы"));
  // The sweep's button sits beside the tabs, so the buttons above and the matrix keep their room.
  sweepButton_ = new QPushButton(QStringLiteral("Проверить все типы"), tabs_);
  sweepButton_->setAutoDefault(false);
  sweepButton_->setToolTip(QStringLiteral("Проверить по очереди все типы протокола на указанном адресе"));
  tabs_->setCornerWidget(sweepButton_, Qt::TopRightCorner);
  connect(sweepButton_, &QPushButton::clicked, this, [this] { sweepClicked(); });
  summary_ = new RunSummaryPanel(this);
  du.place(summary_, 269, 207, 97, GrowthUnits - 7);
  account_ = new AccountPanel(this);
  du.place(account_, 7, 207 + GrowthUnits - 2, 359, AccountUnits - 5);
  // A type chosen in the sweep's matrix shows its account below.
  for (QTableWidget* matrix : {static_cast<QTableWidget*>(sweepTable_), static_cast<QTableWidget*>(sweepPage_->waysTable())}) {
    connect(matrix, &QTableWidget::cellClicked, this, [this](int row, int) { account_->showKept(row); });
  }
  buildTraceTab();

  drainTimer_ = new QTimer(this);
  drainTimer_->setInterval(connchk::ui::BatchIntervalMs);
  connect(drainTimer_, &QTimer::timeout, this, [this] { drainRounds(); });
  sweepTimer_ = new QTimer(this);
  sweepTimer_->setInterval(connchk::ui::BatchIntervalMs);
  connect(sweepTimer_, &QTimer::timeout, this, [this] { drainSweep(); });
}

void ClientDialog::buildTraceTab() {
  traceView_ = new TraceView(log_, tabs_);
  tabs_->addTab(traceView_, QStringLiteral("Маршрут"));
  TraceView::Hooks hooks;
  hooks.request = [this]() -> std::optional<TraceRequest> {
    if (runGoing() || !readValues()) return std::nullopt;
    TraceRequest request;
    request.address = values_.address.toStdString();
    request.size = values_.size;
    request.terminal = static_cast<std::uint32_t>(terminal_->value());
    return request;
  };
  hooks.started = [this] {
    tabs_->setCurrentWidget(traceView_);
    account_->clear();  // a trace asks for no account: the last run's would be read as the trace's
    summary_->showStarted(QStringLiteral("Идёт трассировка..."));
    setRunning(true);
  };
  hooks.ended = [this](const TraceResult& result, bool stopped) {
    int reached = 0, stoppedShort = 0, notTraced = 0;
    for (const TypeTrace& type : result.types) {
      reached += type.reached();
      stoppedShort += type.traced() && !type.reached();
      notTraced += !type.traced();
    }
    if (!result.started) {
      summary_->showVerdict({VerdictKind::Failed, QString::fromStdString(result.failure)});
    } else if (stopped) {
      summary_->showVerdict({VerdictKind::Stopped, QStringLiteral("Трассировка остановлена")});
    } else {
      QString text = QStringLiteral("Дошли до сервера: %1, не дошли: %2").arg(reached).arg(stoppedShort);
      if (notTraced > 0) text += QStringLiteral(", не прослежены: %1").arg(notTraced);
      summary_->showVerdict({result.exitStatus() == 0 ? VerdictKind::Passed : VerdictKind::Failed, text});
    }
    setRunning(false);
  };
  traceView_->setHooks(std::move(hooks));
}

void ClientDialog::initialise() {
  // The fields show the initial values.
  writeValues();
  // X11 has no system menu to extend: the About entry is in the window's context menu.
  about_ = new QAction(QStringLiteral("&About client..."), this);
  connect(about_, &QAction::triggered, this, [this] { showAbout(); });
  setContextMenuPolicy(Qt::ActionsContextMenu);
  addAction(about_);
  // The icon; from here on the log's lines show in the list, and its alerts in a message box.
  setWindowIcon(connchk::ui::programIcon(connchk::ui::clientIconColor()));
  logView_ = std::make_unique<connchk::ui::LogListView>(logList_, handOff_);
  log_.setView(logView_.get());
  log_.setAlert(connchk::ui::messageBoxAlert(this, handOff_, QString::fromUtf8(ProgramTitle)));
  // The start state: Stop off until a run starts, the terminal's range, the default type (which
  // sets its number and whether the terminal field is open) and address; the values are then
  // read back, so that a check started at once runs what the window shows.
  stop_->setEnabled(false);
  terminal_->setRange(MinTerminal, MaxTerminal);
  terminal_->setValue(1);
  protocol_->setCurrentIndex(DefaultProtocolIndex);
  protocolChosen(DefaultProtocolIndex);
  address_->setText(QString::fromUtf8(DefaultServerAddress));
  readValues();
}

bool ClientDialog::readValues() {
  bool isNumber = false;
  const uint size = size_->text().trimmed().toUInt(&isNumber);
  if (!isNumber || size < MinPacketSize || size > MaxPacketSize) {
    QMessageBox::warning(this, QString::fromUtf8(ProgramTitle),
                         QString::fromUtf8(isNumber ? SizeRangeText : SizeNotNumberText), QMessageBox::Ok);
    size_->setFocus();
    size_->selectAll();
    return false;
  }
  values_.size = size;
  values_.protocolNumber = protocolNumber_->text().toUInt();
  values_.address = address_->text();
  values_.countText = count_->currentText();
  return true;
}

void ClientDialog::writeValues() {
  size_->setText(QString::number(values_.size));
  protocolNumber_->setText(QString::number(values_.protocolNumber));
  address_->setText(values_.address);
  count_->setEditText(values_.countText);
}

void ClientDialog::protocolChosen(int index) {
  const auto catalogue = ProtocolCatalogue();
  if (index < 0 || index >= static_cast<int>(catalogue.size())) return;
  const bool read = readValues();
  values_.protocolNumber = catalogue[static_cast<std::size_t>(index)].number;
  if (read) {
    writeValues();
  } else {
    // The size was refused: only the protocol number changes, so nothing the operator typed
    // into the other fields since the last good read is overwritten.
    protocolNumber_->setText(QString::number(values_.protocolNumber));
  }
  terminal_->setEnabled(index == TerminalUdpIndex);
}

void ClientDialog::checkClicked() {
  if (!readValues()) return;
  RunRequest request;
  request.address = values_.address.toStdString();
  request.size = values_.size;
  request.count = parseCountText(values_.countText.toStdString());
  request.protocolNumber = values_.protocolNumber;
  request.protocolIndex = protocol_->currentIndex();
  request.terminal = static_cast<std::uint32_t>(terminal_->value());
  request.account = askAccount_;
  lastRequest_ = request;
  rounds_.takeAll();
  stopAsked_ = false;
  const StartRefusal refusal = control_->startRun(request);
  if (refusal == StartRefusal::AddressTooLong) {
    QMessageBox::warning(this, QString::fromUtf8(ProgramTitle), QString::fromUtf8(AddressTooLongText), QMessageBox::Ok);
    address_->setFocus();
  }
}

void ClientDialog::stopClicked() {
  stopAsked_ = true;
  if (traceView_->running()) {
    traceView_->stop();
  } else if (sweep_) {
    if (sweepMtu_) sweepMtu_->stop();
    sweep_->stop();
  } else {
    control_->stopRun();
  }
}

std::int32_t ClientDialog::sweepCount(const QString& countText) {
  const std::int32_t count = parseCountText(countText.toStdString());
  return count > 1 ? count : DefaultSweepCount;
}

void ClientDialog::sweepClicked() {
  if (runGoing() || !readValues()) return;
  const WaysRead read = readWays(sweepPage_->viaEdit()->text());
  if (!read.problem.isEmpty()) {
    QMessageBox::warning(this, QString::fromUtf8(ProgramTitle), read.problem, QMessageBox::Ok);
    sweepPage_->viaEdit()->setFocus();
    return;
  }
  SweepPlan plan;
  plan.request.address = values_.address.toStdString();
  plan.request.size = values_.size;
  plan.request.count = sweepCount(values_.countText);
  plan.request.terminal = static_cast<std::uint32_t>(terminal_->value());
  plan.request.account = askAccount_;
  plan.types = sweepTypes_;
  // One way out is a sweep by that way; two or more, a sweep through each, compared.
  const std::vector<platform::WayOut> ways = read.ways;
  if (ways.size() == 1) plan = planThroughWay(plan, ways.front());
  sweepCompared_ = ways.size() > 1;
  const bool withMtu = sweepPage_->mtuBox()->isChecked() && !sweepCompared_;
  sweepSteps_.takeAll();
  sweepResult_ = SweepResult{};
  comparedResult_ = ComparedSweep{};
  stopAsked_ = false;
  sweepTable_->resetRows(withMtu);
  QStringList labels;
  for (const platform::WayOut& way : ways) labels.push_back(QString::fromStdString(way.name));
  sweepPage_->waysTable()->resetWays(sweepCompared_ ? labels : QStringList{});
  sweepPage_->showCompared(sweepCompared_);
  account_->clear();
  tabs_->setCurrentWidget(sweepPage_);
  summary_->showStarted(QStringLiteral("Идёт проверка всех типов..."));
  sweepControl_ = std::make_unique<RunControl>(log_, withLoggedSummary(log_, RunEvents{}));
  sweep_ = std::make_unique<Sweep>(*sweepControl_, log_);
  sweepMtu_ = withMtu ? std::make_unique<MtuCheck>(log_) : nullptr;
  setRunning(true);
  sweepTimer_->start();
  // The sweep's thread never waits on the window: its steps queue, and its end is posted.
  sweepThread_ = std::thread([this, plan, ways]() mutable {
    if (sweepMtu_) {
      // As --sweep --mtu: every type measured at once first, its cell filled as it ends.
      const MtuPlan measure{plan.request.address, plan.request.family, plan.types, MtuDefaultLargestSize,
                            MtuDefaultTimeoutMs, plan.request.way, plan.request.terminal};
      plan.mtu = sweepMtu_->run(measure, [this](const MtuRow& found) {
                            SweepRow row;
                            row.mtu = found;
                            sweepSteps_.push(SweepStep{found.typeIndex, false, row, 0, true});
                          }).rows;
    }
    std::size_t way = 0;  // the way being swept, when several are compared
    SweepProgress progress;
    progress.typeStarted = [this, &way](int typeIndex, std::size_t, std::size_t) {
      sweepSteps_.push(SweepStep{typeIndex, false, {}, way});
    };
    progress.typeFinished = [this, &way](const SweepRow& row, std::size_t, std::size_t) {
      sweepSteps_.push(SweepStep{row.typeIndex, true, row, way});
    };
    if (ways.size() > 1) {
      comparedResult_ = sweepThroughWays(*sweep_, log_, plan, ways, progress, [&way](std::size_t w) { way = w; });
    } else {
      sweepResult_ = sweep_->run(plan, progress);
      logSweepMatrix(log_, sweepResult_);
    }
    handOff_.post([this] { sweepEnded(); });
  });
}

void ClientDialog::drainSweep() {
  for (const SweepStep& step : sweepSteps_.takeAll()) {
    if (step.mtu) {
      if (step.row.mtu) sweepTable_->showMtu(step.typeIndex, *step.row.mtu);
      continue;
    }
    if (sweepCompared_) {
      if (!step.finished) {
        sweepPage_->waysTable()->showChecking(step.way, step.typeIndex);
      } else {
        sweepPage_->waysTable()->showRow(step.way, step.row);
        account_->keep(step.typeIndex, step.row.outcome.account);
      }
      continue;
    }
    if (!step.finished) {
      sweepTable_->showChecking(step.typeIndex);
    } else if (step.row.verdict == Verdict::NotRun) {
      sweepTable_->showNotRun(step.typeIndex, QString::fromStdString(step.row.reason));
    } else {
      sweepTable_->showResult(step.typeIndex, step.row.summary, RunVerdict{verdictKind(step.row.verdict), {}});
    }
    if (step.finished) {
      sweepTable_->showAccount(step.typeIndex, step.row.outcome.account);
      account_->keep(step.typeIndex, step.row.outcome.account);
    }
  }
}

void ClientDialog::sweepEnded() {
  if (sweepThread_.joinable()) sweepThread_.join();
  sweepTimer_->stop();
  drainSweep();
  if (sweepCompared_) {
    comparedSweepEnded();
    return;
  }
  int passed = 0, failed = 0;
  for (const SweepRow& row : sweepResult_.rows) {
    passed += row.verdict == Verdict::Pass || row.verdict == Verdict::Loss;
    failed += row.verdict == Verdict::Fail;
  }
  RunVerdict verdict;
  if (!sweepResult_.started) {
    verdict = {VerdictKind::Failed, QString::fromStdString(sweepResult_.failure)};
  } else if (stopAsked_) {
    verdict = {VerdictKind::Stopped, QStringLiteral("Проверка всех типов остановлена")};
  } else {
    verdict = {sweepResult_.exitStatus() == 0 ? VerdictKind::Passed : VerdictKind::Failed,
               QStringLiteral("Пройдено типов: %1, не пройдено: %2").arg(passed).arg(failed)};
  }
  summary_->showVerdict(verdict);
  sweep_.reset();
  sweepMtu_.reset();
  sweepControl_.reset();
  setRunning(false);
}

void ClientDialog::comparedSweepEnded() {
  RunVerdict verdict{VerdictKind::Failed, {}};
  bool started = false;
  for (std::size_t way = 0; way < comparedResult_.ways.size(); ++way) {
    const SweepResult& result = comparedResult_.ways[way].result;
    started = started || result.started;
    if (!result.started) {
      sweepPage_->waysTable()->showWayFailed(way, QString::fromStdString(result.failure));
      if (verdict.text.isEmpty()) verdict.text = QString::fromStdString(result.failure);
    }
  }
  if (started && stopAsked_) {
    verdict = {VerdictKind::Stopped, QStringLiteral("Проверка всех типов остановлена")};
  } else if (started) {
    verdict = {comparedResult_.exitStatus() == 0 ? VerdictKind::Passed : VerdictKind::Failed,
               QStringLiteral("Итог различается у типов: %1").arg(sweepPage_->waysTable()->differing())};
  }
  summary_->showVerdict(verdict);
  sweep_.reset();
  sweepMtu_.reset();
  sweepControl_.reset();
  setRunning(false);
}

void ClientDialog::showAbout() {
  connchk::ui::AboutDialog about(QString::fromUtf8(ProgramTitle), windowIcon(), this);
  about.exec();
}

void ClientDialog::setRunning(bool running) {
  // Each button is enabled before the other is disabled, so that the focus passes from the
  // one to the other and never falls through to "Выход".
  if (running) {
    stop_->setEnabled(true);
    check_->setEnabled(false);
    sweepButton_->setEnabled(false);
    traceView_->startButton()->setEnabled(false);
    return;
  }
  check_->setEnabled(true);
  sweepButton_->setEnabled(true);
  traceView_->startButton()->setEnabled(true);
  if (stop_->hasFocus()) check_->setFocus();
  stop_->setEnabled(false);
}

void ClientDialog::runStarting() {
  plot_->clear();
  account_->clear();
  summary_->showStarted(QStringLiteral("Идёт проверка..."));
  tabs_->setCurrentWidget(plot_);
  drainTimer_->start();
  setRunning(true);
}

void ClientDialog::drainRounds() {
  const std::vector<EndedRound> ended = rounds_.takeAll();
  if (ended.empty()) return;
  std::vector<RoundRecord> rounds;
  rounds.reserve(ended.size());
  for (const EndedRound& e : ended) rounds.push_back(e.round);
  plot_->addRounds(rounds);
  summary_->showFigures(ended.back().soFar);
}

void ClientDialog::runEnded() {
  drainTimer_->stop();
  drainRounds();
  // The worker has handed over its last round and is ending: its outcome is final.
  const RunOutcome outcome = control_->waitForEnd();
  const RunSummary figures = summarize(outcome);
  summary_->showFigures(figures);
  summary_->showVerdict(verdictShown(outcome.judgement, figures, stopAsked_));
  account_->showAccount(outcome.account);
}

void ClientDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
    QDialog::keyPressEvent(event);
    return;
  }
  auto* button = qobject_cast<QPushButton*>(focusWidget());
  if (button && button != exit_ && button->isEnabled()) {
    button->click();
  } else if (check_->isEnabled()) {
    check_->click();
  }
  event->accept();
}

bool ClientDialog::runGoing() const {
  return (control_ && control_->running()) || sweep_ != nullptr || (traceView_ && traceView_->running());
}

void ClientDialog::done(int result) {
  handOff_.close();
  QDialog::done(result);
}

}  // namespace connchk::client::ui
