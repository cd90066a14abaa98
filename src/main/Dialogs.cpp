#include "Dialogs.h"

#include <QApplication>
#include <QCursor>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>

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

// Every letter-case spelling of a pattern's letters, since Linux names are case-sensitive
// and tables come as .db, .DB or .Db alike.
QStringList CaseVariants(const QString& pattern) {
  QStringList variants{QString()};
  for (const QChar c : pattern) {
    const QChar lower = c.toLower();
    const QChar upper = c.toUpper();
    QStringList next;
    for (const QString& v : variants) {
      next.append(v + lower);
      if (upper != lower) next.append(v + upper);
    }
    variants = next;
    if (variants.size() > 64) break;  // long patterns: the dialog's own matching decides
  }
  return variants;
}

}  // namespace

QStringList QtNameFilters(const QString& filter) {
  // "Description|pattern;pattern|Description|pattern" -> "Description (p1 p2 ...)".
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QStringList patterns;
    for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      const QString trimmed = pattern.trimmed();
      const QStringList variants = CaseVariants(trimmed);
      if (variants.size() > 64) {
        patterns.append(trimmed);
      } else {
        for (const QString& v : variants)
          if (!patterns.contains(v)) patterns.append(v);
      }
    }
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
  QFileDialog dialog(nullptr);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  // The older dialog style: Qt's own dialog rather than the desktop's.
  if (options.OldStyleDialog) dialog.setOption(QFileDialog::DontUseNativeDialog, true);
  dialog.setNameFilters(QtNameFilters(options.Filter));
  QString suffix = options.DefaultExt;
  while (suffix.startsWith(QLatin1Char('*')) || suffix.startsWith(QLatin1Char('.')))
    suffix.remove(0, 1);
  dialog.setDefaultSuffix(suffix);
  // Qt's dialog has no read-only check box to hide; HideReadOnly and ReadOnly need nothing.
  if (dialog.exec() != QDialog::Accepted) return false;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty() || files.front().isEmpty()) return false;
  fileName = files.front();
  return true;
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
