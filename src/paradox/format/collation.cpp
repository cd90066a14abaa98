#include "paradox/format/collation.h"

#include <algorithm>
#include <cstring>

#include "paradox/format/collation_tables.h"

namespace paradox {

namespace {

size_t TextLength(ByteSpan v) {
  if (v.empty()) return 0;  // an empty span may have no data pointer at all
  const void* nul = std::memchr(v.data(), 0, v.size());
  return nul ? size_t(static_cast<const uint8_t*>(nul) - v.data()) : v.size();
}

int Sign(int v) {
  return (v > 0) - (v < 0);
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = char(x - 32);
    if (y >= 'a' && y <= 'z') y = char(y - 32);
    if (x != y) return false;
  }
  return true;
}

enum Kind : uint8_t { kPlain = 0, kExpands = 1, kContracts = 2, kIgnorable = 3 };

}  // namespace

// One collation element: the weights of a byte, of a contracted pair, or of one half of
// an expanded byte.
struct Collation::Element {
  uint8_t primary = 0, secondary = 0, tertiary = 0;
  bool expansionFirst = false;  // first half of an expansion (sorts after the pair)
};

// Walks the collation elements of a text.
class Collation::Cursor {
 public:
  Cursor(const Collation& c, ByteSpan v) : c_(c), t_(*c.table_), p_(v.data()), n_(TextLength(v)) {}

  bool Next(Element* e) {
    if (pending_ >= 0) {
      Weights(uint8_t(pending_), e);
      pending_ = -1;
      return true;
    }
    while (i_ < n_) {
      const uint8_t b = p_[i_];
      switch (c_.kind_[b]) {
        case kIgnorable:
          sawIgnorable = true;
          ++i_;
          continue;
        case kExpands:
          for (uint8_t k = 0; k < t_.expansionCount; ++k)
            if (t_.expansions[k].byte == b) pending_ = t_.expansions[k].second;
          Weights(b, e);
          e->expansionFirst = pending_ >= 0;
          ++i_;
          return true;
        case kContracts:
          if (i_ + 1 < n_) {
            for (uint8_t k = 0; k < t_.contractionCount; ++k) {
              const coll::Contraction& ct = t_.contractions[k];
              if (ct.first == b && ct.second == p_[i_ + 1]) {
                *e = Element{ct.primary, ct.secondary, ct.tertiary, false};
                i_ += 2;
                return true;
              }
            }
          }
          [[fallthrough]];
        default:
          Weights(b, e);
          ++i_;
          return true;
      }
    }
    return false;
  }

  bool sawIgnorable = false;

 private:
  void Weights(uint8_t b, Element* e) const {
    e->primary = t_.primary[b];
    e->secondary = t_.secondary[b];
    e->tertiary = t_.tertiary ? t_.tertiary[b] : 0;
    e->expansionFirst = false;
  }

  const Collation& c_;
  const coll::DriverTable& t_;
  const uint8_t* p_;
  size_t n_;
  size_t i_ = 0;
  int pending_ = -1;
};

Collation::Collation(const coll::DriverTable* table) : table_(table) {
  std::memset(kind_, kPlain, sizeof kind_);
  if (!table) {
    name_ = "ascii";
    id_ = 0;
    codePage_ = 437;
    for (int c = 0; c < 256; ++c) upper_[c] = uint8_t(c >= 'a' && c <= 'z' ? c - 32 : c);
    return;
  }
  name_ = table->name;
  id_ = table->id;
  codePage_ = table->codePage;
  std::memcpy(upper_, table->upper, 256);
  for (uint8_t k = 0; k < table->expansionCount; ++k) kind_[table->expansions[k].byte] = kExpands;
  for (uint8_t k = 0; k < table->contractionCount; ++k)
    kind_[table->contractions[k].first] = kContracts;
  for (uint8_t k = 0; k < table->ignorableCount; ++k) kind_[table->ignorable[k]] = kIgnorable;
}

const std::vector<const Collation*>& Collation::All() {
  // Built once and never destroyed: a static's destructor at exit would leave users in
  // other statics' destructors with dangling pointers (and leak checkers see the list).
  static const std::vector<const Collation*>* all = [] {
    auto* v = new std::vector<const Collation*>;
    v->push_back(new Collation(nullptr));
    for (size_t i = 0; i < coll::kDriverCount; ++i) v->push_back(new Collation(&coll::kDrivers[i]));
    return v;
  }();
  return *all;
}

const Collation& Collation::ByteOrder() {
  return *All().front();
}

const Collation* Collation::ForName(std::string_view name) {
  for (const Collation* c : All())
    if (SameName(c->name(), name)) return c;
  return nullptr;
}

const Collation* Collation::ForId(uint8_t id) {
  // DOS drivers come first in the table, so a shared byte finds the DOS driver.
  for (const Collation* c : All())
    if (c->id() == id) return c;
  return nullptr;
}

const Collation* Collation::ForHeader(const TableHeader& h) {
  if (!h.sortOrderId.empty()) return ForName(h.sortOrderId);
  return ForId(h.fixed.sortOrder);
}

void Collation::FoldUpper(MutableByteSpan v) const {
  for (auto& c : v) c = upper_[c];
}

bool Collation::IsFolded(ByteSpan v) const {
  const size_t n = TextLength(v);
  for (size_t i = 0; i < n; ++i)
    if (upper_[v[i]] != v[i]) return false;
  return true;
}

int Collation::Compare(ByteSpan a, ByteSpan b) const {
  if (!table_) {
    const size_t n = std::min(a.size(), b.size());
    const int c = n ? std::memcmp(a.data(), b.data(), n) : 0;  // an empty span may be null
    if (c != 0) return Sign(c);
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
  }
  Cursor ca(*this, a), cb(*this, b);
  Element ea, eb;
  int secondary = 0, tertiary = 0, expansion = 0;
  bool ha, hb;
  for (;;) {
    ha = ca.Next(&ea);
    hb = cb.Next(&eb);
    if (!ha || !hb) break;
    if (ea.primary != eb.primary) return ea.primary < eb.primary ? -1 : 1;
    if (ea.secondary != eb.secondary) {
      if (table_->reverseSecondary || secondary == 0)
        secondary = ea.secondary < eb.secondary ? -1 : 1;
    } else if (ea.tertiary != eb.tertiary) {
      if (tertiary == 0) tertiary = ea.tertiary < eb.tertiary ? -1 : 1;
    } else if (ea.expansionFirst != eb.expansionFirst && expansion == 0) {
      expansion = ea.expansionFirst ? 1 : -1;
    }
  }
  if (ha != hb) return ha ? 1 : -1;
  if (secondary) return secondary;
  if (tertiary) return tertiary;
  if (expansion) return expansion;
  // Drivers that compare accents from the end ignore the ignorable characters.
  if ((ca.sawIgnorable || cb.sawIgnorable) && !table_->reverseSecondary) {
    int c = CompareSpecials(a, b);
    if (c) return c;
  }
  const size_t la = TextLength(a), lb = TextLength(b);
  int c = std::min(la, lb) ? std::memcmp(a.data(), b.data(), std::min(la, lb)) : 0;
  if (c != 0) return Sign(c);
  return la == lb ? 0 : (la < lb ? -1 : 1);
}

// Ignorable characters decide only between texts otherwise equal: the one whose first
// ignorable character comes earlier sorts first, then by their weights; a text with
// more of them sorts after.
int Collation::CompareSpecials(ByteSpan a, ByteSpan b) const {
  const size_t la = TextLength(a), lb = TextLength(b);
  size_t i = 0, j = 0;
  for (;;) {
    while (i < la && kind_[a[i]] != kIgnorable) ++i;
    while (j < lb && kind_[b[j]] != kIgnorable) ++j;
    const bool ma = i < la, mb = j < lb;
    if (!ma || !mb) return ma == mb ? 0 : (ma ? 1 : -1);
    if (i != j) return i < j ? -1 : 1;
    const uint8_t pa = table_->primary[a[i]], pb = table_->primary[b[j]];
    if (pa != pb) return pa < pb ? -1 : 1;
    ++i;
    ++j;
  }
}

void Collation::AppendSortKey(ByteSpan v, Bytes* out) const {
  if (!table_) {
    out->insert(out->end(), v.begin(), v.end());
    return;
  }
  // Levels one after the other, each element shifted by one and each level closed by a
  // 0, so that a shorter level sorts first and the key stays prefix-free.
  std::vector<Element> el;
  Cursor cur(*this, v);
  Element e;
  while (cur.Next(&e)) el.push_back(e);
  for (const auto& x : el) out->push_back(uint8_t(x.primary + 1));
  out->push_back(0);
  if (table_->reverseSecondary)
    for (auto it = el.rbegin(); it != el.rend(); ++it) out->push_back(uint8_t(it->secondary + 1));
  else
    for (const auto& x : el) out->push_back(uint8_t(x.secondary + 1));
  out->push_back(0);
  for (const auto& x : el) out->push_back(uint8_t(x.tertiary + 1));
  out->push_back(0);
  for (const auto& x : el) out->push_back(x.expansionFirst ? 2 : 1);
  out->push_back(0);
  const size_t n = TextLength(v);
  if (cur.sawIgnorable && !table_->reverseSecondary) {
    for (size_t i = 0; i < n; ++i) {
      if (kind_[v[i]] != kIgnorable) continue;
      out->push_back(1);
      out->push_back(uint8_t(i >> 8));
      out->push_back(uint8_t(i));
      out->push_back(uint8_t(table_->primary[v[i]] + 1));
    }
  }
  out->push_back(0);
  out->insert(out->end(), v.begin(), v.begin() + long(n));
  out->push_back(0);
}

void KeyOrder::AddKeyFields(const TableHeader& h, size_t available) {
  const bool secondary = IsSecondaryDataType(h.fixed.fileType);
  for (size_t i = 0; i < h.fixed.primaryKeyFields && i < h.fields.size(); ++i) {
    const FieldDesc& f = h.fields[i];
    if (f.offset + f.Size() > available) break;
    const bool alpha = f.type == FieldType::kAlpha;
    fields_.push_back({f.offset, f.Size(), alpha, secondary && (f.number & 0x8000) != 0});
    keyLength_ = std::max(keyLength_, f.offset + f.Size());
  }
}

KeyOrder::KeyOrder(const TableHeader& h, Plain plain, size_t available) : plain_(plain) {
  AddKeyFields(h, available);
  usable_ = fields_.size();
  certainPrefix_ = keyLength_;
}

KeyOrder::KeyOrder(const TableHeader& h, Unknown unknown) {
  AddKeyFields(h, SIZE_MAX);
  const bool hasAlpha =
      std::any_of(fields_.begin(), fields_.end(), [](const Field& f) { return f.alpha; });
  collation_ = Collation::ForHeader(h);
  if (!collation_ && (!hasAlpha || unknown == Unknown::kBytes))
    collation_ = &Collation::ByteOrder();
  known_ = Collation::ForHeader(h) != nullptr || !hasAlpha;
  usable_ = fields_.size();
  if (!collation_) {
    usable_ = 0;
    while (usable_ < fields_.size() && !fields_[usable_].alpha) ++usable_;
  }
  certainPrefix_ = 0;
  for (size_t i = 0; i < usable_; ++i) certainPrefix_ = fields_[i].offset + fields_[i].size;
  if (usable_ == fields_.size()) certainPrefix_ = keyLength_;
}

namespace {
uint8_t FoldAscii(uint8_t c) {
  return (c >= 'a' && c <= 'z') ? uint8_t(c - 32) : c;
}
}  // namespace

int KeyOrder::ComparePlain(const uint8_t* a, const uint8_t* b) const {
  for (const Field& f : fields_) {
    int c = 0;
    for (size_t k = 0; c == 0 && f.alpha && *plain_ == Plain::kFoldedAscii && k < f.size; ++k)
      c = int(FoldAscii(a[f.offset + k])) - int(FoldAscii(b[f.offset + k]));
    if (c == 0) c = std::memcmp(a + f.offset, b + f.offset, f.size);
    if (c != 0) return f.descending ? -Sign(c) : Sign(c);
  }
  return 0;
}

int KeyOrder::Compare(const uint8_t* a, const uint8_t* b) const {
  if (plain_) return ComparePlain(a, b);
  for (size_t i = 0; i < usable_; ++i) {
    const Field& f = fields_[i];
    int c;
    if (f.alpha)
      c = collation_->Compare(ByteSpan(a + f.offset, f.size), ByteSpan(b + f.offset, f.size));
    else
      c = Sign(std::memcmp(a + f.offset, b + f.offset, f.size));
    if (c != 0) return f.descending ? -c : c;
  }
  if (usable_ < fields_.size()) return 0;
  // Keys the collation sees as equal: byte order, so that only identical keys are equal.
  return Sign(std::memcmp(a, b, keyLength_));
}

void KeyOrder::AppendSortKey(const uint8_t* rec, Bytes* out) const {
  for (size_t i = 0; i < usable_; ++i) {
    const Field& f = fields_[i];
    const size_t start = out->size();
    if (plain_ && f.alpha && *plain_ == Plain::kFoldedAscii)
      for (size_t k = 0; k < f.size; ++k) out->push_back(FoldAscii(rec[f.offset + k]));
    if (f.alpha && !plain_)
      collation_->AppendSortKey(ByteSpan(rec + f.offset, f.size), out);
    else
      out->insert(out->end(), rec + f.offset, rec + f.offset + f.size);
    if (f.descending)
      for (size_t k = start; k < out->size(); ++k) (*out)[k] = uint8_t(~(*out)[k]);
  }
  if (usable_ == fields_.size()) out->insert(out->end(), rec, rec + keyLength_);
}

std::string UpperCaseName(std::string_view name, const Collation* collation) {
  std::string up(name);
  for (char& c : up) {
    const auto b = static_cast<uint8_t>(c);
    if (b >= 0x80)
      c = static_cast<char>(collation ? collation->Upper(b) : b);
    else if (b >= 'a' && b <= 'z')
      c = static_cast<char>(b - 'a' + 'A');
  }
  return up;
}

bool HasKnownCollation(const TableHeader& h) {
  return KeyOrder(h).known();
}

}  // namespace paradox
