// rekasto dump's lines (CSV and JSON) written straight from the record bytes equal,
// byte for byte, the lines made through decoded Values (the reference): over many
// generated tables of every field type in several code pages, with blanks, extreme
// and undecodable values, memos in the leader and in the .MB (and unreadable ones),
// blank text, blobs to files, and no .MB at all.
#include "dump_lines.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <random>

#include "paradox/format/blob.h"
#include "paradox/format/value.h"
#include "paradox/format/writer.h"

namespace {

using paradox::Bytes;
using paradox::FieldType;
using Rng = std::mt19937_64;

uint64_t Uniform(Rng& r, uint64_t lo, uint64_t hi) {
  return std::uniform_int_distribution<uint64_t>(lo, hi)(r);
}
bool Chance(Rng& r, double p) {
  return std::uniform_real_distribution<double>(0.0, 1.0)(r) < p;
}

void PutDouble(uint8_t* p, double d) {
  paradox::EncodeDouble(d, p);
}

double SomeDouble(Rng& r) {
  static const double kOdd[] = {0.1,
                                -0.0,
                                1e15,
                                1e16,
                                123456789012345678.0,
                                0.30000000000000004,
                                DBL_MAX,
                                -DBL_MAX,
                                DBL_MIN,
                                4.9406564584124654e-324,
                                2.2250738585072009e-308,
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity(),
                                std::nan(""),
                                9007199254740993.0,
                                1.0 / 3,
                                100,
                                -5.5e-7};
  switch (Uniform(r, 0, 3)) {
    case 0:
      return kOdd[Uniform(r, 0, std::size(kOdd) - 1)];
    case 1:
      return double(int64_t(Uniform(r, 0, 2000000)) - 1000000) / 100.0;
    case 2: {
      const uint64_t bits = r();
      double d;
      std::memcpy(&d, &bits, 8);
      return d;
    }
    default:
      return std::ldexp(std::uniform_real_distribution<double>(-1, 1)(r),
                        int(Uniform(r, 0, 200)) - 100);
  }
}

// Blob data of `n` bytes; G and O values sometimes with their sub-header.
Bytes BlobBytes(Rng& r, FieldType t, size_t n) {
  Bytes b(n);
  for (auto& c : b)
    c = Chance(r, 0.3) ? uint8_t("ab,\"\r\n x\xe9\x80"[Uniform(r, 0, 10)]) : uint8_t(r());
  if ((t == FieldType::kGraphic || t == FieldType::kOle) && n >= 8 && Chance(r, 0.5))
    paradox::EncodeU32(b.data() + 4, uint32_t(n - 8));
  return b;
}

// One field's stored bytes: blank, ordinary, extreme or (rarely) undecodable.
void FillField(Rng& r, const paradox::FieldDesc& f, uint8_t* p, paradox::BlobWriter* mb,
               uint32_t* mbEnd) {
  const size_t n = f.Size();
  std::memset(p, 0, n);
  if (Chance(r, 0.12)) return;  // blank
  const bool bad = Chance(r, 0.02);
  switch (f.type) {
    case FieldType::kAlpha: {
      const size_t len = Uniform(r, 0, n);
      for (size_t i = 0; i < len; ++i)
        p[i] = Chance(r, 0.2) ? uint8_t(",\"\r\n a\x01\xff\x80\xa4"[Uniform(r, 0, 9)])
                              : uint8_t(Uniform(r, 1, 255));
      if (len && Chance(r, 0.1)) p[Uniform(r, 0, len - 1)] = 0;  // garbage after a NUL
      return;
    }
    case FieldType::kBytes:
    case FieldType::kShort:
    case FieldType::kLong:
    case FieldType::kAutoInc:
      for (size_t i = 0; i < n; ++i) p[i] = uint8_t(r());
      return;
    case FieldType::kMoney:
    case FieldType::kNumber:
      PutDouble(p, SomeDouble(r));
      return;
    case FieldType::kDate: {
      int32_t d = int32_t(Uniform(r, 0, 3652059 + 900000)) - 900000;
      if (Chance(r, 0.05)) d = std::numeric_limits<int32_t>::min() + 1 + int32_t(Uniform(r, 0, 10));
      if (bad) d = 3652060 + int32_t(Uniform(r, 0, 1000));
      paradox::EncodeInt32(d, p);
      return;
    }
    case FieldType::kTime:
      paradox::EncodeInt32(
          bad ? (Chance(r, 0.5) ? -1 : 86400000) : int32_t(Uniform(r, 0, 86399999)), p);
      return;
    case FieldType::kTimestamp: {
      double ms = double(Uniform(r, 0, 3652059)) * 86400000.0 + double(Uniform(r, 0, 86399999));
      if (Chance(r, 0.2)) ms += std::uniform_real_distribution<double>(0, 1)(r);
      if (Chance(r, 0.1)) ms = -ms;
      if (Chance(r, 0.1)) ms = SomeDouble(r);
      if (bad)
        ms = Chance(r, 0.5) ? 3652060.0 * 86400000.0 : std::numeric_limits<double>::infinity();
      PutDouble(p, ms);
      return;
    }
    case FieldType::kLogical:
      p[0] = bad ? uint8_t(Uniform(r, 1, 0x7F)) : uint8_t(Chance(r, 0.5) ? 0x80 : 0x81);
      return;
    case FieldType::kBcd: {
      const uint8_t dec = f.sizeByte;
      if (Chance(r, 0.05)) {
        p[0] = dec;  // another writer's blank
        return;
      }
      const bool neg = Chance(r, 0.4);
      p[0] = uint8_t((neg ? 0x40 : 0xC0) | dec);
      const size_t digits = Uniform(r, 0, 32);
      for (size_t k = 0; k < 32; ++k) {
        uint8_t nib = k >= 32 - digits ? uint8_t(Uniform(r, 0, 9)) : 0;
        if (Chance(r, 0.02)) nib = uint8_t(Uniform(r, 10, 15));  // engine artefacts
        uint8_t& b = p[1 + k / 2];
        b = uint8_t(k % 2 ? (b | nib) : (nib << 4));
      }
      if (neg)
        for (size_t k = 1; k < 17; ++k) p[k] = uint8_t(~p[k]);
      if (bad) p[0] = uint8_t(Uniform(r, 0, 255));
      return;
    }
    default:
      break;
  }
  // Blob fields: leader bytes, then the pointer.
  const size_t leader = f.LeaderSize();
  paradox::BlobPointer ptr;
  Bytes data;
  switch (Uniform(r, 0, 5)) {
    case 0:  // the whole value in the leader
      if (leader == 0) return;
      ptr.length = uint32_t(Uniform(r, 1, leader));
      data = BlobBytes(r, f.type, ptr.length);
      break;
    case 1:
    case 2:
    case 3: {  // in the .MB: small ones share a block, large ones have their own
      if (!mb) break;
      data =
          BlobBytes(r, f.type,
                    Chance(r, 0.8) ? Uniform(r, leader + 1, leader + 300) : Uniform(r, 2049, 9000));
      auto added = mb->Add(data);
      ASSERT_TRUE(added.ok()) << added.status().ToString();
      ptr = added.value();
      *mbEnd = std::max<uint32_t>(*mbEnd, ptr.offset + 4096);
      break;
    }
    case 4:  // a pointer the .MB does not hold
      data = BlobBytes(r, f.type, leader);
      ptr.length = uint32_t(Uniform(r, leader + 1, leader + 5000));
      ptr.offset = uint32_t(Uniform(r, 0, 40)) * 4096 + (Chance(r, 0.1) ? 256 : 0);
      ptr.index = uint8_t(Chance(r, 0.5) ? 0xFF : Uniform(r, 0, 70));
      if (ptr.offset == 0 && !bad) ptr.offset = 4096;
      break;
    default:  // blank length with leader bytes left behind
      data = BlobBytes(r, f.type, leader);
      break;
  }
  if (!data.empty()) std::memcpy(p, data.data(), std::min(leader, data.size()));
  ptr.modNumber = uint16_t(Uniform(r, 0, 3));
  ptr.EncodeTo(p + leader);
}

struct Table {
  paradox::TableHeader header;
  std::vector<Bytes> records;
};

TEST(DumpLines, DirectLinesEqualTheReference) {
  static const FieldType kTypes[] = {
      FieldType::kAlpha, FieldType::kDate,      FieldType::kShort,   FieldType::kLong,
      FieldType::kMoney, FieldType::kNumber,    FieldType::kLogical, FieldType::kMemo,
      FieldType::kBlob,  FieldType::kFmtMemo,   FieldType::kOle,     FieldType::kGraphic,
      FieldType::kTime,  FieldType::kTimestamp, FieldType::kAutoInc, FieldType::kBcd,
      FieldType::kBytes};
  // Byte-table pages, a composing one (1255) and a multi-byte one (932), through iconv.
  static const uint16_t kPages[] = {1252, 852, 866, 437, 850, 1251, 1255, 932, 0};
  uint64_t lines = 0, skipped = 0, problems = 0, files = 0, escaped = 0;
  for (uint64_t seed = 1; seed <= 120; ++seed) {
    Rng r(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    paradox::TableSchema s;
    s.level = paradox::TableLevel::k7;
    s.blockSize = 4096;
    s.codePage = kPages[Uniform(r, 0, std::size(kPages) - 1)];
    const size_t nf = Uniform(r, 1, 12);
    for (size_t i = 0; i < nf; ++i) {
      paradox::FieldDef d;
      d.name = "F" + std::to_string(i) + (Chance(r, 0.2) ? ",\"q" : "") +
               (Chance(r, 0.2) ? "\xe9\x8e" : "");
      d.type = kTypes[Uniform(r, 0, std::size(kTypes) - 1)];
      if (d.type == FieldType::kAlpha) d.size = uint16_t(Uniform(r, 1, 60));
      if (d.type == FieldType::kBytes) d.size = uint16_t(Uniform(r, 1, 20));
      if (d.type == FieldType::kBcd) d.size = uint16_t(Uniform(r, 0, 32));
      if (d.type == FieldType::kMemo)
        d.size = uint16_t(Uniform(r, 1, 40));
      else if (paradox::IsBlobType(d.type))
        d.size = uint16_t(Uniform(r, 0, 40));
      s.fields.push_back(d);
    }
    auto header = paradox::HeaderForSchema(s, "d/T.DB");
    ASSERT_TRUE(header.ok()) << header.status().ToString();
    const paradox::TableHeader& h = header.value();

    paradox::MemFileSystem fs;
    ASSERT_TRUE(fs.MakeDir("d").ok());
    const bool withMb = !Chance(r, 0.15);
    std::unique_ptr<paradox::BlobWriter> mb;
    if (withMb) {
      auto w = paradox::BlobWriter::Create(&fs, "d/T.MB", 0);
      ASSERT_TRUE(w.ok());
      mb = std::move(w.value());
    }
    uint32_t mbEnd = 0;
    std::vector<Bytes> records;
    for (size_t k = Uniform(r, 1, 80); k > 0; --k) {
      Bytes rec(h.fixed.recordSize);
      for (const paradox::FieldDesc& f : h.fields)
        FillField(r, f, rec.data() + f.offset, mb.get(), &mbEnd);
      records.push_back(std::move(rec));
    }
    std::unique_ptr<paradox::BlobFile> direct, reference;
    if (mb) {
      ASSERT_TRUE(mb->Finish(false).ok());
      auto a = paradox::BlobFile::Open(&fs, "d/T.MB", 0);
      auto b = paradox::BlobFile::Open(&fs, "d/T.MB", 0);
      ASSERT_TRUE(a.ok() && b.ok());
      direct = std::move(a.value());
      reference = std::move(b.value());
      direct->KeepLastUnit();
    }
    paradox::Charset cs = paradox::CharsetOfTable(h).charset;
    if (!cs.known()) cs = paradox::CharsetForCodePage(1252);
    // CSV, CSV with --null, CSV with --blobs, JSON, JSON with --blobs.
    for (int variant = 0; variant < 5; ++variant) {
      const bool toFiles = variant == 2 || variant == 4;
      rekasto::DumpSettings set;
      set.stem = "T";
      set.json = variant >= 3;
      if (variant == 1) set.nullText = Chance(r, 0.5) ? "NULL" : "a,\"b";
      if (toFiles) set.blobDir = "o";
      rekasto::DumpSettings refSet = set;
      if (toFiles) refSet.blobDir = "p";
      (void)fs.MakeDir("o");
      (void)fs.MakeDir("p");
      rekasto::DumpLines fast(h, cs, direct.get(), set, &fs);
      rekasto::DumpLines ref(h, cs, reference.get(), refSet, &fs);
      ASSERT_EQ(fast.HeaderLine(), ref.HeaderLine());
      std::string a, b;
      for (size_t k = 0; k < records.size(); ++k) {
        std::vector<std::string> pa, pb;
        std::string ea, eb;
        const size_t from = a.size();
        const bool okA = fast.Append(records[k], k, &a, &pa, &ea);
        const bool okB = ref.AppendReference(records[k], k, &b, &pb, &eb);
        ASSERT_EQ(okA, okB) << "record " << k << ": " << ea << " / " << eb;
        ASSERT_EQ(ea, eb) << "record " << k;
        for (std::string& p : pb)  // the blob folders differ by name only
          if (toFiles)
            for (size_t at; (at = p.find("p/T_")) != std::string::npos;) p.replace(at, 1, "o");
        ASSERT_EQ(pa, pb) << "record " << k;
        ASSERT_EQ(a, b) << "record " << k << " in code page " << s.codePage;
        lines += okA;
        escaped += set.json && a.find("\\u00", from) != std::string::npos;
        skipped += !okA;
        problems += pa.size();
      }
    }
    auto written = fs.ListDir("o");
    ASSERT_TRUE(written.ok());
    for (const std::string& name : written.value()) {
      auto x = fs.ReadFile("o/" + name, UINT64_MAX);
      auto y = fs.ReadFile("p/" + name, UINT64_MAX);
      ASSERT_TRUE(x.ok() && y.ok()) << name;
      EXPECT_EQ(x.value(), y.value()) << name;
      ++files;
    }
  }
  // The generator reaches every case it is meant to.
  EXPECT_GT(lines, 5000u);
  EXPECT_GT(skipped, 20u);
  EXPECT_GT(problems, 20u);
  EXPECT_GT(files, 100u);
  EXPECT_GT(escaped, 100u);
}

}  // namespace
