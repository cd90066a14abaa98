#include "Describe.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

#include "PolishText.h"

namespace tutil {

using paradox::FieldDesc;
using paradox::FieldType;

namespace {

template <size_t N>
void CopyText(char (&dst)[N], const std::string& src) {
  const size_t n = std::min(src.size(), N - 1);
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

// A text field of a caller's record: NUL-terminated inside its array, else invalid.
template <size_t N>
std::string TextOf(const char (&src)[N], const std::string& what, const std::string& file) {
  const size_t n = strnlen(src, N);
  if (n == N) Fail(DBIERR_INVALIDDESC, file, what + ": brak bajtu NUL kończącego tekst");
  return std::string(src, n);
}

[[noreturn]] void Invalid(const std::string& file, const std::string& what) {
  Fail(DBIERR_INVALIDDESC, file, what);
}

// An array the count says holds elements must be there.
void RequireArray(uint16_t count, const void* array, const char* what, const std::string& file) {
  if (count > 0 && array == nullptr)
    Fail(DBIERR_INVALIDPARAM, file, "tablica " + std::string(what) + ": pusty wskaźnik");
}

bool HasCheck(const TableFacts& facts, size_t fieldIndex) {
  if (!facts.val) return false;
  for (const paradox::ValCheck& c : facts.val->checks) {
    if (c.fieldIndex == fieldIndex) return true;
  }
  return false;
}

uint16_t IndexIdForTag(const std::string& tag) {
  // "X02" -> 2, "XG0" -> 256 + 0; the digits are hexadecimal.
  const bool composite = tag.size() >= 2 && (tag[1] == 'G' || tag[1] == 'g');
  const std::string digits = tag.substr(composite ? 2 : 1);
  unsigned long n = 0;
  if (std::from_chars(digits.data(), digits.data() + digits.size(), n, 16).ec != std::errc()) n = 0;
  return static_cast<uint16_t>((composite ? 256 : 0) + (n & 0xFF));
}

void FillField(const FieldDesc& f, uint16_t number, bool hasCheck, FLDDesc* out) {
  std::memset(out, 0, sizeof *out);
  out->iFldNum = number;
  CopyText(out->szName, f.name);
  out->iFldType = static_cast<uint16_t>(f.type);
  if (f.type == FieldType::kAlpha || f.type == FieldType::kBytes) {
    out->iUnits1 = f.sizeByte;
  } else if (paradox::IsBlobType(f.type)) {
    out->iUnits1 = static_cast<int16_t>(f.LeaderSize());
  } else if (f.type == FieldType::kBcd) {
    out->iUnits1 = 32;
    out->iUnits2 = f.sizeByte;
  } else {
    out->iUnits1 = static_cast<int16_t>(f.Size());
  }
  out->iOffset = static_cast<uint16_t>(f.offset);
  out->iLen = static_cast<uint16_t>(f.Size());
  out->efldvVchk = hasCheck ? 1 : 0;
  out->cTypeLetter = paradox::FieldTypeLetter(f.type);
  out->iSizeByte = f.sizeByte;
}

uint16_t KeyLength(const TableFacts& facts, const std::vector<uint16_t>& fields) {
  uint32_t n = 0;
  for (uint16_t f : fields) {
    if (f >= 1 && f <= facts.header.fields.size()) n += facts.header.fields[f - 1].Size();
  }
  return static_cast<uint16_t>(n);
}

void FillIndex(const TableFacts& facts, const SecondaryFacts* sec, IDXDesc* out) {
  std::memset(out, 0, sizeof *out);
  std::vector<uint16_t> fields;
  if (sec == nullptr) {
    for (uint16_t i = 1; i <= facts.header.fixed.primaryKeyFields; ++i) fields.push_back(i);
    out->bPrimary = 1;
    out->bUnique = 1;
    out->bMaintained = 1;
    out->iBlockSize = static_cast<uint16_t>(facts.primaryBlockSize);
    CopyText(out->szFileSuffix, "PX");
  } else {
    fields = sec->info.dbFields;
    CopyText(out->szName, sec->info.name);
    out->iIndexId = IndexIdForTag(sec->tag);
    out->bUnique = sec->info.unique;
    out->bDescending = sec->info.descending;
    out->bMaintained = sec->info.maintained;
    out->bCaseInsensitive = sec->info.caseInsensitive;
    out->iBlockSize = static_cast<uint16_t>(sec->blockSize);
    CopyText(out->szFileSuffix, sec->tag);
    for (size_t k = 0; k < sec->info.fieldDescending.size() && k < TU_MAX_KEY_FIELDS; ++k) {
      out->abDescending[k] = sec->info.fieldDescending[k] ? 1 : 0;
    }
  }
  out->iFldsInKey = static_cast<uint16_t>(fields.size());
  out->iKeyLen = KeyLength(facts, fields);
  for (size_t k = 0; k < fields.size(); ++k) out->aiKeyFld[k] = fields[k];
}

void FillCheck(const paradox::ValCheck& c, VCHKDesc* out) {
  std::memset(out, 0, sizeof *out);
  out->iFldNum = static_cast<uint16_t>(c.fieldIndex + 1);
  out->bRequired = c.required;
  out->bHasMinVal = c.minimum.has_value();
  out->bHasMaxVal = c.maximum.has_value();
  out->bHasDefVal = c.defaultValue.has_value();
  auto copy = [](const std::optional<paradox::Bytes>& v, uint8_t* dst) {
    if (v && !v->empty())
      std::memcpy(dst, v->data(), std::min<size_t>(v->size(), TU_VCHK_VALUE_SIZE));
  };
  copy(c.minimum, out->aMinVal);
  copy(c.maximum, out->aMaxVal);
  copy(c.defaultValue, out->aDefVal);
  CopyText(out->szPict, c.picture);
  if (c.hasLookup) {
    out->elkupType = 1 | ((c.lookupFlags & 1) ? 2 : 0) | ((c.lookupFlags & 2) ? 4 : 0);
    CopyText(out->szLkupTblName, c.lookupTable);
  }
}

void FillLink(const paradox::ValLink& l, uint16_t number, RINTDesc* out) {
  std::memset(out, 0, sizeof *out);
  out->iRintNum = number;
  CopyText(out->szRintName, l.name);
  out->eType = 1;
  CopyText(out->szTblName, l.masterTable);
  out->eModOp = static_cast<uint16_t>(l.updateRule);
  out->iFldCount = static_cast<uint16_t>(std::min<size_t>(l.thisFields.size(), TU_MAX_KEY_FIELDS));
  for (size_t k = 0; k < out->iFldCount; ++k) {
    out->aiThisTabFld[k] = l.thisFields[k];
    out->aiOthTabFld[k] = l.masterFields[k];
  }
}

}  // namespace

std::vector<std::pair<std::string, std::string>> OptionalParams(const TableFacts& facts) {
  std::vector<std::pair<std::string, std::string>> params;
  params.emplace_back("LEVEL", paradox::LevelName(facts.level));
  params.emplace_back("BLOCK SIZE", std::to_string(facts.header.BlockSize()));
  if (facts.header.hasExtension) {
    params.emplace_back("CODE PAGE", std::to_string(facts.header.CodePage()));
    // Clipped like CURProps' szLangDriver: real names are a few letters, and a name run
    // on by damage must not outgrow the one unit of data a caller sets aside for it.
    if (!facts.header.sortOrderId.empty())
      params.emplace_back("SORT ORDER",
                          facts.header.sortOrderId.substr(0, sizeof(CURProps::szLangDriver) - 1));
  }
  return params;
}

// "3.5", a block size, a code page and a sort-order name, each with its NUL.
static_assert(4 + 7 + 6 + sizeof(CURProps::szLangDriver) <= TU_OPTDATA_UNIT,
              "the optional data fits one unit");

size_t OptionalDataBytes(const TableFacts& facts) {
  size_t n = 0;
  for (const auto& p : OptionalParams(facts)) n += p.second.size() + 1;
  return n;
}

void MakeProps(const TableFacts& facts, const char* location, CURProps* out) {
  CURProps p;
  std::memset(&p, 0, sizeof p);
  CopyText(p.szName, std::string(location, strnlen(location, DBIMAXPATHLEN)));
  p.iFNameSize = sizeof p.szName;
  CopyText(p.szTableType, "PARADOX");
  const paradox::FixedHeader& h = facts.header.fixed;
  p.iFields = h.numFields;
  p.iRecBufSize = h.recordSize;
  p.iRecSize = h.recordSize;
  p.iKeySize = facts.KeySize();
  const bool primary = h.fileType == 0 && !facts.family.px.empty();
  uint16_t secondaries = 0;
  for (const paradox::SecondaryFiles& s : facts.family.secondary) {
    if (!s.x.empty()) ++secondaries;
  }
  p.iIndexes = static_cast<uint16_t>((primary ? 1 : 0) + secondaries);
  p.iValChecks = facts.valChecks;
  p.iRefIntChecks = facts.valLinks;
  p.iRestrVersion = h.changeCount2;
  p.iPasswords = h.auxPasswords;
  p.iCodePage = facts.header.CodePage();
  p.bProtected = facts.header.IsEncrypted() ? 1 : 0;
  p.iTblLevel = facts.LevelNumber();
  CopyText(p.szLangDriver, facts.header.sortOrderId);
  p.iBlockSize = static_cast<uint16_t>(facts.header.BlockSize());
  std::memcpy(out, &p, sizeof p);
}

DescCounts MakeCounts(const TableFacts& facts) {
  DescCounts c;
  c.fields = facts.header.fixed.numFields;
  c.indexes = static_cast<uint16_t>(
      (facts.header.IsKeyed() && facts.header.fixed.primaryKeyFields > 0 ? 1 : 0) +
      facts.secondaries.size());
  c.security = 0;
  c.valChecks = facts.val ? static_cast<uint16_t>(facts.val->checks.size()) : 0;
  c.refLinks = facts.val ? static_cast<uint16_t>(facts.val->links.size()) : 0;
  c.optParams = static_cast<uint16_t>(OptionalParams(facts).size());
  c.optDataUnits =
      static_cast<uint16_t>((OptionalDataBytes(facts) + TU_OPTDATA_UNIT - 1) / TU_OPTDATA_UNIT);
  return c;
}

void MakeDesc(const TableFacts& facts, CRTblDesc* desc) {
  const DescCounts need = MakeCounts(facts);
  const std::string& file = facts.path;
  auto require = [&](uint16_t given, uint16_t needed, const void* array, const char* what) {
    if (given < needed) {
      Fail(DBIERR_INVALIDDESC, file,
           "liczba " + std::string(what) + " wynosi " + std::to_string(given) + ", a powinna " +
               std::to_string(needed));
    }
    RequireArray(needed, array, what, file);
  };
  require(desc->iFldCount, need.fields, desc->pfldDesc, "pól");
  require(desc->iIdxCount, need.indexes, desc->pidxDesc, "indeksów");
  require(desc->iValChkCount, need.valChecks, desc->pvchkDesc, "kontroli poprawności");
  require(desc->iRintCount, need.refLinks, desc->printDesc, "powiązań referencyjnych");
  // Optional parameters are optional: a caller that leaves count 6 at 0 gets none.
  const bool params = desc->iOptParams != 0;
  if (params) {
    require(desc->iOptParams, need.optParams, desc->pfldOptParams, "parametrów opcjonalnych");
    RequireArray(desc->iOptParams, desc->pOptData, "danych opcjonalnych", file);
  }

  // Everything fits: now write.
  auto* fields = static_cast<FLDDesc*>(desc->pfldDesc);
  for (uint16_t i = 0; i < need.fields; ++i) {
    FillField(facts.header.fields[i], static_cast<uint16_t>(i + 1), HasCheck(facts, i), &fields[i]);
  }
  auto* indexes = static_cast<IDXDesc*>(desc->pidxDesc);
  size_t n = 0;
  if (facts.header.IsKeyed() && facts.header.fixed.primaryKeyFields > 0)
    FillIndex(facts, nullptr, &indexes[n++]);
  for (const SecondaryFacts& s : facts.secondaries) FillIndex(facts, &s, &indexes[n++]);
  auto* checks = static_cast<VCHKDesc*>(desc->pvchkDesc);
  for (uint16_t i = 0; i < need.valChecks; ++i) FillCheck(facts.val->checks[i], &checks[i]);
  auto* links = static_cast<RINTDesc*>(desc->printDesc);
  for (uint16_t i = 0; i < need.refLinks; ++i)
    FillLink(facts.val->links[i], static_cast<uint16_t>(i + 1), &links[i]);
  if (params) {
    auto* out = static_cast<FLDDesc*>(desc->pfldOptParams);
    auto* data = static_cast<char*>(desc->pOptData);
    size_t offset = 0;
    uint16_t k = 0;
    for (const auto& [name, value] : OptionalParams(facts)) {
      std::memset(&out[k], 0, sizeof out[k]);
      out[k].iFldNum = static_cast<uint16_t>(k + 1);
      CopyText(out[k].szName, name);
      out[k].iFldType = static_cast<uint16_t>(FieldType::kAlpha);
      out[k].iUnits1 = static_cast<int16_t>(value.size() + 1);
      out[k].iOffset = static_cast<uint16_t>(offset);
      out[k].iLen = static_cast<uint16_t>(value.size() + 1);
      out[k].cTypeLetter = 'A';
      std::memcpy(data + offset, value.c_str(), value.size() + 1);
      offset += value.size() + 1;
      ++k;
    }
    desc->iOptParams = k;
  }
  desc->iFldCount = need.fields;
  desc->iIdxCount = need.indexes;
  desc->iSecRecCount = 0;
  desc->iValChkCount = need.valChecks;
  desc->iRintCount = need.refLinks;
  desc->bProtected = facts.header.IsEncrypted() ? 1 : 0;
  desc->bPack = 0;
}

namespace {

// The size byte of a field as the table stores it, from the units FillField gives.
int StoredSize(const FLDDesc& f, FieldType type) {
  if (type == FieldType::kAlpha || type == FieldType::kBytes) return f.iUnits1;
  if (paradox::IsBlobType(type)) return f.iUnits1 + 10;
  if (type == FieldType::kBcd) return f.iUnits2;
  return f.iLen;
}

paradox::RebuildField FieldFromDesc(const FLDDesc& f, uint16_t number, const std::string& file) {
  const std::string where = "pole " + std::to_string(number);
  if (f.iFldType > 0xFF || !paradox::IsKnownFieldType(static_cast<uint8_t>(f.iFldType))) {
    Invalid(file, where + ": nieznany typ pola " + std::to_string(f.iFldType));
  }
  const auto type = static_cast<FieldType>(f.iFldType);
  if (f.cTypeLetter != 0 && f.cTypeLetter != paradox::FieldTypeLetter(type)) {
    Invalid(file, where + ": litera typu nie pasuje do typu pola");
  }
  const int size = StoredSize(f, type);
  if (size < 0 || size > 255)
    Invalid(file, where + ": rozmiar " + std::to_string(size) + " poza zakresem");
  paradox::Status st = paradox::ValidateFieldDescriptor(type, static_cast<uint8_t>(size));
  if (!st.ok()) Invalid(file, where + ": " + PolishDetail(st));
  paradox::RebuildField rf;
  rf.name = TextOf(f.szName, where + ", nazwa", file);
  if (rf.name.empty()) Invalid(file, where + " nie ma nazwy");
  rf.type = paradox::FieldTypeLetter(type);
  rf.size = static_cast<uint16_t>(size);
  return rf;
}

void CheckKeyFields(const IDXDesc& x, const std::string& where, uint16_t fieldCount,
                    const std::string& file) {
  if (x.iFldsInKey == 0 || x.iFldsInKey > TU_MAX_KEY_FIELDS) {
    Invalid(file,
            where + ": " + std::to_string(x.iFldsInKey) + " pól klucza, a powinno od 1 do 16");
  }
  for (uint16_t k = 0; k < x.iFldsInKey; ++k) {
    if (x.aiKeyFld[k] == 0 || x.aiKeyFld[k] > fieldCount) {
      Invalid(file,
              where + ": pole klucza " + std::to_string(x.aiKeyFld[k]) + " nie jest polem tabeli");
    }
  }
}

// The key field count of the primary index, whose fields lead the record in order.
uint16_t PrimaryKeyFields(const IDXDesc& x, const std::string& where, const std::string& file) {
  for (uint16_t k = 0; k < x.iFldsInKey; ++k) {
    if (x.aiKeyFld[k] != k + 1)
      Invalid(file, where + ": pola klucza głównego muszą być pierwszymi polami tabeli, po kolei");
  }
  return x.iFldsInKey;
}

paradox::RebuildIndex SecondaryFromDesc(const IDXDesc& x, const std::string& where,
                                        const std::string& file) {
  paradox::RebuildIndex ri;
  ri.name = TextOf(x.szName, where + ", nazwa", file);
  bool anyDescending = false;
  for (uint16_t k = 0; k < x.iFldsInKey; ++k) {
    const auto field = x.aiKeyFld[k];  // a copy: the descriptor is packed
    ri.fields.push_back(field);
    const bool d = x.bDescending || x.abDescending[k];
    ri.descending.push_back(d);
    anyDescending = anyDescending || d;
  }
  if (!anyDescending) ri.descending.clear();
  ri.caseInsensitive = x.bCaseInsensitive != 0;
  ri.unique = x.bUnique != 0;
  ri.maintained = x.bMaintained != 0;
  ri.fileSuffix = TextOf(x.szFileSuffix, where + ", przyrostek pliku", file);
  return ri;
}

void CheckValidityChecks(const CRTblDesc& desc, const std::string& file) {
  const auto* checks = static_cast<const VCHKDesc*>(desc.pvchkDesc);
  for (uint16_t i = 0; i < desc.iValChkCount; ++i) {
    if (checks[i].iFldNum == 0 || checks[i].iFldNum > desc.iFldCount) {
      Invalid(file, "kontrola poprawności " + std::to_string(i + 1) + ": pole " +
                        std::to_string(checks[i].iFldNum) + " nie jest polem tabeli");
    }
  }
}

// The rebuild keeps the table's level and block size; a descriptor asking for others
// is refused rather than silently ignored.
void CheckKeptParams(const CRTblDesc& desc, const TableFacts& facts, const std::string& file) {
  if (desc.iOptParams == 0) return;
  const auto* params = static_cast<const FLDDesc*>(desc.pfldOptParams);
  const auto* data = static_cast<const char*>(desc.pOptData);
  const auto own = OptionalParams(facts);
  for (uint16_t i = 0; i < desc.iOptParams; ++i) {
    const std::string name =
        TextOf(params[i].szName, "parametr opcjonalny " + std::to_string(i + 1), file);
    if (name != "LEVEL" && name != "BLOCK SIZE") continue;
    const std::string value(data + params[i].iOffset,
                            strnlen(data + params[i].iOffset, params[i].iLen));
    for (const auto& [ownName, ownValue] : own) {
      if (ownName == name && ownValue != value) {
        Invalid(file, "parametr opcjonalny " + name + " ma wartość " + value + ", a tabela " +
                          ownValue + "; przebudowa ją zachowuje");
      }
    }
  }
}

}  // namespace

paradox::TableStructure StructureFromDesc(const CRTblDesc& desc, const TableFacts* facts,
                                          const std::string& file) {
  RequireArray(desc.iFldCount, desc.pfldDesc, "pól", file);
  RequireArray(desc.iIdxCount, desc.pidxDesc, "indeksów", file);
  RequireArray(desc.iValChkCount, desc.pvchkDesc, "kontroli poprawności", file);
  RequireArray(desc.iRintCount, desc.printDesc, "powiązań referencyjnych", file);
  RequireArray(desc.iOptParams, desc.pfldOptParams, "parametrów opcjonalnych", file);
  RequireArray(desc.iOptParams, desc.pOptData, "optional data", file);
  if (desc.iFldCount == 0) Invalid(file, "opis struktury nie ma pól");

  paradox::TableStructure s;
  const auto* fields = static_cast<const FLDDesc*>(desc.pfldDesc);
  for (uint16_t i = 0; i < desc.iFldCount; ++i)
    s.fields.push_back(FieldFromDesc(fields[i], static_cast<uint16_t>(i + 1), file));
  const auto* indexes = static_cast<const IDXDesc*>(desc.pidxDesc);
  bool sawPrimary = false;
  for (uint16_t i = 0; i < desc.iIdxCount; ++i) {
    const IDXDesc& x = indexes[i];
    const std::string where = "indeks " + std::to_string(i + 1);
    CheckKeyFields(x, where, desc.iFldCount, file);
    if (x.bPrimary) {
      if (sawPrimary) Invalid(file, where + ": drugi indeks główny");
      sawPrimary = true;
      s.keyFields = PrimaryKeyFields(x, where, file);
    } else {
      s.indexes.push_back(SecondaryFromDesc(x, where, file));
    }
  }
  CheckValidityChecks(desc, file);
  s.validityChecks = desc.iValChkCount;
  s.referentialLinks = desc.iRintCount;
  if (facts != nullptr) CheckKeptParams(desc, *facts, file);
  return s;
}

}  // namespace tutil
