// Verify, rebuild, and rebuild of a whole alias. Each operation writes its start line, shows
// the hourglass, runs the utility library with progress reporting switched on, and leaves
// its outcome as the last line of the log, which the whole-alias run reads back.
#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <cstring>
#include <memory>

#include "Application.h"
#include "BDEUtil.h"
#include "DBTables.h"
#include "Dialogs.h"
#include "FileNames.h"
#include "MainForm.h"
#include "TUtil32.h"

namespace {

const QString kVerifyStart = QStringLiteral("Sprawdzam w/w tabelę, czekaj...");
const QString kRebuildStart = QStringLiteral("Przebudowuję w/w tabelę, czekaj...");
const QString kFillFailed = QStringLiteral("Błąd w zapełnianiu struktury tabeli !");
const QString kRebuildDone = QStringLiteral("Przebudowa tabeli zakończona sukcesem.");
const QString kRebuildFailed = QStringLiteral("Przebudowa tabeli się nie udała !");
const QString kNextTable = QStringLiteral("Czekaj, szukam kolejnej tabeli...");
const QString kAllDone = QStringLiteral("Przebudowa wszystkich baz zakończona sukcesem!.");

// The verification's share of a rebuild's "Postęp" bar, in percent: a rebuild of a 1.5 GB
// table took 31 s, 7.4 s of them in the verification before it.
constexpr int kVerifyShare = 24;

constexpr char kTableType[] = "PARADOX";
constexpr char kVerifyTable[] = "VERIFY.DB";
constexpr char kRebuildErrTable[] = "Rebuild.DB";
constexpr char kBackupTable[] = "Backup.Db";
constexpr char kKeyViolTable[] = "KEYVIOL.DB";
constexpr char kProblemTable[] = "PROBLEM.DB";

QString VerdictLine(int32_t verdict) {
  switch (verdict) {
    case 0:
      return QStringLiteral("Weryfikacja zakończona sukcesem. Tabela nie zawiera błędów.");
    case 1:
      return QStringLiteral("Weryfikacja zakończona sukcesem. Weryfikację zakończono poprawnie.");
    case 2:
      return QStringLiteral("Weryfikacja zakończona sukcesem ale nie mogła być dokończona.");
    case 3:
      return QStringLiteral(
          "Weryfikacja zakończona sukcesem ale tabela musi być przebudowana ręcznie.");
    case 4:
      return QStringLiteral(
          "Weryfikacja zakończona sukcesem ale tabela nie może być przebudowana.");
    default:
      return QStringLiteral("Weryfikacja zakończona niepowodzeniem.");
  }
}

// Inside a rebuild: the reason its closing block adds to its message box when no outcome
// line was written (empty when none is known).
void RebuildSteps(TMainForm& form, QString& reason);

// The utility library's text for the session's last operation. Should it have none after a
// failure, the engine's text for the code stands in: a failure is never left unexplained.
QString LastOutcome(hTUses session, DBIResult result) {
  char text[TU_OUTCOME_SPACE] = {};
  if (TUGetLastOutcome(session, text, sizeof text) == DBIERR_NONE && text[0] != '\0')
    return DisplayText(text);
  if (result == DBIERR_NONE) return QString();
  char engine[DBIMAXMSGLEN + 1] = {};
  if (DbiGetErrorString(result, engine) == DBIERR_NONE && engine[0] != '\0')
    return DisplayText(engine);
  return QStringLiteral("Błąd biblioteki, kod %1.").arg(result);
}

// Appends the outcome of the session's last operation as one log line, when there is one.
void LogOutcome(TMainForm& form, hTUses session, DBIResult result) {
  const QString line = LastOutcome(session, result);
  if (!line.isEmpty()) form.LogAdd(line);
}

// Runs body, then cleanup on every way out. A cleanup that throws while another exception
// is leaving replaces it, as a finally clause would.
template <class Body, class Cleanup>
void TryFinally(Body&& body, Cleanup&& cleanup) {
  try {
    body();
  } catch (...) {
    cleanup();
    throw;
  }
  cleanup();
}

// The seven arrays of a rebuild descriptor, each count x element size bytes, uninitialised
// (the library fills them); a count of 0 gives a null address. Freed with this object.
class DescriptorArrays {
 public:
  explicit DescriptorArrays(const uint16_t (&counts)[7]) {
    static constexpr size_t kSizes[7] = {TU_FLDDESC_SIZE,  TU_IDXDESC_SIZE,  TU_SECDESC_SIZE,
                                         TU_VCHKDESC_SIZE, TU_RINTDESC_SIZE, TU_OPTPARAM_SIZE,
                                         TU_OPTDATA_UNIT};
    for (int i = 0; i < 7; ++i) {
      const size_t bytes = static_cast<size_t>(counts[i]) * kSizes[i];
      if (bytes != 0) arrays_[i].reset(new uint8_t[bytes]);
    }
  }
  void* Get(int i) const { return arrays_[i].get(); }

 private:
  std::unique_ptr<uint8_t[]> arrays_[7];
};

// Closes the current utility session and opens a fresh one, both through Check. A renewal
// whose TUInit failed has left no session open: the handle is cleared as soon as the old
// session is closed, so the next operation opens a new one instead of failing for ever on
// closing a handle that is gone.
void RenewSession(TBDEUtil& util) {
  if (util.SessionHandle != 0) {
    Check(TUExit(util.SessionHandle));
    util.SessionHandle = 0;
  }
  Check(TUInit(&util.SessionHandle));
}

}  // namespace

void TMainForm::VerifyBtnClick(QObject* Sender) {
  LogAdd(kVerifyStart);
  Dialogs::Current().SetCursor(TCursorKind::HourGlass);
  TryFinally(
      [&] {
        ResetProgressBars();
        const QByteArray location = TableLocation;
        TBDEUtil& util = RequireBDEUtil(*this);
        // Every verification runs in a fresh utility session.
        RenewSession(util);
        util.RegisterProgress();
        TryFinally(
            [&] {
              int32_t verdict = 0;
              const DBIResult result =
                  TUVerifyTable(util.SessionHandle, location.constData(), kTableType, kVerifyTable,
                                nullptr, 0, &verdict);
              // A failed call is not an error here: no verdict line, but the reason, so the
              // log never ends as if the check were still running.
              if (result == DBIERR_NONE) {
                LogAdd(VerdictLine(verdict));
                // The counts and where VERIFY.DB lies: a verdict line alone cannot tell
                // "errors that a rebuild repairs" from "all fine".
                if (verdict >= 1 && verdict <= 4) LogOutcome(*this, util.SessionHandle, result);
              } else {
                LogOutcome(*this, util.SessionHandle, result);
              }
            },
            [&] { util.UnregisterProgress(); });
      },
      [] { Dialogs::Current().SetCursor(TCursorKind::Default); });
}

namespace {

QString RebuildTableName(const TMainForm& form) {
  // After a pick from a directory the table list is empty; the file name of the location
  // then names the table, so the message never shows empty quotes.
  const QString listed = form.TableCombo->currentText();
  if (!listed.isEmpty()) return listed;
  return QFileInfo(form.TableLocEdit->text()).fileName();
}

// The plain box carries the application title as its caption.
QString ApplicationTitle() {
  const TApplication* app = TApplication::Instance();
  return app != nullptr && !app->Title().isEmpty() ? app->Title() : kApplicationTitle;
}

// The error line and box of a rebuild that left no outcome; the reason, when known, follows
// the table's name in the box (the log's last line must stay the error line).
void ReportRebuildError(TMainForm& form, const QString& reason = QString()) {
  const QString table = RebuildTableName(form);
  form.LogAdd(QStringLiteral("Błąd przy przebudowywaniu tabeli \"") + table + QStringLiteral("\""));
  QString text =
      QStringLiteral("Błąd przy przebudowywaniu tabeli:\n\"") + table + QStringLiteral("\"");
  if (!reason.isEmpty()) text += QStringLiteral("\n") + reason;
  Dialogs::Current().MessageBox(ApplicationTitle(), text, TMsgIcon::None);
}

}  // namespace

void TMainForm::RebuildBtnClick(QObject* Sender) {
  LogAdd(kRebuildStart);
  Dialogs::Current().SetCursor(TCursorKind::HourGlass);
  QString reason;
  try {
    TryFinally([&] { RebuildSteps(*this, reason); },
               [&] {
                 Dialogs::Current().SetCursor(TCursorKind::Default);
                 // Nothing logged since the start line: every rebuild leaves an outcome.
                 if (LogLastLine() == kRebuildStart) ReportRebuildError(*this, reason);
               });
  } catch (const EDBEngineError& error) {
    // The rebuild's box has just given the reason in the user's words; the engine's box
    // that follows adds its code and context instead of the same reason once more.
    if (reason.isEmpty()) throw;
    throw error.DetailsOnly();
  }
}

namespace {

// Steps 1 to 5 of a rebuild, inside the closing block of RebuildBtnClick. Reason lines go
// before the outcome line, so the last line is still one of the known outcomes.
void RebuildSteps(TMainForm& form, QString& reason) {
  form.ResetProgressBars();
  TBDEUtil& util = RequireBDEUtil(form);
  RenewSession(util);
  const QByteArray location = form.TableLocation;
  util.RegisterProgress();
  TryFinally(
      [&] {
        const hTUses session = util.SessionHandle;
        util.SetOverallSlice(0, kVerifyShare);
        int32_t verdict = 0;
        const DBIResult verified = TUVerifyTable(session, location.constData(), kTableType,
                                                 kVerifyTable, nullptr, 0, &verdict);
        if (verified != DBIERR_NONE) reason = LastOutcome(session, verified);
        Check(verified);
        uint16_t counts[7] = {};
        const DBIResult counted =
            TUGetCRTblDescCount(session, location.constData(), &counts[0], &counts[1], &counts[2],
                                &counts[3], &counts[4], &counts[5], &counts[6]);
        if (counted != DBIERR_NONE) {
          reason = LastOutcome(session, counted);
          return;
        }
        // The descriptor's name field holds 260 bytes and a NUL: a longer location is
        // refused before anything is written, never cut short.
        if (location.size() > DBIMAXTBLNAMELEN) {
          reason = QStringLiteral(
              "Nie można przebudować tabeli: ścieżka tabeli jest dłuższa niż 260 bajtów.");
          DbiClearErrorContext();
          DbiAddErrorContext("Tabela: położenie jest dłuższe niż 260 bajtów");
          throw EDBEngineError(DBIERR_PATHTOOLONG);
        }
        CRTblDesc desc;
        std::memset(&desc, 0, sizeof desc);
        std::memcpy(desc.szTblName, location.constData(), static_cast<size_t>(location.size()));
        std::memcpy(desc.szTblType, kTableType, sizeof kTableType);
        std::memcpy(desc.szErrTblName, kRebuildErrTable, sizeof kRebuildErrTable);
        const DescriptorArrays arrays(counts);
        desc.iFldCount = counts[0];
        desc.pfldDesc = arrays.Get(0);
        desc.iIdxCount = counts[1];
        desc.pidxDesc = arrays.Get(1);
        desc.iSecRecCount = counts[2];
        desc.psecDesc = arrays.Get(2);
        desc.iValChkCount = counts[3];
        desc.pvchkDesc = arrays.Get(3);
        desc.iRintCount = counts[4];
        desc.printDesc = arrays.Get(4);
        desc.iOptParams = counts[5];
        desc.pfldOptParams = arrays.Get(5);
        desc.pOptData = arrays.Get(6);
        const DBIResult filled = TUFillCRTblDesc(session, &desc, location.constData(), nullptr);
        if (filled != DBIERR_NONE) {
          LogOutcome(form, session, filled);
          form.LogAdd(kFillFailed);
          Dialogs::Current().MessageBox(QStringLiteral("Error"), kFillFailed, TMsgIcon::Error);
          return;
        }
        util.SetOverallSlice(kVerifyShare, 100);
        const DBIResult rebuilt = TURebuildTable(session, location.constData(), kTableType,
                                                 kBackupTable, kKeyViolTable, kProblemTable, &desc);
        // The repair folder and what was set aside, or the reason: before the outcome line.
        LogOutcome(form, session, rebuilt);
        form.LogAdd(rebuilt == DBIERR_NONE ? kRebuildDone : kRebuildFailed);
      },
      [&] {
        util.SetOverallSlice(0, 100);
        util.UnregisterProgress();
      });
}

}  // namespace

void TMainForm::HMSBitBtnClick(QObject* Sender) {
  const int tableCount = TableCombo->count();
  // The button is enabled only for an alias with tables; with none there is nothing to
  // rebuild, and taking "no table" would rebuild the alias folder's own path.
  if (tableCount == 0) return;
  int index = 0;
  do {
    {
      const QSignalBlocker blocker(TableCombo);
      TableCombo->setCurrentIndex(index);
    }
    TableComboChange(Sender);
    // The button's click runs the handler whether or not the button is enabled.
    RebuildBtnClick(RebuildBtn);
    if (LogLastLine() != kRebuildDone) {
      index = tableCount;
      ReportRebuildError(*this);
    } else if (index + 1 == tableCount) {
      LogAdd(kAllDone);
    } else {
      LogAdd(kNextTable);
    }
    ++index;
  } while (index < tableCount);
}
