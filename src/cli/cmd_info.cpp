// rekasto info: structure and counts of a table as its header and block chain give them.
#include <algorithm>
#include <ostream>

#include "cli.h"
#include "paradox/format/codepage.h"
#include "paradox/format/family.h"
#include "paradox/format/format.h"
#include "paradox/format/header_file.h"
#include "paradox/format/index.h"
#include "paradox/format/reader.h"
#include "paradox/format/table_evidence.h"
#include "paradox/format/val.h"
#include "paradox/format/value.h"
#include "paradox/repair/structure_sources.h"
#include "paradox/verify/verifier.h"

namespace rekasto {

namespace {

const char* kUsage = "info TABLE...";

std::string TypeText(const paradox::FieldDesc& f) {
  using paradox::FieldType;
  std::string s(1, paradox::FieldTypeLetter(f.type));
  switch (f.type) {
    case FieldType::kAlpha:
    case FieldType::kBytes:
    case FieldType::kMemo:
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      return s + std::to_string(f.sizeByte == 0
                                    ? 0
                                    : (paradox::IsBlobType(f.type) ? f.LeaderSize() : f.sizeByte));
    case FieldType::kBcd:
      return s + std::to_string(f.sizeByte);
    default:
      return s;
  }
}

// A check's value as stored in the .VAL (encoded like a record field of its type).
std::string CheckValue(const paradox::FieldDesc& f, const paradox::Bytes& raw,
                       const paradox::Charset& cs) {
  auto v = paradox::DecodeField(f, paradox::ByteSpan(raw));
  if (!v.ok()) return "(unreadable: " + v.status().message() + ")";
  if (const auto* text = std::get_if<std::string>(&*v))
    return "\"" + paradox::ToUtf8(*text, cs) + "\"";
  return paradox::ValueToText(*v, cs.codePage);
}

// The .VAL's checks per field and the links in which the table is the dependent.
void PrintValidity(std::ostream& o, paradox::FileSystem* fs, const std::string& path,
                   const paradox::TableHeader& h, const paradox::Charset& cs) {
  o << "Validity:       ";
  auto data = fs->ReadFile(path, paradox::kMaxValFileSize);
  auto val = data.ok() ? paradox::DecodeValSections(paradox::ByteSpan(*data))
                       : paradox::Result<paradox::ValFile>(data.status());
  if (!val.ok()) {
    o << paradox::PathBaseName(path) << " cannot be read: " << val.status().message() << "\n";
    return;
  }
  if (!val->layoutKnown) {
    o << paradox::PathBaseName(path) << " in the older layout (not decoded)\n";
    return;
  }
  o << int(val->declaredChecks) << " field(s) with checks, " << val->declaredLinks << " link(s)";
  if (!val->problem.ok()) o << "; " << val->problem.message();
  // A .VAL left from an earlier structure names its own fields; after a rename through
  // an engine the table's names are the current ones.
  const bool current = val->FieldsMatch(h.fields, false);
  if (!current) o << " (its field list differs from the table's)";
  o << "\n";
  for (const paradox::ValCheck& c : val->checks) {
    const paradox::FieldDesc& f = val->fields[c.fieldIndex];
    const std::string& name = current ? h.fields[c.fieldIndex].name : f.name;
    o << "  " << paradox::ToUtf8(name, cs) << ":";
    std::string sep = " ";
    auto item = [&](const std::string& text) {
      o << sep << text;
      sep = "; ";
    };
    if (c.required) item("required");
    if (c.minimum) item("minimum " + CheckValue(f, *c.minimum, cs));
    if (c.maximum) item("maximum " + CheckValue(f, *c.maximum, cs));
    if (c.defaultValue) item("default " + CheckValue(f, *c.defaultValue, cs));
    if (!c.picture.empty()) item("picture \"" + paradox::ToUtf8(c.picture, cs) + "\"");
    if (c.hasLookup) {
      item("lookup " + paradox::ToUtf8(c.lookupTable, cs) +
           ((c.lookupFlags & 1) ? " (fills all fields)" : "") +
           ((c.lookupFlags & 2) ? " (help)" : ""));
    }
    o << "\n";
  }
  auto fieldNames = [&](const std::vector<uint16_t>& numbers,
                        const std::vector<paradox::FieldDesc>* of) {
    std::string text;
    for (uint16_t n : numbers) {
      text += text.empty() ? "" : ", ";
      text += of && n >= 1 && n <= of->size() ? paradox::ToUtf8((*of)[n - 1].name, cs)
                                              : "field " + std::to_string(n);
    }
    return text;
  };
  for (const paradox::ValLink& l : val->links) {
    o << "  link \"" << paradox::ToUtf8(l.name, cs) << "\": ("
      << fieldNames(l.thisFields, &h.fields) << ") -> " << paradox::ToUtf8(l.masterTable, cs)
      << " (" << fieldNames(l.masterFields, nullptr) << "); on update "
      << (l.updateRule == 1 ? "cascade" : "prohibit") << "\n";
  }
}

// The header of the table at `path`, read as far as it declares (the file's size
// bounding it); false, with the error told, when there is none to show.
bool LoadHeader(const std::string& path, Io& io, paradox::TableHeader* out) {
  auto file = io.fs->Open(path, paradox::OpenMode::kRead);
  auto size = file.ok() ? file.value()->Size() : paradox::Result<uint64_t>(file.status());
  if (!size.ok()) {
    Error(io, path + ": cannot read: " + size.status().message());
    return false;
  }
  auto prefix = paradox::ReadHeaderPrefix(file.value().get(), *size);
  if (!prefix.ok()) {
    Error(io, path + ": cannot read the header");
    return false;
  }
  auto header = paradox::DecodeTableHeader(prefix->bytes);
  if (!header.ok()) {
    Error(io, path + ": header cannot be decoded (" + header.status().message() +
                  "); rekasto verify tells more");
    return false;
  }
  *out = std::move(header).value();
  return true;
}

// Whether the header describes a table whose records can be read with it.
bool HeaderUsable(const paradox::TableHeader& h) {
  paradox::TableLevel level;
  if (!paradox::LevelFromVersionId(h.fixed.fileVersionId, &level) || h.fields.empty() ||
      (h.fixed.fileType != 0 && h.fixed.fileType != 2))
    return false;
  for (const paradox::FieldDesc& f : h.fields)
    if (!paradox::IsKnownFieldType(uint8_t(f.type)) ||
        !paradox::ValidateFieldDescriptor(f.type, f.sizeByte).ok())
      return false;
  return true;
}

// What is wrong with a header that does not give the table's structure ("" when it does,
// or when it cannot be read at all: LoadHeader tells that).
std::string DamagedHeader(const std::string& path, Io& io, paradox::TableHeader* out) {
  auto file = io.fs->Open(path, paradox::OpenMode::kRead);
  auto size = file.ok() ? file.value()->Size() : paradox::Result<uint64_t>(file.status());
  if (!size.ok()) return "";
  auto prefix = paradox::ReadHeaderPrefix(file.value().get(), *size);
  if (!prefix.ok()) return "";
  paradox::TableLevel level;
  if (!paradox::LevelFromVersionId(prefix->fixed.fileVersionId, &level))
    return "level byte " + std::to_string(prefix->fixed.fileVersionId);
  auto header = paradox::DecodeTableHeader(prefix->bytes);
  if (!header.ok()) return header.status().message();
  if (!HeaderUsable(*header)) return "its field descriptors are not a table's";
  *out = std::move(header).value();
  return "";
}

// Counts from the chain, not only the header's claims.
paradox::TableSummary CountChain(const std::string& path, Io& io) {
  paradox::VerifyOptions options;
  options.fs = io.fs;
  options.checkValues = false;
  options.checkIndexes = false;
  options.checkBlobs = false;
  options.maxFindings = 0;
  return paradox::VerifyTable(path, options).summary;
}

// Name, type, level, sizes and counts.
void PrintShape(std::ostream& o, const std::string& path, const paradox::TableHeader& h,
                const paradox::TableSummary& s, const paradox::Charset& cs) {
  o << "Table:          " << path << "\n";
  if (!h.tableName.empty()) o << "Stored name:    " << paradox::ToUtf8(h.tableName, cs) << "\n";
  o << "Type:           " << (h.IsKeyed() ? "keyed" : "unkeyed");
  if (h.IsKeyed())
    o << " (" << h.fixed.primaryKeyFields << " key field"
      << (h.fixed.primaryKeyFields == 1 ? "" : "s") << ")";
  o << "\n";
  o << "Level:          " << paradox::LevelName(h.level()) << " (version byte "
    << int(h.fixed.fileVersionId) << ")\n";
  o << "Block size:     " << h.BlockSize() << "\n";
  o << "Header size:    " << h.fixed.headerSize << "\n";
  o << "Record size:    " << h.fixed.recordSize << "\n";
  o << "Records:        " << h.fixed.numRecords << " in the header, " << s.countedRecords
    << " in the block chain\n";
  o << "Blocks:         " << h.fixed.fileBlocks << " in the file, " << s.chainBlocks << " chained, "
    << s.freeBlocks << " free\n";
}

// Code page (and where it comes from) and sort order.
void PrintCharset(std::ostream& o, const paradox::TableHeader& h,
                  const paradox::TableCharset& charset) {
  using Source = paradox::TableCharset::Source;
  o << "Code page:      ";
  if (charset.charset.known())
    o << charset.charset.Label();
  else
    o << (h.CodePage() ? std::to_string(h.CodePage()) : std::string("unknown"));
  if (charset.source == Source::kSortOrderName)
    o << " (code page " << h.CodePage() << "; from the sort order)";
  if (charset.source == Source::kSortOrderByte) o << " (not stored; from the sort order)";
  if (!charset.charset.known()) o << " (" << charset.problem << "; text shown as 1252)";
  o << "\n";
  o << "Sort order:     " << (h.sortOrderId.empty() ? "-" : h.sortOrderId) << " (0x" << std::hex
    << int(h.fixed.sortOrder) << std::dec << ")\n";
}

// Protection, the autoincrement counter and the fields.
void PrintFields(std::ostream& o, const paradox::TableHeader& h, const paradox::Charset& cs) {
  o << "Encrypted:      " << (h.IsEncrypted() ? "yes (password-protected)" : "no") << "\n";
  o << "Write-protected:" << (h.fixed.writeProtected ? " yes" : " no") << "\n";
  if (h.fixed.auxPasswords) o << "Aux passwords:  " << int(h.fixed.auxPasswords) << "\n";
  bool hasAutoInc = std::any_of(h.fields.begin(), h.fields.end(), [](const paradox::FieldDesc& f) {
    return f.type == paradox::FieldType::kAutoInc;
  });
  if (hasAutoInc) o << "Autoincrement:  last issued " << h.fixed.autoInc << "\n";
  o << "Fields:         " << h.fields.size() << "\n";
  for (size_t i = 0; i < h.fields.size(); ++i) {
    const paradox::FieldDesc& f = h.fields[i];
    std::string name = paradox::ToUtf8(f.name, cs);
    const size_t width = paradox::DisplayWidth(name);
    o << "  " << (i + 1 < 10 ? " " : "") << (i + 1) << "  " << name
      << std::string(width < 26 ? 26 - width : 1, ' ') << TypeText(f)
      << (i < h.fixed.primaryKeyFields ? "  key" : "") << "\n";
  }
}

// One secondary index: its name, fields and kind, from its X file's header.
void PrintSecondaryIndex(std::ostream& o, Io& io, const paradox::SecondaryFiles& x,
                         const paradox::TableHeader& h, const paradox::Charset& cs) {
  o << "  " << x.tag << "  ";
  auto xh = x.x.empty()
                ? paradox::Result<paradox::TableHeader>(paradox::Status::NotFound("no X file"))
                : paradox::ReadHeader(io.fs, x.x);
  auto info = xh.ok() ? paradox::SecondaryIndexFromHeader(xh.value(), h.fixed.primaryKeyFields)
                      : paradox::Result<paradox::SecondaryIndexInfo>(xh.status());
  if (!info.ok()) {
    o << "(cannot be read: " << info.status().message() << ")\n";
    return;
  }
  if (!info->name.empty()) o << "\"" << paradox::ToUtf8(info->name, cs) << "\" ";
  o << "on ";
  for (size_t k = 0; k < info->dbFields.size(); ++k) {
    const uint16_t n = info->dbFields[k];
    o << (k ? ", " : "")
      << (n >= 1 && n <= h.fields.size() ? paradox::ToUtf8(h.fields[n - 1].name, cs)
                                         : "field " + std::to_string(n));
  }
  o << (info->caseInsensitive ? "; case-insensitive" : "; case-sensitive");
  if (info->descending) o << "; descending";
  if (info->unique) o << "; unique";
  o << (info->maintained ? "; maintained" : "") << "\n";
}

// The family's members, its indexes, its validity checks and lock files.
void PrintFamily(std::ostream& o, Io& io, const std::string& path, const paradox::TableHeader& h,
                 const paradox::Charset& cs) {
  auto family = paradox::FindFamily(io.fs, path);
  if (!family.ok()) return;
  o << "Family:        ";
  for (const std::string& m : family->AllMembers()) o << " " << paradox::PathBaseName(m);
  o << "\n";
  o << "Indexes:        " << (family->px.empty() ? 0 : 1) << " primary, "
    << family->secondary.size() << " secondary\n";
  for (const paradox::SecondaryFiles& x : family->secondary) PrintSecondaryIndex(o, io, x, h, cs);
  if (!family->val.empty()) PrintValidity(o, io.fs, family->val, h, cs);
  if (!family->lockFiles.empty()) {
    o << "Lock files:    ";
    for (const std::string& l : family->lockFiles) o << " " << paradox::PathBaseName(l);
    o << " (the table may be in use)\n";
  }
}

// A table whose header cannot give its structure: what shows it is a table, and where
// its structure may come from instead.
int InfoDamaged(const std::string& path, Io& io, const std::string& why) {
  std::ostream& o = io.out;
  o << "Table:          " << path << "\n";
  o << "Header:         damaged (" << why << ")\n";
  const std::string shown = paradox::ParadoxTableEvidence(io.fs, path);
  if (!shown.empty()) o << "Evidence:       " << shown << "\n";
  const std::vector<std::string> sources = paradox::StructureSourcesOf(io.fs, path);
  auto recovered = paradox::RecoverTableHeader(io.fs, path);
  o << "Structure:      "
    << (recovered.ok() && !recovered->notes.empty() ? recovered->notes.front()
        : recovered.ok()                            ? std::string("from its header")
                                                    : "none found; " + recovered.status().message())
    << "\n";
  o << "Sources:        " << (sources.empty() ? "none beside the table" : "") << "\n";
  for (const std::string& src : sources) o << "  " << src << "\n";
  o << "Rebuild:        rekasto rebuild takes the first that fits the data; or give one with\n"
       "                --structure-from=OTHER.DB (see also rekasto infer-structure)\n";
  return kExitProblems;
}

int InfoOne(const std::string& path, Io& io) {
  if (!CheckTablePath(path, io)) return kExitFailed;
  paradox::TableHeader h;
  if (std::string why = DamagedHeader(path, io, &h); !why.empty())
    return InfoDamaged(path, io, why);
  if (!LoadHeader(path, io, &h)) return kExitFailed;
  const paradox::TableSummary s = CountChain(path, io);
  const paradox::TableCharset charset = paradox::CharsetOfTable(h);
  // Names are shown in the table's charset; an unknown one reads as 1252 (said below).
  const paradox::Charset cs =
      charset.charset.known() ? charset.charset : paradox::CharsetForCodePage(1252);
  std::ostream& o = io.out;
  PrintShape(o, path, h, s, cs);
  PrintCharset(o, h, charset);
  PrintFields(o, h, cs);
  PrintFamily(o, io, path, h, cs);
  return kExitOk;
}

int RunInfo(const std::vector<std::string>& args, Io& io) {
  ParsedArgs parsed;
  if (auto done = ParseCommandLine("info", kUsage,
                                   "Shows level, block size, fields, record and block counts,"
                                   " code page and encryption of each table.\n",
                                   args, {}, &parsed, io))
    return *done;
  const std::vector<std::string>& tables = parsed.operands;
  if (tables.empty()) {
    UsageError(io, "info", kUsage, "no table given");
    return kExitFailed;
  }
  int exit = kExitOk;
  for (size_t i = 0; i < tables.size(); ++i) {
    if (i) io.out << "\n";
    exit = std::max(exit, InfoOne(tables[i], io));
  }
  return exit;
}

}  // namespace

REKASTO_COMMAND({"info", kUsage, "structure, counts, code page, level, block size, encryption",
                 &RunInfo});

}  // namespace rekasto
