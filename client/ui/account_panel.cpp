#include "client/ui/account_panel.h"

#include <QHBoxLayout>
#include <QLabel>

#include "client/account.h"
#include "client/protocol_catalogue.h"
#include "common/ui/group_frame.h"

namespace connchk::client::ui {

namespace {
const QString Title = QStringLiteral("Отчет сервера");
}  // namespace

QStringList accountTexts(const ServerAccount& account) {
  const QString prefix = QStringLiteral("Отчет сервера: ");
  QStringList texts;
  for (const std::string& line : accountLines(account)) {
    QString text = QString::fromStdString(line);
    if (text.startsWith(prefix)) text.remove(0, prefix.size());
    texts.push_back(text);
  }
  return texts;
}

AccountPanel::AccountPanel(QWidget* parent) : QGroupBox(Title, parent) {
  connchk::ui::drawAsGroupFrame(this);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(6, fontMetrics().height(), 6, 2);
  layout->setSpacing(12);
  // Two columns, so that the usual three to six lines fit a strip of the window.
  for (QLabel*& column : columns_) {
    column = new QLabel(this);
    column->setWordWrap(true);
    column->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    column->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(column, 1);
  }
  clear();
}

void AccountPanel::clear() {
  kept_.clear();
  setTitle(Title);
  showLines({});
}

void AccountPanel::showAccount(const ServerAccount& account, int typeIndex) {
  const auto catalogue = ProtocolCatalogue();
  const bool ofType = typeIndex >= 0 && typeIndex < static_cast<int>(catalogue.size());
  setTitle(ofType ? Title + QStringLiteral(": ") + QString::fromUtf8(catalogue[static_cast<std::size_t>(typeIndex)].text)
                  : Title);
  QStringList texts = accountTexts(account);
  if (texts.isEmpty()) texts.push_back(QStringLiteral("сервер не спрашивали: запросы не отосланы"));
  showLines(texts);
}

void AccountPanel::keep(int typeIndex, const ServerAccount& account) {
  kept_[typeIndex] = account;
  // A type that sent nothing (not run, or stopped first) does not push aside the last one's account.
  if (account.asked) showAccount(account, typeIndex);
}

void AccountPanel::showKept(int typeIndex) {
  const auto found = kept_.find(typeIndex);
  if (found != kept_.end()) showAccount(found->second, typeIndex);
}

void AccountPanel::showLines(const QStringList& lines) {
  lines_ = lines;
  const qsizetype left = (lines.size() + 1) / 2;
  columns_[0]->setText(lines.mid(0, left).join(QLatin1Char('\n')));
  columns_[1]->setText(lines.mid(left).join(QLatin1Char('\n')));
}

}  // namespace connchk::client::ui
