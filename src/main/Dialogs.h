// Dialogs: the one seam through which the window shows message boxes, runs the file-open
// dialog and switches the mouse pointer. The program installs QtDialogs; tests install
// ScriptedDialogs, answer in advance and read back what was shown.
#pragma once

#include <QDateTime>
#include <QFileDialog>
#include <QString>
#include <QStringList>
#include <QStyledItemDelegate>
#include <memory>
#include <vector>

enum class TMsgIcon { None, Error };
enum class TCursorKind { Default, HourGlass };

// Options of the file-open dialog, as stored on OpenDialog1.
struct TOpenDialogOptions {
  QString Filter = "DB Files|*.db";
  QString DefaultExt = "*.db";
  bool ReadOnly = true;        // ofReadOnly
  bool HideReadOnly = true;    // ofHideReadOnly
  bool OldStyleDialog = true;  // ofOldStyleDialog
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // Modal box with one OK button, centred on the screen.
  virtual void MessageBox(const QString& caption, const QString& text, TMsgIcon icon) = 0;
  // Task-modal box for the fatal start-up path (caption "Application Error").
  virtual void FatalBox(const QString& caption, const QString& text) = 0;
  // Runs the file-open dialog; returns false when cancelled, else sets fileName (full path).
  virtual bool OpenFile(const TOpenDialogOptions& options, QString& fileName) = 0;
  // The application's mouse pointer (the hourglass during long operations).
  virtual void SetCursor(TCursorKind kind) = 0;

  // The seam in use. Never null once the program or a test has installed one.
  static Dialogs& Current();
  // Installs d (the caller keeps ownership) and returns the previous one.
  static Dialogs* Install(Dialogs* d);
};

// Qt implementation: QMessageBox, QFileDialog, QApplication override cursor.
class QtDialogs final : public Dialogs {
 public:
  void MessageBox(const QString& caption, const QString& text, TMsgIcon icon) override;
  void FatalBox(const QString& caption, const QString& text) override;
  bool OpenFile(const TOpenDialogOptions& options, QString& fileName) override;
  void SetCursor(TCursorKind kind) override;

 private:
  bool waiting_ = false;  // our override cursor is on
};

// The Qt name filters for a stored filter ("DB Files|*.db"): one entry per description with
// its patterns as stored ("DB Files (*.db)"); the dialog matches them in any letter case.
QStringList QtNameFilters(const QString& filter);

// The date column of the file dialog's details view: the file system model writes its
// dates in the system locale, English where the program runs without one; the program
// speaks Polish.
class TPolishDateDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  // What the cell of a row of the file system model shows.
  QString Text(const QModelIndex& index) const;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

// The file-open dialog behind OpenFile: Qt's own dialog (the older style) in its details
// view, with the options as stored; modification dates the Polish way ("8 gru 2026, 13:45");
// columns as wide as what they show; and a name typed in another letter case, or without
// its extension, taken for the table of that name ("CONTACTS" opens CONTACTS.DB as well as
// CONTACTS.db), as the platform's own dialog does.
class TTableFileDialog : public QFileDialog {
 public:
  explicit TTableFileDialog(const TOpenDialogOptions& options, QWidget* parent = nullptr);

  // The existing file that `path` names: the path itself when something has that name,
  // else the file of its folder whose name equals the path's name in any letter case (one
  // whose name differs only after the stem is taken before the others); empty when none.
  static QString FindTyped(const QString& path);
  // A modification time as the details view shows it.
  static QString DateText(const QDateTime& time);

 protected:
  void accept() override;
};

// Scripted implementation for tests: records every box and pointer change in order.
class ScriptedDialogs final : public Dialogs {
 public:
  struct Box {
    QString caption;
    QString text;
    TMsgIcon icon;
    bool fatal;
  };
  void SetNextFileName(const QString& name) { nextFiles_.push_back(name); }  // answer next dialog
  void SetNextCancel() { nextFiles_.push_back(QString()); }                  // cancel next dialog
  const std::vector<Box>& Boxes() const { return boxes_; }
  const std::vector<TCursorKind>& Cursors() const { return cursors_; }
  const std::vector<TOpenDialogOptions>& DialogRuns() const { return dialogRuns_; }
  TCursorKind CurrentCursor() const {
    return cursors_.empty() ? TCursorKind::Default : cursors_.back();
  }
  void Clear() {
    boxes_.clear();
    cursors_.clear();
    dialogRuns_.clear();
    nextFiles_.clear();
  }

  void MessageBox(const QString& caption, const QString& text, TMsgIcon icon) override {
    boxes_.push_back({caption, text, icon, false});
  }
  void FatalBox(const QString& caption, const QString& text) override {
    boxes_.push_back({caption, text, TMsgIcon::Error, true});
  }
  bool OpenFile(const TOpenDialogOptions& options, QString& fileName) override {
    dialogRuns_.push_back(options);
    if (nextFiles_.empty()) return false;
    QString next = nextFiles_.front();
    nextFiles_.erase(nextFiles_.begin());
    if (next.isEmpty()) return false;
    fileName = next;
    return true;
  }
  void SetCursor(TCursorKind kind) override { cursors_.push_back(kind); }

 private:
  std::vector<Box> boxes_;
  std::vector<TCursorKind> cursors_;
  std::vector<TOpenDialogOptions> dialogRuns_;
  std::vector<QString> nextFiles_;
};
