// The outcome text each session keeps (TUGetLastOutcome): the reason of every kind of
// failure, the counts after a verification, the repair folder after a rebuild.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>

#include "Facts.h"
#include "ReadOnlyFolder.h"
#include "TUtilInternal.h"
#include "TUtilTestSupport.h"

namespace tutiltest {
namespace {

class TUtilOutcome : public TUtilTest {
 protected:
  std::string Outcome(hTUses h = 0) {
    char text[TU_OUTCOME_SPACE];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(TUGetLastOutcome(h ? h : session_, text, sizeof text), DBIERR_NONE);
    return text;
  }
  DBIResult Verify(const std::string& t, int32_t* verdict) {
    return TUVerifyTable(session_, t.c_str(), "PARADOX", "VERIFY.DB", nullptr, 0, verdict);
  }
  DBIResult Rebuild(const std::string& t, Descriptor* d) {
    return TURebuildTable(session_, t.c_str(), "PARADOX", "Backup.Db", "KEYVIOL.DB", "PROBLEM.DB",
                          &d->desc);
  }
};

TEST_F(TUtilOutcome, EachFailureOfATableGivesItsReason) {
  const std::string keyed = WriteCustomers();
  std::ofstream(Table("TEXT.DB")) << std::string(200, 't');
  struct Case {
    std::string location;
    DBIResult code;
    std::string text;
  };
  const Case cases[] = {
      {"", DBIERR_NOSUCHTABLE, "Nie można sprawdzić tabeli: nie wybrano tabeli."},
      {Table("TEXT.DB"), DBIERR_NOTPARADOX,
       "Nie można sprawdzić tabeli: plik nie jest tabelą Paradox (" + Table("TEXT.DB") + ")."},
      {Table("GONE.DB"), DBIERR_NOSUCHTABLE,
       "Nie można sprawdzić tabeli: nie ma takiego pliku tabeli (" + Table("GONE.DB") + ")."},
      {(tables_ / "nowhere" / "T.DB").string(), DBIERR_DIRNOTFOUND,
       "Nie można sprawdzić tabeli: folder tabeli nie istnieje (" +
           (tables_ / "nowhere" / "T.DB").string() + ")."},
      {"/" + std::string(300, 'x') + ".DB", DBIERR_PATHTOOLONG,
       "Nie można sprawdzić tabeli: ścieżka tabeli jest dłuższa niż 260 znaków."},
  };
  for (const Case& c : cases) {
    int32_t verdict = -7;
    EXPECT_EQ(Verify(c.location, &verdict), c.code) << c.location;
    EXPECT_EQ(verdict, -7) << "a refused file gets no verdict";
    EXPECT_EQ(Outcome(), c.text);
  }
  // The same reason, named for the step that failed.
  CURProps props;
  EXPECT_EQ(TUFillCURProps(session_, Table("TEXT.DB").c_str(), &props), DBIERR_NOTPARADOX);
  EXPECT_EQ(Outcome(), "Nie można odczytać właściwości tabeli: plik nie jest tabelą Paradox (" +
                           Table("TEXT.DB") + ").");
  Descriptor d;
  EXPECT_EQ(d.Prepare(session_, Table("TEXT.DB")), DBIERR_NOTPARADOX);
  EXPECT_EQ(Outcome(), "Nie można odczytać struktury tabeli: plik nie jest tabelą Paradox (" +
                           Table("TEXT.DB") + ").");
  ASSERT_EQ(d.Fill(session_, keyed), DBIERR_NONE);
  EXPECT_EQ(Outcome(), "Struktura tabeli odczytana.");
  EXPECT_EQ(Rebuild(Table("TEXT.DB"), &d), DBIERR_NOTPARADOX);
  EXPECT_EQ(Outcome(), "Nie można przebudować tabeli: plik nie jest tabelą Paradox (" +
                           Table("TEXT.DB") + ").");
}

// A header zeroed whole: with nothing beside the table to give its structure, the reason
// says how to go on; after a rebuild (whose repair folder keeps a sound backup) the
// descriptor is filled from that backup by itself.
TEST_F(TUtilOutcome, ADamagedHeaderIsFilledFromAnEarlierBackupOrSaysHowToGoOn) {
  const std::string t = WriteCustomers("DAMAGED.DB");
  auto zeroHeader = [&t] {
    std::fstream f(t, std::ios::in | std::ios::out | std::ios::binary);
    uint8_t size[4] = {};
    f.read(reinterpret_cast<char*>(size), 4);
    f.seekp(0);
    const std::string zeros(size_t(size[2] | size[3] << 8), '\0');
    f.write(zeros.data(), std::streamsize(zeros.size()));
  };
  std::ifstream in(t, std::ios::binary);
  const std::string healthy((std::istreambuf_iterator<char>(in)), {});
  in.close();
  zeroHeader();
  Descriptor d;
  EXPECT_EQ(d.Prepare(session_, t), DBIERR_CORRUPTHEADER);
  const std::string reason = Outcome();
  EXPECT_EQ(reason.rfind("Nie można odczytać struktury tabeli: nagłówek tabeli jest uszkodzony", 0),
            0u)
      << reason;
  EXPECT_NE(reason.find("rekasto infer-structure"), std::string::npos) << reason;
  EXPECT_NE(reason.find("rekasto rebuild --structure-from="), std::string::npos) << reason;

  std::ofstream(t, std::ios::binary | std::ios::trunc) << healthy;
  Descriptor sound;
  ASSERT_EQ(sound.Fill(session_, t), DBIERR_NONE);
  ASSERT_EQ(Rebuild(t, &sound), DBIERR_NONE) << Outcome();
  zeroHeader();
  Descriptor found;
  ASSERT_EQ(found.Fill(session_, t), DBIERR_NONE) << Outcome();
  EXPECT_EQ(found.desc.iFldCount, 5);
  ASSERT_EQ(Rebuild(t, &found), DBIERR_NONE) << Outcome();
  auto header = paradox::ReadHeader(paradox::DefaultFileSystem(), t);
  ASSERT_TRUE(header.ok());
  EXPECT_EQ(header->fixed.numRecords, 60u);
  EXPECT_EQ(header->CodePage(), 1252);
}

TEST_F(TUtilOutcome, ATableHeldByAnotherProgramIsNamedAsSuch) {
  const std::string t = WriteCustomers();
  Descriptor d;
  ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
  std::ofstream(Table("PARADOX.LCK")) << "lock";
  EXPECT_EQ(Rebuild(t, &d), DBIERR_LOCKED);
  const std::string text = Outcome();
  EXPECT_EQ(text.rfind("Nie można przebudować tabeli: tabela jest używana przez inny program (", 0),
            0u)
      << text;
  EXPECT_EQ(text,
            "Nie można przebudować tabeli: tabela jest używana przez inny program (plik blokady "
            "PARADOX.LCK w folderze tabeli).");
  fs::remove(Table("PARADOX.LCK"));
  // A lock another process holds on a member of the family.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    const int fd = open(Table("CUSTOMER.PX").c_str(), O_RDONLY);
    const char answer = fd >= 0 && flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
    (void)!write(ready[1], &answer, 1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char answer = 'n';
  ASSERT_EQ(read(ready[0], &answer, 1), 1);
  close(ready[0]);
  const DBIResult r = Rebuild(t, &d);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  ASSERT_EQ(answer, 'y');
  EXPECT_EQ(r, DBIERR_LOCKED);
  EXPECT_EQ(Outcome(),
            "Nie można przebudować tabeli: tabela jest używana przez inny program (blokada na "
            "pliku CUSTOMER.PX).");
}

TEST_F(TUtilOutcome, VerificationCountsAndWhereTheFindingsLie) {
  const std::string t = WriteCustomers();
  int32_t verdict = -1;
  ASSERT_EQ(Verify(t, &verdict), DBIERR_NONE);
  ASSERT_EQ(verdict, 0);
  const std::string findings = (tables_ / "CUSTOMER.rekasto" / "VERIFY.DB").string();
  EXPECT_EQ(Outcome(), "Błędy: 0, ostrzeżenia: 0 (tabela jest poprawna). Wyniki sprawdzenia: " +
                           findings + ".");
  // A record count that lies: errors a rebuild repairs.
  {
    std::fstream f(t, std::ios::in | std::ios::out | std::ios::binary);
    const char bytes[4] = {char(0xE7), 3, 0, 0};  // 999
    f.seekp(0x06);
    f.write(bytes, 4);
  }
  ASSERT_EQ(Verify(t, &verdict), DBIERR_NONE);
  ASSERT_EQ(verdict, 1);
  const std::string text = Outcome();
  EXPECT_EQ(text.rfind("Błędy: ", 0), 0u) << text;
  EXPECT_EQ(text.find("Błędy: 0,"), std::string::npos) << text;
  EXPECT_NE(text.find("(przebudowa je naprawi). Wyniki sprawdzenia: " + findings + "."),
            std::string::npos)
      << text;
}

TEST_F(TUtilOutcome, RebuildNamesItsRepairFolderAndWhatWasSetAside) {
  const std::string t = WriteCustomers("CUSTOMER.DB", 30);
  Descriptor d;
  ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
  ASSERT_EQ(Rebuild(t, &d), DBIERR_NONE);
  const std::string text = Outcome();
  const std::string head =
      "Zachowane rekordy: 30, odłożone do KEYVIOL.DB: 0, do PROBLEM.DB: 0. Kopia oryginału i "
      "raporty: ";
  ASSERT_EQ(text.rfind(head, 0), 0u) << text;
  ASSERT_EQ(text.back(), '.');
  const fs::path folder = text.substr(head.size(), text.size() - head.size() - 1);
  EXPECT_EQ(folder.parent_path(), tables_ / "CUSTOMER.rekasto") << text;
  EXPECT_TRUE(fs::exists(folder / "Backup.Db")) << text;

  // A block of random bytes (its header kept): its records are problems, and the text
  // says how many of them the table's own data showed to be garbage.
  const std::string g = WriteCustomers("GARBAGE.DB", 60);
  {
    std::fstream f(g, std::ios::in | std::ios::out | std::ios::binary);
    char head[4];
    f.read(head, 4);
    const unsigned hs = uint8_t(head[2]) | uint8_t(head[3]) << 8;
    f.seekp(hs + 2048 + 6);  // block 2, after its header
    uint32_t x = 12345;
    for (int i = 6; i < 2048; ++i) {
      x = x * 1103515245u + 12345u;
      f.put(char(x >> 23));
    }
  }
  Descriptor dg;
  ASSERT_EQ(dg.Fill(session_, g), DBIERR_NONE);
  ASSERT_EQ(Rebuild(g, &dg), DBIERR_NONE);
  const std::string garbage = Outcome();
  EXPECT_NE(garbage.find(" (w tym niepodobnych do danych tabeli: "), std::string::npos) << garbage;
  EXPECT_EQ(garbage.find("Zachowane rekordy: 60,"), std::string::npos) << garbage;
}

TEST_F(TUtilOutcome, EachSessionKeepsItsOwnTextAndReadingItChangesNothing) {
  const std::string t = WriteCustomers();
  hTUses other = 0;
  ASSERT_EQ(TUInit(&other), DBIERR_NONE);
  EXPECT_EQ(Outcome(other), "");
  int32_t verdict = -1;
  ASSERT_EQ(TUVerifyTable(other, "", "PARADOX", "VERIFY.DB", nullptr, 0, &verdict),
            DBIERR_NOSUCHTABLE);
  const auto context = ContextEntries();
  CURProps props;
  ASSERT_EQ(TUFillCURProps(session_, t.c_str(), &props), DBIERR_NONE);
  EXPECT_EQ(Outcome(), "Właściwości tabeli odczytane.");
  EXPECT_EQ(Outcome(other), "Nie można sprawdzić tabeli: nie wybrano tabeli.");
  EXPECT_EQ(Outcome(other), "Nie można sprawdzić tabeli: nie wybrano tabeli.");
  EXPECT_EQ(ContextEntries(), context) << "reading the text leaves the engine's context alone";
  ASSERT_EQ(TUExit(other), DBIERR_NONE);
  char text[8];
  EXPECT_EQ(TUGetLastOutcome(other, text, sizeof text), DBIERR_INVALIDHNDL);
  // A new session starts with no text, whatever handle it gets.
  ASSERT_EQ(TUInit(&other), DBIERR_NONE);
  EXPECT_EQ(Outcome(other), "");
  ASSERT_EQ(TUExit(other), DBIERR_NONE);
}

TEST_F(TUtilOutcome, AShortBufferNeverEndsInHalfALetter) {
  int32_t verdict = 0;
  ASSERT_EQ(Verify("", &verdict), DBIERR_NOSUCHTABLE);
  const std::string whole = Outcome();
  // "Nie można": 'ż' takes bytes 6 and 7; a buffer of 8 holds 7 bytes, one of them half 'ż'.
  for (uint32_t size = 1; size <= whole.size() + 1; ++size) {
    std::vector<char> buffer(size, 'x');
    ASSERT_EQ(TUGetLastOutcome(session_, buffer.data(), size), DBIERR_NONE);
    const std::string got(buffer.data());
    ASSERT_LT(got.size(), size);
    EXPECT_EQ(whole.rfind(got, 0), 0u);
    // The next byte of the whole text starts a character (or the text is complete).
    if (got.size() < whole.size()) {
      EXPECT_NE(static_cast<unsigned char>(whole[got.size()]) & 0xC0, 0x80) << size;
    }
  }
}

TEST_F(TUtilOutcome, ARebuildInAFolderThatCannotBeWrittenSaysSo) {
  fs::create_directories(tables_ / "ro");
  const std::string t = WriteCustomers("ro/CUSTOMER.DB", 20);
  Descriptor d;
  ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
  ReadOnlyFolder readOnly(tables_ / "ro");
  if (!readOnly.ok()) GTEST_SKIP() << "cannot make a folder read-only here";
  EXPECT_EQ(Rebuild(t, &d), DBIERR_NOACCESS);
  EXPECT_EQ(Outcome(), "Nie można przebudować tabeli: brak dostępu do zapisu w folderze " +
                           (tables_ / "ro").string() + ".");
}

// The cause comes from the status's errno, never from its words: a message that says
// "Permission denied" on a full disk is a full disk.
TEST(TUtilOutcomeText, WriteFailuresAreExplainedByTheirCause) {
  using paradox::Status;
  struct Case {
    Status status;
    std::string text;
  };
  const Case cases[] = {
      {Status::IOError("write /d/T.DB: Permission denied", ENOSPC),
       "Nie można przebudować tabeli: brak miejsca na dysku w folderze /d."},
      {Status::IOError("rename /d/T.DB: No space left", EACCES),
       "Nie można przebudować tabeli: brak dostępu do zapisu w folderze /d."},
      {Status::IOError("sync /d/T.DB", EROFS),
       "Nie można przebudować tabeli: brak dostępu do zapisu w folderze /d."},
      {Status::IOError("disk full, permission denied", EIO),
       "Nie można przebudować tabeli: błąd zapisu w folderze /d."},
      {Status::Busy("PDOXUSRS.LCK in /d"),
       "Nie można przebudować tabeli: tabela jest używana przez inny program."},
      {Status::Corruption("no field descriptors"),
       "Nie można przebudować tabeli: tabela jest zbyt uszkodzona, by odtworzyć jej strukturę "
       "(/d/T.DB)."},
  };
  for (const Case& c : cases) {
    tutil::Failure caught;
    const DBIResult code = tutil::AtBoundary(
        [&]() -> DBIResult { tutil::FailWith(c.status, "/d/T.DB", true); }, &caught);
    EXPECT_EQ(code, tutil::CodeFor(c.status, true));
    EXPECT_EQ(tutil::FailureText(tutil::Step::kRebuild, caught, "/d/T.DB"), c.text)
        << c.status.ToString();
  }
  // Read access refused names the file, not a folder.
  tutil::Failure reading{DBIERR_NOACCESS, "/d/T.DB", "permission denied"};
  EXPECT_EQ(tutil::FailureText(tutil::Step::kVerify, reading, "/d/T.DB"),
            "Nie można sprawdzić tabeli: brak dostępu do odczytu pliku /d/T.DB.");
}

TEST_F(TUtilOutcome, AClosedTableFolderIsRefusedForReading) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  fs::create_directories(tables_ / "closed");
  const std::string t = WritePlain("closed/P.DB");
  fs::permissions(tables_ / "closed", fs::perms::none);
  int32_t verdict = 0;
  EXPECT_EQ(Verify(t, &verdict), DBIERR_NOACCESS);
  fs::permissions(tables_ / "closed", fs::perms::owner_all);
  EXPECT_EQ(Outcome(), "Nie można sprawdzić tabeli: brak dostępu do odczytu pliku " + t + ".");
}

}  // namespace
}  // namespace tutiltest
