// The Qt side of the dialogs seam, driven by a timer that answers the modal dialog the way a
// user would; and the fatal start-up path through the real box.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCompleter>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QTreeView>
#include <functional>
#include <string>

#include "Application.h"
#include "BDEUtil.h"
#include "DBTables.h"
#include "Dialogs.h"
#include "MainForm.h"

const std::string& ShellScratchFolder();
const std::string& ShellEngineConfig();

namespace {

// Runs answer on the first modal widget that appears while the code under test waits in
// its own loop. Gives up after half a minute, closing whatever is open, so a test fails
// instead of hanging.
class ModalAnswer {
 public:
  explicit ModalAnswer(std::function<void(QWidget*)> answer) : answer_(std::move(answer)) {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      const bool up = modal != nullptr && modal->isVisible();
      if (up && !seen_) {
        seen_ = true;
        answer_(modal);
      } else if ((up || !seen_) && ++ticks_ > 3000) {
        // Unanswered or still up long after the answer: close everything so that the
        // test fails instead of hanging.
        timer_.stop();
        stuck_ = true;
        for (QWidget* top : QApplication::topLevelWidgets()) top->close();
      }
    });
    timer_.start();
  }
  bool Seen() const { return seen_ && !stuck_; }

 private:
  std::function<void(QWidget*)> answer_;
  QTimer timer_;
  bool seen_ = false;
  bool stuck_ = false;
  int ticks_ = 0;
};

TEST(QtDialogsBoxes, MessageBoxIsCentredWithOneOkAndTheIconAsked) {
  QtDialogs dialogs;
  QString caption, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int buttons = 0;
  QPoint centreOffset;
  const auto read = [&](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    ASSERT_NE(box, nullptr);
    caption = box->windowTitle();
    text = box->text();
    icon = box->icon();
    buttons = static_cast<int>(box->buttons().size());
    centreOffset =
        box->geometry().center() - QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    box->button(QMessageBox::Ok)->click();
  };
  {
    ModalAnswer answer(read);
    dialogs.MessageBox("Qel DB Rekasto", "Line one\r\n<b>two</b>", TMsgIcon::Error);
    ASSERT_TRUE(answer.Seen());
  }
  EXPECT_EQ(caption, "Qel DB Rekasto");
  EXPECT_EQ(text, "Line one\n<b>two</b>");
  EXPECT_EQ(icon, QMessageBox::Critical);
  EXPECT_EQ(buttons, 1);
  EXPECT_LE(std::abs(centreOffset.x()), 2);
  EXPECT_LE(std::abs(centreOffset.y()), 2);
  {
    ModalAnswer answer(read);
    dialogs.MessageBox("Qel DB Rekasto", "Przebudowa wszystkich baz zakończona sukcesem!.",
                       TMsgIcon::None);
    ASSERT_TRUE(answer.Seen());
  }
  EXPECT_EQ(icon, QMessageBox::NoIcon);
  // A long text of several lines: the box settles its size only as it is shown, and is
  // centred at that size.
  {
    ModalAnswer answer(read);
    dialogs.MessageBox("Qel DB Rekasto",
                       "Folder not found\r\nAlias: DEMO\r\nFolder: /tmp/some/where/qel-db-rekasto/"
                       "demo\r\nBundled demo tables not found in: /work/main/build/any/samples/"
                       "demo, /usr/local/share/qel-db-rekasto/demo.",
                       TMsgIcon::Error);
    ASSERT_TRUE(answer.Seen());
  }
  EXPECT_LE(std::abs(centreOffset.x()), 2);
  EXPECT_LE(std::abs(centreOffset.y()), 2);
}

TEST(QtDialogsFile, OpenDialogListsTablesInEveryLetterCaseAndReturnsTheFullPath) {
  const QString folder = QString::fromStdString(ShellScratchFolder()) + "/files";
  QDir().mkpath(folder);
  for (const char* name : {"lower.db", "UPPER.DB", "Mixed.Db", "notes.txt"}) {
    QFile file(folder + "/" + name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  QtDialogs dialogs;
  QStringList filters, listed, completions;
  Qt::CaseSensitivity caseSensitivity = Qt::CaseSensitive;
  QString suffix;
  bool nonNative = false;
  {
    ModalAnswer answer([&](QWidget* w) {
      auto* dialog = qobject_cast<QFileDialog*>(w);
      ASSERT_NE(dialog, nullptr);
      filters = dialog->nameFilters();
      suffix = dialog->defaultSuffix();
      nonNative = dialog->testOption(QFileDialog::DontUseNativeDialog);
      EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
      dialog->setDirectory(folder);
      // What the dialog lists once the folder is read: every table, in any letter case.
      auto* list = dialog->findChild<QListView*>("listView");
      ASSERT_NE(list, nullptr);
      QElapsedTimer waited;
      waited.start();
      while (waited.elapsed() < 30000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        const QModelIndex root = list->rootIndex();
        if (root.isValid() && list->model()->rowCount(root) >= 3) break;
      }
      const QModelIndex root = list->rootIndex();
      for (int row = 0; row < list->model()->rowCount(root); ++row)
        listed << list->model()->index(row, 0, root).data().toString();
      // The completer offers UPPER.DB for a lower-case start.
      auto* completer = dialog->findChild<QCompleter*>();
      ASSERT_NE(completer, nullptr);
      caseSensitivity = completer->caseSensitivity();
      completer->setCompletionPrefix(folder + "/upp");
      for (int i = 0; completer->setCurrentRow(i); ++i)
        completions << completer->currentCompletion();
      // As a user types the name into the dialog's file name line.
      auto* nameEdit = dialog->findChild<QLineEdit*>("fileNameEdit");
      ASSERT_NE(nameEdit, nullptr);
      nameEdit->setText("UPPER.DB");
      static_cast<QDialog*>(dialog)->accept();
    });
    QString chosen;
    ASSERT_TRUE(dialogs.OpenFile(TOpenDialogOptions{}, chosen));
    ASSERT_TRUE(answer.Seen());
    EXPECT_EQ(chosen, folder + "/UPPER.DB");
  }
  EXPECT_EQ(filters, QStringList{"DB Files (*.db)"});
  listed.sort();
  EXPECT_EQ(listed, (QStringList{"Mixed.Db", "UPPER.DB", "lower.db"}));
  EXPECT_EQ(caseSensitivity, Qt::CaseInsensitive);
  EXPECT_TRUE(completions.contains("UPPER.DB")) << completions.join(", ").toStdString();
  EXPECT_EQ(suffix, "db");
  EXPECT_TRUE(nonNative);
  {
    ModalAnswer answer([](QWidget* w) { qobject_cast<QDialog*>(w)->reject(); });
    QString chosen = "unchanged";
    EXPECT_FALSE(dialogs.OpenFile(TOpenDialogOptions{}, chosen));
    EXPECT_EQ(chosen, "unchanged");
  }
}

// Makes the files in `folder`, each with the same modification time.
void MakeFiles(const QString& folder, const QStringList& names, const QDateTime& time) {
  ASSERT_TRUE(QDir().mkpath(folder));
  for (const QString& name : names) {
    QFile file(folder + "/" + name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(2048, 'x'));
    ASSERT_TRUE(file.flush());  // a write at close would stamp the file anew
    ASSERT_TRUE(file.setFileTime(time, QFileDevice::FileModificationTime));
  }
}

// Runs the event loop until the dialog's details view lists `rows` rows (or until half a minute
// has passed); the file system model reads the folder in a thread of its own.
QTreeView* ShownDetails(QFileDialog& dialog, int rows) {
  auto* details = dialog.findChild<QTreeView*>("treeView");
  if (details == nullptr) return nullptr;
  QElapsedTimer waited;
  waited.start();
  while (waited.elapsed() < 30000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const QModelIndex root = details->rootIndex();
    if (root.isValid() && details->model()->rowCount(root) >= rows) break;
  }
  return details;
}

TEST(QtDialogsFile, DetailsShowPolishDatesInColumnsWideEnoughForATableFolder) {
  const QString folder = QString::fromStdString(ShellScratchFolder()) + "/details";
  const QDateTime time(QDate(2024, 12, 8), QTime(13, 45));
  const QStringList names{"CUSTOMER.DB",        "CUSTOMER.PX", "CUSTOMER.MB",
                          "ZAMÓWIENIA 2026.DB", "BADCOUNT.DB", "ORDERS.DB"};
  MakeFiles(folder, names, time);
  EXPECT_EQ(TTableFileDialog::DateText(time), QStringLiteral("8 gru 2024, 13:45"));

  TTableFileDialog dialog{TOpenDialogOptions{}};
  dialog.setNameFilters({"All (*)"});
  dialog.setDirectory(folder);
  dialog.show();
  QTreeView* details = ShownDetails(dialog, static_cast<int>(names.size()));
  ASSERT_NE(details, nullptr);
  ASSERT_TRUE(details->isVisible()) << "the dialog opens in its details view";
  const QModelIndex root = details->rootIndex();
  ASSERT_EQ(details->model()->rowCount(root), names.size());
  auto* dates = dynamic_cast<TPolishDateDelegate*>(details->itemDelegateForColumn(3));
  ASSERT_NE(dates, nullptr);
  for (int row = 0; row < details->model()->rowCount(root); ++row)
    EXPECT_EQ(dates->Text(details->model()->index(row, 3, root)), "8 gru 2024, 13:45");
  // Every column at least as wide as its widest cell: nothing is cut short with "...",
  // whatever widths the dialog started with (Qt's defaults are measured on "128.88 GB" and
  // "10/29/81 02:02PM"; a dialog used before restores the widths it was left with).
  for (int column = 0; column <= 3; ++column) details->header()->resizeSection(column, 20);
  QCoreApplication::processEvents();
  const QFontMetrics metrics(details->font());
  for (int column = 0; column <= 3; ++column) {
    SCOPED_TRACE(column);
    EXPECT_GE(details->header()->sectionSize(column),
              static_cast<QAbstractItemView*>(details)->sizeHintForColumn(column));
  }
  EXPECT_GT(details->header()->sectionSize(0), metrics.horizontalAdvance("ZAMÓWIENIA 2026.DB"));
  EXPECT_GT(details->header()->sectionSize(3), metrics.horizontalAdvance("8 gru 2024, 13:45"));
  dialog.hide();
}

TEST(QtDialogsFile, ANameTypedWithoutItsExtensionFindsTheTableInAnyLetterCase) {
  const QString folder = QString::fromStdString(ShellScratchFolder()) + "/typed";
  MakeFiles(folder, {"CONTACTS.DB", "orders.db", "Mixed.Db", "BOTH.db", "Both.DB"},
            QDateTime::currentDateTime());
  EXPECT_EQ(TTableFileDialog::FindTyped(folder + "/CONTACTS.db"), folder + "/CONTACTS.DB");
  EXPECT_EQ(TTableFileDialog::FindTyped(folder + "/ORDERS.db"), folder + "/orders.db");
  EXPECT_EQ(TTableFileDialog::FindTyped(folder + "/mixed.db"), folder + "/Mixed.Db");
  EXPECT_EQ(TTableFileDialog::FindTyped(folder + "/orders.db"), folder + "/orders.db");
  // Two that differ only in letter case: the one whose name before the extension is as typed.
  EXPECT_EQ(TTableFileDialog::FindTyped(folder + "/Both.db"), folder + "/Both.DB");
  EXPECT_EQ(TTableFileDialog::FindTyped(folder + "/BOTH.DB"), folder + "/BOTH.db");
  EXPECT_EQ(TTableFileDialog::FindTyped(folder + "/NOSUCH.db"), QString());
  EXPECT_EQ(TTableFileDialog::FindTyped(folder + "/nowhere/CONTACTS.db"), QString());

  // Typed into the dialog as a user does, without the extension: the dialog takes
  // CONTACTS.DB instead of answering that CONTACTS.db is not there.
  QtDialogs dialogs;
  int boxes = 0;
  ModalAnswer answer([&](QWidget* w) {
    auto* dialog = qobject_cast<QFileDialog*>(w);
    ASSERT_NE(dialog, nullptr);
    dialog->setDirectory(folder);
    auto* nameEdit = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(nameEdit, nullptr);
    nameEdit->setText("CONTACTS");
    // The line has the focus, as it has while the user types.
    dialog->activateWindow();
    QApplication::setActiveWindow(dialog);
    nameEdit->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(nameEdit->hasFocus());
    // "Otwórz" can be pressed for it too.
    auto* buttons = dialog->findChild<QDialogButtonBox*>("buttonBox");
    ASSERT_NE(buttons, nullptr);
    EXPECT_TRUE(buttons->button(QDialogButtonBox::Open)->isEnabled());
    // A "no such file" box would be modal over the dialog: close it and fail.
    QTimer::singleShot(0, dialog, [&] {
      if (QWidget* modal = QApplication::activeModalWidget(); qobject_cast<QMessageBox*>(modal)) {
        ++boxes;
        modal->close();
      }
    });
    static_cast<QDialog*>(dialog)->accept();
    if (dialog->isVisible()) dialog->reject();
  });
  QString chosen;
  EXPECT_TRUE(dialogs.OpenFile(TOpenDialogOptions{}, chosen));
  EXPECT_TRUE(answer.Seen());
  EXPECT_EQ(chosen, folder + "/CONTACTS.DB");
  EXPECT_EQ(boxes, 0);
}

TEST(FatalStartUpBox, IsTheRealErrorBoxAndTheWindowNeverShows) {
  const std::string broken = ShellScratchFolder() + "/broken-real.ini";
  {
    QFile file(QString::fromStdString(broken));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[DEMO]\nTYPE=STANDARD\nthis line is no setting\n");
  }
  // The engine reads its configuration when it starts; earlier tests may have left it running.
  EngineShutdown();
  setenv("REKASTO_ENGINE_CONFIG", broken.c_str(), 1);
  QString caption, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  Qt::WindowModality modality = Qt::NonModal;
  int topLevelsShown = -1;
  int exitCode = -1;
  {
    ModalAnswer answer([&](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      ASSERT_NE(box, nullptr);
      caption = box->windowTitle();
      text = box->text();
      icon = box->icon();
      modality = box->windowModality();
      topLevelsShown = 0;
      for (QWidget* top : QApplication::topLevelWidgets())
        if (top->isVisible() && top != box) ++topLevelsShown;
      box->button(QMessageBox::Ok)->click();
    });
    exitCode = RunApplication(*TApplication::Instance());
    EXPECT_TRUE(answer.Seen());
  }
  setenv("REKASTO_ENGINE_CONFIG", ShellEngineConfig().c_str(), 1);
  EXPECT_EQ(exitCode, 1);
  EXPECT_EQ(caption, "Application Error");
  EXPECT_EQ(icon, QMessageBox::Critical);
  EXPECT_EQ(modality, Qt::ApplicationModal);
  EXPECT_EQ(topLevelsShown, 0);
  EXPECT_TRUE(text.startsWith("Exception EDBEngineError in module test_shell at "))
      << text.toStdString();
  EXPECT_TRUE(text.contains("broken-real.ini")) << text.toStdString();
  EXPECT_TRUE(text.endsWith(".\n")) << text.toStdString();
  EXPECT_EQ(MainForm, nullptr);
}

TEST(Shutdown, AFailingUtilitySessionCloseIsShownAndTheShutdownGoesOn) {
  ScriptedDialogs scripted;
  Dialogs* previous = Dialogs::Install(&scripted);
  std::unique_ptr<TMainForm> form = CreateMainForm();
  ASSERT_NE(form->BDEUtil, nullptr);
  const hTUses open = form->BDEUtil->SessionHandle;
  form->BDEUtil->SessionHandle = static_cast<hTUses>(open + 977);  // a handle never issued
  form.reset();
  Dialogs::Install(previous);
  EXPECT_EQ(MainForm, nullptr);
  ASSERT_EQ(scripted.Boxes().size(), 1u);
  EXPECT_EQ(scripted.Boxes()[0].caption, "Qel DB Rekasto");
  EXPECT_EQ(scripted.Boxes()[0].icon, TMsgIcon::Error);
  EXPECT_FALSE(scripted.Boxes()[0].text.isEmpty());
  TUExit(open);  // the session the test made unreachable
  // A new window starts normally: the engine session of the old one was ended.
  Dialogs::Install(&scripted);
  scripted.Clear();
  form = CreateMainForm();
  EXPECT_TRUE(form->isEnabled());
  form.reset();
  Dialogs::Install(previous);
  EXPECT_TRUE(scripted.Boxes().empty());
}

}  // namespace

namespace {

TEST(NormalRun, ShowsTheWindowAtItsPlaceAndTheExitButtonEndsTheLoopWithCode0) {
  ScriptedDialogs scripted;
  Dialogs* previous = Dialogs::Install(&scripted);
  bool wasVisible = false;
  QPoint shownAt;
  QRect frame;
  QWidget* focused = nullptr;
  QTimer poll;
  int ticks = 0;
  poll.setInterval(10);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (MainForm != nullptr && MainForm->isVisible()) {
      poll.stop();
      wasVisible = true;
      shownAt = MainForm->pos();
      frame = MainForm->frameGeometry();
      focused = MainForm->focusWidget();
      MainForm->ExitBtn->click();
    } else if (++ticks > 3000) {
      poll.stop();
      QCoreApplication::exit(7);
    }
  });
  poll.start();
  const int exitCode = RunApplication(*TApplication::Instance());
  Dialogs::Install(previous);
  EXPECT_EQ(exitCode, 0);
  EXPECT_TRUE(wasVisible);
  // At its stored place when that fits the screen (test_placement); this platform's screen is
  // 800 by 600, where the nearest place that fits is taken.
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_EQ(shownAt, PlaceWithin(area, QPoint(673, 163), frame.size()));
  EXPECT_TRUE(area.contains(frame));
  EXPECT_NE(focused, nullptr);
  EXPECT_EQ(MainForm, nullptr) << "the window was destroyed after the loop";
  EXPECT_TRUE(scripted.Boxes().empty());
}

TEST(NormalRun, AnErrorWhileTheWindowIsDestroyedAfterTheLoopIsShownAndWaitsForOk) {
  hTUses original = 0;
  QTimer poll;
  int ticks = 0;
  poll.setInterval(10);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (MainForm != nullptr && MainForm->isVisible() && MainForm->BDEUtil != nullptr) {
      poll.stop();
      original = MainForm->BDEUtil->SessionHandle;
      MainForm->BDEUtil->SessionHandle = static_cast<hTUses>(original + 977);
      MainForm->close();  // as from the title bar
    } else if (++ticks > 3000) {
      poll.stop();
      QCoreApplication::exit(7);
    }
  });
  poll.start();
  QString caption;
  // The real box: it must stay up until answered, not be ended by a leftover quit request.
  std::unique_ptr<ModalAnswer> answer;
  const int exitCode = [&] {
    answer = std::make_unique<ModalAnswer>([&](QWidget* w) {
      caption = w->windowTitle();
      qobject_cast<QMessageBox*>(w)->button(QMessageBox::Ok)->click();
    });
    return RunApplication(*TApplication::Instance());
  }();
  EXPECT_EQ(exitCode, 0);
  EXPECT_TRUE(answer->Seen());
  EXPECT_EQ(caption, "Qel DB Rekasto");
  EXPECT_EQ(MainForm, nullptr);
  if (original != 0) TUExit(original);
}

TEST(QtDialogsPolish, QtsOwnTextsArePolish) {
  // The dialog's captions, the boxes' buttons and the log's context menu come from Qt.
  ASSERT_TRUE(TApplication::Instance()->QtTranslated())
      << "qtbase_pl.qm not found: install qt6-translations-l10n";
  EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Look in:"), "Szukaj w:");
  EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Files of type:"), "Pliki rodzaju:");
  EXPECT_EQ(QCoreApplication::translate("QWidgetTextControl", "Select All"), "Zaznacz wszystko");
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Anuluj");
  EXPECT_EQ(QLocale().language(), QLocale::Polish);
}

}  // namespace
