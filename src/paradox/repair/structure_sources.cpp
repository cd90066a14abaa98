#include "paradox/repair/structure_sources.h"

#include <algorithm>
#include <optional>

#include "paradox/format/header_file.h"
#include "paradox/format/index.h"
#include "paradox/format/repair_traces.h"
#include "paradox/format/val.h"
#include "paradox/format/writer.h"
#include "paradox/repair/repair_folder.h"
#include "paradox/repair/structure_inference.h"

namespace paradox {

std::vector<std::string> EarlierBackups(FileSystem* fs, const std::string& tablePath) {
  std::vector<std::string> out;
  const std::string root = RepairFolderRoot(tablePath);
  auto folders = fs->ListDir(root);
  if (!folders.ok()) return out;
  std::vector<std::string> names = *folders;
  // Folders are named by the time of their rebuild: the newest sorts last.
  std::sort(names.rbegin(), names.rend());
  const std::string table = AsciiUpper(PathBaseName(tablePath));
  for (const std::string& name : names) {
    const std::string folder = PathJoin(root, name);
    if (!fs->IsDirectory(folder)) continue;
    std::string backup;
    if (auto listed = BackupsOfRebuild(fs, folder); listed.ok()) {
      for (const auto& [member, copy] : *listed)
        if (AsciiUpper(member) == table) backup = PathJoin(folder, copy);
    }
    if (backup.empty()) {
      // A rebuild that did not get as far as its swap, or was undone, still kept its backup.
      auto files = fs->ListDir(folder);
      if (!files.ok()) continue;
      for (const std::string& f : *files)
        if (AsciiUpper(f) == "BACKUP.DB") backup = PathJoin(folder, f);
    }
    if (!backup.empty() && fs->Exists(backup) && !fs->IsDirectory(backup)) out.push_back(backup);
  }
  return out;
}

Result<TableHeader> StructureOfTable(FileSystem* fs, const std::string& path) {
  if (!fs->Exists(path) || fs->IsDirectory(path))
    return Status::NotFound("table " + path + " not found");
  auto h = ReadHeader(fs, path);
  if (!h.ok()) return h.status();
  if (h->fixed.fileType != 0 && h->fixed.fileType != 2)
    return Status::Corruption(PathBaseName(path) + " is not a table (file type " +
                              std::to_string(h->fixed.fileType) + ")");
  return h;
}

namespace {

// "T.rekasto/20260101-120000/Backup.Db": a backup as the report names it.
std::string BackupLabel(const std::string& backup) {
  const std::string folder = PathDirName(backup);
  return PathBaseName(PathDirName(folder)) + "/" + PathBaseName(folder) + "/" +
         PathBaseName(backup);
}

// What the family says of the structure, where it disagrees with `h`: the .PX's key
// fields, the indexed fields of the X/XG headers. The .VAL is left out: it may be older
// than the table.
std::string FamilyDisagrees(const HeaderSources& src, const TableHeader& h) {
  if (src.px) {
    const TableHeader& px = *src.px;
    // A .PX beside a table that is not keyed may be a stale leftover: it is only held
    // against a keyed structure.
    if (h.fixed.primaryKeyFields > 0 && px.fixed.numFields != h.fixed.primaryKeyFields)
      return "the table's .PX has " + std::to_string(px.fixed.numFields) +
             " key field(s), the structure " + std::to_string(h.fixed.primaryKeyFields);
    for (size_t i = 0; h.fixed.primaryKeyFields > 0 && i < px.fields.size() && i < h.fields.size();
         ++i) {
      if (px.fields[i].type != h.fields[i].type || px.fields[i].sizeByte != h.fields[i].sizeByte)
        return "key field " + std::to_string(i + 1) + " is " + Describe(px.fields[i]) +
               " in the table's .PX, " + Describe(h.fields[i]) + " in the structure";
    }
  }
  for (const auto& [number, d] : src.fromIndexes) {
    if (number > h.fields.size())
      return "the table's secondary index covers field " + std::to_string(number) +
             ", the structure has " + std::to_string(h.fields.size());
    if (number == 0) continue;
    const FieldDesc& f = h.fields[number - 1];
    if (f.type != d.type || f.sizeByte != d.sizeByte)
      return "field " + std::to_string(number) + " is " + Describe(d) +
             " in the table's secondary index, " + Describe(f) + " in the structure";
  }
  return "";
}

// Whether the table's .PX indexes the data as it lies under header `h`: most of its
// leaf entries' keys are the first bytes of the first record of the block they point
// to. A .PX left from an earlier life of the table does not (nor, unread, an encrypted
// table's).
Result<bool> PrimaryIndexCurrent(FileSystem* fs, const FamilyFiles& fam, const BlockPeek& peek,
                                 const TableHeader& h) {
  if (fam.px.empty() || h.IsEncrypted()) return false;
  auto px = IndexFile::Open(fs, fam.px);
  if (!px.ok()) {
    if (px.status().IsIOError()) return px.status();
    return false;
  }
  int checked = 0, same = 0;
  Bytes first;
  for (const IndexEntry& e : (*px)->leafEntries()) {
    if (checked == 64) break;
    if (e.child == 0 || e.key.empty() || e.key.size() > h.BlockSize()) continue;
    first.assign(e.key.size(), 0);
    PARADOX_RETURN_IF_ERROR(
        peek(BlockOffset(h.fixed.headerSize, h.BlockSize(), e.child) + BlockHeader::kEncodedLength,
             MutableByteSpan(first)));
    ++checked;
    same += first == e.key;
  }
  return checked > 0 && 2 * same > checked;
}

// The candidate's fit: the family's word first, then the data, then a current .PX
// against a structure that reads its key fields otherwise.
Result<StructureFit> Fit(FileSystem* fs, const FamilyFiles& fam, const HeaderSources& src,
                         const BlockPeek& peek, const TableHeader& h, const std::string& label,
                         const std::string& why) {
  if (std::string p = FamilyDisagrees(src, h); !p.empty()) {
    StructureFit misfit;
    misfit.problem = p;
    return misfit;
  }
  auto fit = FitStructureToData(src.prefix, src.fileSize, peek, h, label, why);
  if (!fit.ok() || !fit->problem.empty() || !src.px || h.fixed.primaryKeyFields > 0) return fit;
  const TableHeader& px = *src.px;
  size_t differ = px.fields.size();
  for (size_t i = 0; i < px.fields.size(); ++i) {
    if (i >= h.fields.size() || px.fields[i].type != h.fields[i].type ||
        px.fields[i].sizeByte != h.fields[i].sizeByte) {
      differ = i;
      break;
    }
  }
  if (differ == px.fields.size()) return fit;
  auto current = PrimaryIndexCurrent(fs, fam, peek, fit->header.header);
  if (!current.ok()) return current.status();
  if (*current)
    fit->problem = "the table's .PX indexes its data as it lies, with key field " +
                   std::to_string(differ + 1) + " " + Describe(px.fields[differ]) +
                   ", which the structure reads otherwise";
  return fit;
}

}  // namespace

Result<RecoveredHeader> StructureFromGiven(FileSystem* fs, const FamilyFiles& fam,
                                           const HeaderSources& src, const BlockPeek& peek,
                                           const std::string& given, const std::string& why) {
  auto h = StructureOfTable(fs, given);
  if (!h.ok()) {
    if (h.status().IsIOError()) return h.status();
    return Status::InvalidArgument("the structure of " + given +
                                   " cannot be read: " + h.status().message());
  }
  const std::string label = PathBaseName(given) + " (given)";
  auto fit = Fit(fs, fam, src, peek, *h, label, why);
  if (!fit.ok()) return fit.status();
  if (fit->problem.empty()) return std::move(fit->header);
  return Status::InvalidArgument("the structure of " + PathBaseName(given) +
                                 " does not fit the data of " + PathBaseName(fam.db) + ": " +
                                 fit->problem);
}

Result<RecoveredHeader> StructureFromElsewhere(FileSystem* fs, const FamilyFiles& fam,
                                               const HeaderSources& src, const BlockPeek& peek,
                                               const std::string& given, const std::string& why) {
  std::string tried;
  auto note = [&tried](const std::string& what, const std::string& reason) {
    tried += (tried.empty() ? "" : "; ") + what + ": " + reason;
  };
  for (const std::string& backup : EarlierBackups(fs, fam.db)) {
    const std::string label = "the earlier rebuild's backup " + BackupLabel(backup);
    auto h = StructureOfTable(fs, backup);
    if (!h.ok()) {
      if (h.status().IsIOError()) return h.status();
      note(label, h.status().message());
      continue;
    }
    auto fit = Fit(fs, fam, src, peek, *h, label, why);
    if (!fit.ok()) return fit.status();
    if (fit->problem.empty()) return std::move(fit->header);
    note(label, "does not fit: " + fit->problem);
  }
  if (!given.empty()) return StructureFromGiven(fs, fam, src, peek, given, why);
  std::string msg = "table header cannot be used (" + why +
                    ") and no structure is available to read the data with";
  if (!tried.empty()) msg += " (" + tried + ")";
  return Status::Corruption(msg);
}

std::vector<std::string> StructureSourcesOf(FileSystem* fs, const std::string& tablePath) {
  std::vector<std::string> out;
  auto fam = FindFamily(fs, tablePath);
  if (!fam.ok()) return out;
  if (!fam->px.empty() && ReadHeader(fs, fam->px).ok())
    out.push_back(PathBaseName(fam->px) + ": the key fields' descriptors");
  for (const SecondaryFiles& s : fam->secondary) {
    if (!s.x.empty() && ReadHeader(fs, s.x).ok())
      out.push_back(PathBaseName(s.x) + ": the indexed fields' descriptors");
  }
  if (!fam->val.empty()) {
    auto vb = fs->ReadFile(fam->val, kMaxValFileSize);
    if (vb.ok()) {
      auto v = DecodeValSections(ByteSpan(*vb));
      if (v.ok() && v->fieldsRead && !v->fields.empty())
        out.push_back(PathBaseName(fam->val) + ": the field list (" +
                      std::to_string(v->fields.size()) + " fields)");
    }
  }
  for (const std::string& b : EarlierBackups(fs, fam->db))
    out.push_back(BackupLabel(b) + ": an earlier rebuild's backup");
  return out;
}

namespace {

// A table named for its structure, while the table's own header gives one, must describe
// the same layout: otherwise one of them is the wrong table.
Status SameLayoutAsGiven(FileSystem* fs, const std::string& given, const TableHeader& own) {
  auto other = StructureOfTable(fs, given);
  if (!other.ok()) {
    if (other.status().IsIOError()) return other.status();
    return Status::InvalidArgument("the structure of " + given +
                                   " cannot be read: " + other.status().message());
  }
  const std::string name = PathBaseName(given);
  if (other->fields.size() != own.fields.size())
    return Status::InvalidArgument(name + " has " + std::to_string(other->fields.size()) +
                                   " fields but the table's header has " +
                                   std::to_string(own.fields.size()));
  for (size_t i = 0; i < own.fields.size(); ++i) {
    if (other->fields[i].type != own.fields[i].type ||
        other->fields[i].sizeByte != own.fields[i].sizeByte)
      return Status::InvalidArgument("field " + std::to_string(i + 1) + " is " +
                                     Describe(own.fields[i]) + " in the table's header but " +
                                     Describe(other->fields[i]) + " in " + name);
  }
  if (other->fixed.primaryKeyFields != own.fixed.primaryKeyFields)
    return Status::InvalidArgument(name + " has " + std::to_string(other->fixed.primaryKeyFields) +
                                   " key fields but the table's header has " +
                                   std::to_string(own.fixed.primaryKeyFields));
  return Status::OK();
}

// Whether a description and a header lay the records out alike (types, sizes, key).
bool SameLayout(const TableStructure& d, const TableHeader& h) {
  auto fields = FieldsFromStructure(d);
  if (!fields.ok() || fields->size() != h.fields.size() || d.keyFields != h.fixed.primaryKeyFields)
    return false;
  for (size_t i = 0; i < h.fields.size(); ++i)
    if ((*fields)[i].type != h.fields[i].type || (*fields)[i].sizeByte != h.fields[i].sizeByte)
      return false;
  return true;
}

// The stored fixed part does not name a table level: it was wiped or overwritten.
// The fit of layout fields whose block size was lost: each block size the level allows,
// as a table of those fields would be written. Several may fit (the first block of a
// 16 KiB table reads as a 2 KiB one); the one that reads the most records is the one
// the blocks were written with.
Result<StructureFit> FitGuessedLayout(FileSystem* fs, const FamilyFiles& fam,
                                      const HeaderSources& src, const BlockPeek& peek,
                                      const TableHeader& guess, const std::string& why) {
  TableSchema schema;
  if (!LevelFromVersionId(guess.fixed.fileVersionId, &schema.level)) schema.level = TableLevel::k7;
  for (const FieldDesc& f : guess.fields)
    schema.fields.push_back({f.name, f.type, FieldDefSize(f)});
  schema.keyFieldCount = guess.fixed.primaryKeyFields;
  // The block size the blocks' own links show, where they show it beyond doubt, is
  // tried first and wins a tie (a table of one record reads as one at several sizes).
  uint32_t shown = 0;
  InferOptions io;
  io.fs = fs;
  io.useFamily = false;
  io.maxRecords = 64;
  if (auto inferred = InferStructure(fam.db, io);
      inferred.ok() && inferred->layoutSureness == Sureness::kHigh)
    shown = inferred->blockSize / 1024;
  std::optional<StructureFit> best;
  std::string misfit;
  for (uint32_t kb : {shown, 2u, 4u, 1u, 8u, 16u, 32u}) {
    if (kb == 0 || (kb == shown && best)) continue;
    if (!BlockSizeAllowed(schema.level, kb * 1024)) continue;
    schema.blockSize = kb * 1024;
    auto templ = HeaderForSchema(schema, fam.db);
    if (!templ.ok()) {
      if (misfit.empty()) misfit = templ.status().message();
      continue;
    }
    auto fit = Fit(fs, fam, src, peek, *templ, "the header's redundancy and the family", why);
    if (!fit.ok()) return fit.status();
    if (!fit->problem.empty()) {
      if (misfit.empty() || kb == 2) misfit = fit->problem;
    } else if (!best ||
               fit->header.header.fixed.numRecords > best->header.header.fixed.numRecords) {
      best = std::move(fit).value();
    }
  }
  if (best) return std::move(*best);
  StructureFit none;
  none.problem = misfit.empty() ? "no block size fits" : misfit;
  return none;
}

bool FixedPartLost(const Bytes& prefix) {
  TableLevel level;
  return prefix.size() < FixedHeader::kEncodedLength || !LevelFromVersionId(prefix[0x39], &level);
}

}  // namespace

Result<RecoveredHeader> FindStructure(FileSystem* fs, const FamilyFiles& fam,
                                      const HeaderSources& src, const BlockPeek& peek,
                                      const TableStructure* description, const std::string& given) {
  std::string why;
  auto rec = RecoverHeader(src.prefix, src.fileSize, peek, description, src.px ? &*src.px : nullptr,
                           src.val ? &*src.val : nullptr, src.fromIndexes, &why);
  if (!rec.ok()) {
    if (!rec.status().IsCorruption()) return rec;
    return StructureFromElsewhere(fs, fam, src, peek, given, why);
  }
  if (rec->repaired && FixedPartLost(src.prefix)) {
    // A header whose fixed part is gone (its code page, sort order and counters with it)
    // is only partly the table's own: a backup of it from an earlier rebuild that fits
    // the data is the better source, and the table the user names after that.
    auto other = StructureFromElsewhere(fs, fam, src, peek, given, why);
    if (!other.ok()) {
      if (!other.status().IsCorruption()) return other;
      // Only a guess remains: the layout fields that the redundancy and the family still
      // give, with the block size, the header size and the counters lost with the fixed
      // part. It must fit the data like any structure from elsewhere; read as it stands,
      // it would leave an empty table in the family's place.
      auto fit = FitGuessedLayout(fs, fam, src, peek, rec->header, why);
      if (!fit.ok()) return fit.status();
      if (!fit->problem.empty()) {
        return Status::Corruption(other.status().message() +
                                  "; the layout recovered from the header's redundancy and "
                                  "the family does not fit the data: " +
                                  fit->problem);
      }
      return std::move(fit->header);
    }
    // A caller's description keeps its say: the backup's header only where it describes
    // the same layout (it then adds the code page and sort order the description lacks).
    if (description && !description->fields.empty() && !SameLayout(*description, other->header))
      return rec;
    return other;
  }
  if (given.empty()) return rec;
  // A header repaired from redundancy is the best guess the table offers; the table the
  // user names, checked against the data, is better evidence. A header that needed no
  // repair must agree with it.
  if (rec->repaired)
    return StructureFromGiven(fs, fam, src, peek, given,
                              why.empty() ? "its own layout fields" : why);
  PARADOX_RETURN_IF_ERROR(SameLayoutAsGiven(fs, given, rec->header));
  return rec;
}

Result<RecoveredHeader> RecoverTableHeader(FileSystem* fs, const std::string& dbPath) {
  if (!fs) fs = DefaultFileSystem();
  auto fam = FindFamily(fs, dbPath);
  if (!fam.ok()) return fam.status();
  auto src = ReadHeaderSources(fs, *fam);
  if (!src.ok()) return src.status();
  std::shared_ptr<File> holder;
  auto peek = PeekInto(fs, fam->db, &holder);
  if (!peek.ok()) return peek.status();
  return FindStructure(fs, *fam, *src, *peek, nullptr, "");
}

}  // namespace paradox
