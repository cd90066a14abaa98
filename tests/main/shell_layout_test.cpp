// The window as loaded: every control's place, caption, font, colour, tab order and state;
// the log's lines as shown; the labels' sizing; destruction without errors.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextLayout>
#include <algorithm>
#include <memory>
#include <vector>

#include "ALProgressBar.h"
#include "AboutImage.h"
#include "Application.h"
#include "BDEUtil.h"
#include "DBTables.h"
#include "Dialogs.h"
#include "Graphics.h"
#include "MainForm.h"

namespace {

struct ShellWindow : ::testing::Test {
  ScriptedDialogs dialogs;
  Dialogs* previous = nullptr;
  std::unique_ptr<TMainForm> form;

  void SetUp() override {
    previous = Dialogs::Install(&dialogs);
    form = CreateMainForm();
    ASSERT_EQ(MainForm, form.get());
  }
  void TearDown() override {
    form.reset();
    EXPECT_EQ(MainForm, nullptr);
    EXPECT_TRUE(dialogs.Boxes().empty())
        << "unexpected box: " << dialogs.Boxes()[0].text.toStdString();
    Dialogs::Install(previous);
  }
};

QColor Rgb(int r, int g, int b) {
  return QColor(r, g, b);
}

TEST_F(ShellWindow, WindowIsFixedAtItsStoredPlaceWithoutMaximiseButton) {
  TMainForm& f = *form;
  EXPECT_EQ(f.windowTitle(), "Qel DB Rekasto");
  EXPECT_EQ(f.size(), QSize(441, 481));
  EXPECT_EQ(f.minimumSize(), QSize(441, 481));
  EXPECT_EQ(f.maximumSize(), QSize(441, 481));
  EXPECT_EQ(f.pos(), QPoint(673, 163));
  EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(f.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(f.windowIcon().isNull());
  EXPECT_EQ(f.windowIcon().availableSizes().value(0), QSize(32, 32));
  EXPECT_EQ(f.font().pixelSize(), 11);
  EXPECT_EQ(f.palette().color(QPalette::Window), Rgb(192, 192, 192));
  EXPECT_NE(f.BDEUtil, nullptr) << "FormCreate ran to its end";
}

TEST_F(ShellWindow, EveryControlSitsAtItsStoredGeometry) {
  TMainForm& f = *form;
  struct Place {
    QWidget* control;
    QWidget* parent;
    QRect bounds;
  };
  const std::vector<Place> places = {
      {f.Panel1, &f, {0, 0, 441, 481}},
      {f.VerifyBtn, &f, {8, 432, 73, 41}},
      {f.RebuildBtn, &f, {88, 432, 73, 41}},
      {f.ExitBtn, &f, {360, 432, 73, 41}},
      {f.HMSBitBtn, &f, {168, 432, 185, 41}},
      {f.GroupBox1, f.Panel1, {8, 8, 425, 81}},
      {f.GroupBox4, f.Panel1, {8, 224, 425, 201}},
      {f.PageControl1, f.Panel1, {8, 96, 425, 121}},
      {f.Label1, f.GroupBox1, {8, 31, 25, 13}},
      {f.Label2, f.GroupBox1, {199, 31, 36, 13}},
      {f.Label3, f.GroupBox1, {392, 32, 17, 13}},
      {f.Label9, f.GroupBox1, {190, 31, 2, 13}},
      {f.AliasCombo, f.GroupBox1, {40, 23, 145, 21}},
      {f.TableCombo, f.GroupBox1, {240, 23, 145, 21}},
      {f.TableLocEdit, f.GroupBox1, {80, 48, 329, 21}},
      {f.ByDirectBtn, f.GroupBox1, {8, 48, 65, 21}},
      {f.Memo1, f.GroupBox4, {8, 16, 409, 177}},
      {f.Label24, f.TabSheet1, {4, 9, 53, 13}},
      {f.ALProgressBar1, f.TabSheet1, {60, 8, 349, 15}},
      {f.Label25, f.TabSheet1, {17, 25, 40, 13}},
      {f.ALProgressBar2, f.TabSheet1, {60, 24, 349, 15}},
      {f.Label26, f.TabSheet1, {28, 41, 29, 13}},
      {f.ALProgressBar3, f.TabSheet1, {60, 40, 349, 15}},
      {f.Label27, f.TabSheet1, {21, 69, 36, 13}},
      {f.ALProgressBar4, f.TabSheet1, {60, 64, 349, 23}},
      {f.Label4, f.TabSheet2, {67, 8, 30, 13}},
      {f.Label5, f.TabSheet2, {36, 24, 61, 13}},
      {f.Label6, f.TabSheet2, {57, 40, 40, 13}},
      {f.Label7, f.TabSheet2, {53, 56, 44, 13}},
      {f.Label8, f.TabSheet2, {39, 72, 58, 13}},
      {f.Label14, f.TabSheet2, {225, 8, 96, 13}},
      {f.Label15, f.TabSheet2, {246, 24, 75, 13}},
      {f.Label16, f.TabSheet2, {265, 40, 56, 13}},
      {f.Label17, f.TabSheet2, {268, 56, 53, 13}},
      {f.Label18, f.TabSheet2, {262, 72, 59, 13}},
      {f.FieldsLB, f.TabSheet2, {104, 8, 6, 13}},
      {f.RecSizeLB, f.TabSheet2, {104, 24, 6, 13}},
      {f.IndexLB, f.TabSheet2, {104, 40, 6, 13}},
      {f.ValidLB, f.TabSheet2, {104, 56, 6, 13}},
      {f.RefLB, f.TabSheet2, {104, 72, 6, 13}},
      {f.RestructLB, f.TabSheet2, {328, 8, 6, 13}},
      {f.AuxPassLB, f.TabSheet2, {328, 24, 6, 13}},
      {f.CodePageLB, f.TabSheet2, {328, 40, 6, 13}},
      {f.BlockSizeLB, f.TabSheet2, {328, 56, 6, 13}},
      {f.TabLvlLB, f.TabSheet2, {328, 72, 6, 13}},
      {reinterpret_cast<QWidget*>(f.Image1), f.TabSheet3, {-24, -16, 457, 137}},
      {f.Label11, f.TabSheet3, {212, 6, 196, 80}},
      {f.Label12, f.TabSheet3, {9, 5, 185, 80}},
  };
  for (const Place& p : places) {
    ASSERT_NE(p.control, nullptr);
    EXPECT_EQ(p.control->parentWidget(), p.parent) << p.control->metaObject()->className();
    EXPECT_EQ(p.control->geometry(), p.bounds)
        << "control at " << p.bounds.x() << "," << p.bounds.y();
    EXPECT_TRUE(p.control->isVisibleTo(p.parent));
  }
  // The buttons lie over the panel.
  const QObjectList& top = f.children();
  EXPECT_LT(top.indexOf(f.Panel1), top.indexOf(f.VerifyBtn));
}

TEST_F(ShellWindow, CaptionsPagesAndInitialStates) {
  TMainForm& f = *form;
  EXPECT_EQ(f.VerifyBtn->text(), QString::fromUtf8("Sprawdź"));
  EXPECT_EQ(f.RebuildBtn->text(), "Przebuduj");
  EXPECT_EQ(f.ExitBtn->text(), QString::fromUtf8("Wyjście"));
  EXPECT_EQ(f.HMSBitBtn->text(), QString::fromUtf8("Przebuduj całą bazę wg aliasu"));
  EXPECT_EQ(f.ByDirectBtn->text(), "Z katalogu:");
  EXPECT_EQ(f.GroupBox1->title(), QString::fromUtf8(" Wybór katalogu i pliku: "));
  EXPECT_EQ(f.GroupBox4->title(), "Informacje o wykonywanych operacjach: ");
  EXPECT_EQ(f.Label1->text(), "Alias:");
  EXPECT_EQ(f.Label2->text(), "Tabela:");
  EXPECT_EQ(f.Label3->text(), "lub:");
  EXPECT_EQ(f.Label9->text(), "i");
  EXPECT_EQ(f.Label24->text(), QString::fromUtf8("Nagłówek:"));
  EXPECT_EQ(f.Label27->text(), QString::fromUtf8("Postęp:"));
  EXPECT_EQ(f.Label14->text(), "Restructure Version:");

  ASSERT_EQ(f.PageControl1->count(), 3);
  EXPECT_EQ(f.PageControl1->widget(0), f.TabSheet1);
  EXPECT_EQ(f.PageControl1->widget(1), f.TabSheet2);
  EXPECT_EQ(f.PageControl1->widget(2), f.TabSheet3);
  EXPECT_EQ(f.PageControl1->tabText(0), "Status");
  EXPECT_EQ(f.PageControl1->tabText(1), "Dodatkowe informacje o wybranej tabeli");
  EXPECT_EQ(f.PageControl1->tabText(2), ">>>    Informacje o programie    <<<");
  EXPECT_EQ(f.PageControl1->currentIndex(), 0);

  EXPECT_FALSE(f.VerifyBtn->isEnabled());
  EXPECT_FALSE(f.RebuildBtn->isEnabled());
  EXPECT_FALSE(f.HMSBitBtn->isEnabled());
  EXPECT_TRUE(f.ExitBtn->isEnabled());
  EXPECT_TRUE(f.ByDirectBtn->isEnabled());
  EXPECT_FALSE(f.AliasCombo->isEditable());
  EXPECT_FALSE(f.TableCombo->isEditable());
  EXPECT_EQ(f.AliasCombo->count(), 1) << "the test configuration's one alias";
  EXPECT_EQ(f.AliasCombo->currentIndex(), -1);
  EXPECT_EQ(f.TableCombo->count(), 0);
  EXPECT_TRUE(f.TableLocEdit->isReadOnly());
  EXPECT_TRUE(f.TableLocEdit->text().isEmpty());
  EXPECT_TRUE(f.Memo1->isReadOnly());
  EXPECT_EQ(f.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_EQ(f.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(f.LogCount(), 0);
  for (QLabel* value : {f.FieldsLB, f.RecSizeLB, f.IndexLB, f.ValidLB, f.RefLB, f.RestructLB,
                        f.AuxPassLB, f.CodePageLB, f.BlockSizeLB, f.TabLvlLB})
    EXPECT_EQ(value->text(), "0");
  EXPECT_TRUE(f.Session1->Active());
  EXPECT_EQ(f.Database1->DatabaseName, "MainDB");
  EXPECT_EQ(f.Database1->SessionName, "Session1");
  EXPECT_FALSE(f.Database1->Connected());
  ASSERT_NE(f.OpenDialog1, nullptr);
  EXPECT_EQ(f.OpenDialog1->Filter, "DB Files|*.db");
}

TEST_F(ShellWindow, ColoursAndFontsAreTheStoredOnes) {
  TMainForm& f = *form;
  const QColor panel = Rgb(207, 209, 177);
  EXPECT_EQ(f.Panel1->palette().color(QPalette::Window), panel);
  EXPECT_TRUE(f.Panel1->autoFillBackground());
  auto* frame = qobject_cast<QFrame*>(f.Panel1);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->frameShadow(), QFrame::Raised);
  EXPECT_EQ(frame->lineWidth(), 1);
  EXPECT_EQ(f.TableLocEdit->palette().color(QPalette::Base), panel);
  EXPECT_EQ(f.Memo1->palette().color(QPalette::Base), Rgb(255, 255, 255));
  EXPECT_EQ(f.AliasCombo->palette().color(QPalette::Base), Rgb(255, 255, 255));
  // Rendered: the drop-down lists show their field in the window colour, their arrow button
  // in the button face.
  f.show();
  for (QComboBox* combo : {f.AliasCombo, f.TableCombo}) {
    const QImage shot = combo->grab().toImage();
    EXPECT_EQ(shot.pixelColor(20, shot.height() / 2), Rgb(255, 255, 255));
    EXPECT_EQ(shot.pixelColor(shot.width() - 6, 4), Rgb(192, 192, 192));
  }
  EXPECT_EQ(f.TabSheet2->palette().color(QPalette::Window), panel);
  EXPECT_EQ(f.Label4->palette().color(QPalette::Window), panel);
  for (QLabel* value : {f.FieldsLB, f.TabLvlLB}) {
    EXPECT_EQ(value->palette().color(QPalette::Window), Rgb(192, 192, 192));
    EXPECT_EQ(value->palette().color(QPalette::WindowText), Rgb(0, 0, 128));
    EXPECT_TRUE(value->autoFillBackground());
    EXPECT_EQ(value->font().pixelSize(), 11);
  }
  for (TALProgressBar* bar :
       {f.ALProgressBar1, f.ALProgressBar2, f.ALProgressBar3, f.ALProgressBar4}) {
    EXPECT_EQ(bar->BackgroundColor(), 0x00C2DCDAu);
    EXPECT_EQ(bar->PosTextSuffix(), " %");
    EXPECT_EQ(bar->Position(), 0);
    EXPECT_EQ(bar->font().pixelSize(), 9);
    EXPECT_EQ(bar->font().family(), QFont("Tahoma").family());
    EXPECT_EQ(bar->focusPolicy(), Qt::NoFocus);
    EXPECT_FALSE(bar->Loading());
  }
  for (TALProgressBar* bar : {f.ALProgressBar1, f.ALProgressBar2, f.ALProgressBar3}) {
    EXPECT_EQ(bar->BarColor1(), 0x0088FFFFu);
    EXPECT_EQ(bar->BarColor2(), 0x0086D700u);
    EXPECT_EQ(bar->BarColor3(), 0x00FFAEF9u);
    EXPECT_FALSE(bar->font().bold());
  }
  EXPECT_EQ(f.ALProgressBar4->BarColor1(), 0x0024FFFFu);
  EXPECT_EQ(f.ALProgressBar4->BarColor2(), 0x0097FF97u);
  EXPECT_EQ(f.ALProgressBar4->BarColor3(), 0x00800000u);
  EXPECT_TRUE(f.ALProgressBar4->font().bold());
  for (QLabel* about : {f.Label11, f.Label12}) {
    EXPECT_EQ(about->font().pixelSize(), 13);
    EXPECT_TRUE(about->font().bold());
    EXPECT_EQ(about->palette().color(QPalette::WindowText), panel);
    EXPECT_FALSE(about->autoFillBackground());
  }
}

// How much darker than the bar's background its text makes the inside of the frame.
long BarTextInk(TALProgressBar* bar) {
  const QImage image = bar->grab().toImage();
  const int background = qGray(TColorToQColor(bar->BackgroundColor()).rgb());
  long ink = 0;
  for (int y = 1; y < image.height() - 1; ++y)
    for (int x = 1; x < image.width() - 1; ++x)
      ink += std::max(0, background - qGray(image.pixel(x, y)));
  return ink;
}

// How much of the about page the labels' light colour covers, over the dark picture.
long AboutTextInk(QWidget* page) {
  const QImage image = page->grab().toImage();
  long ink = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) ink += std::max(0, qGray(image.pixel(x, y)) - 150);
  return ink;
}

TEST_F(ShellWindow, BoldTextIsDrawnHeavierThanRegular) {
  // A bold face whose strokes are those of the regular one would pass a look at the font's
  // weight and still draw regular text: what counts is the ink on the screen.
  TMainForm& f = *form;
  f.show();
  const long boldBar = BarTextInk(f.ALProgressBar4);
  QFont regular = f.ALProgressBar4->font();
  regular.setBold(false);
  f.ALProgressBar4->setFont(regular);
  const long regularBar = BarTextInk(f.ALProgressBar4);
  EXPECT_GT(boldBar * 100, regularBar * 125) << boldBar << " against " << regularBar;

  f.PageControl1->setCurrentIndex(2);
  const long boldAbout = AboutTextInk(f.TabSheet3);
  for (QLabel* about : {f.Label11, f.Label12}) {
    QFont font = about->font();
    font.setBold(false);
    about->setFont(font);
  }
  const long regularAbout = AboutTextInk(f.TabSheet3);
  EXPECT_GT(boldAbout * 100, regularAbout * 125) << boldAbout << " against " << regularAbout;
}

TEST_F(ShellWindow, AboutPageHoldsThePictureUnderTwoFiveLineLabels) {
  TMainForm& f = *form;
  EXPECT_EQ(f.Image1->Picture().size(), QSize(582, 250));
  const QStringList right = f.Label11->text().split("\r\n");
  const QStringList left = f.Label12->text().split("\r\n");
  ASSERT_EQ(right.size(), 5);
  ASSERT_EQ(left.size(), 5);
  EXPECT_EQ(right[0], "program do naprawy baz *.DB");
  EXPECT_EQ(right[1], "typu Paradox Borlanda");
  EXPECT_EQ(right[2], "");
  EXPECT_EQ(right[3], "uwagi, sugestie itp:");
  EXPECT_FALSE(right[4].isEmpty());
  EXPECT_EQ(left[0], "Qel DB Rekasto");
  EXPECT_FALSE(left[1].isEmpty());
  EXPECT_EQ(left[2], "");
  EXPECT_EQ(left[3], "");
  EXPECT_EQ(left[4], "prosto, czytelnie, i po polsku");
  // Created in this order, so the labels are drawn over the picture.
  const QObjectList& order = f.TabSheet3->children();
  EXPECT_LT(order.indexOf(f.Image1), order.indexOf(f.Label11));
  EXPECT_LT(order.indexOf(f.Image1), order.indexOf(f.Label12));

  // Rendered: the picture fills the page behind the text, no panel colour shows through.
  f.PageControl1->setCurrentIndex(2);
  f.show();
  const QImage page = f.TabSheet3->grab().toImage();
  EXPECT_NE(page.pixelColor(page.width() / 2, page.height() - 3), QColor(207, 209, 177));
  EXPECT_NE(page.pixelColor(200, 45), QColor(207, 209, 177));
  int textPixels = 0;  // the labels' colour shows over the dark picture
  for (int y = 0; y < page.height(); ++y)
    for (int x = 0; x < page.width(); ++x) {
      const QColor c = page.pixelColor(x, y);
      if (c.red() > 180 && c.green() > 180 && c.blue() > 150) ++textPixels;
    }
  EXPECT_GT(textPixels, 300);
}

// The widgets that the Tab key visits from ExitBtn, in order, until it comes back.
std::vector<QWidget*> TabRound(TMainForm& f) {
  std::vector<QWidget*> visited;
  f.show();
  f.activateWindow();
  QApplication::setActiveWindow(&f);
  f.ExitBtn->setFocus(Qt::TabFocusReason);
  for (int i = 0; i < 20; ++i) {
    QWidget* focused = QApplication::focusWidget();
    if (focused == nullptr) break;
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(focused, &press);
    QWidget* next = QApplication::focusWidget();
    if (next == f.ExitBtn || next == nullptr) break;
    visited.push_back(next);
  }
  return visited;
}

TEST_F(ShellWindow, FocusStartsOnExitAndTabSkipsDisabledButtons) {
  TMainForm& f = *form;
  EXPECT_EQ(f.focusWidget(), f.ExitBtn);
  const std::vector<QWidget*> atStart = TabRound(f);
  EXPECT_EQ(atStart, (std::vector<QWidget*>{f.AliasCombo, f.TableCombo, f.TableLocEdit,
                                            f.ByDirectBtn, f.Memo1}));
  f.VerifyBtn->setEnabled(true);
  f.RebuildBtn->setEnabled(true);
  f.HMSBitBtn->setEnabled(true);
  const std::vector<QWidget*> allOn = TabRound(f);
  EXPECT_EQ(allOn, (std::vector<QWidget*>{f.AliasCombo, f.TableCombo, f.TableLocEdit, f.ByDirectBtn,
                                          f.Memo1, f.VerifyBtn, f.RebuildBtn, f.HMSBitBtn}));
}

TEST_F(ShellWindow, EnterOrSpaceOnTheFocusedExitButtonClosesTheWindow) {
  TMainForm& f = *form;
  f.show();
  QApplication::setActiveWindow(&f);
  f.ExitBtn->setFocus();
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(f.ExitBtn, &press);
  EXPECT_FALSE(f.isVisible());
  // Space does the same.
  f.show();
  QApplication::setActiveWindow(&f);
  f.ExitBtn->setFocus();
  QKeyEvent spaceDown(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
  QKeyEvent spaceUp(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, " ");
  QApplication::sendEvent(f.ExitBtn, &spaceDown);
  QApplication::sendEvent(f.ExitBtn, &spaceUp);
  EXPECT_FALSE(f.isVisible());
}

TEST_F(ShellWindow, LogCountsLinesAsShownAfterWrapping) {
  TMainForm& f = *form;
  EXPECT_EQ(f.LogLastLine(), "");
  f.LogAdd("");  // an empty first line is a line
  EXPECT_EQ(f.LogCount(), 1);
  f.LogAdd(QString::fromUtf8("Sprawdzam w/w tabelę, czekaj..."));
  EXPECT_EQ(f.LogCount(), 2);
  EXPECT_EQ(f.LogLine(0), "");
  EXPECT_EQ(f.LogLastLine(), QString::fromUtf8("Sprawdzam w/w tabelę, czekaj..."));

  // A long line is broken at the pane's width: several shown lines that together are the text.
  QString longLine = QString::fromUtf8("Wybrano tabelę wg katalogu: ");
  for (int i = 0; i < 12; ++i) longLine += QStringLiteral("/katalog%1").arg(i);
  longLine += "/TABELA.DB";
  f.LogAdd(longLine);
  const int count = f.LogCount();
  ASSERT_GT(count, 3);
  QString joined;
  for (int i = 2; i < count; ++i) {
    EXPECT_FALSE(f.LogLine(i).isEmpty());
    EXPECT_LT(f.Memo1->fontMetrics().horizontalAdvance(f.LogLine(i).trimmed()), f.Memo1->width());
    joined += f.LogLine(i);
  }
  EXPECT_EQ(joined, longLine);
  EXPECT_EQ(f.LogLastLine(), f.LogLine(count - 1));
  EXPECT_TRUE(longLine.endsWith(f.LogLastLine()));

  // Shown, the pane agrees on the count of lines.
  f.show();
  QApplication::processEvents();
  int shown = 0;
  for (QTextBlock b = f.Memo1->document()->begin(); b.isValid(); b = b.next())
    shown += b.layout()->lineCount();
  EXPECT_EQ(shown, count);
  f.LogAdd("Przebudowa tabeli zakończona sukcesem.");
  EXPECT_EQ(f.LogLastLine(), QString::fromUtf8("Przebudowa tabeli zakończona sukcesem."));
  EXPECT_EQ(f.LogCount(), count + 1);
}

TEST_F(ShellWindow, ValueLabelsGrowRightAndCaptionsKeepTheirRightEdge) {
  TMainForm& f = *form;
  f.PageControl1->setCurrentIndex(1);
  f.show();
  f.FieldsLB->setText("65535");
  f.Label4->setText("Fields (all of them):");
  f.TabSheet2->grab();  // the labels size themselves as they are painted
  f.TabSheet2->grab();
  EXPECT_EQ(f.FieldsLB->x(), 104);
  EXPECT_GT(f.FieldsLB->width(), 6 * 3);
  EXPECT_EQ(f.FieldsLB->height(), 13);
  EXPECT_EQ(f.Label4->geometry().right(), 96);
  EXPECT_GT(f.Label4->width(), 30);
}

TEST_F(ShellWindow, ExitAndCloseBoxHideTheWindowWithoutAsking) {
  TMainForm& f = *form;
  f.show();
  f.ExitBtnClick(f.ExitBtn);
  EXPECT_FALSE(f.isVisible());
  f.show();
  EXPECT_TRUE(f.close());
  EXPECT_FALSE(f.isVisible());
}

}  // namespace

namespace {

TEST(FormCreateFailure, IsShownOnceAndTheWindowOpensWithoutTheUtilitySession) {
  // Take every utility session there is, so that FormCreate's step 3 cannot open one.
  std::vector<hTUses> taken;
  for (int i = 0; i < 5000; ++i) {
    hTUses handle = 0;
    if (TUInit(&handle) != 0) break;
    taken.push_back(handle);
  }
  if (taken.size() == 5000) {
    for (hTUses h : taken) TUExit(h);
    GTEST_SKIP() << "this utility library has no session limit to run into";
  }
  ScriptedDialogs scripted;
  Dialogs* previous = Dialogs::Install(&scripted);
  std::unique_ptr<TMainForm> form = CreateMainForm();
  EXPECT_EQ(form->BDEUtil, nullptr);
  EXPECT_EQ(form->AliasCombo->count(), 1) << "step 2 ran before the failing step";
  ASSERT_EQ(scripted.Boxes().size(), 1u);
  EXPECT_EQ(scripted.Boxes()[0].caption, "Qel DB Rekasto");
  EXPECT_EQ(scripted.Boxes()[0].icon, TMsgIcon::Error);
  EXPECT_TRUE(scripted.Boxes()[0].text.endsWith('.'));
  for (hTUses h : taken) TUExit(h);
  form->show();
  EXPECT_TRUE(form->isVisible());
  form.reset();  // nothing to free: no second box
  Dialogs::Install(previous);
  EXPECT_EQ(scripted.Boxes().size(), 1u);
}

TEST_F(ShellWindow, EveryControlHasAnAccessibleNameAndTheBarsAreProgressBars) {
  TMainForm& f = *form;
  const auto name = [](QObject* o) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(o);
    return face != nullptr ? face->text(QAccessible::Name) : QStringLiteral("<none>");
  };
  // Captions, without the colon a reader would speak.
  EXPECT_EQ(name(f.VerifyBtn), "Sprawdź");
  EXPECT_EQ(name(f.RebuildBtn), "Przebuduj");
  EXPECT_EQ(name(f.HMSBitBtn), "Przebuduj całą bazę wg aliasu");
  EXPECT_EQ(name(f.ExitBtn), "Wyjście");
  EXPECT_EQ(name(f.ByDirectBtn), "Z katalogu");
  EXPECT_EQ(name(f.AliasCombo), "Alias");
  EXPECT_EQ(name(f.TableCombo), "Tabela");
  EXPECT_EQ(name(f.TableLocEdit), "Wybrana tabela");
  EXPECT_EQ(name(f.Memo1), "Informacje o wykonywanych operacjach");
  EXPECT_EQ(name(f.GroupBox1), "Wybór katalogu i pliku");
  EXPECT_EQ(name(f.TabSheet3), "Informacje o programie");
  EXPECT_EQ(name(f.Image1), "Informacje o programie");
  // No control of the window is left without a name.
  for (QWidget* w : f.findChildren<QWidget*>()) {
    // The panel is a captionless backdrop, the stack Qt's own inside the tab control.
    if (w->parentWidget() == nullptr || !w->isVisibleTo(&f) || w == f.Panel1 ||
        w->objectName() == "qt_tabwidget_stackedwidget")
      continue;
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(w);
    if (face == nullptr || face->role() == QAccessible::Client ||
        face->role() == QAccessible::ScrollBar || face->role() == QAccessible::Grouping ||
        face->role() == QAccessible::PageTabList || face->role() == QAccessible::Pane)
      continue;  // containers and Qt's inner parts
    EXPECT_FALSE(face->text(QAccessible::Name).isEmpty())
        << w->metaObject()->className() << " " << w->objectName().toStdString();
  }
  // The bars: progress-bar role, named by their label, with their value.
  const std::pair<TALProgressBar*, const char*> bars[] = {{f.ALProgressBar1, "Nagłówek"},
                                                          {f.ALProgressBar2, "Indeksy"},
                                                          {f.ALProgressBar3, "Dane"},
                                                          {f.ALProgressBar4, "Postęp"}};
  f.ALProgressBar4->SetPosition(37);
  for (const auto& [bar, label] : bars) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(bar);
    ASSERT_NE(face, nullptr);
    EXPECT_EQ(face->role(), QAccessible::ProgressBar);
    EXPECT_EQ(face->text(QAccessible::Name), QString::fromUtf8(label));
    ASSERT_NE(face->valueInterface(), nullptr);
    EXPECT_EQ(face->valueInterface()->currentValue().toInt(), bar->Position());
  }
  EXPECT_EQ(QAccessible::queryAccessibleInterface(f.ALProgressBar4)->text(QAccessible::Value),
            "37 %");
  // A value label keeps its number and is labelled by the caption beside it.
  QAccessibleInterface* fields = QAccessible::queryAccessibleInterface(f.FieldsLB);
  ASSERT_NE(fields, nullptr);
  EXPECT_EQ(fields->text(QAccessible::Name), "0");
  bool labelled = false;
  for (const auto& [other, relation] : fields->relations(QAccessible::Label))
    labelled = labelled || other->object() == f.Label4;
  EXPECT_TRUE(labelled) << "Fields: labels its value";
}

}  // namespace
