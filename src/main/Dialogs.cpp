#include "Dialogs.h"

#include <QApplication>
#include <QCompleter>
#include <QCursor>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTreeView>

namespace {

Dialogs* gCurrent = nullptr;

// The stored texts use CR LF between lines; Qt shows a bare LF.
QString ForDisplay(const QString& text) {
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return shown;
}

void CentreOnScreen(QWidget& box) {
  box.adjustSize();
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  box.move(area.center() - box.rect().center());
}

// QMessageBox settles its size only as it is shown (a long text is laid out narrower than
// adjustSize() guessed), so it is centred again at that moment, at its final size.
class TCentredBox : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;

 protected:
  void showEvent(QShowEvent* event) override {
    QMessageBox::showEvent(event);
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen != nullptr) move(screen->availableGeometry().center() - rect().center());
  }
};

int RunBox(const QString& caption, const QString& text, QMessageBox::Icon icon) {
  TCentredBox box(icon, caption, ForDisplay(text), QMessageBox::Ok);
  box.setTextFormat(Qt::PlainText);  // engine texts may hold '<' or '&'
  box.setWindowModality(Qt::ApplicationModal);
  CentreOnScreen(box);
  return box.exec();
}

}  // namespace

QStringList QtNameFilters(const QString& filter) {
  // "Description|pattern;pattern|Description|pattern" -> "Description (p1 p2)". The dialog
  // matches them in any letter case (OpenFile), so each pattern is shown once, as stored.
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QStringList patterns;
    for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts))
      patterns.append(pattern.trimmed());
    filters.append(QStringLiteral("%1 (%2)").arg(parts[i], patterns.join(QLatin1Char(' '))));
  }
  return filters;
}

Dialogs& Dialogs::Current() {
  static QtDialogs qtDialogs;
  return gCurrent != nullptr ? *gCurrent : qtDialogs;
}

Dialogs* Dialogs::Install(Dialogs* d) {
  Dialogs* previous = gCurrent;
  gCurrent = d;
  return previous;
}

void QtDialogs::MessageBox(const QString& caption, const QString& text, TMsgIcon icon) {
  RunBox(caption, text, icon == TMsgIcon::Error ? QMessageBox::Critical : QMessageBox::NoIcon);
}

void QtDialogs::FatalBox(const QString& caption, const QString& text) {
  RunBox(caption, text, QMessageBox::Critical);
}

bool QtDialogs::OpenFile(const TOpenDialogOptions& options, QString& fileName) {
  TTableFileDialog dialog(options);
  if (dialog.exec() != QDialog::Accepted) return false;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty() || files.front().isEmpty()) return false;
  fileName = files.front();
  return true;
}

namespace {

constexpr int kDateColumn = 3;

}  // namespace

QString TPolishDateDelegate::Text(const QModelIndex& index) const {
  const auto* files = qobject_cast<const QFileSystemModel*>(index.model());
  return files != nullptr ? TTableFileDialog::DateText(files->lastModified(index)) : QString();
}

void TPolishDateDelegate::initStyleOption(QStyleOptionViewItem* option,
                                          const QModelIndex& index) const {
  QStyledItemDelegate::initStyleOption(option, index);
  if (qobject_cast<const QFileSystemModel*>(index.model()) != nullptr) option->text = Text(index);
}

TTableFileDialog::TTableFileDialog(const TOpenDialogOptions& options, QWidget* parent)
    : QFileDialog(parent) {
  setAcceptMode(QFileDialog::AcceptOpen);
  setFileMode(QFileDialog::ExistingFile);
  // The older dialog style: Qt's own dialog rather than the desktop's.
  if (options.OldStyleDialog) setOption(QFileDialog::DontUseNativeDialog, true);
  setNameFilters(QtNameFilters(options.Filter));
  // Tables come as .db, .DB or .Db alike, and a typed "ord" should offer ORDERS.DB: the
  // filter and the completer ignore letter case, as the platform's own dialog does.
  setFilter(filter() & ~QDir::CaseSensitive);
  for (QCompleter* completer : findChildren<QCompleter*>())
    completer->setCaseSensitivity(Qt::CaseInsensitive);
  QString suffix = options.DefaultExt;
  while (suffix.startsWith(QLatin1Char('*')) || suffix.startsWith(QLatin1Char('.')))
    suffix.remove(0, 1);
  setDefaultSuffix(suffix);
  // Qt's dialog has no read-only check box to hide; HideReadOnly and ReadOnly need nothing.
  setViewMode(QFileDialog::Detail);
  if (auto* details = findChild<QTreeView*>(QStringLiteral("treeView"))) {
    details->setItemDelegateForColumn(kDateColumn, new TPolishDateDelegate(details));
    // Name, size, kind and date each as wide as the longest shown; a long name widens its
    // column and the view scrolls rather than cutting it.
    QHeaderView* header = details->header();
    for (int column = 0; column <= kDateColumn; ++column)
      header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
  }
  // Room for the four columns of a table folder beside the side bar.
  resize(720, 440);
  // Qt greys "Otwórz" out for a name it cannot find as typed; after its own check (made
  // first, so it runs first) the button comes back for a name that FindTyped finds.
  if (auto* nameEdit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
    connect(nameEdit, &QLineEdit::textChanged, this, [this] {
      auto* buttons = findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
      QPushButton* open = buttons != nullptr ? buttons->button(QDialogButtonBox::Open) : nullptr;
      if (open == nullptr || open->isEnabled()) return;
      const QStringList files = selectedFiles();
      if (files.size() == 1 && !FindTyped(files.front()).isEmpty()) open->setEnabled(true);
    });
  }
}

QString TTableFileDialog::DateText(const QDateTime& time) {
  return QLocale(QLocale::Polish, QLocale::Poland)
      .toString(time, QStringLiteral("d MMM yyyy, HH:mm"));
}

QString TTableFileDialog::FindTyped(const QString& path) {
  if (path.isEmpty()) return QString();
  const QFileInfo typed(path);
  if (typed.exists() || typed.isSymLink()) return path;
  const QDir folder = typed.dir();
  if (!folder.exists()) return QString();
  const QString name = typed.fileName();
  const QString stem = typed.completeBaseName();
  QString found;
  for (const QFileInfo& entry : folder.entryInfoList(QDir::Files | QDir::Hidden, QDir::Name)) {
    if (entry.fileName().compare(name, Qt::CaseInsensitive) != 0) continue;
    // CONTACTS typed: CONTACTS.DB before contacts.db.
    if (entry.completeBaseName() == stem) return entry.filePath();
    if (found.isEmpty()) found = entry.filePath();
  }
  return found;
}

void TTableFileDialog::accept() {
  // A typed name the dialog cannot find as typed (with its default suffix in lower case
  // added) may name a table in another letter case: select that one, so the dialog takes
  // it instead of answering that there is no such file.
  const QStringList files = selectedFiles();
  auto* nameEdit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  if (files.size() == 1 && !QFileInfo::exists(files.front()) && nameEdit != nullptr) {
    // Into the name line itself: selectFile leaves a line that has the focus as typed.
    const QString found = FindTyped(files.front());
    if (!found.isEmpty()) {
      const QFileInfo file(found);
      nameEdit->setText(
          file.absolutePath() == QFileInfo(files.front()).absolutePath() ? file.fileName() : found);
    }
  }
  QFileDialog::accept();
}

void QtDialogs::SetCursor(TCursorKind kind) {
  // The pointer is a state, not a stack: setting the hourglass twice needs one restore.
  if (kind == TCursorKind::HourGlass) {
    if (!waiting_) {
      QApplication::setOverrideCursor(Qt::WaitCursor);
      waiting_ = true;
    }
  } else if (waiting_) {
    QApplication::restoreOverrideCursor();
    waiting_ = false;
  }
}
