#include "Facts.h"

#include <cstring>

#include "PolishText.h"
#include "paradox/format/table_evidence.h"
#include "paradox/repair/structure_sources.h"

namespace tutil {

using paradox::Status;

uint16_t TableFacts::LevelNumber() const {
  switch (level) {
    case paradox::TableLevel::k3_0:
      return 3;
    case paradox::TableLevel::k3_5:
      return 35;
    case paradox::TableLevel::k4:
      return 4;
    case paradox::TableLevel::k5:
      return 5;
    case paradox::TableLevel::k7:
      return 7;
  }
  return 0;
}

uint16_t TableFacts::KeySize() const {
  uint32_t size = 0;
  const size_t keys = header.fixed.fileType == 0 ? header.fixed.primaryKeyFields : 0;
  for (size_t i = 0; i < keys && i < header.fields.size(); ++i) size += header.fields[i].Size();
  return static_cast<uint16_t>(size);
}

DBIResult CodeFor(const Status& status, bool writing) {
  switch (status.code()) {
    case Status::Code::kOk:
      return DBIERR_NONE;
    case Status::Code::kNotFound:
      return DBIERR_NOSUCHTABLE;
    case Status::Code::kBusy:
      return DBIERR_LOCKED;
    case Status::Code::kCorruption:
      return DBIERR_CORRUPTTABLE;
    case Status::Code::kInvalidArgument:
      return DBIERR_INVALIDDESC;
    case Status::Code::kNotSupported:
      return DBIERR_UNSUPPORTEDLEVEL;
    case Status::Code::kNoMemory:
      return DBIERR_NOMEMORY;
    case Status::Code::kIOError:
      // By the cause, never the text: the text holds paths.
      if (status.IsNoAccess()) return DBIERR_NOACCESS;
      if (status.IsNoSpace()) return DBIERR_DISKFULL;
      return writing ? DBIERR_WRITEERR : DBIERR_READERR;
  }
  return DBIERR_INTERNAL;
}

void FailWith(const Status& status, const std::string& file, bool writing) {
  throw Failure{CodeFor(status, writing), file, PolishDetail(status), writing};
}

uint8_t CheckLooksLikeTable(const std::string& path) {
  paradox::FileSystem* fs = paradox::DefaultFileSystem();
  auto file = fs->Open(path, paradox::OpenMode::kRead);
  if (!file.ok()) FailWith(file.status(), path, false);
  uint8_t fixed[paradox::FixedHeader::kEncodedLength];
  size_t got = 0;
  Status st = file.value()->ReadAt(0, paradox::MutableByteSpan(fixed, sizeof fixed), &got);
  if (!st.ok()) FailWith(st, path, false);
  paradox::FixedHeader header;
  if (!header.DecodeFrom(paradox::ByteSpan(fixed, got)).ok())
    Fail(DBIERR_NOTPARADOX, path, "plik jest za krótki na nagłówek tabeli Paradox");
  const uint8_t fileType = header.fileType;
  // A damaged header is still a table's where its family, name area or blocks say so;
  // another member of a family, whose header says what it is, is no table.
  paradox::TableLevel level;
  const bool otherMember =
      paradox::AsciiUpper(paradox::PathExtension(path)) != ".DB" &&
      paradox::LevelFromVersionId(header.fileVersionId, &level) &&
      (paradox::IsIndexFileType(fileType) || paradox::IsSecondaryDataType(fileType));
  if (fileType != 0 && fileType != 2 &&
      (otherMember || paradox::ParadoxTableEvidence(fs, path).empty())) {
    Fail(DBIERR_NOTPARADOX, path,
         "bajt typu pliku ma wartość " + std::to_string(fileType) +
             ", inną niż w tabeli Paradox (.DB)");
  }
  return header.fileVersionId;
}

namespace {

// What the user can do when no source gives the structure (the reason line of the window).
const char* const kFindStructureElsewhere =
    "a jej struktury nie podaje ani rodzina tabeli, ani kopia z wcześniejszej przebudowy; "
    "strukturę znajdzie polecenie „rekasto infer-structure TABELA --write=WZÓR.DB”, a tabelę "
    "z nią (albo ze strukturą kopii zapasowej tabeli) przebuduje „rekasto rebuild "
    "--structure-from=WZÓR.DB TABELA”";

// Every field descriptor is one a table may have, and the record size is theirs.
bool HeaderDescribesFields(const paradox::TableHeader& h) {
  if (h.fields.empty() || (h.fixed.fileType != 0 && h.fixed.fileType != 2)) return false;
  for (const paradox::FieldDesc& f : h.fields)
    if (!paradox::IsKnownFieldType(uint8_t(f.type)) ||
        !paradox::ValidateFieldDescriptor(f.type, f.sizeByte).ok())
      return false;
  return h.fixed.recordSize == h.ComputedRecordSize() && paradox::BlockSizeKnown(h.BlockSize());
}

}  // namespace

TableFacts LoadFacts(const std::string& path) {
  paradox::FileSystem* fs = paradox::DefaultFileSystem();
  TableFacts facts;
  facts.path = path;

  const bool levelKnown = paradox::LevelFromVersionId(CheckLooksLikeTable(path), &facts.level);
  auto header = paradox::ReadHeader(fs, path);
  if (header.ok() && levelKnown && HeaderDescribesFields(header.value())) {
    facts.header = std::move(header.value());
  } else {
    if (!header.ok() && !header.status().IsCorruption())
      Fail(CodeFor(header.status(), false), path, PolishDetail(header.status()));
    // The header cannot give the structure: the family and the backups of earlier
    // rebuilds may (what needs a person's eye, an inferred structure, is left to them).
    auto recovered = paradox::RecoverTableHeader(fs, path);
    if (!recovered.ok()) {
      const Status& st = recovered.status();
      if (!st.IsCorruption()) FailWith(st, path, false);
      if (levelKnown || !paradox::ParadoxTableEvidence(fs, path).empty())
        throw Failure{DBIERR_CORRUPTHEADER, path, PolishDetail(st), false, kFindStructureElsewhere};
      Fail(DBIERR_UNSUPPORTEDLEVEL, path,
           "bajt wersji tabeli nie odpowiada żadnemu znanemu poziomowi");
    }
    facts.header = std::move(recovered->header);
    facts.structureSource = recovered->notes.empty() ? std::string() : recovered->notes.front();
    if (!paradox::LevelFromVersionId(facts.header.fixed.fileVersionId, &facts.level))
      facts.level = paradox::TableLevel::k7;
  }
  // Descriptors hold at most 16 key fields, as the format allows.
  const uint16_t keys = facts.header.fixed.primaryKeyFields;
  if (keys > 16 || keys > facts.header.fields.size()) {
    Fail(DBIERR_CORRUPTHEADER, path,
         "liczba pól klucza wynosi " + std::to_string(keys) +
             ", a powinna najwyżej 16 i najwyżej " + std::to_string(facts.header.fields.size()));
  }

  auto family = paradox::FindFamily(fs, path);
  if (!family.ok()) FailWith(family.status(), path, false);
  facts.family = std::move(family.value());

  if (!facts.family.px.empty()) {
    auto px = paradox::ReadHeader(fs, facts.family.px);
    if (px.ok()) facts.primaryBlockSize = px.value().BlockSize();
  }
  for (const paradox::SecondaryFiles& sec : facts.family.secondary) {
    if (sec.x.empty()) continue;  // a lone Y/YG file holds no definition
    auto x = paradox::ReadHeader(fs, sec.x);
    if (!x.ok()) {
      ++facts.unreadableSecondaries;
      continue;
    }
    auto info = paradox::SecondaryIndexFromHeader(x.value(), facts.header.fixed.primaryKeyFields);
    if (!info.ok() || info.value().dbFields.empty() || info.value().dbFields.size() > 16) {
      ++facts.unreadableSecondaries;
      continue;
    }
    SecondaryFacts s;
    s.tag = sec.tag;
    s.info = std::move(info.value());
    if (!sec.y.empty()) {
      auto y = paradox::ReadHeader(fs, sec.y);
      if (y.ok()) s.blockSize = y.value().BlockSize();
    }
    facts.secondaries.push_back(std::move(s));
  }

  if (!facts.family.val.empty()) {
    facts.valPresent = true;
    auto bytes = fs->ReadFile(facts.family.val, paradox::kMaxValFileSize);
    if (bytes.ok()) {
      auto val = paradox::DecodeVal(bytes.value());
      if (val.ok()) {
        facts.valChecks = val.value().declaredChecks;
        facts.valLinks = val.value().declaredLinks;
        facts.val = std::move(val.value());
        // A stale .VAL may name fields the table no longer has; those checks describe
        // nothing a rebuild could keep.
        std::erase_if(facts.val->checks, [&](const paradox::ValCheck& c) {
          return c.fieldIndex >= facts.header.fields.size();
        });
      } else if (bytes.value().size() >= 3 && bytes.value()[1] >= 9) {
        // Entries that cannot be decoded are still declared by the count byte.
        facts.valChecks = bytes.value()[2];
      }
    }
  }
  return facts;
}

}  // namespace tutil
