// libFuzzer target: one input = one table family (family_input.h; an input without the
// container marker is a lone .DB). The family is put on an in-memory file system, the
// .DB is read by the strict table reader (every record decoded), every other member by
// the reader that owns its format (X/XG through the table reader, .PX/Y/YG as index
// trees, the .MB block by block), and the whole family is checked by VerifyTable.
// Nothing may crash, hang, read out of bounds or trip a sanitizer.
#include <cstddef>
#include <cstdint>

#include "family_input.h"
#include "paradox/format/blob.h"
#include "paradox/format/file.h"
#include "paradox/format/index.h"
#include "paradox/format/reader.h"
#include "paradox/verify/verifier.h"

#ifdef REKASTO_FUZZ_MUTATOR
#include "family_mutator.h"
#endif

namespace {

void ReadAllRecords(paradox::FileSystem* fs, const std::string& path) {
  auto reader = paradox::TableReader::Open(fs, path);
  if (!reader.ok()) return;
  auto cursor = reader.value()->Records();
  for (int n = 0; n < 100000 && cursor.Next(); ++n) (void)cursor.Decode();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<fuzzfam::Member> members = fuzzfam::Split(data, size);
  paradox::MemFileSystem fs;
  const std::string db = fuzzfam::Install(fs, members);
  if (db.empty()) return 0;
  ReadAllRecords(&fs, db);

  uint32_t key = 0;
  if (auto h = paradox::ReadHeader(&fs, db); h.ok()) key = h->EncryptionKey();
  for (const fuzzfam::Member& m : members) {
    const std::string ext = fuzzfam::UpperExt(m.ext);
    const std::string path = fuzzfam::MemberPath(m.ext);
    if (ext == "PX" || ext[0] == 'Y') {
      (void)paradox::IndexFile::Open(&fs, path);
    } else if (ext[0] == 'X') {
      ReadAllRecords(&fs, path);
    } else if (ext == "MB") {
      auto mb = paradox::BlobFile::Open(&fs, path, key);
      if (mb.ok()) (void)mb.value()->Scan();
    }
  }

  paradox::VerifyOptions options;
  options.fs = &fs;
  options.maxFindings = 50;
  paradox::VerifyReport report = paradox::VerifyTable(db, options);
  (void)report;
  return 0;
}
