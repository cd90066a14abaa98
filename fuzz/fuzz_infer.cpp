// libFuzzer target: one input = one table family (family_input.h; an input without the
// container marker is a lone .DB). The .DB's header is damaged the way a crash or a bad
// copy damages it - chosen by the input's last byte: left as it is, every field-type
// byte 0xFF, the first 0x78 bytes zeroed, or the whole first 2048 bytes zeroed - and the
// structure is inferred from the data blocks. A structure found must describe a table
// the writer makes: its template is written and read back with the same fields.
// Nothing may crash, hang, allocate without bound or trip a sanitizer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "family_input.h"
#include "paradox/format/file.h"
#include "paradox/format/header_file.h"
#include "paradox/repair/structure_inference.h"

#ifdef REKASTO_FUZZ_MUTATOR
#include "family_mutator.h"
#endif

namespace {

void DamageHeader(paradox::MemFileSystem& fs, const std::string& db, uint8_t how) {
  auto bytes = fs.ReadFile(db, uint64_t{1} << 24);
  if (!bytes.ok()) return;
  paradox::Bytes b = std::move(bytes).value();
  switch (how % 4) {
    case 1: {
      auto h = paradox::DecodeTableHeader(paradox::ByteSpan(b));
      if (!h.ok()) return;
      const size_t base = paradox::DescriptorsOffset(h->hasExtension);
      for (size_t i = 0; i < h->fields.size() && base + 2 * i < b.size(); ++i)
        b[base + 2 * i] = 0xFF;
      break;
    }
    case 2:
      for (size_t i = 0; i < 0x78 && i < b.size(); ++i) b[i] = 0;
      break;
    case 3:
      for (size_t i = 0; i < 0x800 && i < b.size(); ++i) b[i] = 0;
      break;
    default:
      return;
  }
  (void)fs.WriteFile(db, b, false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<fuzzfam::Member> members = fuzzfam::Split(data, size);
  paradox::MemFileSystem fs;
  const std::string db = fuzzfam::Install(fs, members);
  if (db.empty()) return 0;
  DamageHeader(fs, db, size > 0 ? data[size - 1] : 0);

  paradox::InferOptions options;
  options.fs = &fs;
  options.maxSampleBytes = size_t{64} << 10;  // keeps one input well under a second
  auto s = paradox::InferStructure(db, options);
  if (!s.ok()) return 0;
  // The reading covers the record exactly, field after field.
  uint32_t at = 0;
  for (const paradox::InferredField& f : s->fields) {
    if (f.offset != at || f.Size() == 0) abort();
    at += f.Size();
  }
  if (at != s->recordSize) abort();
  (void)fs.MakeDir("/out");
  paradox::Status st = paradox::WriteInferredTemplate(&fs, *s, "/out/TEMPLATE.DB");
  if (!st.ok()) {
    // The writer may refuse a structure only for a reason it names (a record too long
    // for the block at the level chosen, say), never by failing on the file system.
    if (st.IsIOError()) abort();
    return 0;
  }
  auto h = paradox::ReadHeader(&fs, "/out/TEMPLATE.DB");
  if (!h.ok() || h->fields.size() != s->fields.size() || h->fixed.recordSize != s->recordSize)
    abort();
  for (size_t i = 0; i < s->fields.size(); ++i)
    if (h->fields[i].type != s->fields[i].type || h->fields[i].sizeByte != s->fields[i].sizeByte)
      abort();
  return 0;
}
