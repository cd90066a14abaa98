// Sessions and bad arguments: every one gives its error code, names the file, and
// changes nothing.
#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "Facts.h"
#include "TUtilTestSupport.h"
#include "paradox/format/repair_traces.h"

namespace tutiltest {
namespace {

TEST(TUtilSession, HandlesAreNonzeroDistinctAndDieWithExit) {
  hTUses a = 0, b = 0;
  ASSERT_EQ(TUInit(&a), DBIERR_NONE);
  ASSERT_EQ(TUInit(&b), DBIERR_NONE);
  EXPECT_NE(a, 0);
  EXPECT_NE(b, 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(TUExit(a), DBIERR_NONE);
  EXPECT_EQ(TUExit(a), DBIERR_INVALIDHNDL);
  EXPECT_EQ(TUExit(0), DBIERR_INVALIDHNDL);
  EXPECT_EQ(TUExit(b), DBIERR_NONE);
  EXPECT_EQ(TUInit(nullptr), DBIERR_INVALIDPARAM);
}

TEST(TUtilSession, ReopenedSessionGetsAFreshHandle) {
  // The program closes and reopens the session before each operation; a stale copy of
  // the old handle must not work.
  hTUses h = 0;
  ASSERT_EQ(TUInit(&h), DBIERR_NONE);
  const hTUses old = h;
  ASSERT_EQ(TUExit(h), DBIERR_NONE);
  ASSERT_EQ(TUInit(&h), DBIERR_NONE);
  EXPECT_NE(h, old);
  CURProps props;
  EXPECT_EQ(TUFillCURProps(old, "/nowhere/T.DB", &props), DBIERR_INVALIDHNDL);
  EXPECT_EQ(TUExit(h), DBIERR_NONE);
}

class TUtilArgs : public TUtilTest {};

TEST_F(TUtilArgs, ClosedHandleIsRefusedByEveryFunction) {
  const std::string t = WritePlain();
  hTUses h = 0;
  ASSERT_EQ(TUInit(&h), DBIERR_NONE);
  ASSERT_EQ(TUExit(h), DBIERR_NONE);
  CURProps props;
  int32_t verdict = -7;
  uint16_t c[7];
  CRTblDesc desc{};
  EXPECT_EQ(TUFillCURProps(h, t.c_str(), &props), DBIERR_INVALIDHNDL);
  EXPECT_EQ(TUVerifyTable(h, t.c_str(), "PARADOX", "VERIFY.DB", nullptr, 0, &verdict),
            DBIERR_INVALIDHNDL);
  EXPECT_EQ(verdict, -7);
  EXPECT_EQ(TUGetCRTblDescCount(h, t.c_str(), &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6]),
            DBIERR_INVALIDHNDL);
  EXPECT_EQ(TUFillCRTblDesc(h, &desc, t.c_str(), nullptr), DBIERR_INVALIDHNDL);
  EXPECT_EQ(TURebuildTable(h, t.c_str(), "PARADOX", "Backup.Db", "KEYVIOL.DB", "PROBLEM.DB", &desc),
            DBIERR_INVALIDHNDL);
}

TEST_F(TUtilArgs, NullPointersAreRefused) {
  const std::string t = WritePlain();
  CURProps props;
  int32_t verdict = 0;
  uint16_t c[7];
  CRTblDesc desc{};
  EXPECT_EQ(TUFillCURProps(session_, nullptr, &props), DBIERR_INVALIDPARAM);
  EXPECT_EQ(TUFillCURProps(session_, t.c_str(), nullptr), DBIERR_INVALIDPARAM);
  EXPECT_EQ(TUVerifyTable(session_, nullptr, "PARADOX", "VERIFY.DB", nullptr, 0, &verdict),
            DBIERR_INVALIDPARAM);
  EXPECT_EQ(TUVerifyTable(session_, t.c_str(), nullptr, "VERIFY.DB", nullptr, 0, &verdict),
            DBIERR_INVALIDPARAM);
  EXPECT_EQ(TUVerifyTable(session_, t.c_str(), "PARADOX", nullptr, nullptr, 0, &verdict),
            DBIERR_INVALIDPARAM);
  EXPECT_EQ(TUVerifyTable(session_, t.c_str(), "PARADOX", "VERIFY.DB", nullptr, 0, nullptr),
            DBIERR_INVALIDPARAM);
  for (int missing = 0; missing < 7; ++missing) {
    uint16_t* p[7];
    for (int i = 0; i < 7; ++i) p[i] = i == missing ? nullptr : &c[i];
    EXPECT_EQ(TUGetCRTblDescCount(session_, t.c_str(), p[0], p[1], p[2], p[3], p[4], p[5], p[6]),
              DBIERR_INVALIDPARAM)
        << "count " << missing + 1;
  }
  EXPECT_EQ(TUFillCRTblDesc(session_, nullptr, t.c_str(), nullptr), DBIERR_INVALIDPARAM);
  EXPECT_EQ(TUFillCRTblDesc(session_, &desc, nullptr, nullptr), DBIERR_INVALIDPARAM);
  EXPECT_EQ(TURebuildTable(session_, t.c_str(), "PARADOX", "Backup.Db", "KEYVIOL.DB", "PROBLEM.DB",
                           nullptr),
            DBIERR_INVALIDPARAM);
  EXPECT_EQ(
      TURebuildTable(session_, t.c_str(), "PARADOX", nullptr, "KEYVIOL.DB", "PROBLEM.DB", &desc),
      DBIERR_INVALIDPARAM);
  EXPECT_EQ(
      TURebuildTable(session_, t.c_str(), "PARADOX", "Backup.Db", nullptr, "PROBLEM.DB", &desc),
      DBIERR_INVALIDPARAM);
  EXPECT_EQ(
      TURebuildTable(session_, t.c_str(), "PARADOX", "Backup.Db", "KEYVIOL.DB", nullptr, &desc),
      DBIERR_INVALIDPARAM);
}

TEST_F(TUtilArgs, BadLocationsGiveTheirCodesAndNameTheFile) {
  WritePlain();
  const std::string keyed = WriteCustomers();
  const auto before = Snapshot(dir_.path());
  CURProps props;
  std::memset(&props, 0xAB, sizeof props);
  const std::string longPath = "/" + std::string(300, 'x') + "/T.DB";
  EXPECT_EQ(TUFillCURProps(session_, longPath.c_str(), &props), DBIERR_PATHTOOLONG);
  EXPECT_EQ(TUFillCURProps(session_, "", &props), DBIERR_NOSUCHTABLE);
  EXPECT_EQ(TUFillCURProps(session_, Table("MISSING.DB").c_str(), &props), DBIERR_NOSUCHTABLE);
  EXPECT_EQ(ContextEntries().at(0), "Plik: " + Table("MISSING.DB"));
  EXPECT_EQ(TUFillCURProps(session_, (tables_ / "no-folder" / "T.DB").c_str(), &props),
            DBIERR_DIRNOTFOUND);
  EXPECT_EQ(TUFillCURProps(session_, tables_.c_str(), &props), DBIERR_NOSUCHTABLE);

  std::ofstream(Table("TEXT.DB"))
      << "this is a text file, long enough to hold a header's worth of bytes and more "
         "bytes than eighty eight, so only its content can tell it apart";
  std::ofstream(Table("SHORT.DB")) << "tiny";
  EXPECT_EQ(TUFillCURProps(session_, Table("SHORT.DB").c_str(), &props), DBIERR_NOTPARADOX);
  // Another member of a family is no table either.
  EXPECT_EQ(TUFillCURProps(session_, Table("CUSTOMER.PX").c_str(), &props), DBIERR_NOTPARADOX);
  EXPECT_EQ(TUFillCURProps(session_, Table("TEXT.DB").c_str(), &props), DBIERR_NOTPARADOX);
  EXPECT_EQ(ContextEntries().at(0), "Plik: " + Table("TEXT.DB"));
  int32_t verdict = -7;
  EXPECT_EQ(TUVerifyTable(session_, Table("TEXT.DB").c_str(), "PARADOX", "VERIFY.DB", nullptr, 0,
                          &verdict),
            DBIERR_NOTPARADOX);
  EXPECT_EQ(verdict, -7);
  Descriptor d;
  ASSERT_EQ(d.Fill(session_, keyed), DBIERR_NONE);
  EXPECT_EQ(TURebuildTable(session_, Table("TEXT.DB").c_str(), "PARADOX", "Backup.Db", "KEYVIOL.DB",
                           "PROBLEM.DB", &d.desc),
            DBIERR_NOTPARADOX);
  EXPECT_EQ(TURebuildTable(session_, Table("GONE.DB").c_str(), "PARADOX", "Backup.Db", "KEYVIOL.DB",
                           "PROBLEM.DB", &d.desc),
            DBIERR_NOSUCHTABLE);

  // Nothing was written: the record keeps its bytes, and no file appeared or changed.
  for (size_t i = 0; i < sizeof props; ++i)
    ASSERT_EQ(reinterpret_cast<uint8_t*>(&props)[i], 0xAB) << i;
  fs::remove(Table("TEXT.DB"));
  fs::remove(Table("SHORT.DB"));
  EXPECT_EQ(Snapshot(dir_.path()), before);
}

TEST_F(TUtilArgs, BackslashesSeparateFoldersToo) {
  const std::string t = WritePlain();
  std::string windowsStyle = t;
  for (char& c : windowsStyle) {
    if (c == '/') c = '\\';
  }
  CURProps props;
  EXPECT_EQ(TUFillCURProps(session_, windowsStyle.c_str(), &props), DBIERR_NONE);
  EXPECT_EQ(+props.iFields, 3);
}

TEST_F(TUtilArgs, AnotherLetterCaseFindsTheTableByAsciiLettersOnly) {
  // "Zamówienia" in code page 1250 (ó is 0xF3, Ó is 0xD3, as in ISO 8859-2).
  WritePlain("Zam\xF3wienia.DB");
  // Under a locale of that code page the C library folds Ó to ó; which file opens must not
  // depend on the locale the program runs in.
  const char* previous = setlocale(LC_CTYPE, nullptr);
  const std::string restore = previous != nullptr ? previous : "C";
  const char* latin2 = setlocale(LC_CTYPE, "pl_PL.ISO-8859-2");
  SCOPED_TRACE(latin2 != nullptr ? latin2 : "no ISO 8859-2 locale here: the C locale");
  CURProps props;
  EXPECT_EQ(TUFillCURProps(session_, Table("zam\xF3WIENIA.db").c_str(), &props), DBIERR_NONE);
  EXPECT_EQ(TUFillCURProps(session_, Table("ZAM\xD3WIENIA.DB").c_str(), &props),
            DBIERR_NOSUCHTABLE);
  setlocale(LC_CTYPE, restore.c_str());
}

TEST_F(TUtilArgs, OtherTableTypesAndBadTableNamesAreRefused) {
  const std::string t = WritePlain();
  const auto before = Snapshot(dir_.path());
  int32_t verdict = -7;
  EXPECT_EQ(TUVerifyTable(session_, t.c_str(), "DBASE", "VERIFY.DB", nullptr, 0, &verdict),
            DBIERR_UNKNOWNTBLTYPE);
  EXPECT_EQ(TUVerifyTable(session_, t.c_str(), "PARADOX", "../VERIFY.DB", nullptr, 0, &verdict),
            DBIERR_INVALIDPARAM);
  EXPECT_EQ(TUVerifyTable(session_, t.c_str(), "PARADOX", "", nullptr, 0, &verdict),
            DBIERR_INVALIDPARAM);
  EXPECT_EQ(verdict, -7);
  Descriptor d;
  ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
  EXPECT_EQ(TURebuildTable(session_, t.c_str(), "ASCII", "Backup.Db", "KEYVIOL.DB", "PROBLEM.DB",
                           &d.desc),
            DBIERR_UNKNOWNTBLTYPE);
  EXPECT_EQ(TURebuildTable(session_, t.c_str(), "PARADOX", "a/Backup.Db", "KEYVIOL.DB",
                           "PROBLEM.DB", &d.desc),
            DBIERR_INVALIDPARAM);
  EXPECT_EQ(
      TURebuildTable(session_, t.c_str(), "PARADOX", "Backup.Db", "..", "PROBLEM.DB", &d.desc),
      DBIERR_INVALIDPARAM);
  std::strcpy(d.desc.szTblType, "DBASE");
  EXPECT_EQ(TURebuildTable(session_, t.c_str(), "PARADOX", "Backup.Db", "KEYVIOL.DB", "PROBLEM.DB",
                           &d.desc),
            DBIERR_UNKNOWNTBLTYPE);
  EXPECT_EQ(Snapshot(dir_.path()), before);
}

TEST_F(TUtilArgs, LockedTableIsNotRebuilt) {
  const std::string t = WriteCustomers();
  Descriptor d;
  ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
  std::ofstream(tables_ / "PDOXUSRS.LCK") << "lock";
  const auto before = Snapshot(dir_.path());
  EXPECT_EQ(TURebuildTable(session_, t.c_str(), "PARADOX", "Backup.Db", "KEYVIOL.DB", "PROBLEM.DB",
                           &d.desc),
            DBIERR_LOCKED);
  EXPECT_EQ(ContextEntries().at(0), "Plik: " + t);
  EXPECT_EQ(Snapshot(dir_.path()), before);
}

// The library's words that its English messages are made of; none may reach a box.
bool SpeaksEnglish(std::string text, const std::string& folder) {
  for (size_t at; (at = text.find(folder)) != std::string::npos;) text.erase(at, folder.size());
  for (const char* word : {"cannot", "file", "table", "rebuild", "such", "lock", "header", "field",
                           "bytes", "exist", "another", "directory", "the "}) {
    if (text.find(word) != std::string::npos) return true;
  }
  return false;
}

// Each failure's detail line, past the file's line, in the window's language: the
// library's own sentences, its file operations with the system's cause, and (for what
// has no sentence here) the kind of failure.
TEST_F(TUtilArgs, FailuresAreExplainedInPolish) {
  const std::string t = WriteCustomers();
  Descriptor d;
  ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
  const std::string folder = tables_.string();
  auto rebuild = [&] {
    return TURebuildTable(session_, t.c_str(), "PARADOX", "Backup.Db", "KEYVIOL.DB", "PROBLEM.DB",
                          &d.desc);
  };
  auto detail = [&](const char* expect) {
    const auto context = ContextEntries();
    ASSERT_EQ(context.size(), 2u);
    EXPECT_NE(context[1].find(expect), std::string::npos) << context[1];
    EXPECT_FALSE(SpeaksEnglish(context[1], folder)) << context[1];
  };
  {
    std::ofstream(tables_ / "PDOXUSRS.LCK") << "lock";
    EXPECT_EQ(rebuild(), DBIERR_LOCKED);
    detail("może być używana (w folderze jest plik blokady PDOXUSRS.LCK)");
    fs::remove(tables_ / "PDOXUSRS.LCK");
  }
  {
    // A file where the repair folders' root belongs: the folder cannot be made.
    std::ofstream(paradox::RepairFolderRoot(t)) << "x";
    EXPECT_EQ(rebuild(), DBIERR_WRITEERR);
    detail("nie można utworzyć folderu naprawy obok CUSTOMER.DB: utworzenie folderu ");
    fs::remove(paradox::RepairFolderRoot(t));
  }
  {
    // A table whose whole header is lost and that no family member describes.
    const std::string bad = WritePlain("BAD.DB");
    std::fstream f(bad, std::ios::in | std::ios::out | std::ios::binary);
    f.write(std::string(0x800, '\0').data(), 0x800);
    f.close();
    CURProps props;
    EXPECT_EQ(TUFillCURProps(session_, bad.c_str(), &props), DBIERR_CORRUPTHEADER);
    detail("plik jest uszkodzony");
  }
  EXPECT_EQ(rebuild(), DBIERR_NONE);
}

}  // namespace
}  // namespace tutiltest

namespace tutiltest {
namespace {

// Another process holding `file` with the given lock until the guard ends.
class LockingProcess {
 public:
  enum Kind { kSharedRecordLock, kExclusiveFlock, kSharedFlock };
  LockingProcess(const std::string& file, Kind kind) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(file.c_str(), O_RDONLY);
      struct flock fl;
      std::memset(&fl, 0, sizeof fl);
      fl.l_type = F_RDLCK;
      fl.l_whence = SEEK_SET;
      const bool locked = kind == kSharedRecordLock ? fcntl(fd, F_SETLK, &fl) == 0
                          : kind == kExclusiveFlock ? flock(fd, LOCK_EX) == 0
                                                    : flock(fd, LOCK_SH) == 0;
      const char answer = locked ? 'y' : 'n';
      (void)!write(ready[1], &answer, 1);
      pause();
      _exit(0);
    }
    close(ready[1]);
    char answer = 'n';
    locked_ = pid_ > 0 && read(ready[0], &answer, 1) == 1 && answer == 'y';
    close(ready[0]);
  }
  ~LockingProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool locked() const { return locked_; }

 private:
  pid_t pid_ = -1;
  bool locked_ = false;
};

TEST_F(TUtilArgs, TableHeldByAReaderOrAnFlockIsNotRebuilt) {
  const std::string t = WriteCustomers();
  Descriptor d;
  ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
  const auto before = Snapshot(dir_.path());
  for (auto kind : {LockingProcess::kSharedRecordLock, LockingProcess::kExclusiveFlock,
                    LockingProcess::kSharedFlock}) {
    LockingProcess holder(t, kind);
    ASSERT_TRUE(holder.locked()) << "lock kind " << kind;
    EXPECT_EQ(TURebuildTable(session_, t.c_str(), "PARADOX", "Backup.Db", "KEYVIOL.DB",
                             "PROBLEM.DB", &d.desc),
              DBIERR_LOCKED)
        << "lock kind " << kind;
    const auto context = ContextEntries();
    ASSERT_EQ(context.size(), 2u);
    EXPECT_NE(context[1].find("inny program blokuje plik"), std::string::npos) << context[1];
    EXPECT_EQ(Snapshot(dir_.path()), before);
  }
  // Once the holder is gone the same rebuild goes ahead.
  EXPECT_EQ(TURebuildTable(session_, t.c_str(), "PARADOX", "Backup.Db", "KEYVIOL.DB", "PROBLEM.DB",
                           &d.desc),
            DBIERR_NONE);
}

}  // namespace
}  // namespace tutiltest

namespace tutiltest {
namespace {

TEST_F(TUtilArgs, AuxiliaryTablesOfOneNameAreRefusedBeforeAnythingIsWritten) {
  const std::string t = WriteCustomers();
  Descriptor d;
  ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
  const auto before = Snapshot(dir_.path());
  EXPECT_EQ(
      TURebuildTable(session_, t.c_str(), "PARADOX", "Same.DB", "same.db", "PROBLEM.DB", &d.desc),
      DBIERR_INVALIDPARAM);
  EXPECT_EQ(
      TURebuildTable(session_, t.c_str(), "PARADOX", "Backup.Db", "KEYVIOL.DB", "Rebuild", &d.desc),
      DBIERR_INVALIDPARAM);  // the descriptor names the report table "Rebuild.DB"
  EXPECT_EQ(ContextEntries().at(0), "Plik: " + t);
  // Long names make the detail longer than an entry holds: it is cut between letters,
  // wherever the cut falls among two-byte ones.
  for (const std::string& head : {std::string(), std::string("x")}) {
    std::string longName = head;
    for (int i = 0; i < 60; ++i) longName += "\xC5\xBB";  // 'Ż'
    longName += ".DB";
    EXPECT_EQ(TURebuildTable(session_, t.c_str(), "PARADOX", longName.c_str(), longName.c_str(),
                             "PROBLEM.DB", &d.desc),
              DBIERR_INVALIDPARAM);
    const auto context = ContextEntries();
    ASSERT_EQ(context.size(), 2u);
    const std::string& detail = context[1];
    EXPECT_EQ(detail.rfind("tabele kopii, naruszeń klucza, problemów i raportu", 0), 0u) << detail;
    EXPECT_LE(detail.size(), static_cast<size_t>(DBIMAXMSGLEN));
    // Every lead byte has all its continuation bytes.
    for (size_t i = 0; i < detail.size();) {
      const auto lead = static_cast<unsigned char>(detail[i]);
      const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
      ASSERT_NE(lead & 0xC0, 0x80) << i;
      ASSERT_LE(i + length, detail.size()) << detail;
      for (size_t k = 1; k < length; ++k)
        ASSERT_EQ(static_cast<unsigned char>(detail[i + k]) & 0xC0, 0x80) << i;
      i += length;
    }
  }
  EXPECT_EQ(Snapshot(dir_.path()), before);
  EXPECT_FALSE(fs::exists(tables_ / "CUSTOMER.rekasto"));
}

}  // namespace
}  // namespace tutiltest

namespace tutiltest {
namespace {

TEST_F(TUtilArgs, LocationsOf260CharactersWorkAnd261AreRefused) {
  // Two folders so that no single name exceeds what the file system allows.
  const std::string base = tables_.string() + "/";
  for (size_t length : {size_t(260), size_t(261)}) {
    const size_t folders = length - base.size() - std::string("/P.DB").size();
    const fs::path sub = tables_ / std::string(folders / 2, 'a') /
                         std::string(folders - folders / 2 - 1, char('b' + (length & 1)));
    fs::create_directories(sub);
    const std::string t = WritePlain((fs::relative(sub, tables_) / "P.DB").string());
    ASSERT_EQ(t.size(), length);
    std::string windowsStyle = t;
    for (char& c : windowsStyle) {
      if (c == '/') c = '\\';
    }
    for (const std::string& location : {t, windowsStyle}) {
      CURProps props;
      int32_t verdict = -1;
      if (length == 260) {
        EXPECT_EQ(TUFillCURProps(session_, location.c_str(), &props), DBIERR_NONE);
        EXPECT_EQ(std::string(props.szName), location);
        EXPECT_EQ(
            TUVerifyTable(session_, location.c_str(), "PARADOX", "VERIFY.DB", nullptr, 0, &verdict),
            DBIERR_NONE);
        EXPECT_EQ(verdict, 0);
      } else {
        std::memset(&props, 0x5A, sizeof props);
        EXPECT_EQ(TUFillCURProps(session_, location.c_str(), &props), DBIERR_PATHTOOLONG);
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(&props)[0], 0x5A);
        EXPECT_EQ(
            TUVerifyTable(session_, location.c_str(), "PARADOX", "VERIFY.DB", nullptr, 0, &verdict),
            DBIERR_PATHTOOLONG);
        EXPECT_EQ(verdict, -1);
      }
    }
  }
}

}  // namespace
}  // namespace tutiltest

namespace tutiltest {
namespace {

// A location the file system refuses to look up is not reported as a missing table.
TEST_F(TUtilArgs, UnreachableLocationsAreNotCalledMissing) {
  CURProps props;
  // 260 characters, but one name of them is longer than a file system allows.
  const std::string overlong = std::string(257, 'x') + ".DB";
  EXPECT_EQ(TUFillCURProps(session_, overlong.c_str(), &props), DBIERR_PATHTOOLONG);
  EXPECT_EQ(TUFillCURProps(session_, (std::string(250, 'x') + "/T.DB").c_str(), &props),
            DBIERR_DIRNOTFOUND);  // a folder name of a length the system allows is just absent
}

TEST_F(TUtilArgs, TableInAClosedFolderIsRefusedAsNoAccess) {
  CURProps props;
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  fs::create_directories(tables_ / "closed");
  const std::string t = WritePlain("closed/P.DB");
  fs::permissions(tables_ / "closed", fs::perms::none);
  EXPECT_EQ(TUFillCURProps(session_, t.c_str(), &props), DBIERR_NOACCESS);
  EXPECT_EQ(ContextEntries().at(0), "Plik: " + t);
  fs::permissions(tables_ / "closed", fs::perms::owner_all);
}

}  // namespace
}  // namespace tutiltest

namespace tutiltest {
namespace {

// I/O errors are classified by their cause, not by words of the message: the message
// holds the path, and a table under ~/workspace/ is not on a full disk for that.
TEST(TUtilCodes, IOErrorsAreClassifiedByTheirCause) {
  using paradox::Status;
  struct Case {
    Status status;
    DBIResult reading, writing;
  };
  const Case cases[] = {
      {Status::IOError("open /home/u/workspace/T.DB: Permission denied", ENOSPC), DBIERR_DISKFULL,
       DBIERR_DISKFULL},
      {Status::IOError("write /home/u/workspace/T.DB: No space left", EACCES), DBIERR_NOACCESS,
       DBIERR_NOACCESS},
      {Status::IOError("rename /mnt/read-only/T.DB", EPERM), DBIERR_NOACCESS, DBIERR_NOACCESS},
      {Status::IOError("sync /space/T.DB", EROFS), DBIERR_NOACCESS, DBIERR_NOACCESS},
      {Status::IOError("read /space/Permission denied/read-only/T.DB", EIO), DBIERR_READERR,
       DBIERR_WRITEERR},
      {Status::IOError("injected: no space left, permission denied"), DBIERR_READERR,
       DBIERR_WRITEERR},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tutil::CodeFor(c.status, false), c.reading) << c.status.ToString();
    EXPECT_EQ(tutil::CodeFor(c.status, true), c.writing) << c.status.ToString();
  }
}

}  // namespace
}  // namespace tutiltest
