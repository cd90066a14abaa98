#include "BDEUtil.h"

#include "ALProgressBar.h"
#include "DBTables.h"
#include "MainForm.h"

// A constructor that throws leaves no object behind and its destructor never runs, so a
// failed TUInit is never followed by a TUExit on handle 0: there is no session to close.
TBDEUtil::TBDEUtil() : TablePropsBytes{} {
  Check(TUInit(&SessionHandle));
}

TBDEUtil::~TBDEUtil() noexcept(false) {
  // Handle 0: a renewal before a verification or rebuild closed the session and could not
  // open the next one, so there is none left to close.
  if (SessionHandle != 0) Check(TUExit(SessionHandle));
}

bool TBDEUtil::GetTableProps(const std::string& TableName) {
  // No session after a renewal that could not open one: open it here, quietly; a failure
  // reads as properties that cannot be read.
  if (SessionHandle == 0 && TUInit(&SessionHandle) != DBIERR_NONE) return false;
  return TUFillCURProps(SessionHandle, TableName.c_str(), &TableProps) == DBIERR_NONE;
}

void TBDEUtil::RegisterProgress() {
  Check(DbiRegisterCallBack(0, cbGENPROGRESS, 0, sizeof(ProgressInfo), &ProgressInfo,
                            ProgressCallback));
}

void TBDEUtil::UnregisterProgress() {
  Check(DbiRegisterCallBack(0, cbGENPROGRESS, 0, sizeof(ProgressInfo), &ProgressInfo, nullptr));
}

uint16_t TBDEUtil::PropWord(unsigned offset) const {
  // Assembled byte by byte: the record is little-endian whatever the host is. A word that
  // would reach past the space set aside reads as 0 rather than past the record.
  if (offset > TU_CURPROPS_SPACE - 2) return 0;
  return static_cast<uint16_t>(TablePropsBytes[offset] | (TablePropsBytes[offset + 1] << 8));
}

uint32_t TBDEUtil::OverallPosition(uint32_t percent) const {
  if (percent > 100) return percent;
  // Rounded to the nearest: the slices' ends land exactly on their bounds.
  const int span = OverallTo - OverallFrom;
  return static_cast<uint32_t>(OverallFrom + (static_cast<int>(percent) * span + 50) / 100);
}

extern "C" uint32_t ProgressCallback(uint32_t CallbackType, uint32_t ClientValue, void* Info) {
  (void)ClientValue;
  if (CallbackType != cbGENPROGRESS || Info == nullptr || MainForm == nullptr) return 0;
  const auto* report = static_cast<const uint8_t*>(Info);
  // Only the byte at 263 selects the bar; bytes 260..262 belong to the text before it.
  TALProgressBar* bar = nullptr;
  switch (report[263]) {
    case PROGRESS_PHASE_HEADER:
      bar = MainForm->ALProgressBar1;
      break;
    case PROGRESS_PHASE_INDEXES:
      bar = MainForm->ALProgressBar2;
      break;
    case PROGRESS_PHASE_DATA:
      bar = MainForm->ALProgressBar3;
      break;
    case PROGRESS_PHASE_OVERALL:
      bar = MainForm->ALProgressBar4;
      break;
    default:
      return 0;
  }
  if (bar == nullptr) return 0;
  // Unsigned on the way in: 0xFFFF is 65535, never -1.
  uint32_t percent = static_cast<uint32_t>(report[0]) | (static_cast<uint32_t>(report[1]) << 8);
  if (report[263] == PROGRESS_PHASE_OVERALL && MainForm->BDEUtil != nullptr)
    percent = MainForm->BDEUtil->OverallPosition(percent);
  // Called from inside the engine's C code: nothing may be thrown through it.
  try {
    bar->SetPosition(static_cast<int32_t>(percent));
  } catch (...) {
  }
  return 0;
}

TBDEUtil& RequireBDEUtil(TMainForm& form) {
  // FormCreate failed before the session object was made: report it like any engine error.
  if (form.BDEUtil == nullptr) {
    DbiClearErrorContext();
    DbiAddErrorContext("Sesja biblioteki narzędziowej: nie otwarto jej przy starcie programu");
    throw EDBEngineError(DBIERR_NOTINITIALIZED);
  }
  return *form.BDEUtil;
}
