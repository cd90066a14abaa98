// Round trips of every on-disk structure and the field codecs against the format's
// published examples.
#include "paradox/format/format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <typeinfo>

#include "paradox/format/blob.h"
#include "paradox/format/codepage.h"
#include "paradox/format/coding.h"
#include "paradox/format/crypt.h"
#include "paradox/format/file.h"
#include "paradox/format/header_file.h"
#include "paradox/format/index.h"
#include "paradox/format/status.h"
#include "paradox/format/value.h"

namespace paradox {
namespace {

Bytes Hex(const char* s) {
  Bytes out;
  int hi = -1;
  for (; *s; ++s) {
    int v = std::isdigit(*s) ? *s - '0' : (*s >= 'A' && *s <= 'F') ? *s - 'A' + 10 : -1;
    if (v < 0) continue;
    if (hi < 0)
      hi = v;
    else {
      out.push_back(static_cast<uint8_t>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

TEST(ByteReaderTest, StopsAtEndAndStaysFailed) {
  const uint8_t data[] = {1, 2, 3, 0, 'a'};
  ByteReader r(ByteSpan(data), "test");
  uint16_t v16;
  uint32_t v32;
  ASSERT_TRUE(r.U16(&v16));
  EXPECT_EQ(v16, 0x0201);
  EXPECT_FALSE(r.U32(&v32));
  EXPECT_TRUE(r.failed());
  EXPECT_FALSE(r.U16(&v16));
  EXPECT_TRUE(r.Error("x").IsCorruption());
}

TEST(ByteReaderTest, StringsMustBeTerminatedInside) {
  const uint8_t data[] = {'a', 'b', 0, 'c', 'd'};
  ByteReader r(ByteSpan(data), "test");
  std::string s;
  ASSERT_TRUE(r.CString(&s));
  EXPECT_EQ(s, "ab");
  EXPECT_FALSE(r.CString(&s));
  EXPECT_FALSE(r.Fits(3, 1));
  ByteReader r2(ByteSpan(data), "test");
  EXPECT_FALSE(r2.Fits(0xFFFFFFFFFFull, 0xFFFFFFFFull));  // no overflow
}

TEST(StructureRoundTrip, FixedHeaderAndExtension) {
  FixedHeader f;
  f.recordSize = 0x1234;
  f.headerSize = 2048;
  f.fileType = 8;
  f.blockSizeCode = 16;
  f.numRecords = 0xA1B2C3D4;
  f.blocksInUse = 7;
  f.fileBlocks = 9;
  f.firstBlock = 1;
  f.lastBlock = 5;
  f.unknown12 = 0x0C0D;
  f.indexFieldNumber = 3;
  f.ramPtr16 = 0x11223344;
  f.indexRoot = 2;
  f.numIndexLevels = 2;
  f.numFields = 200;
  f.primaryKeyFields = 16;
  f.encryption1 = 0xFF00FF00;
  f.sortOrder = 0x4C;
  f.indexSyncCount = 0xFF;
  f.changeCount1 = 9;
  f.changeCount2 = 3;
  f.xSyncCount = 8;
  f.fileVersionId = 12;
  f.maxBlocks = 9;
  f.unknown3E = 0x1F;
  f.unknown3F = 0x0F;
  f.autoInc = 44;
  f.firstFreeBlock = 6;
  f.realHeaderSize = 0x321;
  f.flags55 = 0x11;
  f.unknown56 = 0x20;
  uint8_t buf[FixedHeader::kEncodedLength];
  f.EncodeTo(buf);
  EXPECT_EQ(DecodeU32(buf + 0x06), 0xA1B2C3D4u);
  EXPECT_EQ(buf[0x39], 12);
  EXPECT_EQ(DecodeU16(buf + 0x4D), 6);
  FixedHeader g;
  ASSERT_TRUE(g.DecodeFrom(ByteSpan(buf, sizeof buf)).ok());
  EXPECT_EQ(f, g);
  EXPECT_TRUE(g.DecodeFrom(ByteSpan(buf, 0x57)).IsCorruption());

  HeaderExtension e;
  e.fileVerId2 = e.fileVerId3 = 0x10C;
  e.encryption2 = 0x0A25E09A;
  e.fileUpdateTime = 123456789;
  e.hiFieldId = 5;
  e.fieldNumbersOffset = 0x200;
  e.indexNameOffset = 0x210;
  e.codePage = 1250;
  e.unknown6C = e.unknown6D = 1;
  e.sortOrderIdOffset = 0x208;
  e.changeCount4 = 3;
  e.unknown72[2] = 7;
  uint8_t eb[HeaderExtension::kEncodedLength];
  e.EncodeTo(eb);
  EXPECT_EQ(DecodeU16(eb + 0x6A - 0x58), 1250);
  HeaderExtension e2;
  ASSERT_TRUE(e2.DecodeFrom(ByteSpan(eb, sizeof eb)).ok());
  EXPECT_EQ(e, e2);
}

TEST(StructureRoundTrip, SmallStructures) {
  BlockHeader b{3, 1, -17};
  uint8_t bb[6];
  b.EncodeTo(bb);
  BlockHeader b2;
  b2.DecodeFrom(bb);
  EXPECT_EQ(b, b2);
  EXPECT_EQ(b2.RecordCount(17, 2048), 0);
  EXPECT_EQ((BlockHeader{0, 0, 34}).RecordCount(17, 2048), 3);
  EXPECT_EQ((BlockHeader{0, 0, 35}).RecordCount(17, 2048), -1);        // not a multiple
  EXPECT_EQ((BlockHeader{0, 0, -34}).RecordCount(17, 2048), -1);       // below -recordSize
  EXPECT_EQ((BlockHeader{0, 0, 17 * 120}).RecordCount(17, 2048), -1);  // beyond capacity

  BlobPointer p{0x12345600, 0x3F, 777, 9};
  uint8_t pb[10];
  p.EncodeTo(pb);
  EXPECT_EQ(pb[0], 0x3F);
  BlobPointer p2;
  p2.DecodeFrom(pb);
  EXPECT_EQ(p, p2);

  MbHeader mh;
  mh.modCounter = 5;
  uint8_t mhb[MbHeader::kEncodedLength];
  mh.EncodeTo(mhb);
  EXPECT_EQ(mhb[5], 0x82);
  EXPECT_EQ(DecodeU16(mhb + 0x13), 0x0800);
  MbHeader mh2;
  ASSERT_TRUE(mh2.DecodeFrom(ByteSpan(mhb, sizeof mhb)).ok());
  EXPECT_EQ(mh, mh2);

  MbSingleHeader sh{2, 3, 9000, 4};
  uint8_t shb[9];
  sh.EncodeTo(shb);
  MbSingleHeader sh2;
  sh2.DecodeFrom(shb);
  EXPECT_EQ(sh, sh2);

  MbSlot s{21, 5, 1, 16};
  uint8_t sb[5];
  s.EncodeTo(sb);
  MbSlot s2;
  s2.DecodeFrom(sb);
  EXPECT_EQ(s, s2);
  EXPECT_EQ(s2.Length(), 80u);

  IndexEntry ie{{'A', 'B', 0}, 686, 184, 0};
  uint8_t ib[9];
  ie.EncodeTo(ib);
  EXPECT_EQ(ib[7], 0x80);  // third value stored as encoded zero
  EXPECT_EQ(ib[8], 0x00);
  IndexEntry ie2;
  ie2.DecodeFrom(ib, 3);
  EXPECT_EQ(ie, ie2);
}

// Decodes `in` as a structure whose DecodeFrom takes a pointer, encodes it, and expects
// the same bytes back.
template <class T>
void ExpectSameBytes(const Bytes& in) {
  T t;
  t.DecodeFrom(in.data());
  Bytes out(T::kEncodedLength);
  t.EncodeTo(out.data());
  EXPECT_TRUE(std::equal(out.begin(), out.end(), in.begin())) << typeid(T).name();
}

// Every byte pattern decodes and encodes back to itself: the codecs cover each byte of
// their structures exactly once, at the offsets they share.
TEST(StructureRoundTrip, EveryBytePatternOfTheFixedStructures) {
  uint32_t seed = 7;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return uint8_t(seed >> 16);
  };
  for (int round = 0; round < 300; ++round) {
    Bytes in(DescriptorsOffset(true));
    for (uint8_t& b : in) b = next();
    if (round == 0) std::fill(in.begin(), in.end(), 0xFF);
    FixedHeader f;
    HeaderExtension e;
    ASSERT_TRUE(f.DecodeFrom(in).ok());
    ASSERT_TRUE(e.DecodeFrom(ByteSpan(in).subspan(kExtensionOffset)).ok());
    Bytes out(in.size());
    f.EncodeTo(out.data());
    e.EncodeTo(out.data() + kExtensionOffset);
    EXPECT_EQ(out, in);

    ExpectSameBytes<BlockHeader>(in);
    ExpectSameBytes<MbSingleHeader>(in);
    ExpectSameBytes<MbSlot>(in);
    ExpectSameBytes<MbBlockHeader>(in);
    FieldDesc d;
    d.DecodeDescriptor(in.data());
    uint8_t db[FieldDesc::kDescriptorLength];
    d.EncodeDescriptor(db);
    EXPECT_TRUE(std::equal(db, db + sizeof db, in.begin()));

    // The .MB header models some of its bytes; those come back, the rest are zero.
    MbHeader mh, mh2;
    ASSERT_TRUE(mh.DecodeFrom(in).ok());
    Bytes mb(MbHeader::kEncodedLength);
    mh.EncodeTo(mb.data());
    ASSERT_TRUE(mh2.DecodeFrom(mb).ok());
    EXPECT_EQ(mh, mh2);
    EXPECT_TRUE(std::equal(mb.begin(), mb.begin() + 0x15, in.begin()));
    EXPECT_TRUE(std::equal(mb.begin() + 0x38, mb.end(), in.begin() + 0x38));
  }
}

TableHeader SampleHeader(uint8_t fileType, uint8_t version) {
  TableHeader h;
  h.fixed.fileType = fileType;
  h.fixed.fileVersionId = version;
  h.fixed.blockSizeCode = 2;
  h.hasExtension = HasExtension(fileType, version);
  const bool data = IsDataFileType(fileType);
  h.fields = {FieldDesc{FieldType::kAlpha, 20, data ? "Name" : "", 1, 0},
              FieldDesc{FieldType::kBcd, 2, data ? "Amount" : "", 2, 20},
              FieldDesc{FieldType::kMemo, 50, data ? "Notes" : "", 3, 37}};
  h.fixed.numFields = 3;
  h.fixed.recordSize = static_cast<uint16_t>(h.ComputedRecordSize());
  h.tableName = "SAMPLE.DB";
  h.tableNamePtr = 0x1234;
  if (data) h.fieldNamePtrs = {1, 2, 3};
  if (h.hasExtension) {
    h.sortOrderId = "ascii";
    h.ext.codePage = 852;
    h.ext.fileVerId2 = h.ext.fileVerId3 = static_cast<uint16_t>(0x100 + version);
  }
  if ((fileType == 6 || fileType == 8) && h.hasExtension) h.indexName = "byname";
  h.fixed.headerSize = static_cast<uint16_t>(version == 3 ? ComputeVariableEnd(h) : 2048);
  return h;
}

TEST(StructureRoundTrip, WholeHeaderOfEveryKindAndLevel) {
  for (uint8_t version : {3, 4, 9, 11, 12}) {
    for (uint8_t type : {0, 1, 2, 5, 7, 8}) {
      SCOPED_TRACE("version " + std::to_string(version) + " type " + std::to_string(type));
      TableHeader h = SampleHeader(type, version);
      auto bytes = EncodeTableHeader(h);
      ASSERT_TRUE(bytes.ok()) << bytes.status().ToString();
      ASSERT_EQ(bytes->size(), h.fixed.headerSize);
      auto d = DecodeTableHeader(bytes.value());
      ASSERT_TRUE(d.ok()) << d.status().ToString();
      EXPECT_EQ(d->fields.size(), 3u);
      for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(d->fields[i].type, h.fields[i].type);
        EXPECT_EQ(d->fields[i].sizeByte, h.fields[i].sizeByte);
        EXPECT_EQ(d->fields[i].name, h.fields[i].name);
        EXPECT_EQ(d->fields[i].offset, h.fields[i].offset);
      }
      EXPECT_EQ(d->tableName, "SAMPLE.DB");
      EXPECT_EQ(d->sortOrderId, h.sortOrderId);
      EXPECT_EQ(d->indexName, h.indexName);
      EXPECT_EQ(d->variableEnd, ComputeVariableEnd(h));
      EXPECT_EQ(d->CodePage(), h.hasExtension ? 852 : 0);
      // Re-encoding the decoded header gives the same bytes.
      auto again = EncodeTableHeader(d.value());
      ASSERT_TRUE(again.ok());
      EXPECT_EQ(again.value(), bytes.value());
    }
  }
}

TEST(HeaderDecode, RejectsStructuralImpossibilities) {
  TableHeader h = SampleHeader(2, 12);
  Bytes bytes = EncodeTableHeader(h).value();
  // Field count beyond what the header holds.
  Bytes many = bytes;
  EncodeU16(many.data() + 0x21, 255);
  EXPECT_TRUE(DecodeTableHeader(many).status().IsCorruption());
  // Names not terminated inside the header.
  Bytes cut(bytes.begin(), bytes.begin() + 0x78 + 6 + 4 + 12 + 261 + 3);
  EncodeU16(cut.data() + 2, static_cast<uint16_t>(cut.size()));
  EXPECT_TRUE(DecodeTableHeader(cut).status().IsCorruption());
  EXPECT_TRUE(DecodeTableHeader(ByteSpan(bytes.data(), 40)).status().IsCorruption());
}

// The one header load: header bytes as the size word gives them (at least the fixed
// part and the extension), never beyond the file; a file shorter than the fixed part is
// Corruption wherever it is loaded.
TEST(HeaderLoad, ReadsTheHeaderBytesTheSizeWordAndTheFileAllow) {
  MemFileSystem fs;
  const Bytes header = EncodeTableHeader(SampleHeader(2, 12)).value();  // 2048 bytes
  struct Case {
    uint16_t sizeWord;
    size_t fileSize;
    size_t loaded;
  } cases[] = {{2048, 3000, 2048}, {0x60, 3000, kHeaderLoadMin}, {2048, 1000, 1000}, {0, 88, 88}};
  for (const Case& c : cases) {
    Bytes file = header;
    file.resize(c.fileSize);
    EncodeU16(file.data() + 2, c.sizeWord);
    ASSERT_TRUE(fs.WriteFile("/T.DB", file).ok());
    auto f = fs.Open("/T.DB", OpenMode::kRead);
    ASSERT_TRUE(f.ok());
    auto prefix = ReadHeaderPrefix(f->get(), c.fileSize);
    ASSERT_TRUE(prefix.ok()) << prefix.status().ToString();
    EXPECT_EQ(prefix->bytes.size(), c.loaded);
    EXPECT_EQ(prefix->fixed.headerSize, c.sizeWord);
  }
  ASSERT_TRUE(fs.WriteFile("/T.DB", Bytes(header.begin(), header.begin() + 87)).ok());
  auto f = fs.Open("/T.DB", OpenMode::kRead);
  ASSERT_TRUE(f.ok());
  EXPECT_FALSE(HoldsFixedHeader(87));
  EXPECT_TRUE(ReadHeaderPrefix(f->get(), 87).status().IsCorruption());
  EXPECT_TRUE(LoadTableHeader(f->get(), 87).status().IsCorruption());
  auto named = ReadHeader(&fs, "/T.DB");
  EXPECT_TRUE(named.status().IsCorruption());
  EXPECT_EQ(named.status().message().rfind("T.DB: ", 0), 0u) << named.status().message();
  ASSERT_TRUE(fs.WriteFile("/T.DB", header).ok());
  auto whole = ReadHeader(&fs, "/T.DB");
  ASSERT_TRUE(whole.ok());
  EXPECT_EQ(whole->tableName, "SAMPLE.DB");
}

// ---------------------------------------------------------------------------
// Field codecs against the examples of the format description.

Bytes Encode(const FieldDesc& f, const Value& v) {
  Bytes out(f.Size());
  Status st = EncodeField(f, v, out);
  EXPECT_TRUE(st.ok()) << st.ToString();
  return out;
}

TEST(FieldCodec, IntegersAndLogical) {
  FieldDesc s{FieldType::kShort, 2, "S"};
  EXPECT_EQ(Encode(s, int64_t{1}), Hex("80 01"));
  EXPECT_EQ(Encode(s, int64_t{0}), Hex("80 00"));
  EXPECT_EQ(Encode(s, int64_t{-1}), Hex("7F FF"));
  EXPECT_EQ(Encode(s, int64_t{-2}), Hex("7F FE"));
  Bytes tmp(2);
  EXPECT_TRUE(EncodeField(s, int64_t{-32768}, tmp).IsInvalidArgument());  // would read as blank
  FieldDesc i{FieldType::kLong, 4, "I"};
  EXPECT_EQ(Encode(i, int64_t{1}), Hex("80 00 00 01"));
  EXPECT_EQ(std::get<int64_t>(DecodeField(i, Hex("7F FF FF FE")).value()), -2);
  EXPECT_TRUE(IsNull(DecodeField(i, Hex("00 00 00 00")).value()));
  FieldDesc l{FieldType::kLogical, 1, "L"};
  EXPECT_EQ(Encode(l, true), Hex("81"));
  EXPECT_EQ(Encode(l, false), Hex("80"));
  EXPECT_TRUE(IsNull(DecodeField(l, Hex("00")).value()));
  EXPECT_TRUE(DecodeField(l, Hex("42")).status().IsCorruption());
}

TEST(FieldCodec, DoublesMoneyTimestamp) {
  FieldDesc n{FieldType::kNumber, 8, "N"};
  EXPECT_EQ(Encode(n, 1.0), Hex("BF F0 00 00 00 00 00 00"));
  EXPECT_EQ(Encode(n, 0.0), Hex("80 00 00 00 00 00 00 00"));
  EXPECT_EQ(Encode(n, -1.0), Hex("40 0F FF FF FF FF FF FF"));
  EXPECT_EQ(Encode(n, 200.0), Hex("C0 69 00 00 00 00 00 00"));
  EXPECT_EQ(Encode(n, -200.0), Hex("3F 96 FF FF FF FF FF FF"));
  EXPECT_EQ(std::get<double>(DecodeField(n, Hex("3F 96 FF FF FF FF FF FF")).value()), -200.0);
  FieldDesc ts{FieldType::kTimestamp, 8, "@"};
  // 2020-02-01 01:00:01
  double ms = DaysFromCivil(2020, 2, 1) * 86400000.0 + 3601000.0;
  EXPECT_EQ(ms, 63716202001000.0);
  auto v = DecodeField(ts, Encode(ts, Timestamp{ms}));
  EXPECT_EQ(std::get<Timestamp>(v.value()).ms, ms);
  EXPECT_EQ(FormatTimestamp(Timestamp{ms}), "2020-02-01 01:00:01.000");
  EXPECT_EQ(ms - kUnixEpochMs, 1580518801000.0);
}

// Dates and times print as printf always did, across the whole calendar and beyond.
TEST(FieldCodec, DateAndTimeTextIsPrintf) {
  char want[64];
  for (int32_t day = -3700000; day <= 3700000; day += 7) {
    int y;
    unsigned m, d;
    CivilFromDays(day, &y, &m, &d);
    // Years before 1 in ISO 8601 expanded form: "-0001", never printf's "-001".
    if (y < 0)
      std::snprintf(want, sizeof want, "-%04d-%02u-%02u", -y, m, d);
    else
      std::snprintf(want, sizeof want, "%04d-%02u-%02u", y, m, d);
    ASSERT_EQ(FormatDate(Date{day}), want) << day;
  }
  for (int64_t ms = -90000000; ms <= 90000000; ms += 997) {
    const int t = int(ms);
    std::snprintf(want, sizeof want, "%02d:%02d:%02d.%03d", t / 3600000, t / 60000 % 60,
                  t / 1000 % 60, t % 1000);
    ASSERT_EQ(FormatTime(Time{t}), want) << t;
  }
  EXPECT_EQ(FormatTime(Time{86399999}), "23:59:59.999");
  EXPECT_EQ(FormatDate(Date{1}), "0001-01-01");
}

// Numbers print as printf("%.15g") always did (dumps compare byte for byte across
// versions): every kind of double, from random bit patterns and the special values.
TEST(FieldCodec, NumberTextIsPrintfG15) {
  std::vector<double> values = {0.0,
                                -0.0,
                                1.0,
                                -1.0,
                                0.1,
                                1e15,
                                1e16,
                                123456789012345678.0,
                                5e-324,
                                2.2250738585072014e-308,
                                1.7976931348623157e308,
                                0.25,
                                1.0 / 3,
                                HUGE_VAL,
                                -HUGE_VAL,
                                std::nan(""),
                                -std::nan("")};
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < 20000; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    double d;
    std::memcpy(&d, &x, sizeof d);
    values.push_back(d);
    values.push_back(double(int64_t(x % 2000000001) - 1000000000) / 100);  // money-like
  }
  for (double d : values) {
    char want[64];
    std::snprintf(want, sizeof want, "%.15g", d);
    ASSERT_EQ(ValueToText(Value(d), 1252), want);
  }
}

TEST(FieldCodec, DateAndTime) {
  EXPECT_EQ(DaysFromCivil(1, 1, 1), 1);
  EXPECT_EQ(DaysFromCivil(100, 1, 1), 36160);
  EXPECT_EQ(DaysFromCivil(1996, 5, 4), 728783);
  EXPECT_EQ(DaysFromCivil(2018, 1, 1), 736695);
  EXPECT_EQ(DaysFromCivil(9999, 12, 31), 3652059);
  FieldDesc d{FieldType::kDate, 4, "D"};
  EXPECT_EQ(Encode(d, Date{736695}), Hex("80 0B 3D B7"));
  EXPECT_EQ(FormatDate(Date{736695}), "2018-01-01");
  FieldDesc t{FieldType::kTime, 4, "T"};
  EXPECT_EQ(Encode(t, Time{36000000}), Hex("82 25 51 00"));
  EXPECT_EQ(Encode(t, Time{0}), Hex("80 00 00 00"));  // midnight is not blank
  EXPECT_TRUE(DecodeField(t, Hex("86 00 00 00")).status().IsCorruption());
  int y;
  unsigned m, dd;
  CivilFromDays(728783, &y, &m, &dd);
  EXPECT_EQ(y, 1996);
  EXPECT_EQ(m, 5u);
  EXPECT_EQ(dd, 4u);
}

TEST(FieldCodec, Bcd) {
  FieldDesc b2{FieldType::kBcd, 2, "B"};
  Bytes neg = Encode(b2, Bcd{"-1.23"});
  EXPECT_EQ(neg, Hex("42 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FE DC"));
  EXPECT_EQ(std::get<Bcd>(DecodeField(b2, neg).value()).text, "-1.23");
  EXPECT_EQ(Encode(b2, Bcd{"0"}), Hex("C2 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(std::get<Bcd>(DecodeField(b2, Encode(b2, Bcd{"12345.5"})).value()).text, "12345.50");
  FieldDesc b32{FieldType::kBcd, 32, "C"};
  EXPECT_EQ(Encode(b32, Bcd{"0.5"})[0], 0xE0);
  FieldDesc b0{FieldType::kBcd, 0, "Z"};
  std::string big(32, '9');
  EXPECT_EQ(std::get<Bcd>(DecodeField(b0, Encode(b0, Bcd{big})).value()).text, big);
  Bytes tmp(17);
  EXPECT_TRUE(EncodeField(b2, Bcd{"1.234"}, tmp).IsInvalidArgument());
  EXPECT_TRUE(EncodeField(b0, Bcd{big + "9"}, tmp).IsInvalidArgument());
  EXPECT_TRUE(EncodeField(b2, Bcd{"1e5"}, tmp).IsInvalidArgument());
  // Decimals in byte 0 must match the descriptor.
  Bytes wrong = Encode(b2, Bcd{"1"});
  wrong[0] = 0xC3;
  EXPECT_TRUE(DecodeField(b2, wrong).status().IsCorruption());
  // Engine float artefacts: nibbles above 9 read, flagged.
  Bytes odd = Encode(b2, Bcd{"1"});
  odd[16] = 0x0F;
  auto v = DecodeField(b2, odd);
  ASSERT_TRUE(v.ok());
  EXPECT_TRUE(std::get<Bcd>(v.value()).hasBadNibbles);
}

TEST(FieldCodec, AlphaBytesAndBlobs) {
  FieldDesc a{FieldType::kAlpha, 5, "A"};
  EXPECT_EQ(Encode(a, std::string("ab")), Hex("61 62 00 00 00"));
  EXPECT_EQ(std::get<std::string>(DecodeField(a, Hex("61 62 00 00 00")).value()), "ab");
  Bytes tmp(5);
  EXPECT_TRUE(EncodeField(a, std::string("abcdef"), tmp).IsInvalidArgument());
  EXPECT_TRUE(EncodeField(a, int64_t{1}, tmp).IsInvalidArgument());
  FieldDesc y{FieldType::kBytes, 3, "Y"};
  EXPECT_EQ(std::get<Bytes>(DecodeField(y, Hex("00 01 00")).value()), Hex("00 01 00"));
  FieldDesc m{FieldType::kMemo, 14, "M"};
  BlobRef r;
  r.leader = {'a', 'b', 'c', 'd'};
  r.pointer = BlobPointer{0x1000, 0xFF, 5000, 1};
  Bytes enc = Encode(m, r);
  EXPECT_EQ(std::get<BlobRef>(DecodeField(m, enc).value()), r);
  // A long blob without an .MB offset cannot be resolved.
  EncodeU32(enc.data() + 4, 0);
  EXPECT_TRUE(DecodeField(m, enc).status().IsCorruption());
}

// The size byte comes from the file. A blob field too small for its 10-byte pointer, or
// a BCD field with more than 32 decimals, once read past the field or threw.
TEST(FieldCodec, DescriptorsNoTableHasAreRefusedNotOverread) {
  FieldDesc m{FieldType::kMemo, 4, "M"};
  Bytes four = Hex("01 02 03 04");
  auto v = DecodeField(m, four);
  EXPECT_TRUE(v.status().IsCorruption());
  EXPECT_NE(v.status().message().find("blob pointer"), std::string::npos);
  FieldDesc b40{FieldType::kBcd, 40, "B"};
  Bytes bcd(17, 0);
  bcd[0] = 0xC0 | 40;
  bcd[16] = 0x01;
  EXPECT_TRUE(DecodeField(b40, bcd).status().IsCorruption());
  EXPECT_TRUE(DecodeBcd(bcd.data(), 40).status().IsCorruption());
}

TEST(Encryption, KeyFromPasswordAndChunkInverse) {
  EXPECT_EQ(KeyFromPassword("123"), 0x0A25E09Au);
  EXPECT_EQ(KeyFromPassword(""), 0u);
  EXPECT_NE(KeyFromPassword("124"), KeyFromPassword("123"));
  Bytes block(2048);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + 3);
  Bytes orig = block;
  EncryptBlock(0x0A25E09A, 5, block);
  EXPECT_NE(block, orig);
  Bytes wrongBlock = block;
  DecryptBlock(0x0A25E09A, 6, wrongBlock);  // block number takes part
  EXPECT_NE(wrongBlock, orig);
  DecryptBlock(0x0A25E09A, 5, block);
  EXPECT_EQ(block, orig);
  EncryptMb(0x1234, block);
  DecryptMb(0x1234, block);
  EXPECT_EQ(block, orig);
}

TEST(CodePage, ConvertsBothWays) {
  EXPECT_EQ(ToUtf8("\x81", 437), "\xC3\xBC");   // ü
  EXPECT_EQ(ToUtf8("\xA4", 852), "\xC4\x84");   // Ą
  EXPECT_EQ(ToUtf8("\xA5", 1250), "\xC4\x84");  // Ą
  EXPECT_EQ(ToUtf8("\xE4", 1252), "\xC3\xA4");  // ä
  EXPECT_EQ(ToUtf8("\x80", 866), "\xD0\x90");   // А
  EXPECT_EQ(ToUtf8("\xC0", 1251), "\xD0\x90");  // А
  EXPECT_EQ(ToUtf8("\x9A", 850), "\xC3\x9C");   // Ü
  EXPECT_EQ(FromUtf8("Zażółć", 1250).value(), "Za\xBF\xF3\xB3\xE6");
  EXPECT_TRUE(FromUtf8("\xD0\x90", 1252).status().IsInvalidArgument());  // no Cyrillic in 1252
  EXPECT_TRUE(FromUtf8("\xC3", 1252).status().IsInvalidArgument());      // broken UTF-8
  for (uint16_t cp : {437, 850, 852, 866, 1250, 1251, 1252}) {
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    EXPECT_EQ(FromUtf8(ToUtf8(all, cp), cp).value(), all) << cp;
  }
}

TEST(IndexBuild, BuildsUpperLevelsWhenLeavesOverflow) {
  std::vector<IndexEntry> leaves;
  for (int i = 0; i < 700; ++i) {
    IndexEntry e;
    e.key = {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    e.child = static_cast<uint16_t>(i + 1);
    e.count = 3;
    leaves.push_back(e);
  }
  auto b = BuildIndexBlocks(leaves, 2, 1024);  // 127 entries per block
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(b->levels, 2);
  EXPECT_EQ(b->blocks.size(), 7u);  // 6 leaves + root
  EXPECT_EQ(b->root, 7);
  EXPECT_EQ(b->totalEntries, 706u);
  IndexEntry rootFirst;
  rootFirst.DecodeFrom(b->blocks[6].data() + 6, 2);
  EXPECT_EQ(rootFirst.child, 1);
  EXPECT_EQ(rootFirst.count, 127 * 3);
  EXPECT_TRUE(BuildIndexBlocks(leaves, 600, 1024).status().IsInvalidArgument());
}

}  // namespace
}  // namespace paradox
