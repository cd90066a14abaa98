#include "ALProgressBarAccessible.h"

#include <QAccessibleValueInterface>
#include <QAccessibleWidget>

#include "ALProgressBar.h"

namespace {

class TALProgressBarAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit TALProgressBarAccessible(QWidget* bar)
      : QAccessibleWidget(bar, QAccessible::ProgressBar) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) return Bar()->PosText();
    return QAccessibleWidget::text(t);
  }
  QVariant currentValue() const override { return Bar()->Position(); }
  // Progress is the program's to set, not the reader's.
  void setCurrentValue(const QVariant&) override {}
  QVariant maximumValue() const override { return Bar()->Max(); }
  QVariant minimumValue() const override { return Bar()->Min(); }
  QVariant minimumStepSize() const override { return 1; }

 private:
  TALProgressBar* Bar() const { return static_cast<TALProgressBar*>(widget()); }
};

}  // namespace

QAccessibleInterface* ALProgressBarAccessibleFactory(const QString& className, QObject* object) {
  if (className == QLatin1String("TALProgressBar") && object != nullptr && object->isWidgetType())
    return new TALProgressBarAccessible(static_cast<QWidget*>(object));
  return nullptr;
}
