// The engine's C API: life cycle, sessions, cursors, callbacks, error texts and context.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "engine.h"

extern "C" int engine_c_api_check(const char* alias, const char* path);

namespace {
using enginetest::ContextEntries;
using enginetest::EngineTest;
using enginetest::WriteFile;

class ApiTest : public EngineTest {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.path() / "data1");
    ASSERT_EQ(StartWith("[ONE]\nTYPE=STANDARD\nPATH=" + (dir_.path() / "data1").string() +
                        "\n[TWO]\nTYPE=STANDARD\nPATH=" + (dir_.path() / "data1").string() + "\n"),
              DBIERR_NONE);
  }
};

TEST_F(EngineTest, HeaderCompilesAsPlainCAndServesACClient) {
  const std::string folder = (dir_.path() / "tables").string();
  WriteFile(ConfigFile(), "[C]\nTYPE=STANDARD\nPATH=" + folder + "\n");
  EXPECT_EQ(engine_c_api_check("C", folder.c_str()), 0) << "see the line in c_api_check.c";
}

TEST_F(EngineTest, EveryCallButErrorTextsNeedsAStartedEngine) {
  hDBISes ses = 0;
  hDBICur cur = 0;
  hDBIDb db = 0;
  DBDesc desc;
  char text[DBIMAXMSGLEN + 1];
  EXPECT_EQ(DbiExit(), DBIERR_NOTINITIALIZED);
  EXPECT_EQ(DbiGetDefaultSession(&ses), DBIERR_NOTINITIALIZED);
  EXPECT_EQ(DbiStartSession("S", &ses), DBIERR_NOTINITIALIZED);
  EXPECT_EQ(DbiOpenDatabaseList(&cur), DBIERR_NOTINITIALIZED);
  EXPECT_EQ(DbiGetDatabaseDesc("DEMO", &desc), DBIERR_NOTINITIALIZED);
  EXPECT_EQ(DbiOpenDatabase("DEMO", &db), DBIERR_NOTINITIALIZED);
  EXPECT_EQ(DbiReportProgress(1, 0, ""), DBIERR_NOTINITIALIZED);
  EXPECT_EQ(DbiGetErrorString(DBIERR_NOTINITIALIZED, text), DBIERR_NONE);
  EXPECT_STREQ(text, "Silnik bazy danych nie jest uruchomiony");
}

TEST_F(ApiTest, InitTwiceFailsAndExitStopsTheEngine) {
  EXPECT_EQ(DbiInit(), DBIERR_ALREADYINIT);
  EXPECT_EQ(DbiExit(), DBIERR_NONE);
  hDBISes ses = 0;
  EXPECT_EQ(DbiGetCurrSession(&ses), DBIERR_NOTINITIALIZED);
  EXPECT_EQ(DbiInit(), DBIERR_NONE);  // and it starts again
}

TEST_F(ApiTest, SessionsAreOpenedMadeCurrentAndClosed) {
  hDBISes def = 0, cur = 0, a = 0, b = 0;
  ASSERT_EQ(DbiGetDefaultSession(&def), DBIERR_NONE);
  ASSERT_NE(def, 0u);
  ASSERT_EQ(DbiGetCurrSession(&cur), DBIERR_NONE);
  EXPECT_EQ(cur, def);

  ASSERT_EQ(DbiStartSession("Session1", &a), DBIERR_NONE);
  ASSERT_EQ(DbiStartSession("Other", &b), DBIERR_NONE);
  EXPECT_NE(a, 0u);
  EXPECT_NE(a, b);
  EXPECT_NE(a, def);
  ASSERT_EQ(DbiGetCurrSession(&cur), DBIERR_NONE);
  EXPECT_EQ(cur, b);
  ASSERT_EQ(DbiSetCurrSession(a), DBIERR_NONE);
  ASSERT_EQ(DbiGetCurrSession(&cur), DBIERR_NONE);
  EXPECT_EQ(cur, a);

  // Closing the current session falls back to the default one.
  ASSERT_EQ(DbiCloseSession(a), DBIERR_NONE);
  ASSERT_EQ(DbiGetCurrSession(&cur), DBIERR_NONE);
  EXPECT_EQ(cur, def);
  EXPECT_EQ(DbiCloseSession(a), DBIERR_INVALIDHNDL);
  EXPECT_EQ(DbiSetCurrSession(a), DBIERR_INVALIDHNDL);
  EXPECT_EQ(DbiCloseSession(def), DBIERR_INVALIDHNDL);
  EXPECT_EQ(DbiCloseSession(b), DBIERR_NONE);
}

TEST_F(ApiTest, SessionArgumentsAndLimit) {
  hDBISes h = 0;
  EXPECT_EQ(DbiStartSession(nullptr, &h), DBIERR_INVALIDPARAM);
  EXPECT_EQ(DbiStartSession("S", nullptr), DBIERR_INVALIDPARAM);
  EXPECT_EQ(DbiStartSession(std::string(32, 'x').c_str(), &h), DBIERR_INVALIDPARAM);
  EXPECT_EQ(DbiGetCurrSession(nullptr), DBIERR_INVALIDPARAM);
  DBIResult rc = DBIERR_NONE;
  int opened = 0;
  while (opened < 1000 && (rc = DbiStartSession("S", &h)) == DBIERR_NONE) ++opened;
  EXPECT_EQ(rc, DBIERR_SESSIONLIMIT);
  EXPECT_GT(opened, 8);
}

TEST_F(ApiTest, DatabaseListYieldsEachAliasThenEof) {
  hDBICur cur = 0;
  ASSERT_EQ(DbiOpenDatabaseList(&cur), DBIERR_NONE);
  DBDesc desc;
  std::vector<std::string> names;
  DBIResult rc;
  while ((rc = DbiGetNextRecord(cur, 0, &desc, nullptr)) == DBIERR_NONE)
    names.emplace_back(desc.szName);
  EXPECT_EQ(rc, DBIERR_EOF);
  EXPECT_EQ(DbiGetNextRecord(cur, 0, &desc, nullptr), DBIERR_EOF);  // stays at the end
  EXPECT_EQ(names, (std::vector<std::string>{"ONE", "TWO"}));
  EXPECT_EQ(DbiGetNextRecord(cur, 0, nullptr, nullptr), DBIERR_INVALIDPARAM);
  ASSERT_EQ(DbiCloseCursor(&cur), DBIERR_NONE);
  EXPECT_EQ(cur, 0u);
}

TEST_F(ApiTest, InvalidAndStaleHandlesAreRefused) {
  hDBICur cur = 0;
  ASSERT_EQ(DbiOpenDatabaseList(&cur), DBIERR_NONE);
  hDBICur copy = cur;
  ASSERT_EQ(DbiCloseCursor(&cur), DBIERR_NONE);
  DBDesc desc;
  EXPECT_EQ(DbiGetNextRecord(copy, 0, &desc, nullptr), DBIERR_INVALIDHNDL);
  EXPECT_EQ(DbiCloseCursor(&copy), DBIERR_INVALIDHNDL);
  EXPECT_EQ(DbiCloseCursor(nullptr), DBIERR_INVALIDPARAM);
  hDBICur none = 0;
  EXPECT_EQ(DbiCloseCursor(&none), DBIERR_INVALIDHNDL);

  // A handle of another kind is no cursor, and a cursor is no database.
  hDBISes ses = 0;
  ASSERT_EQ(DbiGetDefaultSession(&ses), DBIERR_NONE);
  EXPECT_EQ(DbiGetNextRecord(ses, 0, &desc, nullptr), DBIERR_INVALIDHNDL);
  ASSERT_EQ(DbiOpenDatabaseList(&cur), DBIERR_NONE);
  hDBICur tables = 0;
  EXPECT_EQ(DbiOpenTableList(cur, 0, 0, "*.*", &tables), DBIERR_INVALIDHNDL);
  hDBIDb asDb = cur;
  EXPECT_EQ(DbiCloseDatabase(&asDb), DBIERR_INVALIDHNDL);

  // Handles die with the engine.
  ASSERT_EQ(DbiExit(), DBIERR_NONE);
  ASSERT_EQ(DbiInit(), DBIERR_NONE);
  EXPECT_EQ(DbiGetNextRecord(cur, 0, &desc, nullptr), DBIERR_INVALIDHNDL);
}

TEST_F(ApiTest, ClosingASessionClosesItsCursors) {
  hDBISes s = 0;
  hDBICur cur = 0;
  ASSERT_EQ(DbiStartSession("S", &s), DBIERR_NONE);
  ASSERT_EQ(DbiOpenDatabaseList(&cur), DBIERR_NONE);
  ASSERT_EQ(DbiCloseSession(s), DBIERR_NONE);
  DBDesc desc;
  EXPECT_EQ(DbiGetNextRecord(cur, 0, &desc, nullptr), DBIERR_INVALIDHNDL);
}

TEST_F(ApiTest, DatabaseDescriptorByName) {
  DBDesc desc;
  std::memset(&desc, 0x55, sizeof desc);
  ASSERT_EQ(DbiGetDatabaseDesc("TWO", &desc), DBIERR_NONE);
  EXPECT_STREQ(desc.szName, "TWO");
  EXPECT_STREQ(desc.szPhyName, (dir_.path() / "data1").string().c_str());
  EXPECT_STREQ(desc.szDbType, "STANDARD");
  EXPECT_STREQ(desc.szText, "");
  // Fields are zero-filled after the text: no stale bytes leak to the caller.
  EXPECT_EQ(desc.szDbType[31], 0);
  EXPECT_EQ(desc.szPhyName[260], 0);

  EXPECT_EQ(DbiGetDatabaseDesc("two", &desc), DBIERR_UNKNOWNDB);  // names are case-sensitive
  EXPECT_EQ(ContextEntries(), (std::vector<std::string>{"Alias: two"}));
  EXPECT_EQ(DbiGetDatabaseDesc(nullptr, &desc), DBIERR_INVALIDPARAM);
  EXPECT_EQ(DbiGetDatabaseDesc("TWO", nullptr), DBIERR_INVALIDPARAM);
  EXPECT_TRUE(ContextEntries().empty()) << "a new failure replaces the old context";
}

struct Calls {
  int count = 0;
  uint32_t type = 0;
  uint32_t client = 0;
  void* info = nullptr;
  unsigned char snapshot[sizeof(CBPROGRESSDesc)] = {};
};
Calls gCalls;

uint32_t Record(uint32_t type, uint32_t client, void* info) {
  ++gCalls.count;
  gCalls.type = type;
  gCalls.client = client;
  gCalls.info = info;
  std::memcpy(gCalls.snapshot, info, sizeof gCalls.snapshot);
  return 0;
}

uint32_t UnregisterSelf(uint32_t, uint32_t, void*) {
  ++gCalls.count;
  DbiRegisterCallBack(0, cbGENPROGRESS, 0, 0, nullptr, nullptr);
  return 0;
}

TEST_F(ApiTest, ProgressReportFillsTheRegisteredBufferAndCallsTheRoutine) {
  gCalls = {};
  unsigned char buffer[sizeof(CBPROGRESSDesc)];
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(DbiReportProgress(10, 0, "x"), DBIERR_NONE);  // nothing registered: a no-op
  ASSERT_EQ(DbiRegisterCallBack(0, cbGENPROGRESS, 0xC0FFEE, sizeof buffer, buffer, Record),
            DBIERR_NONE);
  ASSERT_EQ(DbiReportProgress(99, PROGRESS_PHASE_INDEXES, "Index 1"), DBIERR_NONE);
  ASSERT_EQ(gCalls.count, 1);
  EXPECT_EQ(gCalls.type, cbGENPROGRESS);
  EXPECT_EQ(gCalls.client, 0xC0FFEEu);
  EXPECT_EQ(gCalls.info, buffer);
  EXPECT_EQ(gCalls.snapshot[0], 0x63);  // percent, little-endian at offset 0
  EXPECT_EQ(gCalls.snapshot[1], 0x00);
  EXPECT_STREQ(reinterpret_cast<const char*>(gCalls.snapshot + 2), "Index 1");
  EXPECT_EQ(gCalls.snapshot[263], PROGRESS_PHASE_INDEXES);
  EXPECT_EQ(gCalls.snapshot[264] | gCalls.snapshot[267], 0);

  // Over 100 is reported as 100; an over-long text is cut to the field.
  ASSERT_EQ(DbiReportProgress(250, PROGRESS_PHASE_OVERALL, std::string(400, 'm').c_str()),
            DBIERR_NONE);
  EXPECT_EQ(gCalls.snapshot[0], 100);
  EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(gCalls.snapshot + 2)), 260u);
  EXPECT_EQ(gCalls.snapshot[263], PROGRESS_PHASE_OVERALL);

  ASSERT_EQ(DbiRegisterCallBack(0, cbGENPROGRESS, 0, 0, nullptr, nullptr), DBIERR_NONE);
  ASSERT_EQ(DbiReportProgress(50, PROGRESS_PHASE_DATA, ""), DBIERR_NONE);
  EXPECT_EQ(gCalls.count, 2) << "no call after unregistering";
}

TEST_F(ApiTest, RoutineMayUnregisterItselfWhileCalled) {
  gCalls = {};
  CBPROGRESSDesc buffer;
  ASSERT_EQ(DbiRegisterCallBack(0, cbGENPROGRESS, 0, sizeof buffer, &buffer, UnregisterSelf),
            DBIERR_NONE);
  ASSERT_EQ(DbiReportProgress(1, 0, ""), DBIERR_NONE);
  ASSERT_EQ(DbiReportProgress(2, 0, ""), DBIERR_NONE);
  EXPECT_EQ(gCalls.count, 1);
}

TEST_F(ApiTest, CallbacksAreKeptPerSession) {
  gCalls = {};
  CBPROGRESSDesc buffer;
  hDBISes def = 0, other = 0;
  ASSERT_EQ(DbiGetDefaultSession(&def), DBIERR_NONE);
  ASSERT_EQ(DbiStartSession("Other", &other), DBIERR_NONE);  // now current
  ASSERT_EQ(DbiRegisterCallBack(0, cbGENPROGRESS, 1, sizeof buffer, &buffer, Record), DBIERR_NONE);
  ASSERT_EQ(DbiSetCurrSession(def), DBIERR_NONE);
  ASSERT_EQ(DbiReportProgress(5, 0, ""), DBIERR_NONE);
  EXPECT_EQ(gCalls.count, 0) << "the default session has no registration";
  ASSERT_EQ(DbiSetCurrSession(other), DBIERR_NONE);
  ASSERT_EQ(DbiReportProgress(5, 0, ""), DBIERR_NONE);
  EXPECT_EQ(gCalls.count, 1);
  // Closing the session drops its registration.
  ASSERT_EQ(DbiCloseSession(other), DBIERR_NONE);
  ASSERT_EQ(DbiStartSession("Again", &other), DBIERR_NONE);
  ASSERT_EQ(DbiReportProgress(5, 0, ""), DBIERR_NONE);
  EXPECT_EQ(gCalls.count, 1);
}

uint32_t ThrowSomething(uint32_t, uint32_t, void*) {
  throw 42;
}
uint32_t ThrowStd(uint32_t, uint32_t, void*) {
  throw std::runtime_error("bar repaint failed");
}

TEST_F(ApiTest, RoutineThatThrowsGivesInternalErrorWithItsOwnContext) {
  CBPROGRESSDesc buffer;
  ASSERT_EQ(DbiRegisterCallBack(0, cbGENPROGRESS, 0, sizeof buffer, &buffer, ThrowStd),
            DBIERR_NONE);
  EXPECT_EQ(DbiReportProgress(5, 0, ""), DBIERR_INTERNAL);
  EXPECT_EQ(ContextEntries(), std::vector<std::string>{"Szczegóły: bar repaint failed"});

  // An earlier failure's context must not be shown as the context of this one.
  ASSERT_EQ(DbiGetDatabaseDesc("NOSUCH", nullptr), DBIERR_INVALIDPARAM);
  DBDesc desc;
  ASSERT_EQ(DbiGetDatabaseDesc("NOSUCH", &desc), DBIERR_UNKNOWNDB);
  ASSERT_FALSE(ContextEntries().empty());
  ASSERT_EQ(DbiRegisterCallBack(0, cbGENPROGRESS, 0, sizeof buffer, &buffer, ThrowSomething),
            DBIERR_NONE);
  EXPECT_EQ(DbiReportProgress(5, 0, ""), DBIERR_INTERNAL);
  EXPECT_TRUE(ContextEntries().empty());
}

TEST_F(ApiTest, RegistrationArgumentsAreChecked) {
  CBPROGRESSDesc buffer;
  EXPECT_EQ(DbiRegisterCallBack(0, cbGENPROGRESS, 0, sizeof buffer - 1, &buffer, Record),
            DBIERR_INVALIDPARAM);
  EXPECT_EQ(DbiRegisterCallBack(0, cbGENPROGRESS, 0, sizeof buffer, nullptr, Record),
            DBIERR_INVALIDPARAM);
  EXPECT_EQ(DbiRegisterCallBack(5, cbGENPROGRESS, 0, sizeof buffer, &buffer, Record),
            DBIERR_INVALIDHNDL);
  // Unregistering what was never registered is harmless.
  EXPECT_EQ(DbiRegisterCallBack(0, cbGENPROGRESS, 0, 0, nullptr, nullptr), DBIERR_NONE);
}

TEST(ErrorTexts, EveryEngineCodeHasItsOwnShortText) {
  const DBIResult codes[] = {
      DBIERR_EOF,           DBIERR_NOTINITIALIZED, DBIERR_INVALIDPARAM,     DBIERR_INVALIDHNDL,
      DBIERR_NOMEMORY,      DBIERR_CONFIG,         DBIERR_UNKNOWNDB,        DBIERR_DIRNOTFOUND,
      DBIERR_NOSUCHTABLE,   DBIERR_NOTPARADOX,     DBIERR_UNKNOWNTBLTYPE,   DBIERR_PATHTOOLONG,
      DBIERR_LOCKED,        DBIERR_NOACCESS,       DBIERR_READERR,          DBIERR_WRITEERR,
      DBIERR_DISKFULL,      DBIERR_CORRUPTHEADER,  DBIERR_UNSUPPORTEDLEVEL, DBIERR_CORRUPTTABLE,
      DBIERR_REBUILDFAILED, DBIERR_SESSIONLIMIT,   DBIERR_INVALIDDESC,      DBIERR_ALREADYINIT,
      DBIERR_INTERNAL};
  std::set<std::string> seen;
  for (DBIResult code : codes) {
    char text[DBIMAXMSGLEN + 1];
    std::memset(text, 'z', sizeof text);
    ASSERT_EQ(DbiGetErrorString(code, text), DBIERR_NONE);
    const std::string s(text);
    EXPECT_FALSE(s.empty()) << std::hex << code;
    EXPECT_LE(s.size(), static_cast<size_t>(DBIMAXMSGLEN));
    EXPECT_TRUE(seen.insert(s).second) << "duplicate text " << s;
  }
  char text[DBIMAXMSGLEN + 1] = "stale";
  EXPECT_EQ(DbiGetErrorString(0x1234, text), DBIERR_NONE);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(DbiGetErrorString(DBIERR_UNKNOWNDB, nullptr), DBIERR_INVALIDPARAM);
  EXPECT_EQ(DbiGetErrorString(DBIERR_UNKNOWNDB, text), DBIERR_NONE);
  EXPECT_STREQ(text, "Nieznany alias");
}

TEST(ErrorContext, EntriesAreNumberedFromOneAndLongOnesKeepTheirEnd) {
  DbiClearErrorContext();
  char text[DBIMAXMSGLEN + 1];
  EXPECT_EQ(DbiGetErrorEntry(1, text), DBIERR_EOF);
  DbiAddErrorContext("Table: /a/b.DB");
  const std::string longPath = "File: /" + std::string(200, 'd') + "/tail.DB";
  DbiAddErrorContext(longPath.c_str());
  DbiAddErrorContext(nullptr);
  EXPECT_EQ(DbiGetErrorEntry(0, text), DBIERR_EOF);
  ASSERT_EQ(DbiGetErrorEntry(1, text), DBIERR_NONE);
  EXPECT_STREQ(text, "Table: /a/b.DB");
  ASSERT_EQ(DbiGetErrorEntry(2, text), DBIERR_NONE);
  const std::string entry(text);
  EXPECT_EQ(entry.size(), static_cast<size_t>(DBIMAXMSGLEN));
  EXPECT_EQ(entry.rfind("File: ...", 0), 0u) << entry;
  EXPECT_EQ(entry.substr(entry.size() - 8), "/tail.DB");
  EXPECT_EQ(DbiGetErrorEntry(3, text), DBIERR_EOF);
  DbiClearErrorContext();
  EXPECT_EQ(DbiGetErrorEntry(1, text), DBIERR_EOF);
}

}  // namespace
