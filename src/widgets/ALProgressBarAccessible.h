// What assistive technology learns about a TALProgressBar: the progress-bar role, its name
// (the widget's accessible name) and its value (position, range and the shown text), with
// a value-change event on each position change (ALProgressBar.cpp).
#pragma once

class QAccessibleInterface;
class QObject;
class QString;

// The accessibility factory for TALProgressBar; installed once by the first bar.
QAccessibleInterface* ALProgressBarAccessibleFactory(const QString& className, QObject* object);
