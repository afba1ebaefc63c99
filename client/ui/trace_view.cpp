#include "client/ui/trace_view.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "client/protocol_catalogue.h"
#include "client/trace_report.h"
#include "common/text_format.h"
#include "common/ui/read_only_table.h"

namespace connchk::client::ui {

namespace {

const QString Dash = QStringLiteral("—");

QTableWidget* table(const QStringList& headers, QWidget* parent) {
  auto* t = new QTableWidget(0, static_cast<int>(headers.size()), parent);
  t->setHorizontalHeaderLabels(headers);
  connchk::ui::makeReadOnlyTable(t);
  t->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  t->horizontalHeader()->setStretchLastSection(true);
  return t;
}

void setCell(QTableWidget* t, int row, int column, const QString& text, bool left = true) {
  QTableWidgetItem* item = t->item(row, column);
  if (!item) {
    item = new QTableWidgetItem;
    item->setTextAlignment(left ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignRight | Qt::AlignVCenter);
    t->setItem(row, column, item);
  }
  item->setText(text);
  item->setToolTip(QString());
}

QString cellOf(const QTableWidget* t, int row, int column) {
  const QTableWidgetItem* item = t->item(row, column);
  return item ? item->text() : QString();
}

QColor verdictColour(const TypeTrace& type) {
  switch (type.end) {
    case TraceEnd::Reached: return {0x1a, 0x7f, 0x37};
    case TraceEnd::Stopped: return {0x9a, 0x67, 0x00};
    case TraceEnd::NotTraced: return {0x80, 0x80, 0x80};
    default: return {0xc6, 0x20, 0x20};
  }
}

}  // namespace

TraceView::TraceView(ActivityLog& log, QWidget* parent) : QWidget(parent), log_(log) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(4);
  start_ = new QPushButton(QStringLiteral("Трассировать все типы"), this);
  start_->setAutoDefault(false);
  start_->setToolTip(QStringLiteral("Проследить, на каком узле пути к указанному адресу останавливается каждый тип протокола"));
  layout->addWidget(start_, 0, Qt::AlignLeft);

  auto* split = new QSplitter(Qt::Vertical, this);
  split->setChildrenCollapsible(false);
  matrix_ = table({QStringLiteral("Тип протокола"), QStringLiteral("№"), QStringLiteral("Узел"),
                   QStringLiteral("Адрес"), QStringLiteral("Итог")},
                  split);
  // One type is chosen at a time; its hops show below.
  matrix_->setSelectionMode(QAbstractItemView::SingleSelection);
  matrix_->setSelectionBehavior(QAbstractItemView::SelectRows);
  matrix_->setFocusPolicy(Qt::StrongFocus);
  auto* below = new QWidget(split);
  auto* belowLayout = new QVBoxLayout(below);
  belowLayout->setContentsMargins(0, 0, 0, 0);
  belowLayout->setSpacing(2);
  hopsTitle_ = new QLabel(below);
  hopsTitle_->setWordWrap(true);
  hopsTitle_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  belowLayout->addWidget(hopsTitle_);
  hops_ = table({QStringLiteral("Узел"), QStringLiteral("Адрес"), QStringLiteral("Время, мс"), QStringLiteral("Ответ")},
                below);
  belowLayout->addWidget(hops_, 1);
  split->addWidget(matrix_);
  split->addWidget(below);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 2);
  layout->addWidget(split, 1);

  drainTimer_ = new QTimer(this);
  drainTimer_->setInterval(connchk::ui::BatchIntervalMs);
  connect(drainTimer_, &QTimer::timeout, this, [this] { drain(); });
  connect(start_, &QPushButton::clicked, this, [this] { start(); });
  connect(matrix_, &QTableWidget::currentCellChanged, this, [this](int row, int, int, int) {
    if (row >= 0) showHops(row);
  });
  resetRows({});
}

TraceView::~TraceView() {
  if (tracer_) tracer_->stop();
  if (thread_.joinable()) thread_.join();
}

void TraceView::start() {
  if (running() || !hooks_.request) return;
  std::optional<TraceRequest> request = hooks_.request();
  if (!request) return;
  request->types = types_;
  std::vector<int> traced = types_;
  if (traced.empty()) {
    for (int i = 0; i < static_cast<int>(ProtocolCatalogue().size()); ++i) traced.push_back(i);
  }
  resetRows(traced);
  ended_.takeAll();
  result_ = TraceResult{};
  finished_ = false;
  stopAsked_ = false;
  tracer_ = std::make_unique<Tracer>();
  if (hooks_.started) hooks_.started();
  drainTimer_->start();
  // As the terminal does: the start and every failure, each type's hops as its trace ends, and the
  // matrix of all types at the end go to the log.
  thread_ = std::thread([this, request = *request] {
    const auto say = [this](const std::string& line) { log_.log(line); };
    result_ = tracer_->run(request, say, [this](const TypeTrace& type) {
      for (const std::string& line : traceTableLines(type)) log_.log(line);
      ended_.push(type);
    });
    if (result_.started) {
      for (const std::string& line : traceMatrixLines(result_)) log_.log(line);
    }
    finished_ = true;
  });
}

void TraceView::stop() {
  if (!running()) return;
  stopAsked_ = true;
  tracer_->stop();
}

void TraceView::drain() {
  for (const TypeTrace& type : ended_.takeAll()) showType(type);
  if (!finished_ || !thread_.joinable()) return;
  thread_.join();
  drainTimer_->stop();
  for (const TypeTrace& type : ended_.takeAll()) showType(type);
  if (!result_.started) {
    // Nothing was traced: the rows marked as going say no more than the summary does.
    for (int row = 0; row < matrix_->rowCount(); ++row) {
      if (!cellOf(matrix_, row, Verdict).isEmpty()) setCell(matrix_, row, Verdict, QString());
    }
  }
  if (hooks_.ended) hooks_.ended(result_, stopAsked_);
}

void TraceView::resetRows(const std::vector<int>& traced) {
  const auto catalogue = ProtocolCatalogue();
  traced_.clear();
  matrix_->clearContents();
  matrix_->setRowCount(static_cast<int>(catalogue.size()));
  for (int row = 0; row < matrix_->rowCount(); ++row) {
    const ProtocolType& type = catalogue[static_cast<std::size_t>(row)];
    setCell(matrix_, row, Type, QString::fromUtf8(type.text));
    setCell(matrix_, row, Number, QString::number(type.number), false);
    for (int column = LastHop; column < MatrixColumnCount; ++column) setCell(matrix_, row, column, QString());
  }
  for (const int row : traced) {
    if (row >= 0 && row < matrix_->rowCount()) setCell(matrix_, row, Verdict, QStringLiteral("трассировка..."));
  }
  showHops(chosen_ >= 0 ? chosen_ : traced.empty() ? DefaultProtocolIndex : traced.front());
}

void TraceView::showType(const TypeTrace& type) {
  const int row = type.typeIndex;
  if (row < 0 || row >= matrix_->rowCount()) return;
  traced_[row] = type;
  const TraceHop* last = type.lastAnswered();
  setCell(matrix_, row, LastHop, last ? QString::number(last->hop) : Dash, false);
  setCell(matrix_, row, LastAddress, last && last->address ? QString::fromStdString(last->address->text()) : Dash);
  const QString verdict = QString::fromStdString(traceVerdictText(type));
  setCell(matrix_, row, Verdict, verdict);
  QTableWidgetItem* item = matrix_->item(row, Verdict);
  item->setToolTip(verdict);
  item->setForeground(verdictColour(type));
  if (row == chosen_) showHops(row);
}

void TraceView::chooseType(int typeIndex) {
  if (typeIndex < 0 || typeIndex >= matrix_->rowCount()) return;
  matrix_->setCurrentCell(typeIndex, Type);
  showHops(typeIndex);
}

void TraceView::showHops(int typeIndex) {
  chosen_ = typeIndex;
  hops_->setRowCount(0);
  const auto found = traced_.find(typeIndex);
  if (found == traced_.end()) {
    const ProtocolType& type = ProtocolCatalogue()[static_cast<std::size_t>(typeIndex)];
    const bool going = !cellOf(matrix_, typeIndex, Verdict).isEmpty();
    hopsTitle_->setText(QStringLiteral("Маршрут типа %1: %2")
                            .arg(QString::fromUtf8(type.text),
                                 going ? QStringLiteral("трассировка...") : QStringLiteral("не прослежен")));
    return;
  }
  const TypeTrace& trace = found->second;
  hopsTitle_->setText(QString::fromStdString(traceTableLines(trace).front()));
  hops_->setRowCount(static_cast<int>(trace.hops.size()));
  for (int row = 0; row < hops_->rowCount(); ++row) {
    const TraceHop& hop = trace.hops[static_cast<std::size_t>(row)];
    const bool silent = hop.answer == HopAnswer::Silent;
    setCell(hops_, row, Hop, QString::number(hop.hop), false);
    setCell(hops_, row, HopAddress,
            silent ? QStringLiteral("*") : hop.address ? QString::fromStdString(hop.address->text()) : QStringLiteral("?"));
    setCell(hops_, row, RoundTrip, hop.rttUs ? QString::fromStdString(millisecondsText(*hop.rttUs)) : QString(), false);
    setCell(hops_, row, Said, QString::fromStdString(hop.said));
  }
}

QString TraceView::matrixCell(int row, MatrixColumn column) const { return cellOf(matrix_, row, column); }
QString TraceView::hopCell(int row, HopColumn column) const { return cellOf(hops_, row, column); }

}  // namespace connchk::client::ui
