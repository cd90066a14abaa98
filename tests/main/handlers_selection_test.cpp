// Choosing an alias, a table from the list or a file from the dialog: the table list, the
// location line, the button states, the progress bars, the properties page and the log.
#include <QDir>

#include "HandlersFixture.h"

namespace handlerstest {
namespace {

const QString kStars = QStringLiteral("*******************************************************");
const ButtonStates kAllOff{false, false, false};
const ButtonStates kAllOn{true, true, true};
const ButtonStates kTableChosen{true, true, false};

// A properties record whose ten shown words are 1..10 in the order of the page.
std::array<uint8_t, TU_CURPROPS_SPACE> NumberedProps(uint16_t base) {
  return scripted::PropsWithWords({{295, uint16_t(base + 1)},
                                   {299, uint16_t(base + 2)},
                                   {303, uint16_t(base + 3)},
                                   {305, uint16_t(base + 4)},
                                   {307, uint16_t(base + 5)},
                                   {335, uint16_t(base + 6)},
                                   {345, uint16_t(base + 7)},
                                   {347, uint16_t(base + 8)},
                                   {387, uint16_t(base + 9)},
                                   {351, uint16_t(base + 10)}});
}

QStringList Numbers(int base) {
  QStringList list;
  for (int i = 1; i <= 10; ++i) list << QString::number(base + i);
  return list;
}

const QStringList kZeros = QStringList(10, QStringLiteral("0"));

QStringList Items(QComboBox* combo) {
  QStringList items;
  for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
  return items;
}

void MoveBars(TMainForm& f) {
  f.ALProgressBar1->SetPosition(10);
  f.ALProgressBar2->SetPosition(20);
  f.ALProgressBar3->SetPosition(30);
  f.ALProgressBar4->SetPosition(40);
}

using SelectionTest = HandlersTest;

TEST_F(SelectionTest, AliasListHoldsOnlyStandardAliasesInEngineOrderWithNoneSelected) {
  // ODBCDATA (another driver) and "lowercase" (type "standard") are left out.
  EXPECT_EQ(Items(F().AliasCombo),
            (QStringList{"SAMPLES", "EMPTY", "ONE", "FIVE", "GONE", "SLASHED"}));
  EXPECT_EQ(F().AliasCombo->currentIndex(), -1);
  EXPECT_EQ(F().TableCombo->count(), 0);
  EXPECT_TRUE(F().TableLocEdit->text().isEmpty());
  EXPECT_EQ(Buttons(), kAllOff);
  EXPECT_EQ(F().LogCount(), 0);
  EXPECT_EQ(PropTexts(), kZeros);
}

TEST_F(SelectionTest, FillingTheListAgainReplacesItsEntries) {
  F().FillAliasList();
  EXPECT_EQ(F().AliasCombo->count(), 6);
  EXPECT_EQ(F().AliasCombo->currentIndex(), -1);
}

TEST_F(SelectionTest, AliasWithTablesFillsListLogsFourLinesAndEnablesAllThree) {
  MoveBars(F());
  ChooseAlias("SAMPLES");
  EXPECT_EQ(Items(F().TableCombo),
            (QStringList{"Alpha.DB", "beta.db", "GAMMA.DB", QStringLiteral("Żółw.DB")}));
  EXPECT_EQ(F().TableCombo->currentIndex(), -1);
  EXPECT_EQ(Log(), (QStringList{kStars, QStringLiteral("Ilość aliasów w BDE: 6"),
                                QStringLiteral("Wybrany alias: SAMPLES"),
                                QStringLiteral("Ilość tabel wybranego aliasu: 4")}));
  EXPECT_EQ(kStars.size(), 55);
  // Enabled although no table is chosen yet: the location line is still empty.
  EXPECT_EQ(Buttons(), kAllOn);
  EXPECT_TRUE(F().TableLocEdit->text().isEmpty());
  EXPECT_EQ(BarPositions(), (std::vector<int32_t>{0, 0, 0, 0}));
}

TEST_F(SelectionTest, AliasWithoutTablesLogsZeroAndDisablesAllThree) {
  ChooseAlias("SAMPLES");
  ChooseTable(0);
  ChooseAlias("EMPTY");
  EXPECT_EQ(F().TableCombo->count(), 0);
  EXPECT_EQ(LogFrom(5), (QStringList{kStars, QStringLiteral("Ilość aliasów w BDE: 6"),
                                     QStringLiteral("Wybrany alias: EMPTY"),
                                     QStringLiteral("Ilość tabel wybranego aliasu: 0")}));
  EXPECT_EQ(Buttons(), kAllOff);
  EXPECT_TRUE(F().TableLocEdit->text().isEmpty());
}

TEST_F(SelectionTest, TableFromListFormsLocationResetsBarsAndDisablesWholeAliasRun) {
  scripted::Current().props[(AliasDir("SAMPLES") + "/beta.db").toStdString()] = NumberedProps(0);
  ChooseAlias("SAMPLES");
  MoveBars(F());
  ChooseTable(1);
  EXPECT_EQ(F().TableLocEdit->text(), AliasDir("SAMPLES") + "/beta.db");
  EXPECT_EQ(F().LogLastLine(), QStringLiteral("Wybrano tabelę: beta.db"));
  EXPECT_EQ(F().LogCount(), 5);
  EXPECT_EQ(Buttons(), kTableChosen);
  EXPECT_EQ(BarPositions(), (std::vector<int32_t>{0, 0, 0, 0}));
  EXPECT_EQ(PropTexts(), Numbers(0));
  // The properties were read in the current utility session, for that location.
  const scripted::Call& read = scripted::Calls().back();
  EXPECT_EQ(read.function, "TUFillCURProps");
  EXPECT_EQ(read.handle, F().BDEUtil->SessionHandle);
  EXPECT_EQ(read.location, (AliasDir("SAMPLES") + "/beta.db").toStdString());
}

TEST_F(SelectionTest, LocationAddsNothingWhenTheDirectoryEndsInASeparator) {
  ChooseAlias("SLASHED");
  ChooseTable(0);
  EXPECT_EQ(F().TableLocEdit->text(), AliasDir("SLASHED") + QDir::separator() + "Only.DB");
}

TEST_F(SelectionTest, NonAsciiTableNameReachesTheLibraryAsUtf8) {
  ChooseAlias("SAMPLES");
  ChooseTable(3);
  EXPECT_EQ(F().LogLastLine(), QStringLiteral("Wybrano tabelę: Żółw.DB"));
  EXPECT_EQ(scripted::Calls().back().location,
            AliasDir("SAMPLES").toStdString() + "/\xC5\xBB\xC3\xB3\xC5\x82w.DB");
}

TEST_F(SelectionTest, WholeAliasButtonComesBackOnlyWithTheNextAliasChange) {
  ChooseAlias("SAMPLES");
  ChooseTable(0);
  ChooseTable(2);
  EXPECT_EQ(Buttons(), kTableChosen);
  ChooseAlias("ONE");
  EXPECT_EQ(Buttons(), kAllOn);
}

TEST_F(SelectionTest, FilePickSetsFullPathClearsSelectionAndLogsTwoLines) {
  ChooseAlias("SAMPLES");
  const int before = F().LogCount();
  MoveBars(F());
  const QString path = QStringLiteral("/data/Firma/Klienci.DB");
  scripted::Current().props[path.toStdString()] = NumberedProps(100);
  PickFile(path);
  EXPECT_EQ(F().TableLocEdit->text(), path);
  EXPECT_EQ(F().AliasCombo->currentIndex(), -1);
  EXPECT_EQ(F().TableCombo->count(), 0);
  EXPECT_EQ(Buttons(), kTableChosen);
  EXPECT_EQ(BarPositions(), (std::vector<int32_t>{0, 0, 0, 0}));
  EXPECT_EQ(PropTexts(), Numbers(100));
  // Clearing the alias selection does not run AliasComboChange: just the two lines.
  EXPECT_EQ(LogFrom(before),
            (QStringList{kStars, QStringLiteral("Wybrano tabelę wg katalogu: ") + path}));
  ASSERT_EQ(dialogs_.DialogRuns().size(), 1u);
  const TOpenDialogOptions& options = dialogs_.DialogRuns()[0];
  EXPECT_EQ(options.Filter, "DB Files|*.db");
  EXPECT_EQ(options.DefaultExt, "*.db");
  EXPECT_TRUE(options.ReadOnly && options.HideReadOnly && options.OldStyleDialog);
}

TEST_F(SelectionTest, FilePickWithoutAnyAliasChosen) {
  PickFile("/srv/a.db");
  EXPECT_EQ(Buttons(), kTableChosen);
  EXPECT_EQ(Log(), (QStringList{kStars, QStringLiteral("Wybrano tabelę wg katalogu: /srv/a.db")}));
}

TEST_F(SelectionTest, CancelledDialogChangesNothing) {
  scripted::Current().props[(AliasDir("SAMPLES") + "/Alpha.DB").toStdString()] = NumberedProps(5);
  ChooseAlias("SAMPLES");
  ChooseTable(0);
  MoveBars(F());
  const QStringList log = Log();
  const QString location = F().TableLocEdit->text();
  const size_t callCount = scripted::Calls().size();
  dialogs_.SetNextCancel();
  F().ByDirectBtnClick(F().ByDirectBtn);
  EXPECT_EQ(dialogs_.DialogRuns().size(), 1u);
  EXPECT_EQ(Log(), log);
  EXPECT_EQ(F().TableLocEdit->text(), location);
  EXPECT_EQ(F().AliasCombo->currentText(), "SAMPLES");
  EXPECT_EQ(F().TableCombo->count(), 4);
  EXPECT_EQ(Buttons(), kTableChosen);
  EXPECT_EQ(BarPositions(), (std::vector<int32_t>{10, 20, 30, 40}));
  EXPECT_EQ(PropTexts(), Numbers(5));
  EXPECT_EQ(scripted::Calls().size(), callCount);
}

TEST_F(SelectionTest, FailingTableListingThrowsBeforeResetsAndLogLines) {
  scripted::Current().props[(AliasDir("SAMPLES") + "/Alpha.DB").toStdString()] = NumberedProps(7);
  ChooseAlias("SAMPLES");
  ChooseTable(0);
  MoveBars(F());
  const QStringList log = Log();
  const QString location = F().TableLocEdit->text();
  {
    const QSignalBlocker blocker(F().AliasCombo);
    F().AliasCombo->setCurrentIndex(F().AliasCombo->findText("GONE"));
  }
  try {
    F().AliasComboChange(F().AliasCombo);
    FAIL() << "a missing alias folder must raise";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), DBIERR_DIRNOTFOUND);
  }
  EXPECT_EQ(Log(), log);
  EXPECT_EQ(F().TableLocEdit->text(), location);
  EXPECT_EQ(Buttons(), kTableChosen);
  EXPECT_EQ(BarPositions(), (std::vector<int32_t>{10, 20, 30, 40}));
  EXPECT_EQ(PropTexts(), Numbers(7));
  // The listing empties the table list before it asks the engine.
  EXPECT_EQ(F().TableCombo->count(), 0);
}

TEST_F(SelectionTest, UnreadableSecondTableShowsZerosNotTheFirstTablesValues) {
  scripted::Current().props[(AliasDir("SAMPLES") + "/Alpha.DB").toStdString()] = NumberedProps(0);
  ChooseAlias("SAMPLES");
  ChooseTable(0);
  ASSERT_EQ(PropTexts(), Numbers(0));
  const int lines = F().LogCount();
  ChooseTable(2);  // GAMMA.DB: no record scripted, the library refuses it
  // Another table's numbers would be read as this one's: back to "0", silently.
  EXPECT_EQ(PropTexts(), kZeros);
  EXPECT_EQ(F().LogCount(), lines + 1);  // just the selection line, no message
  EXPECT_TRUE(dialogs_.Boxes().empty());
  // The same after a pick from a directory, and a readable table fills the page again.
  ChooseTable(0);
  ASSERT_EQ(PropTexts(), Numbers(0));
  PickFile("/srv/dane/Nieczytelna.DB");
  EXPECT_EQ(PropTexts(), kZeros);
  EXPECT_TRUE(dialogs_.Boxes().empty());
  ChooseAlias("SAMPLES");
  ChooseTable(0);
  EXPECT_EQ(PropTexts(), Numbers(0));
}

TEST_F(SelectionTest, WordsAreShownUnsignedFromTheirOffsets) {
  // 65535 in every shown field, and bytes around them that must not leak in.
  std::array<uint8_t, TU_CURPROPS_SPACE> record;
  record.fill(0x7F);
  for (unsigned offset : {295u, 299u, 303u, 305u, 307u, 335u, 345u, 347u, 387u, 351u}) {
    record[offset] = 0xFF;
    record[offset + 1] = 0xFF;
  }
  scripted::Current().props["/t/Max.DB"] = record;
  PickFile("/t/Max.DB");
  EXPECT_EQ(PropTexts(), QStringList(10, QStringLiteral("65535")));
  // Little-endian: 0x0102 at 295 is 513 fields.
  scripted::Current().props["/t/Le.DB"] = scripted::PropsWithWords({{295, 0x0201}, {351, 7}});
  PickFile("/t/Le.DB");
  EXPECT_EQ(F().FieldsLB->text(), "513");
  EXPECT_EQ(F().TabLvlLB->text(), "7");
  EXPECT_EQ(F().BlockSizeLB->text(), "0");
}

TEST_F(SelectionTest, ValueLabelsGrowToTheRightFromTheirLeftEdge) {
  const int left = F().FieldsLB->x();
  const int width = F().FieldsLB->width();
  scripted::Current().props["/t/Wide.DB"] = scripted::PropsWithWords({{295, 65535}});
  PickFile("/t/Wide.DB");
  EXPECT_EQ(F().FieldsLB->x(), left);
  EXPECT_GT(F().FieldsLB->width(), width);
}

}  // namespace
}  // namespace handlerstest
