// libFuzzer target over `rekasto export`: one input = one table family (family_input.h),
// put on an in-memory file system and exported by the command itself into an in-memory
// SQLite database (the streaming salvage, each record fetched from the files, decoded and
// rendered, the key and secondary indexes created). Properties (a failure aborts, so the
// fuzzer keeps the input):
//   (a) the export fails only where the tool refuses the file (not a table file by its
//       first bytes: TablePathStatus) or the salvage cannot read the table: whatever
//       the salvage recovers, SQLite takes (column names, values, indexes);
//   (b) a family that verifies clean exports with exit 0: nothing left out or repaired;
//   (c) the export changes none of the family's files.
// Beyond these, nothing may crash, hang or trip a sanitizer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "family_input.h"
#include "paradox/format/family.h"
#include "paradox/format/file.h"
#include "paradox/repair/salvage.h"
#include "paradox/verify/verifier.h"

#ifdef REKASTO_FUZZ_MUTATOR
#include "family_mutator.h"
#endif

namespace {

[[noreturn]] void PropertyFailed(const char* property, const std::string& detail,
                                 const std::string& err) {
  std::fprintf(stderr, "fuzz_export: property %s failed: %s\nexport said:\n%s\n", property,
               detail.c_str(), err.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<fuzzfam::Member> members = fuzzfam::Split(data, size);
  paradox::MemFileSystem fs;
  const std::string db = fuzzfam::Install(fs, members);
  if (db.empty()) return 0;

  std::ostringstream out, err;
  rekasto::Io io{out, err, &fs, false};
  // ":memory:" names no file: the database lives and dies inside the command.
  const int rc = rekasto::RunCli({"export", "--sqlite", ":memory:", db}, io);
  if (std::getenv("FUZZ_EXPORT_VERBOSE"))
    std::fprintf(stderr, "exit %d\n%s", rc, err.str().c_str());

  // (c)
  for (const fuzzfam::Member& m : members) {
    const paradox::Bytes* now = fs.Contents(fuzzfam::MemberPath(m.ext));
    if (!now || *now != m.data) PropertyFailed("(c)", "export changed " + m.ext, err.str());
  }
  if (rc == rekasto::kExitFailed) {
    // (a)
    if (!rekasto::TablePathStatus(db, &fs).ok()) return 0;
    auto fam = paradox::FindFamily(&fs, db);
    if (fam.ok() && paradox::SalvageTable(&fs, *fam).ok())
      PropertyFailed("(a)", "the salvage reads the table but the export failed", err.str());
    return 0;
  }
  if (rc != rekasto::kExitOk) {
    // (b)
    paradox::VerifyOptions vo;
    vo.fs = &fs;
    vo.maxFindings = 50;
    const paradox::VerifyReport report = paradox::VerifyTable(db, vo);
    if (report.verdict == paradox::Verdict::kClean)
      PropertyFailed("(b)", "the family verifies clean but exports with exit " + std::to_string(rc),
                     err.str());
  }
  return 0;
}
