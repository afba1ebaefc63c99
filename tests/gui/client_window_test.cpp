// The client's window on the offscreen platform: its initial state, the protocol handler, the
// size check, how the count text is read, the buttons around a run against a local responder,
// the bounded log list, the log-file alert and closing while a worker waits on the window.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <QAction>
#include <QCheckBox>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QValueAxis>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>

#include "client/protocol_catalogue.h"
#include "client/ui/account_panel.h"
#include "client/ui/client_dialog.h"
#include "client/ui/round_trip_plot.h"
#include "client/ui/run_summary_panel.h"
#include "client/ui/sweep_page.h"
#include "client/ui/sweep_table.h"
#include "client/ui/trace_view.h"
#include "client/ui/ways_table.h"
#include "common/activity_log.h"
#include "common/ui/dialog_units.h"
#include "server/service_host.h"
#include "server/services.h"
#include "common/protocol.h"
#include "tests/gui/gui_support.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"
#include "tests/support/two_hosts.h"

namespace connchk::client::ui {
namespace {

using connchk::testing::ensureApplication;
using connchk::testing::listLines;
using connchk::testing::MessageBoxWatcher;
using connchk::testing::ScratchFolder;
using connchk::testing::waitUntil;
using namespace std::chrono_literals;

int countLines(const QListWidget* list, const std::string& text) {
  int n = 0;
  for (const std::string& line : listLines(list)) n += line.find(text) != std::string::npos;
  return n;
}

// "[HH:mm:ss] " and some text.
bool stampedWithTimeOfDay(const std::string& line) {
  const std::string form = "[00:00:00] ";
  if (line.size() <= form.size()) return false;
  for (std::size_t i = 0; i < form.size(); ++i) {
    const bool digit = form[i] == '0';
    if (digit ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != form[i]) return false;
  }
  return true;
}

class ClientWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ensureApplication();
    dialog_ = std::make_unique<ClientDialog>(log_);
    EXPECT_TRUE(dialog_->asksAccount());
    // The peers here only echo: the server's account is asked for where the real server answers.
    dialog_->setAskAccount(false);
    dialog_->show();
    QApplication::setActiveWindow(dialog_.get());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
  }

  void TearDown() override { dialog_.reset(); }

  // The operator picks entry `index` in the protocol type list.
  void chooseProtocol(int index) {
    dialog_->protocolBox()->setCurrentIndex(index);
    emit dialog_->protocolBox()->activated(index);
  }

  // Types as the operator does; QTest has key codes for ASCII only, so other text is inserted.
  static void typeInto(QLineEdit* edit, const QString& text) {
    edit->selectAll();
    edit->del();
    bool ascii = true;
    for (const QChar c : text) ascii = ascii && c.unicode() < 128;
    if (ascii) {
      QTest::keyClicks(edit, text);
    } else {
      edit->insert(text);
    }
  }

  void typeCount(const QString& text) { typeInto(dialog_->countBox()->lineEdit(), text); }

  void clickCheck() { QTest::mouseClick(dialog_->checkButton(), Qt::LeftButton); }

  bool idle() const { return dialog_->checkButton()->isEnabled() && !dialog_->stopButton()->isEnabled(); }
  bool busy() const { return !dialog_->checkButton()->isEnabled() && dialog_->stopButton()->isEnabled(); }

  ScratchFolder folder_;
  ActivityLog log_ = ActivityLog::atPath(LogStyle::Client, folder_.file("client_log.txt"));
  std::unique_ptr<ClientDialog> dialog_;
};

TEST_F(ClientWindowTest, OpensWithTheWrittenControlsAndDefaults) {
  ClientDialog& d = *dialog_;
  EXPECT_EQ(d.windowTitle().toStdString(), "Проверка возможности соединения ПО \"ТАРВЕН\"");
  EXPECT_EQ(d.addressEdit()->text().toStdString(), DefaultServerAddress);
  EXPECT_EQ(d.sizeEdit()->text(), "32");
  EXPECT_EQ(d.countBox()->currentText(), "1");
  EXPECT_TRUE(d.countBox()->isEditable());
  ASSERT_EQ(d.countBox()->count(), 4);
  EXPECT_EQ(d.countBox()->itemText(3).toStdString(), "Бесконечно");
  EXPECT_EQ(d.countBox()->itemText(2), "10");

  const auto catalogue = ProtocolCatalogue();
  ASSERT_EQ(d.protocolBox()->count(), 15);
  for (int i = 0; i < 15; ++i) EXPECT_EQ(d.protocolBox()->itemText(i).toStdString(), catalogue[i].text);
  EXPECT_FALSE(d.protocolBox()->isEditable());
  EXPECT_EQ(d.protocolBox()->currentText().toStdString(), "IP-Клиент");
  EXPECT_EQ(d.protocolNumberEdit()->text(), "17");
  EXPECT_TRUE(d.protocolNumberEdit()->isReadOnly());

  EXPECT_FALSE(d.terminalSpin()->isEnabled());
  EXPECT_EQ(d.terminalSpin()->value(), 1);
  EXPECT_EQ(d.terminalSpin()->minimum(), 1);
  EXPECT_EQ(d.terminalSpin()->maximum(), 999);

  EXPECT_EQ(d.checkButton()->text().toStdString(), "Проверить");
  EXPECT_TRUE(d.checkButton()->isDefault());
  EXPECT_TRUE(d.checkButton()->isEnabled());
  EXPECT_EQ(d.stopButton()->text().toStdString(), "Остановить");
  EXPECT_FALSE(d.stopButton()->isEnabled());
  EXPECT_EQ(d.exitButton()->text().toStdString(), "Выход");
  EXPECT_EQ(d.logList()->count(), 0);
  EXPECT_EQ(d.aboutAction()->text().toStdString(), "&About client...");
  EXPECT_FALSE(d.windowIcon().isNull());

  // The labels and the frame, and the arrangement: the frame on the left, the log to its right,
  // the window 373 x 207 dialog units wide and high.
  std::vector<std::string> labels;
  for (const QLabel* label : d.findChildren<QLabel*>()) labels.push_back(label->text().toStdString());
  for (const char* text : {"Имя/адрес", "Размер:", "байт", "Количество пакетов:", "Тип протокола:",
                           "Номер протокола:", "Номер терминала:"}) {
    EXPECT_NE(std::find(labels.begin(), labels.end(), text), labels.end()) << text;
  }
  const auto frames = d.findChildren<QGroupBox*>();
  ASSERT_EQ(frames.size(), 3);
  EXPECT_EQ(frames[0]->title().toStdString(), "Параметры");
  EXPECT_EQ(frames[1]->title().toStdString(), "Итоги");
  EXPECT_EQ(frames[2]->title().toStdString(), "Отчет сервера");
  // The controls operators know keep their places; the plot, the figures and the sweep lie below.
  const connchk::ui::DialogUnits du(d.fontMetrics());
  EXPECT_EQ(d.size(), du.size(373, 207 + ClientDialog::GrowthUnits + ClientDialog::AccountUnits));
  EXPECT_EQ(frames[0]->geometry(), du.rect(7, 7, 124, 169));
  EXPECT_EQ(d.logList()->geometry(), du.rect(137, 7, 229, 168));
  EXPECT_EQ(d.checkButton()->geometry(), du.rect(7, 185, 50, 15));
  EXPECT_EQ(d.exitButton()->geometry(), du.rect(316, 184, 50, 16));
  EXPECT_TRUE(frames[0]->geometry().contains(d.terminalSpin()->geometry()));
  d.viewTabs()->setCurrentWidget(d.sweepPage());
  const SweepTable& sweep = *d.sweepTable();
  EXPECT_LE(sweep.rowViewportPosition(14) + sweep.rowHeight(14), sweep.viewport()->height()) << "the matrix scrolls";
  for (const QWidget* below : {static_cast<const QWidget*>(d.viewTabs()), static_cast<const QWidget*>(frames[1])}) {
    EXPECT_GE(below->geometry().top(), du.y(207));
    EXPECT_LE(below->geometry().bottom(), d.height());
  }
  // The account lies under both.
  EXPECT_GT(frames[2]->geometry().top(), d.viewTabs()->geometry().bottom());
  EXPECT_GT(frames[2]->geometry().top(), frames[1]->geometry().bottom());
  EXPECT_LE(frames[2]->geometry().bottom(), d.height());
  // No label is cut, in any tab.
  for (int tab = 0; tab < d.viewTabs()->count(); ++tab) {
    d.viewTabs()->setCurrentIndex(tab);
    for (const QLabel* label : d.findChildren<QLabel*>()) {
      if (!label->isVisible()) continue;
      EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString() << " is cut";
    }
  }
}

TEST_F(ClientWindowTest, OnlyTelmUdpEnablesTheTerminalNumber) {
  chooseProtocol(TerminalUdpIndex);
  EXPECT_EQ(dialog_->protocolNumberEdit()->text(), "17");
  EXPECT_TRUE(dialog_->terminalSpin()->isEnabled());
  // The spin box keeps the number within 1..999.
  dialog_->terminalSpin()->setFocus();
  QTest::keyClick(dialog_->terminalSpin(), Qt::Key_Down);
  EXPECT_EQ(dialog_->terminalSpin()->value(), 1);
  QTest::keyClick(dialog_->terminalSpin(), Qt::Key_Up);
  EXPECT_EQ(dialog_->terminalSpin()->value(), 2);
  dialog_->terminalSpin()->setValue(1000);
  EXPECT_EQ(dialog_->terminalSpin()->value(), 999);

  chooseProtocol(TerminalUdpIndex + 1);
  EXPECT_EQ(dialog_->protocolNumberEdit()->text(), "6");
  EXPECT_FALSE(dialog_->terminalSpin()->isEnabled());
  chooseProtocol(IcmpIndex);
  EXPECT_EQ(dialog_->protocolNumberEdit()->text(), "1");
  EXPECT_FALSE(dialog_->terminalSpin()->isEnabled());
  chooseProtocol(11);
  EXPECT_EQ(dialog_->protocolNumberEdit()->text(), "56");
  chooseProtocol(UdpEchoIndex);
  EXPECT_EQ(dialog_->protocolNumberEdit()->text(), "17");
  EXPECT_FALSE(dialog_->terminalSpin()->isEnabled());
}

TEST_F(ClientWindowTest, CheckRefusesASizeOutsideTheRangeOrNotANumber) {
  struct Case {
    const char* size;
    const char* message;
  };
  for (const Case& c : {Case{"11", SizeRangeText}, Case{"1501", SizeRangeText}, Case{"", SizeNotNumberText}}) {
    SCOPED_TRACE(c.size);
    typeInto(dialog_->sizeEdit(), QString::fromUtf8(c.size));
    dialog_->addressEdit()->setFocus();
    MessageBoxWatcher boxes;
    clickCheck();
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].text.toStdString(), c.message);
    EXPECT_EQ(boxes.seen[0].title, "client");
    EXPECT_EQ(dialog_->focusWidget(), dialog_->sizeEdit());
    EXPECT_FALSE(dialog_->runGoing());
    EXPECT_TRUE(idle());
    QTest::qWait(50);
    EXPECT_EQ(dialog_->logList()->count(), 0);
  }
  // The size field takes digits only.
  typeInto(dialog_->sizeEdit(), "4a0");
  EXPECT_EQ(dialog_->sizeEdit()->text(), "40");
}

TEST_F(ClientWindowTest, ARefusedSizeNeverOverwritesWhatTheOperatorTyped) {
  // A good read first, so that there are old values to write back.
  chooseProtocol(UdpEchoIndex);
  typeInto(dialog_->addressEdit(), "10.9.8.7");
  typeCount("5");
  typeInto(dialog_->sizeEdit(), "11");
  MessageBoxWatcher boxes;
  chooseProtocol(TerminalUdpIndex + 1);
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].text.toStdString(), SizeRangeText);
  EXPECT_EQ(dialog_->addressEdit()->text(), "10.9.8.7");
  EXPECT_EQ(dialog_->countBox()->currentText(), "5");
  EXPECT_EQ(dialog_->sizeEdit()->text(), "11");
  EXPECT_EQ(dialog_->protocolNumberEdit()->text(), "6");

  // With a good size the values read are written back unchanged.
  typeInto(dialog_->sizeEdit(), "64");
  chooseProtocol(IcmpIndex);
  EXPECT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(dialog_->addressEdit()->text(), "10.9.8.7");
  EXPECT_EQ(dialog_->countBox()->currentText(), "5");
  EXPECT_EQ(dialog_->sizeEdit()->text(), "64");
  EXPECT_EQ(dialog_->protocolNumberEdit()->text(), "1");
}

TEST_F(ClientWindowTest, AnAddressOver255CharactersIsRefusedWithAMessage) {
  dialog_->addressEdit()->setText(QString(256, QChar('a')));
  MessageBoxWatcher boxes;
  clickCheck();
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].text.toStdString(), AddressTooLongText);
  EXPECT_FALSE(dialog_->runGoing());
  EXPECT_TRUE(idle());
}

TEST_F(ClientWindowTest, CountTextsAreReadAsWritten) {
  REQUIRE_PRIVATE_NETWORK();
  connchk::testing::UdpPeer peer(87, [](const connchk::testing::Bytes& r) { return connchk::testing::withReplyMarker(r); });
  struct Case {
    const char* text;
    int count;
    std::size_t requests;  // for a run without end: how many to see before Stop
  };
  const Case cases[] = {{"3", 3, 3}, {"-1", -1, 2}, {"Бесконечно", -1, 2}, {"-5", -5, 0}, {"abc", 0, 0}};
  std::size_t before = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    typeCount(QString::fromUtf8(c.text));
    clickCheck();
    EXPECT_EQ(dialog_->lastRequest().count, c.count);
    if (c.count < 0 && c.requests > 0) {
      ASSERT_TRUE(waitUntil([&] { return peer.received().size() >= before + c.requests; }));
      QTest::mouseClick(dialog_->stopButton(), Qt::LeftButton);
    }
    ASSERT_TRUE(waitUntil([&] { return idle(); }, 15s));
    const std::size_t sent = peer.received().size() - before;
    if (c.count < 0 && c.requests > 0) {
      EXPECT_GE(sent, c.requests);
      EXPECT_LE(sent, c.requests + 1);
    } else {
      EXPECT_EQ(sent, c.requests);
    }
    before += sent;
  }
  // Every run, those without a round too, logged where it connected (the list shows it shortly).
  EXPECT_TRUE(waitUntil([&] { return countLines(dialog_->logList(), "Соединение с 127.0.0.1, порт 87") == 5; }));
}

TEST_F(ClientWindowTest, CheckAndStopFollowARunAgainstALocalResponder) {
  REQUIRE_PRIVATE_NETWORK();
  connchk::testing::UdpPeer peer(87, [](const connchk::testing::Bytes& r) { return connchk::testing::withReplyMarker(r); });
  typeCount(QString::fromUtf8(InfiniteCountText));
  // Enter in a field acts as Check, the default button.
  dialog_->addressEdit()->setFocus();
  QTest::keyClick(dialog_->addressEdit(), Qt::Key_Return);
  EXPECT_TRUE(dialog_->runGoing());
  EXPECT_TRUE(busy());
  ASSERT_TRUE(waitUntil([&] { return countLines(dialog_->logList(), "Получен ответ от сервера") >= 2; }));
  // A second Enter while the run goes on starts nothing.
  QTest::keyClick(dialog_->addressEdit(), Qt::Key_Return);
  EXPECT_TRUE(busy());

  // Stop asks; the buttons come back when the worker has ended, not before.
  dialog_->stopButton()->click();
  EXPECT_TRUE(busy());
  ASSERT_TRUE(waitUntil([&] { return idle(); }, 8s));
  EXPECT_FALSE(dialog_->runGoing());

  // The list is fed in batches: the summary shows within one.
  ASSERT_TRUE(waitUntil([&] { return countLines(dialog_->logList(), "Процентили p50/p95/p99") == 1; }));
  const auto lines = listLines(dialog_->logList());
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) EXPECT_TRUE(stampedWithTimeOfDay(line)) << line;
  EXPECT_NE(lines.front().find("Соединение с 127.0.0.1, порт 87 (свой порт "), std::string::npos);
  // The run's summary ends the list: the window shows it as the terminal and the file do.
  ASSERT_GE(lines.size(), 4u);
  EXPECT_NE(lines[lines.size() - 4].find("Протокол IP-Клиент. Время приема-передачи: "), std::string::npos);
  EXPECT_NE(lines[lines.size() - 3].find("(проверка остановлена)"), std::string::npos) << lines[lines.size() - 3];
  EXPECT_NE(lines[lines.size() - 2].find("Время приема-передачи мин/сред/макс/откл: "), std::string::npos);
  EXPECT_NE(lines.back().find("Процентили p50/p95/p99: "), std::string::npos);

  // A count of one after that: one request, and the buttons come back by themselves.
  const std::size_t before = peer.received().size();
  typeCount("1");
  clickCheck();
  EXPECT_TRUE(busy());
  ASSERT_TRUE(waitUntil([&] { return idle(); }, 8s));
  EXPECT_EQ(peer.received().size(), before + 1);
}

TEST_F(ClientWindowTest, EnterStartsACheckWhereverTheFocusIsAndNeverEndsTheProgram) {
  REQUIRE_PRIVATE_NETWORK();
  connchk::testing::UdpPeer peer(87, [](const connchk::testing::Bytes& r) { return connchk::testing::withReplyMarker(r); });
  auto pressEnter = [&](QWidget* target) {
    const std::size_t before = peer.received().size();
    QTest::keyClick(target, Qt::Key_Return);
    EXPECT_TRUE(dialog_->isVisible());
    EXPECT_TRUE(waitUntil([&] { return idle() && peer.received().size() == before + 1; }, 8s)) << "no run started";
  };
  // A run started with the mouse: the focus passes from Check to Stop and back, never to
  // "Выход", and the next Enter starts the next run.
  clickCheck();
  ASSERT_TRUE(waitUntil([&] { return idle(); }, 8s));
  EXPECT_EQ(dialog_->focusWidget(), dialog_->checkButton());
  pressEnter(dialog_->focusWidget());
  // Wherever the focus is, "Выход" included.
  for (QWidget* focus : std::vector<QWidget*>{dialog_->exitButton(), dialog_->logList(), dialog_->protocolBox(),
                                              dialog_->countBox(), dialog_->sizeEdit(), dialog_->viewTabs()}) {
    SCOPED_TRACE(focus->metaObject()->className());
    focus->setFocus();
    pressEnter(dialog_->focusWidget());
  }
  // Enter on Stop means Stop.
  typeCount(QString::fromUtf8(InfiniteCountText));
  clickCheck();
  ASSERT_TRUE(waitUntil([&] { return countLines(dialog_->logList(), "Получен ответ от сервера") >= 9; }));
  EXPECT_EQ(dialog_->focusWidget(), dialog_->stopButton());
  QTest::keyClick(dialog_->stopButton(), Qt::Key_Return);
  EXPECT_TRUE(waitUntil([&] { return idle(); }, 8s));
  EXPECT_TRUE(dialog_->isVisible());
}

// Figures of the window as it shows them.
std::string shownFigure(const ClientDialog& dialog, RunSummaryPanel::Figure figure) {
  return dialog.summaryPanel()->figure(figure)->text().toStdString();
}

TEST_F(ClientWindowTest, ThePlotAndFiguresFollowARunAgainstAResponderThatLosesOneRequestInThree) {
  REQUIRE_PRIVATE_NETWORK();
  std::atomic<int> requests{0};
  connchk::testing::UdpPeer peer(87, [&](const connchk::testing::Bytes& r) -> std::optional<connchk::testing::Bytes> {
    if (++requests == 2) return std::nullopt;
    return connchk::testing::withReplyMarker(r);
  });
  typeCount("3");
  clickCheck();
  // Live: the first answer is on the plot and in the figures while the run still waits.
  ASSERT_TRUE(waitUntil([&] { return dialog_->plot()->answerPoints() == 1; }));
  EXPECT_TRUE(busy());
  EXPECT_EQ(shownFigure(*dialog_, RunSummaryPanel::Answered), "1");
  EXPECT_EQ(dialog_->summaryPanel()->verdict()->text().toStdString(), "Идёт проверка...");
  ASSERT_TRUE(waitUntil([&] { return idle(); }, 20s));

  EXPECT_EQ(dialog_->plot()->answerPoints(), 2);
  EXPECT_EQ(dialog_->plot()->missedMarks(), 1);
  EXPECT_GT(dialog_->plot()->misses()->at(0).y(), std::max(dialog_->plot()->answers()->at(0).y(), dialog_->plot()->answers()->at(1).y()));
  EXPECT_EQ(shownFigure(*dialog_, RunSummaryPanel::Sent), "3");
  EXPECT_EQ(shownFigure(*dialog_, RunSummaryPanel::Answered), "2");
  EXPECT_EQ(shownFigure(*dialog_, RunSummaryPanel::Loss), "33.3 %");
  for (const auto figure : {RunSummaryPanel::Min, RunSummaryPanel::Avg, RunSummaryPanel::Max, RunSummaryPanel::Mdev}) {
    const std::string text = shownFigure(*dialog_, figure);
    EXPECT_EQ(text.substr(text.size() - 5), " мс") << text;
  }
  EXPECT_EQ(dialog_->summaryPanel()->verdict()->text().toStdString(), "Проверка пройдена, потеряно 1 из 3");
  EXPECT_EQ(countLines(dialog_->logList(), "Превышено время ожидания ответа"), 1);
}

TEST_F(ClientWindowTest, TheVerdictAfterAPassAFailureAndStop) {
  REQUIRE_PRIVATE_NETWORK();
  std::atomic<bool> answering{true};
  connchk::testing::UdpPeer peer(87, [&](const connchk::testing::Bytes& r) -> std::optional<connchk::testing::Bytes> {
    if (!answering) return std::nullopt;
    return connchk::testing::withReplyMarker(r);
  });
  auto verdictAfter = [&](const char* count, const std::function<void()>& meanwhile) {
    typeCount(QString::fromUtf8(count));
    clickCheck();
    meanwhile();
    EXPECT_TRUE(waitUntil([&] { return idle(); }, 20s));
    return dialog_->summaryPanel()->verdict()->text().toStdString();
  };
  EXPECT_EQ(verdictAfter("2", [] {}), "Проверка пройдена");
  EXPECT_EQ(verdictAfter(InfiniteCountText, [&] {
    ASSERT_TRUE(waitUntil([&] { return dialog_->plot()->answerPoints() >= 2; }));
    dialog_->stopButton()->click();
  }), "Проверка остановлена");
  EXPECT_EQ(dialog_->plot()->missedMarks(), 0);  // a wait that Stop ended is no loss
  answering = false;
  EXPECT_EQ(verdictAfter("1", [] {}), "Проверка не пройдена: ответа нет");
  EXPECT_EQ(shownFigure(*dialog_, RunSummaryPanel::Loss), "100 %");
  EXPECT_EQ(dialog_->plot()->missedMarks(), 1);
}

TEST_F(ClientWindowTest, TheLogListHolds100LinesAndSparesTheFirst) {
  std::thread worker([this] {
    for (int i = 0; i < 150; ++i) log_.log("строка " + std::to_string(i));
  });
  ASSERT_TRUE(waitUntil([&] { return dialog_->logList()->count() == 100 &&
                                     dialog_->logList()->item(99)->text().endsWith("строка 149"); }));
  worker.join();
  const auto lines = listLines(dialog_->logList());
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_NE(lines[0].find("] строка 0"), std::string::npos);
  EXPECT_NE(lines[1].find("] строка 51"), std::string::npos);
  EXPECT_EQ(dialog_->logList()->currentRow(), 99);  // the newest line is the current one
  // The file keeps every line.
  ASSERT_TRUE(log_.flush());
  const std::string file = connchk::testing::readFile(folder_.file("client_log.txt"));
  EXPECT_EQ(connchk::testing::occurrences(file, "\r\n"), 150);
}

TEST_F(ClientWindowTest, TheLogFileAlertIsAMessageBoxTheLoggingThreadDoesNotWaitOn) {
  auto unwritable = ActivityLog::atPath(LogStyle::Client, folder_.file("missing/client_log.txt"));
  dialog_.reset();
  dialog_ = std::make_unique<ClientDialog>(unwritable);
  // The window thread runs no events while the worker logs, and the worker still goes on.
  std::thread worker([&] {
    unwritable.log("первая строка");
    unwritable.log("вторая строка");
  });
  worker.join();
  ASSERT_TRUE(unwritable.flush());
  MessageBoxWatcher boxes;
  ASSERT_TRUE(waitUntil([&] { return !boxes.seen.empty(); }));
  QTest::qWait(100);
  ASSERT_EQ(boxes.seen.size(), 1u) << "one box for the spell of failures, not one per line";
  EXPECT_EQ(boxes.seen[0].text.toStdString(), "Ошибка при создании log-файла!");
  EXPECT_EQ(boxes.seen[0].title, "client");
  EXPECT_EQ(unwritable.linesLost(), 2u);
  ASSERT_TRUE(waitUntil([&] { return dialog_->logList()->count() == 2; }));
  EXPECT_TRUE(dialog_->logList()->item(0)->text().endsWith("первая строка"));
  dialog_.reset();
}

TEST_F(ClientWindowTest, ClosingDropsTheLinesThatWaitForTheWindow) {
  // The window thread is busy here (it does not run its event loop); the line does not wait.
  std::thread worker([&] { log_.log("ждёт окно"); });
  worker.join();
  dialog_->exitButton()->click();  // synchronous: the event loop does not run meanwhile
  EXPECT_FALSE(dialog_->isVisible());
  // The line that waited is dropped from the list even when the event loop runs again.
  QTest::qWait(100);
  EXPECT_EQ(dialog_->logList()->count(), 0);
  // Later lines still reach the file.
  log_.log("после закрытия");
  ASSERT_TRUE(log_.flush());
  const std::string file = connchk::testing::readFile(folder_.file("client_log.txt"));
  EXPECT_EQ(connchk::testing::occurrences(file, "\r\n"), 2);
}

TEST_F(ClientWindowTest, EscAndExitCloseTheWindowDuringARun) {
  REQUIRE_PRIVATE_NETWORK();
  connchk::testing::UdpPeer silentPeer(87, connchk::testing::silent);
  typeCount(QString::fromUtf8(InfiniteCountText));
  clickCheck();
  ASSERT_TRUE(dialog_->runGoing());
  // The worker now waits for an answer that never comes, and on the window for its lines.
  ASSERT_TRUE(waitUntil([&] { return !silentPeer.received().empty(); }));
  QTest::keyClick(dialog_.get(), Qt::Key_Escape);
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(dialog_->result(), QDialog::Rejected);
  // The program would end here; the window itself stops and joins the worker when it goes.
  const auto started = std::chrono::steady_clock::now();
  dialog_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 7s);
}

TEST_F(ClientWindowTest, TheContextMenuOffersTheAboutBox) {
  const auto about = connchk::testing::aboutBoxOpenedBy(dialog_->aboutAction());
  EXPECT_EQ(about.title, "About client");
  EXPECT_EQ(about.version, "client Version 1.0");
}

// The real server's services on this test's loopback, in this process.
struct RealServer {
  RealServer() {
    host.start();
    EXPECT_TRUE(connchk::testing::eventually([] {
      return connchk::testing::portBound("udp", EchoPort) && connchk::testing::portBound("tcp", EchoPort, "0A");
    })) << "the echo services serve before the first request";
  }
  ~RealServer() { host.stop(); }
  ScratchFolder folder;
  ActivityLog log = ActivityLog::atPath(LogStyle::Server, folder.file("server_log.txt"));
  server::SenderStatistics statistics;
  server::ServerCounters counters;
  server::ServerContext context{log, statistics, counters};
  server::ServiceHost host{context};
};

TEST_F(ClientWindowTest, TheSweepFillsItsTableFromTheRealServerAndStops) {
  REQUIRE_PRIVATE_NETWORK();
  for (const auto& [text, count] : {std::pair{"1", DefaultSweepCount}, {"Бесконечно", DefaultSweepCount},
                                    {"x", DefaultSweepCount}, {"2", 2}, {"7", 7}}) {
    EXPECT_EQ(ClientDialog::sweepCount(QString::fromUtf8(text)), count) << text;
  }
  RealServer server;
  dialog_->setAskAccount(true);
  // A run first: the server's account of it shows under the figures.
  clickCheck();
  ASSERT_TRUE(waitUntil([&] { return idle(); }, 20s));
  const QStringList account = dialog_->accountPanel()->lines();
  ASSERT_GE(account.size(), 2);
  EXPECT_EQ(account[0].toStdString(), "запросов дошло до сервера 1 из 1");
  EXPECT_TRUE(account[1].startsWith(QStringLiteral("сервер видит вас как 127.0.0.1:"))) << account[1].toStdString();

  const SweepTable& table = *dialog_->sweepTable();
  auto verdict = [&](int row) { return table.cell(row, SweepTable::Verdict).toStdString(); };
  auto sweep = [&](const std::vector<int>& types, const QString& count) {
    dialog_->setSweepTypes(types);
    typeCount(count);
    QTest::mouseClick(dialog_->sweepButton(), Qt::LeftButton);
    EXPECT_TRUE(busy());
    EXPECT_FALSE(dialog_->sweepButton()->isEnabled());
    EXPECT_EQ(dialog_->viewTabs()->currentWidget(), dialog_->sweepPage());
  };

  // The server holds port 855 here, so TELM-UDP cannot run and says why.
  sweep({UdpEchoIndex, TerminalUdpIndex, TcpEchoIndex}, QStringLiteral("2"));
  ASSERT_TRUE(waitUntil([&] { return idle(); }, 90s));
  EXPECT_TRUE(dialog_->sweepButton()->isEnabled());
  for (const int row : {UdpEchoIndex, TcpEchoIndex}) {
    EXPECT_EQ(verdict(row), "пройдена") << row;
    EXPECT_EQ(table.cell(row, SweepTable::Sent), "2");
    EXPECT_EQ(table.cell(row, SweepTable::Answered), "2");
    EXPECT_EQ(table.cell(row, SweepTable::Loss), "0 %");
    EXPECT_EQ(table.cell(row, SweepTable::ThereBack), "0 / 0");
  }
  // Each type's account is kept: the one chosen in the matrix shows below.
  EXPECT_EQ(dialog_->accountPanel()->title().toStdString(), "Отчет сервера: TCP (порт 87)");
  emit dialog_->sweepTable()->cellClicked(UdpEchoIndex, SweepTable::Type);
  EXPECT_EQ(dialog_->accountPanel()->title().toStdString(), "Отчет сервера: IP-Клиент");
  EXPECT_EQ(dialog_->accountPanel()->lines().value(0).toStdString(), "запросов дошло до сервера 2 из 2");
  EXPECT_EQ(verdict(TerminalUdpIndex), "не проверен");
  EXPECT_NE(table.item(TerminalUdpIndex, SweepTable::Verdict)->toolTip().toStdString().find("855"), std::string::npos);
  EXPECT_EQ(verdict(IcmpIndex), "") << "a type outside the plan stays empty";
  EXPECT_EQ(dialog_->summaryPanel()->verdict()->text().toStdString(), "Пройдено типов: 2, не пройдено: 0");

  // Stop during the first type's run ends it and leaves the rest not run.
  sweep({UdpEchoIndex, TcpEchoIndex}, QStringLiteral("100"));
  EXPECT_EQ(verdict(TcpEchoIndex), "") << "a new sweep starts from an empty table";
  const int answersBefore = countLines(dialog_->logList(), "Получен ответ от сервера");
  ASSERT_TRUE(waitUntil([&] {
    return verdict(UdpEchoIndex) == "проверка..." &&
           countLines(dialog_->logList(), "Получен ответ от сервера") > answersBefore;
  }));
  QTest::mouseClick(dialog_->stopButton(), Qt::LeftButton);
  ASSERT_TRUE(waitUntil([&] { return idle(); }, 30s));
  EXPECT_EQ(verdict(UdpEchoIndex), "пройдена");
  EXPECT_EQ(verdict(TcpEchoIndex), "не проверен");
  EXPECT_EQ(table.item(TcpEchoIndex, SweepTable::Verdict)->toolTip().toStdString(), "проверка остановлена");
  EXPECT_EQ(dialog_->summaryPanel()->verdict()->text().toStdString(), "Проверка всех типов остановлена");
}

TEST_F(ClientWindowTest, TheTraceTabTracesFromTheWindowAndStopEndsItAtOnce) {
  REQUIRE_PRIVATE_NETWORK();
  TraceView& view = *dialog_->traceView();
  auto verdict = [&](int row) { return view.matrixCell(row, TraceView::Verdict).toStdString(); };
  view.setTypes({UdpEchoIndex});
  {
    // A peer that takes every probe and never answers: no hop ever says anything, so only Stop
    // can end the trace before its silent hops run out (three waits of five seconds).
    connchk::testing::UdpPeer quiet(87, connchk::testing::silent);
    QTest::mouseClick(view.startButton(), Qt::LeftButton);
    EXPECT_TRUE(busy());
    EXPECT_FALSE(view.startButton()->isEnabled());
    EXPECT_EQ(dialog_->viewTabs()->currentWidget(), &view);
    ASSERT_TRUE(quiet.waitForCount(1));
    EXPECT_EQ(verdict(UdpEchoIndex), "трассировка...");
    QTest::mouseClick(dialog_->stopButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return idle(); }, 5s));
  }
  EXPECT_EQ(verdict(UdpEchoIndex), "трассировка остановлена");
  EXPECT_EQ(dialog_->summaryPanel()->verdict()->text().toStdString(), "Трассировка остановлена");

  // Against the real server each type reaches it at the first hop, and says so in the log too.
  RealServer server;
  view.setTypes({UdpEchoIndex, TcpEchoIndex});
  QTest::mouseClick(view.startButton(), Qt::LeftButton);
  ASSERT_TRUE(waitUntil([&] { return idle(); }, 30s));
  for (const int row : {UdpEchoIndex, TcpEchoIndex}) {
    EXPECT_EQ(verdict(row), "дошел до сервера на узле 1") << row;
    EXPECT_EQ(view.matrixCell(row, TraceView::LastAddress).toStdString(), "127.0.0.1");
  }
  view.chooseType(TcpEchoIndex);
  ASSERT_EQ(view.hops()->rowCount(), 1);
  EXPECT_EQ(view.hopCell(0, TraceView::HopAddress).toStdString(), "127.0.0.1");
  EXPECT_EQ(dialog_->summaryPanel()->verdict()->text().toStdString(), "Дошли до сервера: 2, не дошли: 0");
  EXPECT_TRUE(waitUntil([&] { return countLines(dialog_->logList(), "Итоги трассировки по типам протоколов:") == 2; }));
}

TEST_F(ClientWindowTest, ASweepThroughTheWaysTypedComparesThemAndAWayThisHostLacksIsRefused) {
  REQUIRE_PRIVATE_NETWORK();
  SweepPage& page = *dialog_->sweepPage();
  dialog_->setSweepTypes({UdpEchoIndex, TcpEchoIndex});
  typeCount(QStringLiteral("2"));
  {
    MessageBoxWatcher boxes;
    typeInto(page.viaEdit(), QStringLiteral("lo, nosuch0"));
    QTest::mouseClick(dialog_->sweepButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !boxes.seen.empty(); }));
    EXPECT_EQ(boxes.seen.front().text.toStdString(), "Нет интерфейса nosuch0 на этом компьютере");
    EXPECT_TRUE(idle()) << "nothing started";
    EXPECT_EQ(countLines(dialog_->logList(), "Соединение с"), 0);
  }

  RealServer server;
  typeInto(page.viaEdit(), QStringLiteral("127.0.0.1, lo"));
  QTest::mouseClick(dialog_->sweepButton(), Qt::LeftButton);
  EXPECT_TRUE(busy());
  EXPECT_TRUE(page.showsCompared());
  ASSERT_TRUE(waitUntil([&] { return idle(); }, 60s));
  const WaysTable& ways = *page.waysTable();
  ASSERT_EQ(ways.wayCount(), 2);
  EXPECT_EQ(ways.horizontalHeaderItem(WaysTable::FirstWay + 1)->text(), "lo");
  for (const int row : {UdpEchoIndex, TcpEchoIndex}) {
    for (const int way : {0, 1}) {
      EXPECT_TRUE(ways.cell(row, WaysTable::FirstWay + way).startsWith(QStringLiteral("пройден, "))) << row << "," << way;
    }
    EXPECT_EQ(ways.cell(row, ways.comparisonColumn()), "");
  }
  EXPECT_EQ(dialog_->summaryPanel()->verdict()->text().toStdString(), "Итог различается у типов: 0");
  EXPECT_TRUE(waitUntil([&] { return countLines(dialog_->logList(), "Сравнение путей по типам протоколов:") == 1; }));
  EXPECT_EQ(countLines(dialog_->logList(), "Проверка типов через интерфейс lo"), 1);

  // One way is a sweep by that way, in the one-way matrix; its MTU measured first when asked.
  typeInto(page.viaEdit(), QStringLiteral("lo"));
  page.mtuBox()->setChecked(true);
  QTest::mouseClick(dialog_->sweepButton(), Qt::LeftButton);
  EXPECT_FALSE(page.showsCompared());
  ASSERT_TRUE(waitUntil([&] { return idle(); }, 60s));
  const SweepTable& table = *dialog_->sweepTable();
  EXPECT_FALSE(table.isColumnHidden(SweepTable::Mtu));
  for (const int row : {UdpEchoIndex, TcpEchoIndex}) {
    EXPECT_EQ(table.cell(row, SweepTable::Verdict).toStdString(), "пройдена") << row;
    bool number = false;
    EXPECT_GE(table.cell(row, SweepTable::Mtu).toInt(&number), 1500) << table.cell(row, SweepTable::Mtu).toStdString();
    EXPECT_TRUE(number) << row;
  }
  EXPECT_GE(countLines(dialog_->logList(), "порт 87 через интерфейс lo"), 1);
}

}  // namespace
}  // namespace connchk::client::ui
