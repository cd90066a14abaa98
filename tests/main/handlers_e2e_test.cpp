// The window's handlers over the real utility library and engine, on a fresh copy of the
// demo tables (healthy and damaged ones) for each test.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTextBlock>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <set>

#include "ALProgressBar.h"
#include "Application.h"
#include "BDEUtil.h"
#include "DBTables.h"
#include "Dialogs.h"
#include "FileNames.h"
#include "MainForm.h"
#include "ReadOnlyFolder.h"

namespace fs = std::filesystem;

namespace {

fs::path gDemoCopy;
fs::path gRealCopy;     // empty when the shared tables are absent
fs::path gForeignCopy;  // an alias folder whose name and table are CP1250 bytes, not UTF-8

// "Spółka" and "Zamówienia" in code page 1250, as an old share holds them.
const std::string kForeignFolder = "Sp\xF3\xB3ka";
const std::string kForeignStem = "Zam\xF3wienia";

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

  // The log as appended, one entry per line written, however the pane breaks it.
  QStringList Entries() {
    QStringList entries;
    if (form_->LogCount() == 0) return entries;
    for (QTextBlock b = form_->Memo1->document()->begin(); b.isValid(); b = b.next())
      entries << b.text();
    return entries;
  }
  QString Entry(int fromEnd) { return Entries().value(Entries().size() - 1 - fromEnd); }

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
  // Verdict 1, then what it means: how many findings, and where VERIFY.DB lies.
  EXPECT_EQ(Entry(1),
            QStringLiteral("Weryfikacja zakończona sukcesem. Weryfikację zakończono poprawnie."));
  const QString counts = Entry(0);
  EXPECT_TRUE(counts.startsWith(QStringLiteral("Błędy: "))) << counts.toStdString();
  EXPECT_FALSE(counts.startsWith(QStringLiteral("Błędy: 0,"))) << counts.toStdString();
  EXPECT_TRUE(counts.contains(QStringLiteral("(przebudowa je naprawi)"))) << counts.toStdString();
  const QString findings =
      QString::fromStdString((gDemoCopy / "BADCOUNT.rekasto" / "VERIFY.DB").string());
  EXPECT_TRUE(counts.endsWith(QStringLiteral("Wyniki sprawdzenia: ") + findings + "."))
      << counts.toStdString();
  EXPECT_TRUE(fs::exists(findings.toStdString()));
  form_->RebuildBtnClick(form_->RebuildBtn);
  EXPECT_EQ(form_->LogLastLine(), kDone);
  // Before the outcome line: the repair folder and what was set aside.
  const QString rebuilt = Entry(1);
  EXPECT_TRUE(rebuilt.startsWith(QStringLiteral("Zachowane rekordy: "))) << rebuilt.toStdString();
  const QString folderHead = QStringLiteral("Kopia oryginału i raporty: ");
  ASSERT_TRUE(rebuilt.contains(folderHead)) << rebuilt.toStdString();
  const QString folder = rebuilt.mid(rebuilt.indexOf(folderHead) + folderHead.size()).chopped(1);
  EXPECT_TRUE(fs::exists((folder + "/Backup.Db").toStdString())) << folder.toStdString();
  EXPECT_TRUE(dialogs_.Boxes().empty());
  form_->VerifyBtnClick(form_->VerifyBtn);
  EXPECT_EQ(form_->LogLastLine(), kVerdict0);
}

TEST_F(EndToEndTest, MissingFileVerifiesToItsReasonAndRebuildReportsTheError) {
  const QString path = QString::fromStdString((gDemoCopy / "NOSUCH.DB").string());
  dialogs_.SetNextFileName(path);
  form_->ByDirectBtnClick(form_->ByDirectBtn);
  form_->VerifyBtnClick(form_->VerifyBtn);
  const QString reason =
      QStringLiteral("Nie można sprawdzić tabeli: nie ma takiego pliku tabeli (") + path + ").";
  EXPECT_EQ(Entry(0), reason);
  try {
    form_->RebuildBtnClick(form_->RebuildBtn);
    FAIL() << "the verification inside the rebuild must raise";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), DBIERR_NOSUCHTABLE);
    // The box before it gave the reason: the engine adds its code, the file and its detail,
    // all in Polish.
    EXPECT_EQ(QString::fromUtf8(e.what()), QStringLiteral("Kod błędu silnika: $2508\nPlik: ") +
                                               path + QStringLiteral("\nplik tabeli nie istnieje"));
  }
  EXPECT_EQ(form_->LogLastLine(), QStringLiteral("Błąd przy przebudowywaniu tabeli \"NOSUCH.DB\""));
  ASSERT_EQ(dialogs_.Boxes().size(), 1u);
  EXPECT_EQ(dialogs_.Boxes()[0].text,
            QStringLiteral("Błąd przy przebudowywaniu tabeli:\n\"NOSUCH.DB\"\n") + reason);
}

TEST_F(EndToEndTest, ATextFileNamedLikeATableIsNamedForWhatItIs) {
  // Properties of a readable table first: the text file must not inherit them.
  ChooseTable("CUSTOMER.DB");
  ASSERT_NE(form_->FieldsLB->text(), "0");
  const fs::path text = gDemoCopy.parent_path() / "NOTES.DB";
  std::ofstream(text) << std::string(400, 'x') << "\nnot a table\n";
  dialogs_.SetNextFileName(QString::fromStdString(text.string()));
  form_->ByDirectBtnClick(form_->ByDirectBtn);
  for (QLabel* l : {form_->FieldsLB, form_->RecSizeLB, form_->IndexLB, form_->ValidLB, form_->RefLB,
                    form_->RestructLB, form_->AuxPassLB, form_->CodePageLB, form_->BlockSizeLB,
                    form_->TabLvlLB}) {
    EXPECT_EQ(l->text(), "0");
  }
  form_->VerifyBtnClick(form_->VerifyBtn);
  const QString reason =
      QStringLiteral("Nie można sprawdzić tabeli: plik nie jest tabelą Paradox (") +
      QString::fromStdString(text.string()) + ").";
  EXPECT_EQ(Entry(0), reason);
  EXPECT_EQ(Entry(1), kVerifyStart);
  EXPECT_THROW(form_->RebuildBtnClick(form_->RebuildBtn), EDBEngineError);
  ASSERT_EQ(dialogs_.Boxes().size(), 1u);
  EXPECT_TRUE(dialogs_.Boxes()[0].text.endsWith(reason)) << dialogs_.Boxes()[0].text.toStdString();
  EXPECT_FALSE(fs::exists(gDemoCopy.parent_path() / "NOTES.rekasto")) << "nothing written for it";
  fs::remove(text);
}

TEST_F(EndToEndTest, VerifyWithNoTableChosenSaysSo) {
  ASSERT_TRUE(form_->TableLocEdit->text().isEmpty());
  form_->VerifyBtnClick(form_->VerifyBtn);
  EXPECT_EQ(Entry(0), QStringLiteral("Nie można sprawdzić tabeli: nie wybrano tabeli."));
}

TEST_F(EndToEndTest, ATableHeldByAnotherProgramIsNotRebuiltAndTheLogSaysWhy) {
  ChooseTable("ORDERS.DB");
  const fs::path lock = gDemoCopy / "PARADOX.LCK";
  std::ofstream(lock) << "held";
  form_->RebuildBtnClick(form_->RebuildBtn);
  fs::remove(lock);
  // The reason, then the outcome line, which stays last for the whole-alias run.
  EXPECT_EQ(form_->LogLastLine(), QStringLiteral("Przebudowa tabeli się nie udała !"));
  const QString reason = Entry(1);
  EXPECT_TRUE(reason.startsWith(
      QStringLiteral("Nie można przebudować tabeli: tabela jest używana przez inny program (")))
      << reason.toStdString();
  EXPECT_TRUE(reason.contains(QStringLiteral("PARADOX.LCK"))) << reason.toStdString();
  EXPECT_TRUE(dialogs_.Boxes().empty());
}

TEST_F(EndToEndTest, ARebuildInAFolderThatCannotBeWrittenSaysWhy) {
  ChooseTable("NOMEMO.DB");
  {
    ReadOnlyFolder readOnly(gDemoCopy);
    if (!readOnly.ok()) GTEST_SKIP() << "cannot make a folder read-only here";
    form_->RebuildBtnClick(form_->RebuildBtn);
  }
  EXPECT_EQ(form_->LogLastLine(), QStringLiteral("Przebudowa tabeli się nie udała !"));
  EXPECT_EQ(Entry(1),
            QStringLiteral("Nie można przebudować tabeli: brak dostępu do zapisu w folderze ") +
                QString::fromStdString(gDemoCopy.string()) + ".");
  EXPECT_TRUE(dialogs_.Boxes().empty());
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
    // A verdict (with its counts line after verdicts 1 to 4), or the reason the library
    // refused the table: never the start line.
    const QString last = Entry(0);
    const bool counts = last.startsWith(QStringLiteral("Błędy: ")) && IsVerdictLine(Entry(1));
    const bool refused = last.startsWith(QStringLiteral("Nie można sprawdzić tabeli: "));
    EXPECT_TRUE(IsVerdictLine(last) || counts || refused) << last.toStdString();
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

std::set<std::string> NamesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(folder))
    names.insert(e.path().filename().string());
  return names;
}

std::string FileBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(EndToEndTest, TableWhoseNameIsNotUtf8IsVerifiedAndRebuiltUnderItsOwnBytes) {
  // The user sees the names by code page 1250 and picks them from the lists.
  const int alias = form_->AliasCombo->findText(QStringLiteral("Spółka"));
  ASSERT_GE(alias, 0);
  {
    const QSignalBlocker blocker(form_->AliasCombo);
    form_->AliasCombo->setCurrentIndex(alias);
  }
  form_->AliasComboChange(form_->AliasCombo);
  ASSERT_EQ(form_->TableCombo->count(), 1);
  EXPECT_EQ(form_->TableCombo->itemText(0), QStringLiteral("Zamówienia.DB"));
  {
    const QSignalBlocker blocker(form_->TableCombo);
    form_->TableCombo->setCurrentIndex(0);
  }
  form_->TableComboChange(form_->TableCombo);
  const fs::path table = gForeignCopy / (kForeignStem + ".DB");
  EXPECT_EQ(form_->TableLocation.toStdString(), table.string());
  EXPECT_TRUE(form_->TableLocEdit->text().endsWith(QStringLiteral("/Spółka/Zamówienia.DB")))
      << form_->TableLocEdit->text().toStdString();
  EXPECT_EQ(form_->LogLastLine(), QStringLiteral("Wybrano tabelę: Zamówienia.DB"));
  EXPECT_EQ(form_->TabLvlLB->text(), "7");
  EXPECT_EQ(form_->CodePageLB->text(), "1250");
  EXPECT_NE(form_->FieldsLB->text(), "0");

  form_->VerifyBtnClick(form_->VerifyBtn);
  EXPECT_EQ(form_->LogLastLine(), kVerdict0);
  const std::set<std::string> family = NamesIn(gForeignCopy);
  const std::string original = FileBytes(table);
  form_->RebuildBtnClick(form_->RebuildBtn);
  ASSERT_EQ(form_->LogLastLine(), kDone);
  EXPECT_TRUE(dialogs_.Boxes().empty());
  // The rebuilt family lies under the same bytes, beside its repair folder, and nothing was
  // written under a name the bytes would turn into as text.
  std::set<std::string> expected = family;
  expected.insert(kForeignStem + ".rekasto");
  EXPECT_EQ(NamesIn(gForeignCopy), expected);
  const fs::path repair = gForeignCopy / (kForeignStem + ".rekasto");
  fs::path run;  // the rebuild's own subfolder, beside the findings of the verification
  for (const std::string& name : NamesIn(repair)) {
    if (fs::is_directory(repair / name)) run = repair / name;
  }
  ASSERT_FALSE(run.empty());
  EXPECT_EQ(FileBytes(run / "Backup.Db"), original);
  // The library's outcome names that folder; the log shows it as the lists show names.
  EXPECT_TRUE(Entry(1).contains(DisplayText(run.string()))) << Entry(1).toStdString();
  form_->VerifyBtnClick(form_->VerifyBtn);
  EXPECT_EQ(form_->LogLastLine(), kVerdict0);

  // Qt's file dialog cannot hand such a name over: its text for the bytes names nothing on
  // disk, so the window says so and keeps the table chosen from the list.
  dialogs_.SetNextFileName(QFile::decodeName(QByteArray::fromStdString(table.string())));
  form_->ByDirectBtnClick(form_->ByDirectBtn);
  ASSERT_EQ(dialogs_.Boxes().size(), 1u);
  EXPECT_TRUE(dialogs_.Boxes()[0].text.endsWith(QStringLiteral("z listy aliasu.")));
  EXPECT_EQ(form_->TableLocation.toStdString(), table.string());
  EXPECT_EQ(form_->TableCombo->currentIndex(), 0);
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
    // A healthy table with its whole family, under names that are not UTF-8.
    gForeignCopy = root / kForeignFolder;
    fs::create_directory(gForeignCopy);
    for (const fs::directory_entry& e : fs::directory_iterator(gDemoCopy)) {
      if (e.path().stem() == "CUSTOMER")
        fs::copy_file(e.path(), gForeignCopy / (kForeignStem + e.path().extension().string()));
    }
    ini << "[" << kForeignFolder << "]\nTYPE=STANDARD\nPATH=" << gForeignCopy.string() << "\n";
  }
  setenv("REKASTO_ENGINE_CONFIG", (root / "engine.ini").c_str(), 1);
  // Findings of a table in a folder that cannot be written go to the state folder.
  setenv("XDG_STATE_HOME", (root / "state").c_str(), 1);
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
