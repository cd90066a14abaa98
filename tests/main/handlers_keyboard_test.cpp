// The window driven as a user does, with the mouse and the keyboard: where the focus goes
// when the button that holds it is disabled, and the keys that switch the pages. The window
// is shown and active; clicks and keys go through Qt's event delivery (focus on click,
// shortcuts) as the user's do.
#include <QApplication>
#include <QTabWidget>
#include <QTest>

#include "HandlersFixture.h"

namespace handlerstest {
namespace {

const QString kAllDone = QStringLiteral("Przebudowa wszystkich baz zakończona sukcesem!.");

class KeyboardTest : public HandlersTest {
 protected:
  void SetUp() override {
    HandlersTest::SetUp();
    F().show();
    F().activateWindow();
    QApplication::setActiveWindow(&F());
    QObject::connect(F().ExitBtn, &QPushButton::clicked, [this] { ++exitClicks_; });
  }

  // Enter and Space, as a user dismissing what they take for a box still open.
  void StrayKeys() {
    QWidget* focused = F().focusWidget();
    ASSERT_NE(focused, nullptr);
    QTest::keyClick(focused, Qt::Key_Return);
    QTest::keyClick(F().focusWidget(), Qt::Key_Space);
  }

  int exitClicks_ = 0;
};

TEST_F(KeyboardTest, AfterAWholeAliasRunStartedByMouseAStrayEnterDoesNotEndTheProgram) {
  ChooseAlias("FIVE");
  QTest::mouseClick(F().HMSBitBtn, Qt::LeftButton);
  ASSERT_EQ(F().LogLastLine(), kAllDone);
  EXPECT_FALSE(F().HMSBitBtn->isEnabled());
  EXPECT_EQ(F().focusWidget(), F().Memo1);
  StrayKeys();
  EXPECT_EQ(exitClicks_, 0);
  EXPECT_TRUE(F().isVisible());

  // A run that stops at a failure, with its box, leaves the focus on the log as well.
  ChooseAlias("FIVE");
  scripted::Current().rebuildQueue = {DBIERR_NONE, DBIERR_LOCKED};
  QTest::mouseClick(F().HMSBitBtn, Qt::LeftButton);
  ASSERT_EQ(dialogs_.Boxes().size(), 1u);
  EXPECT_EQ(F().focusWidget(), F().Memo1);
  StrayKeys();
  EXPECT_EQ(exitClicks_, 0);
  EXPECT_TRUE(F().isVisible());
}

TEST_F(KeyboardTest, AFocusedButtonThatIsDisabledHandsTheFocusToTheLog) {
  // An alias without tables disables the action buttons; a file pick disables the
  // whole-alias button. Whichever held the focus, it goes to the log, never to ExitBtn.
  ChooseAlias("FIVE");
  for (QPushButton* button : {F().VerifyBtn, F().RebuildBtn, F().HMSBitBtn}) {
    SCOPED_TRACE(button->text().toStdString());
    ChooseAlias("FIVE");
    button->setFocus(Qt::TabFocusReason);
    ASSERT_EQ(F().focusWidget(), button);
    ChooseAlias("EMPTY");
    EXPECT_FALSE(button->isEnabled());
    EXPECT_EQ(F().focusWidget(), F().Memo1);
  }
  ChooseAlias("FIVE");
  F().HMSBitBtn->setFocus(Qt::TabFocusReason);
  PickFile(AliasDir("FIVE") + "/T1.DB");
  EXPECT_EQ(F().focusWidget(), F().Memo1);
  // Enabling takes nothing from the control that has the focus.
  F().AliasCombo->setFocus(Qt::TabFocusReason);
  ChooseAlias("FIVE");
  EXPECT_EQ(F().focusWidget(), F().AliasCombo);
  EXPECT_EQ(exitClicks_, 0);
}

TEST_F(KeyboardTest, CtrlTabAndCtrlPageKeysSwitchThePagesWhereverTheFocusIs) {
  ChooseAlias("FIVE");
  QTabWidget* pages = F().PageControl1;
  for (QWidget* focus : std::initializer_list<QWidget*>{
           F().ExitBtn, F().AliasCombo, F().TableLocEdit, F().Memo1, F().VerifyBtn}) {
    SCOPED_TRACE(focus->accessibleName().toStdString());
    focus->setFocus(Qt::TabFocusReason);
    pages->setCurrentIndex(0);
    const auto press = [&](Qt::Key key, Qt::KeyboardModifiers modifiers) {
      QTest::keyClick(F().focusWidget(), key, modifiers);
      return pages->currentIndex();
    };
    EXPECT_EQ(press(Qt::Key_Tab, Qt::ControlModifier), 1);
    EXPECT_EQ(press(Qt::Key_Tab, Qt::ControlModifier), 2);
    EXPECT_EQ(press(Qt::Key_Tab, Qt::ControlModifier), 0);  // round to the first
    // Ctrl+Shift+Tab: the platform delivers Shift+Tab as Backtab.
    EXPECT_EQ(press(Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier), 2);
    EXPECT_EQ(press(Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier), 1);
    EXPECT_EQ(press(Qt::Key_PageDown, Qt::ControlModifier), 2);
    EXPECT_EQ(press(Qt::Key_PageUp, Qt::ControlModifier), 1);
    EXPECT_EQ(press(Qt::Key_PageUp, Qt::ControlModifier), 0);
    // The pages change, the focus stays.
    EXPECT_EQ(F().focusWidget(), focus);
  }
  EXPECT_EQ(exitClicks_, 0);
}

TEST_F(KeyboardTest, AFocusedEmptyLocationLineShowsItsFocusFrame) {
  ASSERT_TRUE(F().TableLocEdit->text().isEmpty());
  F().ExitBtn->setFocus(Qt::TabFocusReason);
  const QImage unfocused = F().TableLocEdit->grab().toImage();
  F().TableLocEdit->setFocus(Qt::TabFocusReason);
  ASSERT_TRUE(F().TableLocEdit->hasFocus());
  const QImage focused = F().TableLocEdit->grab().toImage();
  ASSERT_EQ(focused.size(), unfocused.size());
  // The frame runs along the inside of the border: dots on the top row of the text area.
  int changed = 0;
  for (int x = 0; x < focused.width(); ++x) changed += focused.pixel(x, 3) != unfocused.pixel(x, 3);
  EXPECT_GT(changed, focused.width() / 4);
  F().ExitBtn->setFocus(Qt::TabFocusReason);
  EXPECT_EQ(F().TableLocEdit->grab().toImage(), unfocused);
}

}  // namespace
}  // namespace handlerstest
