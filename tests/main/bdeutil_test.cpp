// TBDEUtil (utility session, properties record, progress registration) and
// ProgressCallback (one bar per report, chosen by the byte at 263).
#include <cstring>

#include "HandlersFixture.h"

namespace handlerstest {
namespace {

using BDEUtilTest = HandlersTest;

// A 268-byte progress record as the engine fills it.
std::array<uint8_t, 268> Report(uint16_t percent, uint8_t phase) {
  std::array<uint8_t, 268> r{};
  r[0] = static_cast<uint8_t>(percent & 0xFF);
  r[1] = static_cast<uint8_t>(percent >> 8);
  r[263] = phase;
  return r;
}

TALProgressBar* Bar(TMainForm& f, int i) {
  TALProgressBar* bars[4] = {f.ALProgressBar1, f.ALProgressBar2, f.ALProgressBar3,
                             f.ALProgressBar4};
  return bars[i];
}

TEST_F(BDEUtilTest, SessionOpensWithTheObjectAndClosesWithIt) {
  const size_t before = scripted::Calls().size();
  auto util = std::make_unique<TBDEUtil>();
  ASSERT_EQ(scripted::Calls().size(), before + 1);
  EXPECT_EQ(scripted::Calls().back().function, "TUInit");
  const hTUses handle = util->SessionHandle;
  EXPECT_NE(handle, 0);
  EXPECT_EQ(scripted::Calls().back().handle, handle);
  // Nothing else is set: both records are zero.
  EXPECT_EQ(util->ProgressInfo.iPercentDone, 0);
  for (uint8_t b : util->TablePropsBytes) ASSERT_EQ(b, 0);
  util.reset();
  EXPECT_EQ(scripted::Calls().back().function, "TUExit");
  EXPECT_EQ(scripted::Calls().back().handle, handle);
}

TEST_F(BDEUtilTest, FailedOpeningThrowsAndClosesNothing) {
  scripted::Current().initQueue.push_back(DBIERR_SESSIONLIMIT);
  const size_t before = scripted::Calls().size();
  try {
    TBDEUtil util;
    FAIL() << "TUInit failure must raise";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), DBIERR_SESSIONLIMIT);
  }
  // No TUExit on handle 0 for the object that never came to be.
  ASSERT_EQ(scripted::Calls().size(), before + 1);
  EXPECT_EQ(scripted::Calls().back().function, "TUInit");
}

TEST_F(BDEUtilTest, FailedClosingThrowsToWhoeverFreesTheObject) {
  auto* util = new TBDEUtil();
  scripted::Current().exitQueue.push_back(DBIERR_INVALIDHNDL);
  try {
    delete util;
    FAIL() << "TUExit failure must raise";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), DBIERR_INVALIDHNDL);
  }
}

TEST_F(BDEUtilTest, GetTablePropsReportsFailureWithoutRaisingOrClearing) {
  TBDEUtil& util = *F().BDEUtil;
  scripted::Current().props["/a/Good.DB"] = scripted::PropsWithWords({{295, 12}});
  EXPECT_TRUE(util.GetTableProps("/a/Good.DB"));
  EXPECT_EQ(util.PropWord(295), 12);
  EXPECT_EQ(scripted::Calls().back().handle, util.SessionHandle);
  EXPECT_FALSE(scripted::Calls().back().outputNull);
  bool result = true;
  EXPECT_NO_THROW(result = util.GetTableProps("/a/Missing.DB"));
  EXPECT_FALSE(result);
  EXPECT_EQ(util.PropWord(295), 12);
  scripted::Current().propsResult = DBIERR_LOCKED;
  EXPECT_FALSE(util.GetTableProps("/a/Good.DB"));
}

TEST_F(BDEUtilTest, PropWordIsLittleEndianAndStaysInsideTheRecord) {
  TBDEUtil& util = *F().BDEUtil;
  util.TablePropsBytes[387] = 0x00;
  util.TablePropsBytes[388] = 0x10;
  EXPECT_EQ(util.PropWord(387), 4096);
  util.TablePropsBytes[430] = 0xFF;
  util.TablePropsBytes[431] = 0xFF;
  EXPECT_EQ(util.PropWord(430), 65535);
  EXPECT_EQ(util.PropWord(431), 0);
  EXPECT_EQ(util.PropWord(100000), 0);
}

TEST_F(BDEUtilTest, RegistrationDeliversReportsIntoProgressInfoAndUnregistrationStopsThem) {
  TBDEUtil& util = *F().BDEUtil;
  util.RegisterProgress();
  ASSERT_EQ(DbiReportProgress(42, 1, "indeksy"), DBIERR_NONE);
  // The engine filled the registered record (268 bytes) and called the routine with it.
  EXPECT_EQ(util.ProgressInfo.iPercentDone, 42);
  EXPECT_EQ(util.ProgressInfo.iPhase, 1);
  EXPECT_STREQ(util.ProgressInfo.szMsg, "indeksy");
  EXPECT_EQ(F().ALProgressBar2->Position(), 42);
  util.UnregisterProgress();
  ASSERT_EQ(DbiReportProgress(43, 1, ""), DBIERR_NONE);
  EXPECT_EQ(F().ALProgressBar2->Position(), 42);
  // Registering twice replaces the registration; unregistering twice is harmless.
  util.RegisterProgress();
  util.RegisterProgress();
  DbiReportProgress(10, 8, "");
  EXPECT_EQ(F().ALProgressBar4->Position(), 10);
  util.UnregisterProgress();
  EXPECT_NO_THROW(util.UnregisterProgress());
}

TEST_F(BDEUtilTest, ProgressCallbackMovesTheBarOfPhases0128Only) {
  const uint8_t phases[4] = {0, 1, 2, 8};
  for (int i = 0; i < 4; ++i) {
    auto r = Report(static_cast<uint16_t>(11 * (i + 1)), phases[i]);
    EXPECT_EQ(ProgressCallback(23, 0, r.data()), 0u);
  }
  EXPECT_EQ(BarPositions(), (std::vector<int32_t>{11, 22, 33, 44}));
  std::vector<int> paints;
  for (int i = 0; i < 4; ++i) paints.push_back(Bar(F(), i)->PaintCount());
  for (int phase = 0; phase < 256; ++phase) {
    if (phase <= 2 || phase == 8) continue;
    auto r = Report(50, static_cast<uint8_t>(phase));
    EXPECT_EQ(ProgressCallback(23, 0, r.data()), 0u);
  }
  EXPECT_EQ(BarPositions(), (std::vector<int32_t>{11, 22, 33, 44}));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Bar(F(), i)->PaintCount(), paints[i]) << "bar " << i + 1;
}

TEST_F(BDEUtilTest, ProgressCallbackIgnoresOtherTypesAndTheClientValue) {
  for (uint32_t type : {0u, 22u, 24u, 0xFFFFFFFFu, 23u + 0x10000u}) {
    auto r = Report(60, 0);
    EXPECT_EQ(ProgressCallback(type, 0, r.data()), 0u);
  }
  EXPECT_EQ(F().ALProgressBar1->Position(), 0);
  auto r = Report(60, 0);
  EXPECT_EQ(ProgressCallback(23, 0xDEADBEEF, r.data()), 0u);
  EXPECT_EQ(F().ALProgressBar1->Position(), 60);
}

TEST_F(BDEUtilTest, OnlyTheByteAt263SelectsTheBar) {
  auto r = Report(35, 2);
  r[260] = 0x08;
  r[261] = 0x01;
  r[262] = 0xFF;
  r[264] = 0x08;
  ProgressCallback(23, 0, r.data());
  EXPECT_EQ(BarPositions(), (std::vector<int32_t>{0, 0, 35, 0}));
}

TEST_F(BDEUtilTest, PercentageIsUnsignedAndOutOfRangeValuesAreIgnored) {
  auto r = Report(0xFFFF, 0);
  ProgressCallback(23, 0, r.data());
  EXPECT_EQ(F().ALProgressBar1->Position(), 0);  // above Max 100: ignored
  F().ALProgressBar1->SetMax(70000);
  ProgressCallback(23, 0, r.data());
  EXPECT_EQ(F().ALProgressBar1->Position(), 65535);  // never -1
  auto high = Report(0x0100, 1);                     // high byte matters: 256
  F().ALProgressBar2->SetMax(1000);
  ProgressCallback(23, 0, high.data());
  EXPECT_EQ(F().ALProgressBar2->Position(), 256);
}

TEST_F(BDEUtilTest, EqualPositionCausesNoRepaint) {
  auto r = Report(50, 8);
  ProgressCallback(23, 0, r.data());
  const int paints = F().ALProgressBar4->PaintCount();
  ProgressCallback(23, 0, r.data());
  EXPECT_EQ(F().ALProgressBar4->PaintCount(), paints);
  auto next = Report(51, 8);
  ProgressCallback(23, 0, next.data());
  EXPECT_EQ(F().ALProgressBar4->PaintCount(), paints + 1);
}

TEST_F(BDEUtilTest, ProgressCallbackWithoutWindowOrRecordTouchesNothing) {
  auto r = Report(20, 0);
  TMainForm* saved = MainForm;
  MainForm = nullptr;
  EXPECT_EQ(ProgressCallback(23, 0, r.data()), 0u);
  MainForm = saved;
  EXPECT_EQ(ProgressCallback(23, 0, nullptr), 0u);
  EXPECT_EQ(F().ALProgressBar1->Position(), 0);
}

TEST_F(BDEUtilTest, RequireBDEUtilRaisesAnEngineErrorWhenTheObjectIsMissing) {
  EXPECT_EQ(&RequireBDEUtil(F()), F().BDEUtil);
  TBDEUtil* saved = F().BDEUtil;
  F().BDEUtil = nullptr;
  try {
    RequireBDEUtil(F());
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), DBIERR_NOTINITIALIZED);
    EXPECT_NE(std::string(e.what()).find("nie otwarto jej przy starcie programu"),
              std::string::npos)
        << e.what();
  }
  F().BDEUtil = saved;
}

}  // namespace
}  // namespace handlerstest
