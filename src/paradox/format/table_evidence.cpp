#include "paradox/format/table_evidence.h"

#include <algorithm>
#include <set>

#include "paradox/format/family.h"
#include "paradox/format/format.h"
#include "paradox/format/header_file.h"
#include "paradox/format/repair_traces.h"
#include "paradox/format/val.h"

namespace paradox {
namespace {

// Text, or a file that names its own format in its first bytes: never a table.
bool LooksForeign(const Bytes& prefix) {
  static constexpr std::string_view kSignatures[] = {"PK\x03\x04",
                                                     "%PDF",
                                                     "\x89PNG",
                                                     "GIF8",
                                                     "\xFF\xD8\xFF",
                                                     "{\\rtf",
                                                     "\xD0\xCF\x11\xE0",
                                                     "SQLite format",
                                                     "<?xml",
                                                     "\x7F"
                                                     "ELF",
                                                     "MZ"};
  for (std::string_view sig : kSignatures)
    if (prefix.size() >= sig.size() && std::equal(sig.begin(), sig.end(), prefix.begin()))
      return true;
  const size_t n = std::min<size_t>(prefix.size(), 512);
  if (n < FixedHeader::kEncodedLength) return true;
  size_t text = 0, zero = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t c = prefix[i];
    zero += c == 0;
    text += (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\r' || c == '\t';
  }
  // A header, even a damaged one, has zero bytes in plenty; text has none.
  return zero == 0 && text * 10 >= n * 9;
}

// Members beside the .DB that read as its family's.
std::string FamilyEvidence(FileSystem* fs, const std::string& dbPath) {
  auto fam = FindFamily(fs, dbPath);
  if (!fam.ok()) return "";
  std::vector<std::string> shown;
  auto indexOf = [&](const std::string& path, bool primary) {
    auto h = ReadHeader(fs, path);
    TableLevel level;
    if (!h.ok() || !LevelFromVersionId(h->fixed.fileVersionId, &level)) return;
    const uint8_t t = h->fixed.fileType;
    if (primary ? t == 1 : IsSecondaryDataType(t)) shown.push_back(PathBaseName(path));
  };
  if (!fam->px.empty()) indexOf(fam->px, true);
  for (const SecondaryFiles& s : fam->secondary)
    if (!s.x.empty()) indexOf(s.x, false);
  if (!fam->val.empty()) {
    auto vb = fs->ReadFile(fam->val, kMaxValFileSize);
    if (vb.ok()) {
      auto v = DecodeValSections(ByteSpan(*vb));
      if (v.ok() && v->fieldsRead && !v->fields.empty()) shown.push_back(PathBaseName(fam->val));
    }
  }
  if (shown.empty()) return "";
  std::string s = "the family's ";
  for (size_t i = 0; i < shown.size(); ++i) s += (i ? ", " : "") + shown[i];
  return s;
}

// The field descriptors and names of a level 4+ header (0x78) or an older one (0x58).
std::string NameAreaEvidence(const Bytes& p) {
  for (size_t base : {size_t(0x78), size_t(0x58)}) {
    for (size_t nameArea : {size_t(79), size_t(261)}) {
      if (size_t n = FieldCountFromNameArea(p, base, nameArea); n > 0)
        return "its header area still holds " + std::to_string(n) +
               " field descriptor(s) and their names";
    }
  }
  return "";
}

// An earlier rebuild of the table kept its backup beside it.
std::string RepairFolderEvidence(FileSystem* fs, const std::string& dbPath) {
  const std::string root = RepairFolderRoot(dbPath);
  auto folders = fs->ListDir(root);
  if (!folders.ok()) return "";
  for (const std::string& f : *folders) {
    auto files = fs->ListDir(PathJoin(root, f));
    if (!files.ok()) continue;
    for (const std::string& n : *files)
      if (AsciiUpper(n) == "BACKUP.DB")
        return "the backup an earlier rebuild kept in " + PathBaseName(root);
  }
  return "";
}

// Data blocks: at some block size and header size, a chain of blocks linked both ways
// from block 1, or one block alone that fills the file after a usual header size.
std::string BlockEvidence(FileSystem* fs, const std::string& dbPath, uint64_t fileSize) {
  auto f = fs->Open(dbPath, OpenMode::kRead);
  if (!f.ok()) return "";
  auto headerAt = [&](uint64_t offset, BlockHeader* b) {
    uint8_t buf[BlockHeader::kEncodedLength] = {};
    size_t got = 0;
    if (!(*f)->ReadAt(offset, MutableByteSpan(buf, sizeof buf), &got).ok() || got != sizeof buf)
      return false;
    b->DecodeFrom(buf);
    return true;
  };
  for (uint32_t code : {1u, 2u, 4u, 16u, 3u, 8u, 32u}) {
    const uint64_t bs = uint64_t(code) * 1024;
    std::vector<uint64_t> sizes = {2048, 4096};
    for (uint64_t hs = fileSize % bs; hs <= 0xFFFF; hs += bs)
      if (hs >= FixedHeader::kEncodedLength) sizes.push_back(hs);
    for (uint64_t hs : sizes) {
      if (fileSize < hs + bs / 2) continue;
      const uint64_t present = std::min<uint64_t>((fileSize - hs + bs - 1) / bs, 0xFFFF);
      const std::string where = "its data blocks (" + std::to_string(bs) +
                                "-byte blocks from offset " + std::to_string(hs) + ")";
      // Two blocks linked both ways: k's next is j, and j's previous is k.
      auto countWord = [bs](const BlockHeader& x) {
        return x.addDataSize < int(bs) - 6 && x.addDataSize >= -int(bs);
      };
      bool linked = false;
      for (uint64_t k = 1; k <= std::min<uint64_t>(present, 256) && !linked; ++k) {
        BlockHeader a, b;
        if (!headerAt(hs + (k - 1) * bs, &a) || a.nextBlock == 0 || a.nextBlock == k ||
            a.nextBlock > present || !countWord(a))
          continue;
        linked = headerAt(hs + (uint64_t(a.nextBlock) - 1) * bs, &b) && b.prevBlock == k &&
                 b.nextBlock <= present && b.nextBlock != a.nextBlock && countWord(b);
      }
      if (linked) return where;
      BlockHeader b1;
      if (!headerAt(hs, &b1) || b1.prevBlock != 0) continue;
      const int64_t add = b1.addDataSize;
      if (add < -int64_t(bs) || add >= int64_t(bs) - 6) continue;
      if (b1.nextBlock == 0 && present == 1 && add >= 0) {
        // One block: its first record must hold something.
        uint8_t rec[16] = {};
        size_t got = 0;
        if ((*f)->ReadAt(hs + 6, MutableByteSpan(rec, sizeof rec), &got).ok() &&
            std::any_of(rec, rec + got, [](uint8_t c) { return c != 0; }))
          return where;
      }
    }
  }
  return "";
}

}  // namespace

size_t FieldCountFromNameArea(const Bytes& p, size_t base, size_t nameArea) {
  size_t valid = 0;
  while (base + 2 * valid + 2 <= p.size() && valid < 255) {
    FieldDesc d;
    d.DecodeDescriptor(&p[base + 2 * valid]);
    if (!IsKnownFieldType(uint8_t(d.type)) || !ValidateFieldDescriptor(d.type, d.sizeByte).ok())
      break;
    ++valid;
  }
  // The pointer images after the descriptors may read as descriptors too: the names,
  // as many as the count and each where the one before ends, settle it.
  for (size_t n = valid; n >= 1; --n) {
    size_t at = base + 2 * n + 4 + 4 * n + nameArea;
    std::set<std::string> names;
    for (size_t i = 0; i < n && at < p.size(); ++i) {
      const size_t stop = std::min(at + 26, p.size());
      const size_t end =
          size_t(std::find(p.begin() + long(at), p.begin() + long(stop), 0) - p.begin());
      if (end >= stop || end == at) break;
      std::string name(p.begin() + long(at), p.begin() + long(end));
      if (std::any_of(name.begin(), name.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
        break;
      names.insert(AsciiUpper(name));
      at = end + 1;
    }
    if (names.size() == n) return n;
  }
  return 0;
}

std::string ParadoxTableEvidence(FileSystem* fs, const std::string& dbPath, const Bytes& prefix,
                                 uint64_t fileSize) {
  if (LooksForeign(prefix)) return "";
  std::vector<std::string> found;
  for (std::string e : {FamilyEvidence(fs, dbPath), NameAreaEvidence(prefix),
                        BlockEvidence(fs, dbPath, fileSize), RepairFolderEvidence(fs, dbPath)})
    if (!e.empty()) found.push_back(std::move(e));
  std::string s;
  for (size_t i = 0; i < found.size(); ++i)
    s += (i == 0 ? "" : i + 1 == found.size() ? " and " : ", ") + found[i];
  return s;
}

std::string ParadoxTableEvidence(FileSystem* fs, const std::string& dbPath) {
  auto f = fs->Open(dbPath, OpenMode::kRead);
  if (!f.ok()) return "";
  auto size = (*f)->Size();
  if (!size.ok()) return "";
  auto prefix = ReadFilePrefix(f->get(), *size, 0x2000);
  if (!prefix.ok()) return "";
  return ParadoxTableEvidence(fs, dbPath, *prefix, *size);
}

}  // namespace paradox
