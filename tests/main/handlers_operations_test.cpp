// Verify, rebuild and whole-alias run over the scripted utility library: the calls and their
// arguments, the log lines, the pointer, the progress registration, the message boxes in
// their order, and the errors that reach the application's default handler.
#include <malloc.h>

#include <QApplication>
#include <QMouseEvent>
#include <QTest>

#include "HandlersFixture.h"

namespace handlerstest {
namespace {

const QString kVerifyStart = QStringLiteral("Sprawdzam w/w tabelę, czekaj...");
const QString kRebuildStart = QStringLiteral("Przebudowuję w/w tabelę, czekaj...");
const QString kFillFailed = QStringLiteral("Błąd w zapełnianiu struktury tabeli !");
const QString kDone = QStringLiteral("Przebudowa tabeli zakończona sukcesem.");
const QString kFailed = QStringLiteral("Przebudowa tabeli się nie udała !");
const QString kNext = QStringLiteral("Czekaj, szukam kolejnej tabeli...");
const QString kAllDone = QStringLiteral("Przebudowa wszystkich baz zakończona sukcesem!.");

QString ErrorLine(const QString& table) {
  return QStringLiteral("Błąd przy przebudowywaniu tabeli \"") + table + "\"";
}
QString ErrorMessage(const QString& table) {
  return QStringLiteral("Błąd przy przebudowywaniu tabeli:\n\"") + table + "\"";
}
QString Selected(const QString& table) {
  return QStringLiteral("Wybrano tabelę: ") + table;
}
// The rebuild error message with the reason the closing block adds after the table's name.
QString ErrorMessage(const QString& table, const QString& reason) {
  return ErrorMessage(table) + QStringLiteral("\n") + reason;
}
// Reasons as the library words them; the window passes them on as they are.
const QString kVerifyReason =
    QStringLiteral("Nie można sprawdzić tabeli: plik nie jest tabelą Paradox (/d/Alpha.DB).");
const QString kCountReason =
    QStringLiteral("Nie można odczytać struktury tabeli: nagłówek tabeli jest zbyt uszkodzony.");
const QString kFillReason =
    QStringLiteral("Nie można odczytać struktury tabeli: opis struktury nie pasuje do tabeli.");
const QString kRebuildReason = QStringLiteral(
    "Nie można przebudować tabeli: tabela jest używana przez inny program (PARADOX.LCK).");
const QString kCounts = QStringLiteral(
    "Błędy: 3, ostrzeżenia: 1 (przebudowa je naprawi). Wyniki sprawdzenia: /d/VERIFY.DB.");
const QString kRebuilt = QStringLiteral(
    "Zachowane rekordy: 9, odłożone do KEYVIOL.DB: 1, do PROBLEM.DB: 0. Kopia oryginału i "
    "raporty: /d/Alpha.rekasto/20261208-050000.");

void ScriptOutcome(const char* function, const QString& text) {
  scripted::Current().outcomes[function] = text.toStdString();
}

class OperationsTest : public HandlersTest {
 protected:
  // SAMPLES, first table (Alpha.DB) chosen; the calls and lines from here on are the new ones.
  void ChooseAlpha() {
    ChooseAlias("SAMPLES");
    ChooseTable(0);
    location_ = (AliasDir("SAMPLES") + "/Alpha.DB").toStdString();
    // A failed renewal in an earlier round leaves a closed handle: open a session again.
    const auto open = scripted::OpenSessions();
    if (std::find(open.begin(), open.end(), F().BDEUtil->SessionHandle) == open.end()) {
      ASSERT_EQ(TUInit(&F().BDEUtil->SessionHandle), DBIERR_NONE);
    }
    initialHandle_ = F().BDEUtil->SessionHandle;
    calls0_ = scripted::Calls().size();
    dialogs_.Clear();
    lines0_ = F().LogCount();
    entries0_ = static_cast<int>(Entries().size());
  }

  std::vector<std::string> NewCallNames() {
    const auto all = scripted::CallNames();
    return {all.begin() + static_cast<long>(calls0_), all.end()};
  }
  std::vector<scripted::Call> NewCalls() {
    const auto& all = scripted::Calls();
    return {all.begin() + static_cast<long>(calls0_), all.end()};
  }

  // A report after the operation: it moves a bar only if progress is still registered.
  bool ProgressStillRegistered() {
    F().ALProgressBar1->SetPosition(0);
    DbiReportProgress(77, 0, "");
    const bool moved = F().ALProgressBar1->Position() == 77;
    F().ALProgressBar1->SetPosition(0);
    return moved;
  }

  // Presses a button as the user does: the click goes through the application's event
  // handling, so an escaping error reaches the default handler.
  void Press(QPushButton* button) {
    ASSERT_TRUE(button->isEnabled());
    const QPointF center(button->width() / 2.0, button->height() / 2.0);
    const QPointF global = button->mapToGlobal(center);
    QMouseEvent press(QEvent::MouseButtonPress, center, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, center, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(button, &press);
    QApplication::sendEvent(button, &release);
  }

  std::vector<TCursorKind> Cursors() { return dialogs_.Cursors(); }

  std::string location_;
  hTUses initialHandle_ = 0;
  size_t calls0_ = 0;
  int lines0_ = 0;
  int entries0_ = 0;  // log entries (unbroken lines) when ChooseAlpha finished
};

const std::vector<TCursorKind> kHourglassThenDefault{TCursorKind::HourGlass, TCursorKind::Default};

// ---- Verification ----

struct VerdictCase {
  int32_t verdict;
  const char* line;
};

void PrintTo(const VerdictCase& c, std::ostream* os) {
  *os << "verdict " << c.verdict;
}

class VerdictTest : public OperationsTest, public ::testing::WithParamInterface<VerdictCase> {};

TEST_P(VerdictTest, LogsTheVerdictLineInAFreshSession) {
  scripted::Current().verdict = GetParam().verdict;
  ScriptOutcome("TUVerifyTable", kCounts);
  ChooseAlpha();
  F().VerifyBtnClick(F().VerifyBtn);
  // Verdicts 1 to 4 are followed by the counts and where VERIFY.DB lies.
  QStringList expected{kVerifyStart, QString::fromUtf8(GetParam().line)};
  if (GetParam().verdict >= 1 && GetParam().verdict <= 4) expected << kCounts;
  EXPECT_EQ(EntriesFrom(entries0_), expected);
  EXPECT_EQ(NewCallNames(), (std::vector<std::string>{"TUExit", "TUInit", "TUVerifyTable"}));
  const auto calls = NewCalls();
  EXPECT_EQ(calls[0].handle, initialHandle_);
  const hTUses fresh = calls[1].handle;
  EXPECT_NE(fresh, initialHandle_);
  EXPECT_EQ(F().BDEUtil->SessionHandle, fresh);
  EXPECT_EQ(scripted::OpenSessions(), std::vector<hTUses>{fresh});
  const scripted::Call& verify = calls[2];
  EXPECT_EQ(verify.handle, fresh);
  EXPECT_EQ(verify.location, location_);
  EXPECT_EQ(verify.driverType, "PARADOX");
  EXPECT_EQ(verify.errTableName, "VERIFY.DB");
  EXPECT_TRUE(verify.passwordNull);
  EXPECT_EQ(verify.options, 0);
  EXPECT_FALSE(verify.outputNull);
  EXPECT_EQ(Cursors(), kHourglassThenDefault);
  EXPECT_FALSE(ProgressStillRegistered());
  EXPECT_TRUE(dialogs_.Boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    AllVerdicts, VerdictTest,
    ::testing::Values(
        VerdictCase{0, "Weryfikacja zakończona sukcesem. Tabela nie zawiera błędów."},
        VerdictCase{1, "Weryfikacja zakończona sukcesem. Weryfikację zakończono poprawnie."},
        VerdictCase{2, "Weryfikacja zakończona sukcesem ale nie mogła być dokończona."},
        VerdictCase{3, "Weryfikacja zakończona sukcesem ale tabela musi być przebudowana ręcznie."},
        VerdictCase{4, "Weryfikacja zakończona sukcesem ale tabela nie może być przebudowana."},
        VerdictCase{5, "Weryfikacja zakończona niepowodzeniem."},
        VerdictCase{-1, "Weryfikacja zakończona niepowodzeniem."}));

TEST_F(OperationsTest, VerifyResetsBarsAndShowsProgressWhileTheHourglassIsOn) {
  ChooseAlpha();
  F().ALProgressBar1->SetPosition(90);
  F().ALProgressBar4->SetPosition(90);
  scripted::Current().verifyProgress = {{30, 0}, {40, 1}, {50, 2}, {60, 8}, {70, 5}};
  TCursorKind during = TCursorKind::Default;
  scripted::Current().during = [&](const scripted::Call& c) {
    if (c.function == "TUVerifyTable") during = dialogs_.CurrentCursor();
  };
  F().VerifyBtnClick(F().VerifyBtn);
  EXPECT_EQ(during, TCursorKind::HourGlass);
  // Phase 5 moved nothing; the bars keep what the last reports gave them.
  EXPECT_EQ(BarPositions(), (std::vector<int32_t>{30, 40, 50, 60}));
}

TEST_F(OperationsTest, FailedVerifyCallLogsTheReasonInsteadOfLeavingTheStartLineLast) {
  ChooseAlpha();
  scripted::Current().verifyResult = DBIERR_NOTPARADOX;
  ScriptOutcome("TUVerifyTable", kVerifyReason);
  EXPECT_NO_THROW(F().VerifyBtnClick(F().VerifyBtn));
  EXPECT_EQ(EntriesFrom(entries0_), (QStringList{kVerifyStart, kVerifyReason}));
  EXPECT_EQ(Cursors(), kHourglassThenDefault);
  EXPECT_FALSE(ProgressStillRegistered());
  EXPECT_TRUE(dialogs_.Boxes().empty());

  // A library that gives no text still leaves a reason: the engine's text for the code.
  ChooseAlpha();
  scripted::Current().outcomes.clear();
  F().VerifyBtnClick(F().VerifyBtn);
  char engine[DBIMAXMSGLEN + 1] = {};
  ASSERT_EQ(DbiGetErrorString(DBIERR_NOTPARADOX, engine), DBIERR_NONE);
  ASSERT_NE(engine[0], '\0');
  EXPECT_EQ(EntriesFrom(entries0_), (QStringList{kVerifyStart, QString::fromUtf8(engine)}));
}

TEST_F(OperationsTest, VerifyWithAnEmptyLocationStillCallsTheLibrary) {
  ChooseAlias("SAMPLES");  // buttons on, location empty
  ASSERT_TRUE(F().VerifyBtn->isEnabled());
  const size_t before = scripted::Calls().size();
  F().VerifyBtnClick(F().VerifyBtn);
  ASSERT_EQ(scripted::Calls().size(), before + 3);
  EXPECT_EQ(scripted::Calls().back().location, "");
  EXPECT_FALSE(ProgressStillRegistered());
}

TEST_F(OperationsTest, FailingSessionRenewalReachesTheDefaultHandlerWithThePointerRestored) {
  for (const bool exitFails : {true, false}) {
    SCOPED_TRACE(exitFails ? "TUExit fails" : "TUInit fails");
    ChooseAlpha();
    (exitFails ? scripted::Current().exitQueue : scripted::Current().initQueue)
        .push_back(DBIERR_SESSIONLIMIT);
    Press(F().VerifyBtn);
    const std::vector<std::string> expected = exitFails
                                                  ? std::vector<std::string>{"TUExit"}
                                                  : std::vector<std::string>{"TUExit", "TUInit"};
    EXPECT_EQ(NewCallNames(), expected);
    EXPECT_EQ(F().LogLastLine(), kVerifyStart);
    EXPECT_EQ(Cursors(), kHourglassThenDefault);
    ASSERT_EQ(dialogs_.Boxes().size(), 1u);
    EXPECT_EQ(dialogs_.Boxes()[0].caption, "Qel DB Rekasto");
    EXPECT_EQ(dialogs_.Boxes()[0].icon, TMsgIcon::Error);
    char text[DBIMAXMSGLEN + 1] = {};
    DbiGetErrorString(DBIERR_SESSIONLIMIT, text);
    ASSERT_NE(text[0], '\0');
    EXPECT_TRUE(dialogs_.Boxes()[0].text.startsWith(QString::fromUtf8(text)));
    EXPECT_FALSE(ProgressStillRegistered());
  }
}

TEST_F(OperationsTest, TwoVerificationsEachStartAfreshSession) {
  ChooseAlpha();
  F().VerifyBtnClick(F().VerifyBtn);
  const hTUses first = F().BDEUtil->SessionHandle;
  F().ALProgressBar3->SetPosition(55);
  F().VerifyBtnClick(F().VerifyBtn);
  EXPECT_NE(F().BDEUtil->SessionHandle, first);
  EXPECT_EQ(F().ALProgressBar3->Position(), 0);
  EXPECT_EQ(LogFrom(lines0_).count(kVerifyStart), 2);
  EXPECT_EQ(scripted::OpenSessions(), std::vector<hTUses>{F().BDEUtil->SessionHandle});
}

TEST_F(OperationsTest, AFailedRenewalLeavesNoHandleBehindAndTheNextOperationsWork) {
  for (QPushButton* button : {F().VerifyBtn, F().RebuildBtn}) {
    SCOPED_TRACE(button == F().VerifyBtn ? "verify" : "rebuild");
    ChooseAlpha();
    scripted::Current().initQueue.push_back(DBIERR_SESSIONLIMIT);
    Press(button);
    ASSERT_EQ(dialogs_.Boxes().back().icon, TMsgIcon::Error);
    EXPECT_TRUE(scripted::OpenSessions().empty());
    EXPECT_EQ(F().BDEUtil->SessionHandle, 0);
    // The next press opens a session at once instead of failing on the one that is gone.
    const size_t before = scripted::Calls().size();
    dialogs_.Clear();
    Press(button);
    const auto names = scripted::CallNames();
    ASSERT_GT(names.size(), before);
    EXPECT_EQ(names[before], "TUInit");
    EXPECT_TRUE(dialogs_.Boxes().empty());
    EXPECT_EQ(F().LogLastLine(),
              button == F().VerifyBtn
                  ? QStringLiteral("Weryfikacja zakończona sukcesem. Tabela nie zawiera błędów.")
                  : kDone);
    EXPECT_EQ(scripted::OpenSessions(), std::vector<hTUses>{F().BDEUtil->SessionHandle});
  }
  // A window whose last renewal failed closes without an error: there is no session to close.
  scripted::Current().initQueue.push_back(DBIERR_SESSIONLIMIT);
  Press(F().VerifyBtn);
  const size_t before = scripted::Calls().size();
  dialogs_.Clear();
  form_.reset();
  EXPECT_TRUE(dialogs_.Boxes().empty());
  EXPECT_EQ(scripted::Calls().size(), before);
}

TEST_F(OperationsTest, AfterAFailedRenewalTheNextTableShowsItsProperties) {
  ChooseAlpha();
  scripted::Current().initQueue.push_back(DBIERR_SESSIONLIMIT);
  Press(F().VerifyBtn);
  ASSERT_EQ(F().BDEUtil->SessionHandle, 0);
  scripted::Current().props[(AliasDir("SAMPLES") + "/beta.db").toStdString()] =
      scripted::PropsWithWords({{295, 9}});
  ChooseTable(1);
  EXPECT_EQ(F().FieldsLB->text(), "9");
  EXPECT_EQ(scripted::OpenSessions(), std::vector<hTUses>{F().BDEUtil->SessionHandle});
  EXPECT_EQ(scripted::Calls().back().handle, F().BDEUtil->SessionHandle);
}

// ---- Rebuild ----

// The positions a bar shows, in order: each painted position once.
class ShownPositions : public QObject {
 public:
  explicit ShownPositions(TALProgressBar* bar) : bar_(bar) { bar->installEventFilter(this); }
  const std::vector<int32_t>& Positions() const { return shown_; }

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint && (shown_.empty() || shown_.back() != bar_->Position()))
      shown_.push_back(bar_->Position());
    return false;
  }

 private:
  TALProgressBar* bar_;
  std::vector<int32_t> shown_;
};

TEST_F(OperationsTest, PostepGoesOnlyForwardFromTheRebuildsVerificationToTheRebuild) {
  ChooseAlpha();
  F().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&F()));  // a bar paints only once on the screen
  // Each call reports its own 0..100 %; the verification is the first 24 % of a rebuild.
  scripted::Current().verifyProgress = {{0, 8}, {40, 8}, {85, 8}, {100, 8}};
  scripted::Current().rebuildProgress = {{0, 8}, {7, 8}, {50, 8}, {100, 8}};
  {
    const ShownPositions postep(F().ALProgressBar4);
    F().RebuildBtnClick(F().RebuildBtn);
    EXPECT_EQ(postep.Positions(), (std::vector<int32_t>{10, 20, 24, 29, 62, 100}));
  }
  // A verification alone fills the whole bar, and so does the next rebuild's verification
  // its slice, from 0.
  {
    const ShownPositions postep(F().ALProgressBar4);
    F().VerifyBtnClick(F().VerifyBtn);
    EXPECT_EQ(postep.Positions(), (std::vector<int32_t>{0, 40, 85, 100}));
  }
  EXPECT_FALSE(ProgressStillRegistered());
}

TEST_F(OperationsTest, SuccessfulRebuildCallsTheSixFunctionsInOrderWithOneHandleAndLocation) {
  ChooseAlpha();
  F().ALProgressBar2->SetPosition(5);
  scripted::Current().verifyProgress = {{60, 1}};
  scripted::Current().rebuildProgress = {{100, 8}};
  F().RebuildBtnClick(F().RebuildBtn);
  EXPECT_EQ(NewCallNames(),
            (std::vector<std::string>{"TUExit", "TUInit", "TUVerifyTable", "TUGetCRTblDescCount",
                                      "TUFillCRTblDesc", "TURebuildTable"}));
  const auto calls = NewCalls();
  const hTUses fresh = calls[1].handle;
  for (size_t i = 2; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].handle, fresh) << calls[i].function;
    EXPECT_EQ(calls[i].location, location_) << calls[i].function;
  }
  EXPECT_EQ(calls[2].driverType, "PARADOX");
  EXPECT_EQ(calls[2].errTableName, "VERIFY.DB");
  EXPECT_TRUE(calls[2].passwordNull);
  EXPECT_EQ(calls[2].options, 0);
  EXPECT_TRUE(calls[4].passwordNull);  // fill: null fourth argument
  const scripted::Call& rebuild = calls[5];
  EXPECT_EQ(rebuild.driverType, "PARADOX");
  EXPECT_EQ(rebuild.backupName, "Backup.Db");
  EXPECT_EQ(rebuild.keyViolName, "KEYVIOL.DB");
  EXPECT_EQ(rebuild.problemName, "PROBLEM.DB");
  EXPECT_EQ(rebuild.descriptor.address, calls[4].descriptor.address);
  EXPECT_EQ(LogFrom(lines0_), (QStringList{kRebuildStart, kDone}));
  EXPECT_TRUE(dialogs_.Boxes().empty());
  EXPECT_EQ(Cursors(), kHourglassThenDefault);
  // Reports arrived during the verification and during the rebuild.
  EXPECT_EQ(BarPositions(), (std::vector<int32_t>{0, 60, 0, 100}));
  EXPECT_FALSE(ProgressStillRegistered());
}

TEST_F(OperationsTest, DescriptorIsZeroFilledWithNamesCountsAndArraysOfExactSize) {
  ChooseAlpha();
  const uint16_t counts[7] = {3, 2, 1, 4, 5, 6, 7};
  std::copy(std::begin(counts), std::end(counts), scripted::Current().counts);
  const size_t sizes[7] = {62, 893, 1064, 1219, 373, 62, 128};
  std::vector<size_t> usable;
  scripted::Current().during = [&](const scripted::Call& c) {
    if (c.function != "TUFillCRTblDesc") return;
    for (const void* p : c.descriptor.arrays)
      usable.push_back(malloc_usable_size(const_cast<void*>(p)));
  };
  F().RebuildBtnClick(F().RebuildBtn);
  const auto calls = NewCalls();
  const scripted::Call& fill = calls.at(4);
  ASSERT_TRUE(fill.hasDescriptor);
  const scripted::DescriptorSnapshot& d = fill.descriptor;
  std::array<uint8_t, 622> expected{};
  std::memcpy(expected.data(), location_.data(), location_.size());
  std::memcpy(expected.data() + 261, "PARADOX", 7);
  std::memcpy(expected.data() + 293, "Rebuild.DB", 10);
  EXPECT_EQ(d.head, expected);
  EXPECT_EQ(d.TblName(), location_);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(d.counts[i], counts[i]) << "count " << i + 1;
  for (const void* op : d.ops) EXPECT_EQ(op, nullptr);
  ASSERT_EQ(usable.size(), 7u);
  for (int i = 0; i < 7; ++i) {
    ASSERT_NE(d.arrays[i], nullptr) << "array " << i + 1;
    EXPECT_GE(usable[i], counts[i] * sizes[i]) << "array " << i + 1;
    EXPECT_LT(usable[i], counts[i] * sizes[i] + 64) << "array " << i + 1;
  }
  EXPECT_EQ(F().LogLastLine(), kDone);
}

TEST_F(OperationsTest, LargestCountsAreSizedWithoutOverflow) {
  ChooseAlpha();
  std::fill(std::begin(scripted::Current().counts), std::end(scripted::Current().counts), 65535);
  std::vector<size_t> usable;
  scripted::Current().during = [&](const scripted::Call& c) {
    if (c.function != "TUFillCRTblDesc") return;
    for (const void* p : c.descriptor.arrays)
      usable.push_back(malloc_usable_size(const_cast<void*>(p)));
  };
  F().RebuildBtnClick(F().RebuildBtn);
  ASSERT_EQ(usable.size(), 7u);
  EXPECT_GE(usable[3], size_t{65535} * 1219);  // 79,887,165 bytes: beyond any 16-bit product
  EXPECT_EQ(F().LogLastLine(), kDone);
}

TEST_F(OperationsTest, ZeroCountsGiveNullAddressesAndTheCallsAreStillMade) {
  ChooseAlpha();
  F().RebuildBtnClick(F().RebuildBtn);
  const auto calls = NewCalls();
  ASSERT_EQ(calls.size(), 6u);
  for (const void* p : calls[4].descriptor.arrays) EXPECT_EQ(p, nullptr);
  for (uint16_t c : calls[4].descriptor.counts) EXPECT_EQ(c, 0);
  EXPECT_EQ(calls[5].function, "TURebuildTable");
  EXPECT_EQ(F().LogLastLine(), kDone);
}

TEST_F(OperationsTest, FailedRebuildCallLogsItsReasonThenItsLineWithoutBoxes) {
  ChooseAlpha();
  scripted::Current().rebuildResult = DBIERR_LOCKED;
  ScriptOutcome("TURebuildTable", kRebuildReason);
  F().RebuildBtnClick(F().RebuildBtn);
  // The reason goes first: the outcome line stays last for the whole-alias run.
  EXPECT_EQ(EntriesFrom(entries0_), (QStringList{kRebuildStart, kRebuildReason, kFailed}));
  EXPECT_TRUE(dialogs_.Boxes().empty());
  EXPECT_FALSE(ProgressStillRegistered());
}

TEST_F(OperationsTest, FailedFillLogsItsLineShowsTheErrorDialogAndSkipsTheRebuild) {
  ChooseAlpha();
  scripted::Current().fillResult = DBIERR_INVALIDDESC;
  ScriptOutcome("TUFillCRTblDesc", kFillReason);
  F().RebuildBtnClick(F().RebuildBtn);
  EXPECT_EQ(NewCallNames().back(), "TUFillCRTblDesc");
  EXPECT_EQ(EntriesFrom(entries0_), (QStringList{kRebuildStart, kFillReason, kFillFailed}));
  ASSERT_EQ(dialogs_.Boxes().size(), 1u);
  EXPECT_EQ(dialogs_.Boxes()[0].caption, "Error");
  EXPECT_EQ(dialogs_.Boxes()[0].text, kFillFailed);
  EXPECT_EQ(dialogs_.Boxes()[0].icon, TMsgIcon::Error);
  EXPECT_EQ(Cursors(), kHourglassThenDefault);
  EXPECT_FALSE(ProgressStillRegistered());
}

TEST_F(OperationsTest, FailedCountGivesTheRebuildErrorLineAndPlainMessageWithTheReason) {
  ChooseAlpha();
  scripted::Current().countResult = DBIERR_CORRUPTHEADER;
  ScriptOutcome("TUGetCRTblDescCount", kCountReason);
  F().RebuildBtnClick(F().RebuildBtn);
  EXPECT_EQ(NewCallNames().back(), "TUGetCRTblDescCount");
  // The error line stays last; the reason goes into the box, after the table's name.
  EXPECT_EQ(LogFrom(lines0_), (QStringList{kRebuildStart, ErrorLine("Alpha.DB")}));
  ASSERT_EQ(dialogs_.Boxes().size(), 1u);
  EXPECT_EQ(dialogs_.Boxes()[0].caption, "Qel DB Rekasto");
  EXPECT_EQ(dialogs_.Boxes()[0].icon, TMsgIcon::None);
  EXPECT_EQ(dialogs_.Boxes()[0].text, ErrorMessage("Alpha.DB", kCountReason));
  // One line break, a line feed: no carriage return to show as a stray blank.
  EXPECT_TRUE(dialogs_.Boxes()[0].text.contains(QStringLiteral(":\n\"Alpha.DB\"\n")));
  EXPECT_FALSE(dialogs_.Boxes()[0].text.contains(QLatin1Char('\r')));
  EXPECT_FALSE(ProgressStillRegistered());
}

TEST_F(OperationsTest, ExceptionsInsideTheRebuildShowTheErrorMessageThenTheEngineError) {
  struct Case {
    const char* name;
    std::deque<DBIResult> scripted::Script::*queue;
    std::vector<std::string> calls;
    bool registered;
  };
  const Case cases[] = {
      {"TUExit", &scripted::Script::exitQueue, {"TUExit"}, false},
      {"TUInit", &scripted::Script::initQueue, {"TUExit", "TUInit"}, false},
      {"TUVerifyTable",
       &scripted::Script::verifyQueue,
       {"TUExit", "TUInit", "TUVerifyTable"},
       true},
  };
  ScriptOutcome("TUVerifyTable", kVerifyReason);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChooseAlpha();
    (scripted::Current().*c.queue).push_back(DBIERR_CORRUPTTABLE);
    DbiClearErrorContext();  // the scripted library leaves no context of its own
    Press(F().RebuildBtn);
    EXPECT_EQ(NewCallNames(), c.calls);
    EXPECT_EQ(LogFrom(lines0_), (QStringList{kRebuildStart, ErrorLine("Alpha.DB")}));
    ASSERT_EQ(dialogs_.Boxes().size(), 2u);
    // Only the library's verification has a reason to give; a failed session renewal is
    // explained by the engine error that follows.
    EXPECT_EQ(dialogs_.Boxes()[0].text,
              c.registered ? ErrorMessage("Alpha.DB", kVerifyReason) : ErrorMessage("Alpha.DB"));
    EXPECT_EQ(dialogs_.Boxes()[0].icon, TMsgIcon::None);
    EXPECT_EQ(dialogs_.Boxes()[1].caption, "Qel DB Rekasto");
    EXPECT_EQ(dialogs_.Boxes()[1].icon, TMsgIcon::Error);
    // The engine's box gives its own reason when the first gave none; after the library's
    // reason it adds the engine's code, not the same reason in other words.
    EXPECT_EQ(dialogs_.Boxes()[1].text, c.registered ? QStringLiteral("Kod błędu silnika: $2513.")
                                                     : QStringLiteral("Tabela jest uszkodzona."));
    // The pointer came back before the closing check showed its message.
    EXPECT_EQ(Cursors(), kHourglassThenDefault);
    EXPECT_FALSE(ProgressStillRegistered());
  }
}

TEST_F(OperationsTest, AfterADirectoryPickTheErrorNamesTheFile) {
  PickFile("/srv/dane/Klienci.DB");
  dialogs_.Clear();
  scripted::Current().countResult = DBIERR_CORRUPTHEADER;
  ScriptOutcome("TUGetCRTblDescCount", kCountReason);
  F().RebuildBtnClick(F().RebuildBtn);
  EXPECT_EQ(F().LogLastLine(), ErrorLine("Klienci.DB"));
  ASSERT_EQ(dialogs_.Boxes().size(), 1u);
  EXPECT_EQ(dialogs_.Boxes()[0].text, ErrorMessage("Klienci.DB", kCountReason));
}

TEST_F(OperationsTest, LocationLongerThan260BytesIsRefusedBeforeTheDescriptorIsFilled) {
  // 131 characters but 261 bytes in UTF-8.
  const QString tooLong = "/" + QString(130, QChar(0x017C));
  ASSERT_EQ(tooLong.toUtf8().size(), 261);
  PickFile(tooLong);
  const size_t before = scripted::Calls().size();
  lines0_ = F().LogCount();
  dialogs_.Clear();
  Press(F().RebuildBtn);
  const auto names = scripted::CallNames();
  EXPECT_EQ(std::vector<std::string>(names.begin() + static_cast<long>(before), names.end()),
            (std::vector<std::string>{"TUExit", "TUInit", "TUVerifyTable", "TUGetCRTblDescCount"}));
  // The error line is longer than the pane is wide: the pane shows it broken.
  EXPECT_EQ(LogFrom(lines0_ + 1).join("").remove(' '),
            ErrorLine(QString(130, QChar(0x017C))).remove(' '));
  ASSERT_EQ(dialogs_.Boxes().size(), 2u);
  EXPECT_EQ(dialogs_.Boxes()[0].text,
            ErrorMessage(QString(130, QChar(0x017C)),
                         QStringLiteral("Nie można przebudować tabeli: ścieżka tabeli jest "
                                        "dłuższa niż 260 bajtów.")));
  EXPECT_EQ(dialogs_.Boxes()[1].icon, TMsgIcon::Error);
  EXPECT_EQ(dialogs_.Boxes()[1].text,
            QStringLiteral("Kod błędu silnika: $250b\nTabela: położenie jest dłuższe niż 260 "
                           "bajtów."));
  EXPECT_FALSE(ProgressStillRegistered());

  // Exactly 260 bytes fit the field with its NUL.
  const QString fits = tooLong.left(130) + "x";
  ASSERT_EQ(fits.toUtf8().size(), 260);
  PickFile(fits);
  F().RebuildBtnClick(F().RebuildBtn);
  EXPECT_EQ(F().LogLastLine(), kDone);
  EXPECT_EQ(scripted::Calls().back().descriptor.TblName(), fits.toUtf8().toStdString());
}

TEST_F(OperationsTest, MissingSessionObjectIsReportedAndTheOperationsLeaveCleanly) {
  ChooseAlpha();
  delete F().BDEUtil;
  F().BDEUtil = nullptr;
  dialogs_.Clear();
  try {
    F().VerifyBtnClick(F().VerifyBtn);
    FAIL() << "an operation without the session object must raise";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), DBIERR_NOTINITIALIZED);
  }
  EXPECT_EQ(F().LogLastLine(), kVerifyStart);
  EXPECT_EQ(Cursors(), kHourglassThenDefault);
  dialogs_.Clear();
  EXPECT_THROW(F().RebuildBtnClick(F().RebuildBtn), EDBEngineError);
  EXPECT_EQ(F().LogLastLine(), ErrorLine("Alpha.DB"));
  EXPECT_EQ(Cursors(), kHourglassThenDefault);
  EXPECT_THROW(ChooseTable(1), EDBEngineError);
}

// ---- Whole alias ----

TEST_F(OperationsTest, WholeAliasWithOneTable) {
  ChooseAlias("ONE");
  const int from = F().LogCount();
  F().HMSBitBtnClick(F().HMSBitBtn);
  EXPECT_EQ(LogFrom(from), (QStringList{Selected("Only.DB"), kRebuildStart, kDone, kAllDone}));
  EXPECT_EQ(F().TableCombo->currentIndex(), 0);
  EXPECT_EQ(F().TableLocEdit->text(), AliasDir("ONE") + "/Only.DB");
  EXPECT_EQ(Buttons(), (ButtonStates{true, true, false}));
  EXPECT_TRUE(dialogs_.Boxes().empty());
}

TEST_F(OperationsTest, WholeAliasAllSucceed) {
  ChooseAlias("FIVE");
  const int from = F().LogCount();
  F().HMSBitBtnClick(F().HMSBitBtn);
  QStringList expected;
  for (int i = 1; i <= 5; ++i) {
    expected << Selected(QString("T%1.DB").arg(i)) << kRebuildStart << kDone
             << (i < 5 ? kNext : kAllDone);
  }
  EXPECT_EQ(LogFrom(from), expected);
  std::vector<std::string> rebuilt;
  for (const auto& c : scripted::Calls()) {
    if (c.function == "TURebuildTable") rebuilt.push_back(c.location);
  }
  ASSERT_EQ(rebuilt.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(rebuilt[i], (AliasDir("FIVE") + QString("/T%1.DB").arg(i + 1)).toStdString());
  }
  EXPECT_EQ(F().TableCombo->currentIndex(), 4);
  EXPECT_EQ(Buttons(), (ButtonStates{true, true, false}));
}

TEST_F(OperationsTest, SuccessfulRebuildNamesTheRepairFolderBeforeItsOutcomeLine) {
  ChooseAlpha();
  ScriptOutcome("TURebuildTable", kRebuilt);
  // The library's texts after the calls whose success the window does not report.
  ScriptOutcome("TUVerifyTable", kCounts);
  ScriptOutcome("TUGetCRTblDescCount", QStringLiteral("Struktura tabeli policzona."));
  ScriptOutcome("TUFillCRTblDesc", QStringLiteral("Struktura tabeli odczytana."));
  F().RebuildBtnClick(F().RebuildBtn);
  EXPECT_EQ(EntriesFrom(entries0_), (QStringList{kRebuildStart, kRebuilt, kDone}));
  EXPECT_TRUE(dialogs_.Boxes().empty());
}

TEST_F(OperationsTest, WholeAliasStillReadsItsOutcomesWithTheReasonLinesInTheLog) {
  ChooseAlias("FIVE");
  const int from = static_cast<int>(Entries().size());
  ScriptOutcome("TURebuildTable", kRebuilt);
  F().HMSBitBtnClick(F().HMSBitBtn);
  QStringList expected;
  for (int i = 1; i <= 5; ++i) {
    expected << Selected(QString("T%1.DB").arg(i)) << kRebuildStart << kRebuilt << kDone
             << (i < 5 ? kNext : kAllDone);
  }
  EXPECT_EQ(EntriesFrom(from), expected);
  EXPECT_TRUE(dialogs_.Boxes().empty());
}

TEST_F(OperationsTest, WholeAliasStopsAtAFailureOfTheSecondOfFive) {
  ChooseAlias("FIVE");
  const int from = static_cast<int>(Entries().size());
  scripted::Current().rebuildQueue = {DBIERR_NONE, DBIERR_LOCKED};
  ScriptOutcome("TURebuildTable", kRebuildReason);
  F().HMSBitBtnClick(F().HMSBitBtn);
  // The first table's line is the library's text after a success (here the same scripted
  // text); each stands before its outcome line, so the run reads the outcomes as before.
  EXPECT_EQ(EntriesFrom(from), (QStringList{Selected("T1.DB"), kRebuildStart, kRebuildReason, kDone,
                                            kNext, Selected("T2.DB"), kRebuildStart, kRebuildReason,
                                            kFailed, ErrorLine("T2.DB")}));
  ASSERT_EQ(dialogs_.Boxes().size(), 1u);
  EXPECT_EQ(dialogs_.Boxes()[0].text, ErrorMessage("T2.DB"));
  EXPECT_EQ(dialogs_.Boxes()[0].caption, "Qel DB Rekasto");
  EXPECT_EQ(dialogs_.Boxes()[0].icon, TMsgIcon::None);
  for (const auto& c : scripted::Calls()) {
    EXPECT_EQ(c.location.find("T3.DB"), std::string::npos) << c.function;
  }
  EXPECT_EQ(F().TableCombo->currentText(), "T2.DB");
  EXPECT_EQ(Buttons(), (ButtonStates{true, true, false}));
}

TEST_F(OperationsTest, WholeAliasRepeatsTheCountFailureReport) {
  ChooseAlias("FIVE");
  const int from = F().LogCount();
  scripted::Current().countQueue = {DBIERR_NONE, DBIERR_CORRUPTHEADER};
  ScriptOutcome("TUGetCRTblDescCount", kCountReason);
  F().HMSBitBtnClick(F().HMSBitBtn);
  EXPECT_EQ(LogFrom(from).mid(4), (QStringList{Selected("T2.DB"), kRebuildStart, ErrorLine("T2.DB"),
                                               ErrorLine("T2.DB")}));
  ASSERT_EQ(dialogs_.Boxes().size(), 2u);
  EXPECT_EQ(dialogs_.Boxes()[0].text, ErrorMessage("T2.DB", kCountReason));
  EXPECT_EQ(dialogs_.Boxes()[1].text, ErrorMessage("T2.DB"));
}

TEST_F(OperationsTest, WholeAliasLeavesAtOnceOnAnException) {
  ChooseAlias("FIVE");
  const int from = F().LogCount();
  scripted::Current().verifyQueue = {DBIERR_NONE, DBIERR_CORRUPTTABLE};
  ScriptOutcome("TUVerifyTable", kVerifyReason);
  Press(F().HMSBitBtn);
  EXPECT_EQ(LogFrom(from).mid(4),
            (QStringList{Selected("T2.DB"), kRebuildStart, ErrorLine("T2.DB")}));
  ASSERT_EQ(dialogs_.Boxes().size(), 2u);
  EXPECT_EQ(dialogs_.Boxes()[0].text, ErrorMessage("T2.DB", kVerifyReason));
  EXPECT_EQ(dialogs_.Boxes()[1].icon, TMsgIcon::Error);
  EXPECT_EQ(dialogs_.CurrentCursor(), TCursorKind::Default);
}

TEST_F(OperationsTest, WholeAliasLeavesAtOnceWhenTheNextLocationCannotBeFormed) {
  ChooseAlias("FIVE");
  const int from = F().LogCount();
  // The alias disappears from under the run after the first rebuild: forming the second
  // location fails in the engine. The window asks the engine by the entry's bytes.
  scripted::Current().during = [&](const scripted::Call& c) {
    if (c.function == "TURebuildTable") {
      const int index = F().AliasCombo->currentIndex();
      F().AliasCombo->setItemText(index, "NOSUCHALIAS");
      F().AliasCombo->setItemData(index, QByteArray("NOSUCHALIAS"), kNameBytesRole);
    }
  };
  Press(F().HMSBitBtn);
  EXPECT_EQ(LogFrom(from), (QStringList{Selected("T1.DB"), kRebuildStart, kDone, kNext}));
  ASSERT_EQ(dialogs_.Boxes().size(), 1u);  // only the default handler's
  EXPECT_EQ(dialogs_.Boxes()[0].icon, TMsgIcon::Error);
  int rebuilds = 0;
  for (const auto& c : scripted::Calls()) rebuilds += c.function == "TURebuildTable";
  EXPECT_EQ(rebuilds, 1);
}

TEST_F(OperationsTest, WholeAliasReadsTheTableCountOnce) {
  ChooseAlias("ONE");
  // A table appearing in the list during the run is not taken.
  scripted::Current().during = [&](const scripted::Call& c) {
    if (c.function == "TURebuildTable") F().TableCombo->addItem("Late.DB");
  };
  F().HMSBitBtnClick(F().HMSBitBtn);
  EXPECT_EQ(F().LogLastLine(), kAllDone);
  int rebuilds = 0;
  for (const auto& c : scripted::Calls()) rebuilds += c.function == "TURebuildTable";
  EXPECT_EQ(rebuilds, 1);
}

}  // namespace
}  // namespace handlerstest
