// The window's stored layout, its creation and destruction, the exit, and the operation log.
#include "MainForm.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QShowEvent>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionComboBox>
#include <QStyleOptionFocusRect>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <QWindow>
#include <QtMath>
#include <algorithm>

#include "ALProgressBar.h"
#include "AboutImage.h"
#include "Application.h"
#include "BDEUtil.h"
#include "DBTables.h"
#include "Dialogs.h"
#include "Graphics.h"

TMainForm* MainForm = nullptr;

namespace {

constexpr TColor kPanelColor = 0x00B1D1CF;
constexpr TColor kBarBackground = 0x00C2DCDA;
constexpr int kWindowFontHeight = 11;
constexpr int kLabelLineHeight = 13;  // text height of the window font at 96 pixels per inch

// A label as the window's labels behave: no word wrap, lines only where the text breaks
// them, each line a fixed height; it keeps its stored size until its text changes, then
// sizes itself to the text, a right-aligned one keeping its right edge, any other its left.
class TLabel : public QLabel {
 public:
  TLabel(const QString& text, QWidget* parent, Qt::Alignment alignment, int lineHeight)
      : QLabel(text, parent), lineHeight_(lineHeight), laidOutText_(text) {
    setAlignment(alignment | Qt::AlignTop);
    setFocusPolicy(Qt::NoFocus);
  }

  QSize sizeHint() const override {
    const QFontMetrics metrics(font());
    int width = 0;
    const QStringList lines = Lines();
    for (const QString& line : lines) width = std::max(width, metrics.horizontalAdvance(line));
    return QSize(width, static_cast<int>(lines.size()) * lineHeight_);
  }
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent*) override {
    if (text() != laidOutText_) {
      laidOutText_ = text();
      const QSize wanted = sizeHint();
      if (wanted != size()) {
        const int right = geometry().right();
        const bool keepRight = (alignment() & Qt::AlignRight) != 0;
        setGeometry(keepRight ? right - wanted.width() + 1 : x(), y(), wanted.width(),
                    wanted.height());
        update();
        return;
      }
    }
    // The lines are drawn at the screen's own resolution, not through the painter's scale:
    // Qt emboldens a face that has no bold of its own (Tahoma here) only when it draws at
    // the font's own size, so on a dense screen bold text came out regular.
    const qreal ratio = devicePixelRatioF();
    QImage lines(QSize(qCeil(width() * ratio), qCeil(height() * ratio)),
                 QImage::Format_ARGB32_Premultiplied);
    lines.fill(Qt::transparent);
    QFont scaled = font();
    if (scaled.pixelSize() > 0) scaled.setPixelSize(qRound(scaled.pixelSize() * ratio));
    {
      QPainter text(&lines);
      text.setFont(scaled);
      text.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                  QPalette::WindowText));
      const QFontMetrics metrics(scaled);
      const QStringList shown = Lines();
      // Each line sits in its own band of lineHeight_ pixels; the glyphs are centred in it.
      const int band = qRound(lineHeight_ * ratio);
      const int baseline = (band - metrics.height()) / 2 + metrics.ascent();
      const bool right = (alignment() & Qt::AlignRight) != 0;
      for (int i = 0; i < shown.size(); ++i) {
        const int x = right ? lines.width() - metrics.horizontalAdvance(shown[i]) : 0;
        text.drawText(x, i * band + baseline, shown[i]);
      }
    }
    lines.setDevicePixelRatio(ratio);
    QPainter painter(this);
    painter.drawImage(0, 0, lines);
  }

 private:
  QStringList Lines() const {
    QString plain = text();
    plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return plain.split(QLatin1Char('\n'));
  }

  int lineHeight_;
  QString laidOutText_;
};

// The platform's tab control pads a tab's caption by a few pixels on each side; with the wider
// padding of Qt's styles the three captions would not fit the control's 425 pixels.
class TTabStyle : public QProxyStyle {
 public:
  using QProxyStyle::QProxyStyle;
  int pixelMetric(PixelMetric metric, const QStyleOption* option,
                  const QWidget* widget) const override {
    if (metric == PM_TabBarTabHSpace) return 12;
    return QProxyStyle::pixelMetric(metric, option, widget);
  }
};

// The platform's drop-down list shows its field in the window colour, with a button-face
// arrow button; Qt's classic style paints a non-editable combo's field in the button colour.
// The field is drawn with the base colour in the button's place, then the arrow as is.
class TComboStyle : public QProxyStyle {
 public:
  using QProxyStyle::QProxyStyle;
  void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                          QPainter* painter, const QWidget* widget) const override {
    const auto* combo = qstyleoption_cast<const QStyleOptionComboBox*>(option);
    if (control != CC_ComboBox || combo == nullptr || combo->editable) {
      QProxyStyle::drawComplexControl(control, option, painter, widget);
      return;
    }
    QStyleOptionComboBox field(*combo);
    field.palette.setBrush(QPalette::Button, combo->palette.brush(QPalette::Base));
    field.subControls &= ~SC_ComboBoxArrow;
    QProxyStyle::drawComplexControl(control, &field, painter, widget);
    QStyleOptionComboBox arrow(*combo);
    arrow.subControls = SC_ComboBoxArrow;
    QProxyStyle::drawComplexControl(control, &arrow, painter, widget);
  }
};

// The location line: read-only, so Qt shows no caret in it, and an empty one that has the
// focus looked the same as one that has not. It draws the platform's dotted focus frame
// inside its border while it has the focus and shows no selection.
class TLocationEdit : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;

 protected:
  void paintEvent(QPaintEvent* event) override {
    QLineEdit::paintEvent(event);
    if (!hasFocus() || hasSelectedText()) return;
    QPainter painter(this);
    QStyleOptionFocusRect frame;
    frame.initFrom(this);
    frame.rect = rect().adjusted(3, 3, -3, -3);
    frame.backgroundColor = palette().color(QPalette::Base);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &frame, &painter, this);
  }
};

QPalette WithColor(QPalette palette, QPalette::ColorRole role, TColor color) {
  palette.setColor(role, TColorToQColor(color));
  return palette;
}

QLabel* MakeLabel(QWidget* parent, const QString& caption, const QRect& bounds,
                  Qt::Alignment alignment = Qt::AlignLeft) {
  auto* label = new TLabel(caption, parent, alignment, kLabelLineHeight);
  label->setGeometry(bounds);
  return label;
}

// A value label of the properties page: "0", navy on its own button-face background.
QLabel* MakeValueLabel(QWidget* parent, const QRect& bounds) {
  QLabel* label = MakeLabel(parent, QStringLiteral("0"), bounds);
  QPalette palette = label->palette();
  palette.setColor(QPalette::Window, TColorToQColor(clBtnFace));
  palette.setColor(QPalette::WindowText, TColorToQColor(clNavy));
  label->setPalette(palette);
  label->setAutoFillBackground(true);
  label->setFont(ClassicFont(QStringLiteral("MS Sans Serif"), kWindowFontHeight));
  return label;
}

QPushButton* MakeButton(QWidget* parent, const QString& caption, const QRect& bounds,
                        bool enabled) {
  auto* button = new QPushButton(caption, parent);
  button->setGeometry(bounds);
  button->setEnabled(enabled);
  // Enter presses the focused button, as Space does.
  button->setAutoDefault(true);
  button->setPalette(WithColor(button->palette(), QPalette::Window, clBtnFace));
  return button;
}

QComboBox* MakeCombo(QWidget* parent, const QRect& bounds) {
  auto* combo = new QComboBox(parent);
  combo->setEditable(false);
  combo->setInsertPolicy(QComboBox::NoInsert);
  combo->setGeometry(bounds);
  combo->setPalette(WithColor(combo->palette(), QPalette::Base, clWindow));
  combo->setFocusPolicy(Qt::StrongFocus);
  // The proxy owns its base style; the combo keeps the proxy alive as its child.
  auto* comboStyle = new TComboStyle(QStyleFactory::create(combo->style()->name()));
  comboStyle->setParent(combo);
  combo->setStyle(comboStyle);
  return combo;
}

TALProgressBar* MakeBar(QWidget* parent, const QRect& bounds, TColor color1, TColor color2,
                        TColor color3, bool bold) {
  auto* bar = new TALProgressBar(parent);
  bar->SetLoading(true);
  bar->setGeometry(bounds);
  bar->SetBarColor1(color1);
  bar->SetBarColor2(color2);
  bar->SetBarColor3(color3);
  bar->SetBackgroundColor(kBarBackground);
  bar->SetPosTextSuffix(QStringLiteral(" %"));
  bar->setFont(ClassicFont(QStringLiteral("Tahoma"), 9, bold));
  bar->SetFontColor(clWindowText);
  bar->setFocusPolicy(Qt::NoFocus);
  bar->SetLoading(false);
  return bar;
}

QWidget* MakePage(QTabWidget* tabs, const QString& caption) {
  auto* page = new QWidget;
  page->setAutoFillBackground(true);
  page->setPalette(WithColor(page->palette(), QPalette::Window, kPanelColor));
  tabs->addTab(page, caption);
  return page;
}

QLabel* MakeAboutLabel(QWidget* parent, const QStringList& lines, const QRect& bounds,
                       Qt::Alignment alignment) {
  auto* label = new TLabel(lines.join(QStringLiteral("\r\n")), parent, alignment, 16);
  label->setGeometry(bounds);
  label->setFont(ClassicFont(QStringLiteral("Tahoma"), 13, true));
  label->setPalette(WithColor(label->palette(), QPalette::WindowText, kPanelColor));
  label->setAttribute(Qt::WA_TranslucentBackground);
  label->setAutoFillBackground(false);
  return label;
}

}  // namespace

TMainForm::TMainForm(QWidget* parent) : QWidget(parent) {
  try {
    LoadLayout();
  } catch (...) {
    // The controls go with the QWidget base; the components are ours to free.
    delete Database1;
    Database1 = nullptr;
    delete Session1;
    Session1 = nullptr;
    delete OpenDialog1;
    OpenDialog1 = nullptr;
    throw;
  }
  try {
    FormCreate(this);
  } catch (...) {
    HandleCurrentException();
  }
}

TMainForm::~TMainForm() {
  hide();
  try {
    FormDestroy(this);
  } catch (...) {
    HandleCurrentException();
  }
  // Controls first, then the components in their stored order: the engine session must
  // outlive every control that might still refer to it.
  const QList<QWidget*> children = findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  for (QWidget* child : children) delete child;
  delete Database1;
  Database1 = nullptr;
  delete Session1;  // ends the engine session
  Session1 = nullptr;
  delete OpenDialog1;
  OpenDialog1 = nullptr;
  if (MainForm == this) MainForm = nullptr;
}

void TMainForm::LoadLayout() {
  LoadWindow();
  LoadSelectionGroup();
  LoadLog();
  LoadPages();
  LoadTabOrder();
  NameControls();
  WireHandlers();
  BindPageKeys();
  // Components; as the last part of loading the stored-active session starts the engine.
  Session1 = new TSession("Session1");
  Database1 = new TDatabase;
  Database1->DatabaseName = "MainDB";
  Database1->SessionName = "Session1";
  Session1->SetActive(true);
}

void TMainForm::LoadWindow() {
  setWindowTitle(kApplicationTitle);
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(441, 481);
  move(kStoredLeft, kStoredTop);
  setFont(ClassicFont(QStringLiteral("MS Sans Serif"), kWindowFontHeight));
  setPalette(WithColor(WithColor(palette(), QPalette::Window, clBtnFace), QPalette::WindowText,
                       clWindowText));
  setAutoFillBackground(true);
  QPixmap icon;
  if (icon.loadFromData(IconPictureData(), static_cast<uint>(IconPictureSize()), "PNG"))
    setWindowIcon(icon);

  // Direct children, in the order of creation: the panel first, the buttons over it.
  auto* panel = new QFrame(this);
  Panel1 = panel;
  panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panel->setLineWidth(1);
  panel->setGeometry(0, 0, 441, 481);
  panel->setAutoFillBackground(true);
  panel->setPalette(WithColor(panel->palette(), QPalette::Window, kPanelColor));

  VerifyBtn = MakeButton(this, QStringLiteral("Sprawdź"), QRect(8, 432, 73, 41), false);
  RebuildBtn = MakeButton(this, QStringLiteral("Przebuduj"), QRect(88, 432, 73, 41), false);
  ExitBtn = MakeButton(this, QStringLiteral("Wyjście"), QRect(360, 432, 73, 41), true);
  HMSBitBtn = MakeButton(this, QStringLiteral("Przebuduj całą bazę wg aliasu"),
                         QRect(168, 432, 185, 41), false);
}

void TMainForm::LoadSelectionGroup() {
  // Selection group.
  GroupBox1 = new QGroupBox(QStringLiteral(" Wybór katalogu i pliku: "), Panel1);
  GroupBox1->setGeometry(8, 8, 425, 81);
  Label1 = MakeLabel(GroupBox1, QStringLiteral("Alias:"), QRect(8, 31, 25, 13));
  Label2 = MakeLabel(GroupBox1, QStringLiteral("Tabela:"), QRect(199, 31, 36, 13));
  AliasCombo = MakeCombo(GroupBox1, QRect(40, 23, 145, 21));
  TableCombo = MakeCombo(GroupBox1, QRect(240, 23, 145, 21));
  TableLocEdit = new TLocationEdit(GroupBox1);
  TableLocEdit->setGeometry(80, 48, 329, 21);
  TableLocEdit->setReadOnly(true);
  TableLocEdit->setPalette(WithColor(TableLocEdit->palette(), QPalette::Base, kPanelColor));
  ByDirectBtn = MakeButton(GroupBox1, QStringLiteral("Z katalogu:"), QRect(8, 48, 65, 21), true);
  OpenDialog1 = new TOpenDialogOptions;
  Label3 = MakeLabel(GroupBox1, QStringLiteral("lub:"), QRect(392, 32, 17, 13));
  Label9 = MakeLabel(GroupBox1, QStringLiteral("i"), QRect(190, 31, 2, 13));
}

void TMainForm::LoadLog() {
  // Operation log.
  GroupBox4 = new QGroupBox(QStringLiteral("Informacje o wykonywanych operacjach: "), Panel1);
  GroupBox4->setGeometry(8, 224, 425, 201);
  Memo1 = new QPlainTextEdit(GroupBox4);
  Memo1->setGeometry(8, 16, 409, 177);
  Memo1->setReadOnly(true);
  Memo1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  Memo1->setFocusPolicy(Qt::StrongFocus);
  Memo1->setTabChangesFocus(true);
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setPalette(WithColor(Memo1->palette(), QPalette::Base, clWindow));
  Memo1->document()->setDocumentMargin(1);
}

void TMainForm::LoadPages() {
  // Pages.
  PageControl1 = new QTabWidget(Panel1);
  PageControl1->setGeometry(8, 96, 425, 121);
  PageControl1->setFocusPolicy(Qt::NoFocus);
  PageControl1->tabBar()->setFocusPolicy(Qt::NoFocus);
  {
    // The proxy owns its base style; the tab bar keeps the proxy alive as its child.
    auto* tabStyle = new TTabStyle(QStyleFactory::create(style()->name()));
    tabStyle->setParent(PageControl1->tabBar());
    PageControl1->tabBar()->setStyle(tabStyle);
  }
  PageControl1->tabBar()->setPalette(
      WithColor(WithColor(PageControl1->tabBar()->palette(), QPalette::Window, clBtnFace),
                QPalette::Button, clBtnFace));
  PageControl1->tabBar()->setAutoFillBackground(false);
  PageControl1->setUsesScrollButtons(false);
  PageControl1->setDocumentMode(false);
  PageControl1->tabBar()->setExpanding(false);
  TabSheet1 = MakePage(PageControl1, QStringLiteral("Status"));
  TabSheet2 = MakePage(PageControl1, QStringLiteral("Dodatkowe informacje o wybranej tabeli"));
  LoadStatusPage();
  LoadPropertiesPage();
  LoadAboutPage();
  PageControl1->setCurrentIndex(0);
}

void TMainForm::LoadStatusPage() {
  // Status page: bars and their right-aligned captions, in declaration order.
  ALProgressBar4 = MakeBar(TabSheet1, QRect(60, 64, 349, 23), 0x0024FFFF, 0x0097FF97, clNavy, true);
  Label27 = MakeLabel(TabSheet1, QStringLiteral("Postęp:"), QRect(21, 69, 36, 13), Qt::AlignRight);
  ALProgressBar3 =
      MakeBar(TabSheet1, QRect(60, 40, 349, 15), 0x0088FFFF, 0x0086D700, 0x00FFAEF9, false);
  Label26 = MakeLabel(TabSheet1, QStringLiteral("Dane:"), QRect(28, 41, 29, 13), Qt::AlignRight);
  ALProgressBar2 =
      MakeBar(TabSheet1, QRect(60, 24, 349, 15), 0x0088FFFF, 0x0086D700, 0x00FFAEF9, false);
  Label25 = MakeLabel(TabSheet1, QStringLiteral("Indeksy:"), QRect(17, 25, 40, 13), Qt::AlignRight);
  ALProgressBar1 =
      MakeBar(TabSheet1, QRect(60, 8, 349, 15), 0x0088FFFF, 0x0086D700, 0x00FFAEF9, false);
  Label24 = MakeLabel(TabSheet1, QStringLiteral("Nagłówek:"), QRect(4, 9, 53, 13), Qt::AlignRight);
}

void TMainForm::LoadPropertiesPage() {
  // Properties page: right-aligned captions, value labels growing to the right.
  Label4 = MakeLabel(TabSheet2, QStringLiteral("Fields:"), QRect(67, 8, 30, 13), Qt::AlignRight);
  Label5 =
      MakeLabel(TabSheet2, QStringLiteral("Record Size:"), QRect(36, 24, 61, 13), Qt::AlignRight);
  Label6 = MakeLabel(TabSheet2, QStringLiteral("Indexes:"), QRect(57, 40, 40, 13), Qt::AlignRight);
  Label7 =
      MakeLabel(TabSheet2, QStringLiteral("Validities:"), QRect(53, 56, 44, 13), Qt::AlignRight);
  Label8 =
      MakeLabel(TabSheet2, QStringLiteral("References:"), QRect(39, 72, 58, 13), Qt::AlignRight);
  FieldsLB = MakeValueLabel(TabSheet2, QRect(104, 8, 6, 13));
  RecSizeLB = MakeValueLabel(TabSheet2, QRect(104, 24, 6, 13));
  IndexLB = MakeValueLabel(TabSheet2, QRect(104, 40, 6, 13));
  ValidLB = MakeValueLabel(TabSheet2, QRect(104, 56, 6, 13));
  RefLB = MakeValueLabel(TabSheet2, QRect(104, 72, 6, 13));
  Label14 = MakeLabel(TabSheet2, QStringLiteral("Restructure Version:"), QRect(225, 8, 96, 13),
                      Qt::AlignRight);
  Label15 = MakeLabel(TabSheet2, QStringLiteral("Aux Passwords:"), QRect(246, 24, 75, 13),
                      Qt::AlignRight);
  Label16 =
      MakeLabel(TabSheet2, QStringLiteral("Code Page:"), QRect(265, 40, 56, 13), Qt::AlignRight);
  Label17 =
      MakeLabel(TabSheet2, QStringLiteral("Block Size:"), QRect(268, 56, 53, 13), Qt::AlignRight);
  Label18 =
      MakeLabel(TabSheet2, QStringLiteral("Table Level:"), QRect(262, 72, 59, 13), Qt::AlignRight);
  TabLvlLB = MakeValueLabel(TabSheet2, QRect(328, 72, 6, 13));
  BlockSizeLB = MakeValueLabel(TabSheet2, QRect(328, 56, 6, 13));
  CodePageLB = MakeValueLabel(TabSheet2, QRect(328, 40, 6, 13));
  AuxPassLB = MakeValueLabel(TabSheet2, QRect(328, 24, 6, 13));
  RestructLB = MakeValueLabel(TabSheet2, QRect(328, 8, 6, 13));
}

void TMainForm::LoadAboutPage() {
  // About page: the picture first, so the two labels are drawn over it.
  TabSheet3 = MakePage(PageControl1, QStringLiteral(">>>    Informacje o programie    <<<"));
  Image1 = new TImage(TabSheet3);
  Image1->setGeometry(-24, -16, 457, 137);
  QString pictureError;
  if (!Image1->LoadJpeg(AboutPictureData(), AboutPictureSize(), &pictureError))
    qWarning("about picture: %s", qPrintable(pictureError));
  Label11 = MakeAboutLabel(
      TabSheet3,
      {QStringLiteral("program do naprawy baz *.DB"), QStringLiteral("typu Paradox Borlanda"),
       QString(), QStringLiteral("uwagi, sugestie itp:"), QStringLiteral("patrz plik README.md")},
      QRect(212, 6, 196, 80), Qt::AlignRight);
  Label12 = MakeAboutLabel(
      TabSheet3,
      {QStringLiteral("Qel DB Rekasto"), QStringLiteral("wersja " REKASTO_VERSION " (2026)"),
       QString(), QString(), QStringLiteral("prosto, czytelnie, i po polsku")},
      QRect(9, 5, 185, 80), Qt::AlignLeft);
}

void TMainForm::LoadTabOrder() {
  // Tab order: ExitBtn, the selection group, the log, then the three action buttons.
  setTabOrder(ExitBtn, AliasCombo);
  setTabOrder(AliasCombo, TableCombo);
  setTabOrder(TableCombo, TableLocEdit);
  setTabOrder(TableLocEdit, ByDirectBtn);
  setTabOrder(ByDirectBtn, Memo1);
  setTabOrder(Memo1, VerifyBtn);
  setTabOrder(VerifyBtn, RebuildBtn);
  setTabOrder(RebuildBtn, HMSBitBtn);
  ExitBtn->setFocus(Qt::OtherFocusReason);
}

void TMainForm::BindPageKeys() {
  // The keys that switch the pages of a tab control wherever the focus is in the window:
  // the tab control itself never takes the focus, so it never sees them.
  const auto bind = [this](std::initializer_list<QKeySequence> keys, int step) {
    auto* shortcut = new QShortcut(this);
    shortcut->setKeys(QList<QKeySequence>(keys));
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, [this, step] {
      const int count = PageControl1->count();
      PageControl1->setCurrentIndex((PageControl1->currentIndex() + step + count) % count);
    });
  };
  bind({QKeySequence(Qt::CTRL | Qt::Key_Tab), QKeySequence(Qt::CTRL | Qt::Key_PageDown)}, 1);
  // Shift+Tab arrives as Backtab.
  bind({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab),
        QKeySequence(Qt::CTRL | Qt::Key_PageUp)},
       -1);
}

void TMainForm::WireHandlers() {
  // Wiring: a selection by the user, and the buttons' clicks. An error escaping a handler
  // goes to the default handler right here: Qt's own frames between the slot and
  // TApplication::notify are not built to be unwound (their event copies would leak).
  const auto guarded = [](auto handler) {
    return [handler](auto&&...) {
      try {
        handler();
      } catch (...) {
        HandleCurrentException();
      }
    };
  };
  connect(AliasCombo, &QComboBox::activated, this,
          guarded([this] { AliasComboChange(AliasCombo); }));
  connect(TableCombo, &QComboBox::activated, this,
          guarded([this] { TableComboChange(TableCombo); }));
  connect(ByDirectBtn, &QPushButton::clicked, this,
          guarded([this] { ByDirectBtnClick(ByDirectBtn); }));
  connect(ExitBtn, &QPushButton::clicked, this, guarded([this] { ExitBtnClick(ExitBtn); }));
  connect(VerifyBtn, &QPushButton::clicked, this, guarded([this] { VerifyBtnClick(VerifyBtn); }));
  connect(RebuildBtn, &QPushButton::clicked, this,
          guarded([this] { RebuildBtnClick(RebuildBtn); }));
  connect(HMSBitBtn, &QPushButton::clicked, this, guarded([this] { HMSBitBtnClick(HMSBitBtn); }));
}

void TMainForm::NameControls() {
  // Screen readers name each control by its caption, or by the label beside it; the trailing
  // colon of a caption is not read out.
  const auto caption = [](const QString& text) {
    QString name = text;
    name.remove(QLatin1Char('<')).remove(QLatin1Char('>'));  // ">>>    Informacje ...    <<<"
    name = name.simplified();
    if (name.endsWith(QLatin1Char(':'))) name.chop(1);
    return name;
  };
  for (QPushButton* button : {VerifyBtn, RebuildBtn, ExitBtn, HMSBitBtn, ByDirectBtn})
    button->setAccessibleName(caption(button->text()));
  for (QGroupBox* group : {GroupBox1, GroupBox4}) group->setAccessibleName(caption(group->title()));
  AliasCombo->setAccessibleName(caption(Label1->text()));
  TableCombo->setAccessibleName(caption(Label2->text()));
  // The line beside "Z katalogu:" shows the chosen table's location.
  TableLocEdit->setAccessibleName(QStringLiteral("Wybrana tabela"));
  Memo1->setAccessibleName(caption(GroupBox4->title()));
  PageControl1->setAccessibleName(QStringLiteral("Strony"));
  for (int i = 0; i < PageControl1->count(); ++i)
    PageControl1->widget(i)->setAccessibleName(caption(PageControl1->tabText(i)));
  // A bar is named by its label; its value comes through its own accessible interface.
  for (const auto& [bar, label] :
       {std::pair{ALProgressBar1, Label24}, std::pair{ALProgressBar2, Label25},
        std::pair{ALProgressBar3, Label26}, std::pair{ALProgressBar4, Label27}})
    bar->setAccessibleName(caption(label->text()));
  // A value label keeps its number as its name; the caption beside it labels it, so a reader
  // says "Fields: 5".
  const std::pair<QLabel*, QWidget*> labelled[] = {
      {Label1, AliasCombo},      {Label2, TableCombo},      {Label4, FieldsLB},
      {Label5, RecSizeLB},       {Label6, IndexLB},         {Label7, ValidLB},
      {Label8, RefLB},           {Label14, RestructLB},     {Label15, AuxPassLB},
      {Label16, CodePageLB},     {Label17, BlockSizeLB},    {Label18, TabLvlLB},
      {Label24, ALProgressBar1}, {Label25, ALProgressBar2}, {Label26, ALProgressBar3},
      {Label27, ALProgressBar4}};
  for (const auto& [label, control] : labelled) label->setBuddy(control);
  Image1->setAccessibleName(caption(PageControl1->tabText(2)));
}

void TMainForm::FormCreate(QObject*) {
  Session1->SetActive(true);
  FillAliasList();
  BDEUtil = new TBDEUtil();
  if (TApplication* app = TApplication::Instance()) app->SetTitle(kApplicationTitle);
}

void TMainForm::FormDestroy(QObject*) {
  // Cleared first, so a failing close leaves no dangling object behind.
  TBDEUtil* util = BDEUtil;
  BDEUtil = nullptr;
  delete util;
}

void TMainForm::ExitBtnClick(QObject*) {
  close();
}

QPoint PlaceWithin(const QRect& area, const QPoint& stored, const QSize& frame) {
  const auto along = [](int position, int start, int length, int size) {
    if (size >= length) return start;
    return std::clamp(position, start, start + length - size);
  };
  return QPoint(along(stored.x(), area.left(), area.width(), frame.width()),
                along(stored.y(), area.top(), area.height(), frame.height()));
}

void TMainForm::PlaceOnScreen() {
  const QPoint stored(kStoredLeft, kStoredTop);
  QScreen* screen = QGuiApplication::screenAt(stored);
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  // Before the window manager has framed the window its frame is not known yet; the frame
  // margins Qt has, if any, stand in until the second pass.
  QSize frame = frameGeometry().size();
  if (frame == size() && windowHandle() != nullptr) {
    const QMargins margins = windowHandle()->frameMargins();
    frame += QSize(margins.left() + margins.right(), margins.top() + margins.bottom());
  }
  // Positions and sizes here are in Qt's device-independent pixels, the same units as the
  // screen's geometry, at any density.
  const QPoint place = PlaceWithin(screen->availableGeometry(), stored, frame);
  if (place != pos()) move(place);
}

void TMainForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (placed_ || event->spontaneous()) return;
  placed_ = true;
  PlaceOnScreen();
  // Once the window manager has put its frame around the window, check again with the
  // frame's real size.
  QTimer::singleShot(250, this, [this] {
    PlaceOnScreen();
    placementSettled_ = true;
  });
}

void TMainForm::closeEvent(QCloseEvent* event) {
  // Closing the last window posts the quit request itself (quit on last window closed), so
  // the loop ends once the messages already waiting are handled. Asking again here would
  // leave a second request queued behind the loop's end, and that one would close the first
  // box shown afterwards (an error of FormDestroy) at once.
  event->accept();
}

// ---- Operation log ----

void TMainForm::LogAdd(const QString& line) {
  QTextCursor cursor(Memo1->document());
  cursor.movePosition(QTextCursor::End);
  if (logHasLines_) cursor.insertBlock();
  cursor.insertText(line);
  logHasLines_ = true;
  Memo1->moveCursor(QTextCursor::End);
  Memo1->ensureCursorVisible();
}

namespace {

// The lines of one paragraph as the pane shows them: laid out like the pane's document
// layout does, at the viewport's width less the document margins.
QStringList ShownLines(const QPlainTextEdit& pane, const QString& text) {
  const QTextDocument& document = *pane.document();
  // A hidden pane has not sized its viewport yet; the width is the frame's inside less the
  // always-shown scroll bar, which is what the viewport gets once shown.
  const int scrollBar = pane.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &pane);
  const qreal width = pane.contentsRect().width() - scrollBar - 2 * document.documentMargin();
  QTextLayout layout(text, document.defaultFont());
  layout.setTextOption(document.defaultTextOption());
  layout.beginLayout();
  QStringList lines;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    lines.append(text.mid(line.textStart(), line.textLength()));
  }
  layout.endLayout();
  if (lines.isEmpty()) lines.append(QString());
  return lines;
}

}  // namespace

int TMainForm::LogCount() const {
  if (!logHasLines_) return 0;
  int count = 0;
  for (QTextBlock block = Memo1->document()->begin(); block.isValid(); block = block.next())
    count += static_cast<int>(ShownLines(*Memo1, block.text()).size());
  return count;
}

QString TMainForm::LogLine(int index) const {
  if (!logHasLines_ || index < 0) return QString();
  for (QTextBlock block = Memo1->document()->begin(); block.isValid(); block = block.next()) {
    const QStringList lines = ShownLines(*Memo1, block.text());
    if (index < lines.size()) return lines[index];
    index -= static_cast<int>(lines.size());
  }
  return QString();
}

QString TMainForm::LogLastLine() const {
  if (!logHasLines_) return QString();
  return ShownLines(*Memo1, Memo1->document()->lastBlock().text()).back();
}
