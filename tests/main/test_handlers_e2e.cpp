// The window's handlers over the real utility library and engine, on a fresh copy of the
// demo tables (healthy and damaged ones) for each test.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "ALProgressBar.h"
#include "Application.h"
#include "BDEUtil.h"
#include "DBTables.h"
#include "Dialogs.h"
#include "MainForm.h"

namespace fs = std::filesystem;

namespace {

fs::path gDemoCopy;
fs::path gRealCopy;  // empty when the shared tables are absent

const QString kVerdict0 =
    QStringLiteral("Weryfikacja zakończona sukcesem. Tabela nie zawiera błędów.");
const QString kVerifyStart = QStringLiteral("Sprawdzam w/w tabelę, czekaj...");
const QString kDone = QStringLiteral("Przebudowa tabeli zakończona sukcesem.");
const QString kAllDone = QStringLiteral("Przebudowa wszystkich baz zakończona sukcesem!.");

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = Dialogs::Install(&dialogs_);
    form_ = CreateMainForm();
    ASSERT_NE(form_->BDEUtil, nullptr);
    ChooseAlias("DEMO");
  }
  void ChooseAlias(const QString& name) {
    const int index = form_->AliasCombo->findText(name);
    ASSERT_GE(index, 0) << name.toStdString();
    {
      const QSignalBlocker blocker(form_->AliasCombo);
      form_->AliasCombo->setCurrentIndex(index);
    }
    form_->AliasComboChange(form_->AliasCombo);
  }
  void TearDown() override {
    form_.reset();
    Dialogs::Install(previous_);
  }

  void ChooseTable(const QString& name) {
    const int index = form_->TableCombo->findText(name);
    ASSERT_GE(index, 0) << name.toStdString();
    {
      const QSignalBlocker blocker(form_->TableCombo);
      form_->TableCombo->setCurrentIndex(index);
    }
    form_->TableComboChange(form_->TableCombo);
  }

  ScriptedDialogs dialogs_;
  Dialogs* previous_ = nullptr;
  std::unique_ptr<TMainForm> form_;
};

TEST_F(EndToEndTest, HealthyTableShowsItsPropertiesAndVerifiesClean) {
  ChooseTable("CUSTOMER.DB");
  EXPECT_EQ(form_->TableLocEdit->text(),
            QString::fromStdString((gDemoCopy / "CUSTOMER.DB").string()));
  EXPECT_EQ(form_->TabLvlLB->text(), "7");
  EXPECT_EQ(form_->BlockSizeLB->text(), "2048");
  EXPECT_EQ(form_->CodePageLB->text(), "1250");
  EXPECT_NE(form_->FieldsLB->text(), "0");
  EXPECT_NE(form_->RecSizeLB->text(), "0");
  form_->VerifyBtnClick(form_->VerifyBtn);
  EXPECT_EQ(form_->LogLastLine(), kVerdict0);
  // The library's progress reached the bars through the registered routine.
  EXPECT_EQ(form_->ALProgressBar4->Position(), 100);
  EXPECT_TRUE(dialogs_.Boxes().empty());
}

TEST_F(EndToEndTest, DamagedTableIsFoundRebuiltAndThenVerifiesClean) {
  ChooseTable("BADCOUNT.DB");
  form_->VerifyBtnClick(form_->VerifyBtn);
  const QString verdict = form_->LogLastLine();
  EXPECT_NE(verdict, kVerdict0);
  EXPECT_NE(verdict, kVerifyStart);
  form_->RebuildBtnClick(form_->RebuildBtn);
  EXPECT_EQ(form_->LogLastLine(), kDone);
  EXPECT_TRUE(dialogs_.Boxes().empty());
  form_->VerifyBtnClick(form_->VerifyBtn);
  EXPECT_EQ(form_->LogLastLine(), kVerdict0);
}

TEST_F(EndToEndTest, MissingFileVerifiesToNoVerdictAndRebuildReportsTheError) {
  dialogs_.SetNextFileName(QString::fromStdString((gDemoCopy / "NOSUCH.DB").string()));
  form_->ByDirectBtnClick(form_->ByDirectBtn);
  form_->VerifyBtnClick(form_->VerifyBtn);
  EXPECT_EQ(form_->LogLastLine(), kVerifyStart);
  try {
    form_->RebuildBtnClick(form_->RebuildBtn);
    FAIL() << "the verification inside the rebuild must raise";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), DBIERR_NOSUCHTABLE);
  }
  EXPECT_EQ(form_->LogLastLine(), QStringLiteral("Błąd przy przebudowywaniu tabeli \"NOSUCH.DB\""));
  ASSERT_EQ(dialogs_.Boxes().size(), 1u);
}

TEST_F(EndToEndTest, WholeAliasRebuildsEveryDemoTable) {
  form_->HMSBitBtnClick(form_->HMSBitBtn);
  QStringList log;
  for (int i = 0; i < form_->LogCount(); ++i) log << form_->LogLine(i);
  EXPECT_EQ(form_->LogLastLine(), kAllDone) << log.join("\n").toStdString();
  EXPECT_EQ(log.count(kDone), form_->TableCombo->count());
  EXPECT_FALSE(form_->HMSBitBtn->isEnabled());
  // Every table verifies clean afterwards.
  for (int i = 0; i < form_->TableCombo->count(); ++i) {
    const QString name = form_->TableCombo->itemText(i);
    ChooseTable(name);
    form_->VerifyBtnClick(form_->VerifyBtn);
    EXPECT_EQ(form_->LogLastLine(), kVerdict0) << name.toStdString();
  }
}

bool IsVerdictLine(const QString& line) {
  return line.startsWith(QStringLiteral("Weryfikacja zakończona "));
}

TEST_F(EndToEndTest, TablesMadeByOtherSoftwareVerifyThroughTheWindow) {
  if (gRealCopy.empty()) GTEST_SKIP() << "shared tables not found at " << HANDLERS_SHARED_TABLES;
  ChooseAlias("REAL");
  ASSERT_GT(form_->TableCombo->count(), 0);
  ChooseTable("AREACODES.DB");
  EXPECT_EQ(form_->FieldsLB->text(), "3");
  EXPECT_EQ(form_->TabLvlLB->text(), "7");
  EXPECT_EQ(form_->BlockSizeLB->text(), "16384");
  EXPECT_EQ(form_->CodePageLB->text(), "1252");
  for (int i = 0; i < form_->TableCombo->count(); ++i) {
    const QString name = form_->TableCombo->itemText(i);
    SCOPED_TRACE(name.toStdString());
    ChooseTable(name);
    form_->VerifyBtnClick(form_->VerifyBtn);
    // A verdict, or no line at all when the library refuses the table.
    const QString last = form_->LogLastLine();
    EXPECT_TRUE(IsVerdictLine(last) || last == kVerifyStart) << last.toStdString();
  }
  EXPECT_EQ(dialogs_.CurrentCursor(), TCursorKind::Default);
  EXPECT_TRUE(dialogs_.Boxes().empty());
}

TEST_F(EndToEndTest, WholeAliasOfTablesMadeByOtherSoftware) {
  if (gRealCopy.empty()) GTEST_SKIP() << "shared tables not found at " << HANDLERS_SHARED_TABLES;
  ChooseAlias("REAL");
  try {
    form_->HMSBitBtnClick(form_->HMSBitBtn);
  } catch (const EDBEngineError& e) {
    // A table the library refuses to verify ends the run with an engine error.
    EXPECT_TRUE(form_->LogLastLine().startsWith(QStringLiteral("Błąd przy przebudowywaniu")))
        << e.what();
  }
  QStringList log;
  for (int i = 0; i < form_->LogCount(); ++i) log << form_->LogLine(i);
  const QString last = form_->LogLastLine();
  EXPECT_TRUE(last == kAllDone || last.startsWith(QStringLiteral("Błąd przy przebudowywaniu")))
      << log.join("\n").toStdString();
  // Each table rebuilt before the run ended verifies clean now.
  const int rebuilt = static_cast<int>(log.count(kDone));
  for (int i = 0; i < rebuilt; ++i) {
    const QString name = form_->TableCombo->itemText(i);
    ChooseTable(name);
    form_->VerifyBtnClick(form_->VerifyBtn);
    EXPECT_EQ(form_->LogLastLine(), kVerdict0) << name.toStdString();
  }
  std::cout << "[          ] " << rebuilt << " of " << form_->TableCombo->count()
            << " tables rebuilt; last line: " << last.toStdString() << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();  // test discovery: no copies
  // A fresh copy of the demo tables and a configuration naming it, for this process only.
  std::string tmpl = (fs::temp_directory_path() / "rekasto-handlers-e2e-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) return 2;
  const fs::path root = tmpl;
  gDemoCopy = root / "demo";
  std::error_code copyError;
  fs::copy(HANDLERS_DEMO_TABLES, gDemoCopy, fs::copy_options::recursive, copyError);
  if (copyError) {
    std::cerr << "cannot copy the demo tables from " << HANDLERS_DEMO_TABLES << ": "
              << copyError.message() << "\n";
    fs::remove_all(root, copyError);
    return 2;
  }
  {
    std::ofstream ini(root / "engine.ini");
    ini << "[DEMO]\nTYPE=STANDARD\nPATH=" << gDemoCopy.string() << "\n";
    const fs::path shared = fs::path(HANDLERS_SHARED_TABLES) / "leonhad__paradoxdriver" / "db";
    std::error_code ec;
    if (fs::is_directory(shared, ec)) {
      gRealCopy = root / "real";
      fs::copy(shared, gRealCopy, fs::copy_options::recursive, ec);
      if (ec) gRealCopy.clear();
    }
    if (!gRealCopy.empty()) {
      ini << "[REAL]\nTYPE=STANDARD\nPATH=" << gRealCopy.string() << "\n";
    }
  }
  setenv("REKASTO_ENGINE_CONFIG", (root / "engine.ini").c_str(), 1);
  int result = 0;
  {
    TApplication app(argc, argv);
    app.SetTitle(kApplicationTitle);
    result = RUN_ALL_TESTS();
  }
  EngineShutdown();
  std::error_code ec;
  fs::remove_all(root, ec);
  return result;
}
