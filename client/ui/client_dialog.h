// The client's window: the test parameters, the protocol types with their numbers, Check and
// Stop, and the activity log; below them the current run's round trips as a plot with its
// figures and verdict, and the matrix of a sweep over every type. It only moves values between
// its controls and the run control, and shows what the runs report.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include <QDialog>
#include <QString>

#include "client/run_control.h"
#include "client/sweep.h"
#include "client/sweep_ways.h"
#include "common/activity_log.h"
#include "common/ui/batch_queue.h"
#include "common/ui/hand_off.h"
#include "common/ui/list_views.h"

class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class QAction;
class QTabWidget;
class QTimer;

namespace connchk::client::ui {

class RoundTripPlot;
class AccountPanel;
class RunSummaryPanel;
class SweepPage;
class SweepTable;
class TraceView;

inline constexpr const char* ClientCaption = "Проверка возможности соединения ПО \"ТАРВЕН\"";
inline constexpr const char* SizeNotNumberText = "Введите целое число.";
inline constexpr const char* SizeRangeText = "Введите целое число от 12 до 1500.";
inline constexpr const char* AddressTooLongText = "Имя/адрес сервера не может быть длиннее 255 символов.";

class ClientDialog : public QDialog {
 public:
  explicit ClientDialog(ActivityLog& log, QWidget* parent = nullptr);
  ~ClientDialog() override;

  // Whether a worker is still running (the program then ends without waiting for it).
  bool runGoing() const;

  // The controls, for tests and the screenshot.
  QLineEdit* addressEdit() const { return address_; }
  QLineEdit* sizeEdit() const { return size_; }
  QComboBox* countBox() const { return count_; }
  QComboBox* protocolBox() const { return protocol_; }
  QLineEdit* protocolNumberEdit() const { return protocolNumber_; }
  QSpinBox* terminalSpin() const { return terminal_; }
  QPushButton* checkButton() const { return check_; }
  QPushButton* stopButton() const { return stop_; }
  QPushButton* exitButton() const { return exit_; }
  QPushButton* sweepButton() const { return sweepButton_; }
  QListWidget* logList() const { return logList_; }
  QAction* aboutAction() const { return about_; }
  QTabWidget* viewTabs() const { return tabs_; }
  RoundTripPlot* plot() const { return plot_; }
  RunSummaryPanel* summaryPanel() const { return summary_; }
  AccountPanel* accountPanel() const { return account_; }
  SweepPage* sweepPage() const { return sweepPage_; }
  SweepTable* sweepTable() const { return sweepTable_; }
  TraceView* traceView() const { return traceView_; }

  // The parameter fields, the buttons and the log keep the places and sizes their operators know;
  // the plot, the figures and the sweep matrix lie below them, growing the window by this many
  // dialog units.
  static constexpr int GrowthUnits = 197;
  // Below those, the server's account of the last run (or of the type chosen in the sweep).
  static constexpr int AccountUnits = 40;

  // The rounds of each type in a sweep: the window's count when it is a number above 1; otherwise
  // (1, "Бесконечно", unreadable) DefaultSweepCount, since one round says little about loss and an
  // endless run would never reach the next type.
  static std::int32_t sweepCount(const QString& countText);
  // The types the sweep button checks, in order; empty (the default) is the whole catalogue.
  void setSweepTypes(std::vector<int> types) { sweepTypes_ = std::move(types); }

  // Whether each run and each type of a sweep asks the server afterwards what it received (the
  // default); a peer that only echoes never answers the query, which then costs a time-out.
  void setAskAccount(bool ask) { askAccount_ = ask; }
  bool asksAccount() const { return askAccount_; }

  // What the last Check handed to the run control.
  const RunRequest& lastRequest() const { return lastRequest_; }

  void done(int result) override;

 protected:
  // Enter starts a check wherever the focus is, unless another button than "Выход" has it.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // The window values, exchanged with the controls on demand.
  struct Values {
    std::uint32_t size = 32;
    std::uint32_t protocolNumber = 17;
    QString address;
    QString countText = QStringLiteral("1");
  };

  void buildControls();
  void initialise();
  // Controls to values, in the order size, protocol number, address, count; stops at the first
  // field that fails, after its message, with the focus back in that field.
  bool readValues();
  void writeValues();

  void protocolChosen(int index);
  void checkClicked();
  void stopClicked();
  void showAbout();
  void setRunning(bool running);
  void buildRunViews();
  void runStarting();
  // Takes the rounds the worker handed over since the last tick onto the plot and figures.
  void drainRounds();
  void runEnded();
  // "Проверить все типы": the sweep of every type against the address typed, on a thread of its
  // own; each type's row comes to the table through a queue drained on a timer.
  void sweepClicked();
  void drainSweep();
  void sweepEnded();
  // The end of a sweep through several ways ("Через"): the compared matrix's verdict.
  void comparedSweepEnded();
  // "Трассировать все типы": the trace of every type towards the address typed (TraceView).
  void buildTraceTab();

  ActivityLog& log_;
  connchk::ui::HandOff handOff_;
  std::unique_ptr<connchk::ui::LogListView> logView_;
  std::unique_ptr<RunControl> control_;
  Values values_;
  RunRequest lastRequest_;

  QLineEdit* address_ = nullptr;
  QLineEdit* size_ = nullptr;
  QComboBox* count_ = nullptr;
  QComboBox* protocol_ = nullptr;
  QLineEdit* protocolNumber_ = nullptr;
  QSpinBox* terminal_ = nullptr;
  QPushButton* check_ = nullptr;
  QPushButton* stop_ = nullptr;
  QPushButton* exit_ = nullptr;
  QListWidget* logList_ = nullptr;
  QAction* about_ = nullptr;

  QTabWidget* tabs_ = nullptr;
  RoundTripPlot* plot_ = nullptr;
  RunSummaryPanel* summary_ = nullptr;
  AccountPanel* account_ = nullptr;
  SweepPage* sweepPage_ = nullptr;
  SweepTable* sweepTable_ = nullptr;
  TraceView* traceView_ = nullptr;
  QTimer* drainTimer_ = nullptr;
  // Each round as it ended, with the run's figures at that moment.
  struct EndedRound {
    RoundRecord round;
    RunSummary soFar;
  };
  connchk::ui::BatchQueue<EndedRound> rounds_;
  bool stopAsked_ = false;  // Stop was pressed during the current run

  struct SweepStep {
    int typeIndex = 0;
    bool finished = false;  // false: the type's run is starting
    SweepRow row;
    std::size_t way = 0;  // of the ways compared
    bool mtu = false;     // the type's MTU (row.mtu), measured before the runs
  };
  QPushButton* sweepButton_ = nullptr;
  QTimer* sweepTimer_ = nullptr;
  connchk::ui::BatchQueue<SweepStep> sweepSteps_;
  std::unique_ptr<RunControl> sweepControl_;  // a control of its own: its runs never touch the plot
  std::unique_ptr<Sweep> sweep_;
  std::unique_ptr<MtuCheck> sweepMtu_;  // "Искать MTU": measured before the sweep's runs
  std::thread sweepThread_;
  std::vector<int> sweepTypes_;
  bool askAccount_ = true;
  SweepResult sweepResult_;  // written by the sweep's thread, read after it has been joined
  ComparedSweep comparedResult_;  // the same, for a sweep through several ways
  bool sweepCompared_ = false;    // the sweep going on (or the last) goes through several ways
};

}  // namespace connchk::client::ui
