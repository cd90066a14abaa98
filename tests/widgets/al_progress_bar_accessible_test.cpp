// What a screen reader learns about the bar: the progress-bar role, its name, its value and
// range. (The value-change announcement needs a platform accessibility bridge, which the
// headless test platforms lack.)
#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleValueInterface>

#include "ALProgressBar.h"

namespace {

TEST(ALProgressBarAccessible, IsAProgressBarWithItsNameValueAndRange) {
  TALProgressBar bar;
  bar.SetPosTextSuffix(QStringLiteral(" %"));
  bar.setAccessibleName(QStringLiteral("Postęp"));
  bar.SetPosition(42);
  QAccessibleInterface* face = QAccessible::queryAccessibleInterface(&bar);
  ASSERT_NE(face, nullptr);
  EXPECT_EQ(face->role(), QAccessible::ProgressBar);
  EXPECT_EQ(face->text(QAccessible::Name), QStringLiteral("Postęp"));
  EXPECT_EQ(face->text(QAccessible::Value), QStringLiteral("42 %"));
  QAccessibleValueInterface* value = face->valueInterface();
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->currentValue().toInt(), 42);
  EXPECT_EQ(value->minimumValue().toInt(), 0);
  EXPECT_EQ(value->maximumValue().toInt(), 100);
  // Progress is not the reader's to set.
  value->setCurrentValue(7);
  EXPECT_EQ(bar.Position(), 42);
}

}  // namespace
