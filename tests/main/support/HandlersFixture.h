// A window built as the program builds it, over the engine configuration in
// tests/main/data/engine.ini and the scripted utility library, with the scripted dialogs
// installed. Helpers choose aliases and tables as the user would and read back the log.
#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStringList>
#include <QTextBlock>
#include <QTextDocument>
#include <memory>

#include "ALProgressBar.h"
#include "Application.h"
#include "BDEUtil.h"
#include "DBTables.h"
#include "Dialogs.h"
#include "FileNames.h"
#include "MainForm.h"
#include "ScriptedTUtil.h"

// Readable failure output for Qt texts.
inline void PrintTo(const QString& s, std::ostream* os) {
  *os << '"' << s.toStdString() << '"';
}

namespace handlerstest {

// The folder of an alias of the test configuration, as the engine reports it.
inline QString AliasDir(const char* alias) {
  DBDesc desc{};
  if (DbiGetDatabaseDesc(alias, &desc) != DBIERR_NONE) return {};
  return QString::fromUtf8(desc.szPhyName);
}

struct ButtonStates {
  bool verify, rebuild, whole;
  bool operator==(const ButtonStates&) const = default;
};

inline void PrintTo(const ButtonStates& s, std::ostream* os) {
  *os << "{verify " << s.verify << ", rebuild " << s.rebuild << ", whole " << s.whole << "}";
}

class HandlersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scripted::Reset();
    previous_ = Dialogs::Install(&dialogs_);
    form_ = CreateMainForm();
    ASSERT_NE(form_->BDEUtil, nullptr) << "FormCreate did not create the utility session";
    ASSERT_EQ(MainForm, form_.get());
    dialogs_.Clear();
  }
  void TearDown() override {
    form_.reset();
    Dialogs::Install(previous_);
    scripted::Reset();
  }

  TMainForm& F() { return *form_; }

  // Selects an alias by name and runs the handler, as a choice in the list does.
  void ChooseAlias(const QString& name) {
    const int index = F().AliasCombo->findText(name);
    ASSERT_GE(index, 0) << name.toStdString() << " is not in the alias list";
    {
      const QSignalBlocker blocker(F().AliasCombo);
      F().AliasCombo->setCurrentIndex(index);
    }
    F().AliasComboChange(F().AliasCombo);
  }
  void ChooseTable(int index) {
    {
      const QSignalBlocker blocker(F().TableCombo);
      F().TableCombo->setCurrentIndex(index);
    }
    F().TableComboChange(F().TableCombo);
  }
  void PickFile(const QString& path) {
    dialogs_.SetNextFileName(path);
    F().ByDirectBtnClick(F().ByDirectBtn);
  }

  QStringList Log() {
    QStringList lines;
    for (int i = 0; i < F().LogCount(); ++i) lines << F().LogLine(i);
    return lines;
  }
  // The lines appended since the log had `from` lines.
  QStringList LogFrom(int from) { return Log().mid(from); }
  // The log as appended, one entry per LogAdd, however the pane breaks long ones.
  QStringList Entries() {
    QStringList entries;
    if (F().LogCount() == 0) return entries;
    for (QTextBlock b = F().Memo1->document()->begin(); b.isValid(); b = b.next())
      entries << b.text();
    return entries;
  }
  QStringList EntriesFrom(int from) { return Entries().mid(from); }

  ButtonStates Buttons() {
    return {F().VerifyBtn->isEnabled(), F().RebuildBtn->isEnabled(), F().HMSBitBtn->isEnabled()};
  }

  QStringList PropTexts() {
    QStringList texts;
    for (QLabel* l :
         {F().FieldsLB, F().RecSizeLB, F().IndexLB, F().ValidLB, F().RefLB, F().RestructLB,
          F().AuxPassLB, F().CodePageLB, F().BlockSizeLB, F().TabLvlLB}) {
      texts << l->text();
    }
    return texts;
  }

  std::vector<int32_t> BarPositions() {
    return {F().ALProgressBar1->Position(), F().ALProgressBar2->Position(),
            F().ALProgressBar3->Position(), F().ALProgressBar4->Position()};
  }

  ScriptedDialogs dialogs_;
  Dialogs* previous_ = nullptr;
  std::unique_ptr<TMainForm> form_;
};

}  // namespace handlerstest
