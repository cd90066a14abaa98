// TMainForm: the program's one window. It holds the controls under their stored names,
// the wiring, and the handlers; the work of each handler lives in short member functions
// (MainForm.cpp: layout, creation, destruction, exit; MainFormSelection.cpp: alias, table
// and file choice, properties page; MainFormOperations.cpp: verify, rebuild, whole alias).
#pragma once

#include <QByteArray>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>

class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class TALProgressBar;
class TBDEUtil;
class TDatabase;
class TImage;
class TSession;
struct TOpenDialogOptions;

class TMainForm : public QWidget {
 public:
  // Loads the stored layout (Session1 becomes active here: an engine failure throws out of
  // the constructor, which is the fatal start-up path), then runs FormCreate; an error in
  // FormCreate goes to the application's default handler and the window is created anyway.
  explicit TMainForm(QWidget* parent = nullptr);
  // FormDestroy runs first (errors to the default handler), then the controls go, then
  // Database1, Session1 (ending the engine session), OpenDialog1.
  ~TMainForm() override;

  // Event handlers, in declaration order.
  void FormCreate(QObject* Sender);
  void AliasComboChange(QObject* Sender);
  void ByDirectBtnClick(QObject* Sender);
  void TableComboChange(QObject* Sender);
  void FormDestroy(QObject* Sender);
  void ExitBtnClick(QObject* Sender);
  void VerifyBtnClick(QObject* Sender);
  void RebuildBtnClick(QObject* Sender);
  void HMSBitBtnClick(QObject* Sender);

  // Table selection and properties page.
  void FillAliasList();
  void SelectAliasTable();
  // Location: the table's path as bytes, as the engine and the utility library take it.
  void SetTableLocation(const QByteArray& Location);
  void ClearTableLocation();
  void ResetProgressBars();
  void ResetTableProps();
  void ShowTableProps();

  // Operation log (Memo1): appends one whole line; lines are counted as shown (word wrap).
  void LogAdd(const QString& line);
  int LogCount() const;
  QString LogLine(int index) const;
  QString LogLastLine() const;  // empty when the log is empty

  // Controls and components, in declaration order. The labels size themselves to a changed
  // text when they are next painted (a right-aligned one keeping its right edge), so read a
  // label's geometry after a paint, not right after setText.
  QPushButton* ExitBtn = nullptr;
  QFrame* Panel1 = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QComboBox* AliasCombo = nullptr;
  QComboBox* TableCombo = nullptr;
  QLineEdit* TableLocEdit = nullptr;
  QPushButton* ByDirectBtn = nullptr;
  TOpenDialogOptions* OpenDialog1 = nullptr;
  TSession* Session1 = nullptr;
  TDatabase* Database1 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label9 = nullptr;
  QPushButton* VerifyBtn = nullptr;
  QPushButton* RebuildBtn = nullptr;
  QPushButton* HMSBitBtn = nullptr;
  QGroupBox* GroupBox4 = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet1 = nullptr;
  QWidget* TabSheet2 = nullptr;
  TALProgressBar* ALProgressBar4 = nullptr;
  QLabel* Label27 = nullptr;
  TALProgressBar* ALProgressBar3 = nullptr;
  QLabel* Label26 = nullptr;
  TALProgressBar* ALProgressBar2 = nullptr;
  QLabel* Label25 = nullptr;
  TALProgressBar* ALProgressBar1 = nullptr;
  QLabel* Label24 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label5 = nullptr;
  QLabel* Label6 = nullptr;
  QLabel* Label7 = nullptr;
  QLabel* Label8 = nullptr;
  QLabel* FieldsLB = nullptr;
  QLabel* RecSizeLB = nullptr;
  QLabel* IndexLB = nullptr;
  QLabel* ValidLB = nullptr;
  QLabel* RefLB = nullptr;
  QLabel* Label14 = nullptr;
  QLabel* Label15 = nullptr;
  QLabel* Label16 = nullptr;
  QLabel* Label17 = nullptr;
  QLabel* Label18 = nullptr;
  QLabel* TabLvlLB = nullptr;
  QLabel* BlockSizeLB = nullptr;
  QLabel* CodePageLB = nullptr;
  QLabel* AuxPassLB = nullptr;
  QLabel* RestructLB = nullptr;
  QWidget* TabSheet3 = nullptr;
  TImage* Image1 = nullptr;
  QLabel* Label11 = nullptr;
  QLabel* Label12 = nullptr;

  // The chosen table's location as bytes: what verify, rebuild and the properties page pass
  // to the utility library. TableLocEdit shows it decoded (FileNames.h); empty when none.
  QByteArray TableLocation;

  // The table-utility session object; null until FormCreate step 3 has run.
  TBDEUtil* BDEUtil = nullptr;

  // Puts the window wholly on the screen that holds its stored position (the primary screen
  // when none does): at the stored position when the frame fits there, otherwise at the
  // nearest position that fits. Runs as the window is first shown and again once the
  // frame's size is known.
  void PlaceOnScreen();
  // True once the second placement pass (after the window manager framed the window) ran.
  bool PlacementSettled() const { return placementSettled_; }

 protected:
  void closeEvent(class QCloseEvent* event) override;
  void showEvent(class QShowEvent* event) override;

 private:
  void LoadLayout();  // creates every control with its stored values, in these steps:
  void LoadWindow();  // the window itself, Panel1 and the four buttons over it
  void LoadSelectionGroup();
  void LoadLog();
  void LoadPages();  // the tab control and its three pages
  void LoadStatusPage();
  void LoadPropertiesPage();
  void LoadAboutPage();
  void LoadTabOrder();
  void WireHandlers();
  void BindPageKeys();  // Ctrl+Tab, Ctrl+Shift+Tab, Ctrl+PgDn, Ctrl+PgUp switch the pages
  // Enables or disables one of the three action buttons. A button that holds the focus
  // hands it to the log before it is disabled: left to Qt, the focus would move on along
  // the tab order to ExitBtn, where the next Enter or Space ends the program.
  void SetActionEnabled(QPushButton* button, bool enabled);
  void NameControls();  // accessible names: captions, or the label beside the control
  // Memo1's document holds one empty block both when empty and after one empty line.
  bool logHasLines_ = false;
  bool placed_ = false;  // PlaceOnScreen ran for the first show
  bool placementSettled_ = false;
};

// The stored position of the window's frame on the screen.
inline constexpr int kStoredLeft = 673, kStoredTop = 163;

// Where a frame of `frame` size goes within `area`: `stored` when it fits there, otherwise
// the nearest position that fits; along a side where the frame is larger than the area, the
// area's left or top edge (the title bar stays reachable).
QPoint PlaceWithin(const QRect& area, const QPoint& stored, const QSize& frame);

// The one program-wide reference to the main window: set before the window's construction
// starts, cleared again if construction fails.
extern TMainForm* MainForm;

// Throws EDBEngineError when the operation on the window needs BDEUtil but FormCreate
// failed before creating it.
TBDEUtil& RequireBDEUtil(TMainForm& form);
