// Table properties and the rebuild descriptor, on tables of our writer and on real ones.
#include <cstring>
#include <fstream>
#include <iterator>

#include "TUtilTestSupport.h"

namespace tutiltest {
namespace {

class TUtilProps : public TUtilTest {
 protected:
  // Fills CURProps inside a larger buffer and checks nothing past 432 bytes was written.
  CURProps Props(const std::string& location) {
    struct {
      CURProps props;
      uint8_t guard[64];
    } space;
    std::memset(&space, 0xCD, sizeof space);
    EXPECT_EQ(TUFillCURProps(session_, location.c_str(), &space.props), DBIERR_NONE) << location;
    for (uint8_t g : space.guard) EXPECT_EQ(g, 0xCD);
    return space.props;
  }
};

uint16_t WordAt(const CURProps& p, size_t offset) {
  const auto* b = reinterpret_cast<const uint8_t*>(&p);
  return uint16_t(b[offset] | (b[offset + 1] << 8));
}

TEST_F(TUtilProps, TenFieldsOfAKeyedLevel7Table) {
  const std::string t = WriteCustomers();
  const CURProps p = Props(t);
  auto header = paradox::ReadHeader(paradox::DefaultFileSystem(), t);
  ASSERT_TRUE(header.ok());
  // Read at the byte offsets the program reads.
  EXPECT_EQ(WordAt(p, 295), 5);                    // fields
  EXPECT_EQ(WordAt(p, 299), 4 + 20 + 4 + 8 + 20);  // record size
  EXPECT_EQ(WordAt(p, 303), 2);                    // primary + one secondary
  EXPECT_EQ(WordAt(p, 305), 0);
  EXPECT_EQ(WordAt(p, 307), 0);
  EXPECT_EQ(WordAt(p, 335), header.value().fixed.changeCount2);
  EXPECT_EQ(WordAt(p, 345), 0);
  EXPECT_EQ(WordAt(p, 347), 1252);
  EXPECT_EQ(WordAt(p, 351), 7);
  EXPECT_EQ(WordAt(p, 387), 2048);
  EXPECT_STREQ(p.szName, t.c_str());
  EXPECT_STREQ(p.szTableType, "PARADOX");
  EXPECT_EQ(+p.iKeySize, 4);
  EXPECT_EQ(+p.bProtected, 0);
}

TEST_F(TUtilProps, UnkeyedLevel4Table) {
  const CURProps p = Props(WritePlain());
  EXPECT_EQ(+p.iFields, 3);
  EXPECT_EQ(+p.iRecSize, 6 + 8 + 2);
  EXPECT_EQ(+p.iIndexes, 0);
  EXPECT_EQ(+p.iKeySize, 0);
  EXPECT_EQ(+p.iCodePage, 852);
  EXPECT_EQ(+p.iTblLevel, 4);
  EXPECT_EQ(+p.iBlockSize, 1024);
}

TEST_F(TUtilProps, RealTablesOfOtherSoftware) {
  if (!HaveShared()) GTEST_SKIP() << "../shared/tables is absent";
  struct Expect {
    const char* table;
    uint16_t fields, indexes, valChecks, links, codePage, level, blockSize, prot;
  };
  const Expect cases[] = {
      {"leonhad__paradoxdriver/db/CUSTOMER.DB", 10, 2, 0, 0, 1252, 7, 2048, 0},
      {"leonhad__paradoxdriver/db/AREACODE.DB", 4, 1, 2, 0, 437, 4, 2048, 0},
      {"leonhad__paradoxdriver/areas/AREACODE.DB", 6, 0, 0, 0, 0, 3, 1024, 0},
      {"leonhad__paradoxdriver/joins/fk1.db", 2, 2, 0, 1, 850, 5, 2048, 0},
      {"leonhad__paradoxdriver/encrypt/encrypted35.db", 2, 0, 0, 0, 0, 35, 2048, 1},
      {"leonhad__paradoxdriver/db/AREACODES.DB", 3, 2, 0, 0, 1252, 7, 16384, 0},
  };
  for (const Expect& e : cases) {
    SCOPED_TRACE(e.table);
    if (!fs::exists(Shared(e.table))) continue;
    const CURProps p = Props(Shared(e.table));
    EXPECT_EQ(+p.iFields, e.fields);
    EXPECT_EQ(+p.iIndexes, e.indexes);
    EXPECT_EQ(+p.iValChecks, e.valChecks);
    EXPECT_EQ(+p.iRefIntChecks, e.links);
    EXPECT_EQ(+p.iCodePage, e.codePage);
    EXPECT_EQ(+p.iTblLevel, e.level);
    EXPECT_EQ(+p.iBlockSize, e.blockSize);
    EXPECT_EQ(+p.bProtected, e.prot);
  }
}

TEST_F(TUtilProps, EveryRealTableGivesPropertiesOrAClearCode) {
  if (!HaveShared()) GTEST_SKIP() << "../shared/tables is absent";
  int filled = 0;
  for (auto& e : fs::recursive_directory_iterator(REKASTO_SHARED_TABLES)) {
    if (strcasecmp(e.path().extension().c_str(), ".db") != 0) continue;
    CURProps p;
    const DBIResult r = TUFillCURProps(session_, e.path().c_str(), &p);
    if (r == DBIERR_NONE) {
      ++filled;
      EXPECT_GT(+p.iFields, 0) << e.path();
      EXPECT_TRUE(p.iTblLevel == 3 || p.iTblLevel == 35 || p.iTblLevel == 4 || p.iTblLevel == 5 ||
                  p.iTblLevel == 7);
    } else {
      EXPECT_TRUE(r == DBIERR_CORRUPTHEADER || r == DBIERR_NOTPARADOX ||
                  r == DBIERR_UNSUPPORTEDLEVEL)
          << e.path() << " gave " << std::hex << r;
    }
  }
  EXPECT_GT(filled, 20);
}

class TUtilDesc : public TUtilTest {};

TEST_F(TUtilDesc, CountsAndElementsDescribeTheTable) {
  const std::string t = WriteCustomers();
  Descriptor d;
  ASSERT_EQ(d.Fill(session_, t), DBIERR_NONE);
  ASSERT_EQ(+d.desc.iFldCount, 5);
  ASSERT_EQ(+d.desc.iIdxCount, 2);
  EXPECT_EQ(+d.desc.iSecRecCount, 0);
  EXPECT_EQ(+d.desc.iValChkCount, 0);
  EXPECT_EQ(+d.desc.iRintCount, 0);
  // Caller's fields stay.
  EXPECT_STREQ(d.desc.szTblName, t.c_str());
  EXPECT_STREQ(d.desc.szErrTblName, "Rebuild.DB");

  const char* names[] = {"Id", "Name", "Born", "Amount", "Note"};
  const char letters[] = {'I', 'A', 'D', '$', 'M'};
  const uint16_t lengths[] = {4, 20, 4, 8, 20};
  uint16_t offset = 0;
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(+d.fields[i].iFldNum, i + 1);
    EXPECT_STREQ(d.fields[i].szName, names[i]);
    EXPECT_EQ(+d.fields[i].cTypeLetter, letters[i]);
    EXPECT_EQ(+d.fields[i].iLen, lengths[i]);
    EXPECT_EQ(+d.fields[i].iOffset, offset);
    offset += lengths[i];
  }
  EXPECT_EQ(+d.fields[1].iUnits1, 20);
  EXPECT_EQ(+d.fields[4].iUnits1, 10);  // memo leader

  const IDXDesc& px = d.indexes[0];
  EXPECT_EQ(+px.bPrimary, 1);
  EXPECT_EQ(+px.iFldsInKey, 1);
  EXPECT_EQ(+px.aiKeyFld[0], 1);
  EXPECT_EQ(+px.iKeyLen, 4);
  EXPECT_STREQ(px.szFileSuffix, "PX");
  const IDXDesc& byName = d.indexes[1];
  EXPECT_EQ(+byName.bPrimary, 0);
  EXPECT_STREQ(byName.szName, "ByName");
  EXPECT_EQ(+byName.bCaseInsensitive, 1);
  EXPECT_EQ(+byName.iFldsInKey, 1);
  EXPECT_EQ(+byName.aiKeyFld[0], 2);
  EXPECT_EQ(+byName.iKeyLen, 20);

  // Optional parameters: level and block size at least, values in array 7.
  ASSERT_GE(+d.desc.iOptParams, 2);
  const char* data = static_cast<const char*>(d.desc.pOptData);
  EXPECT_STREQ(d.params[0].szName, "LEVEL");
  EXPECT_STREQ(data + d.params[0].iOffset, "7");
  EXPECT_STREQ(d.params[1].szName, "BLOCK SIZE");
  EXPECT_STREQ(data + d.params[1].iOffset, "2048");
}

TEST_F(TUtilDesc, CallersCountsBoundWhatIsWritten) {
  const std::string t = WriteCustomers();
  Descriptor d;
  ASSERT_EQ(d.Prepare(session_, t), DBIERR_NONE);
  // Room for one element more than the counts say, marked: it must stay untouched.
  d.fields.resize(d.fields.size() + 1);
  std::memset(&d.fields.back(), 0xEE, sizeof(FLDDesc));
  d.desc.pfldDesc = d.fields.data();
  ASSERT_EQ(TUFillCRTblDesc(session_, &d.desc, t.c_str(), nullptr), DBIERR_NONE);
  const auto* tail = reinterpret_cast<const uint8_t*>(&d.fields.back());
  for (size_t i = 0; i < sizeof(FLDDesc); ++i) ASSERT_EQ(tail[i], 0xEE);

  // Too few: refused, nothing written.
  Descriptor small;
  ASSERT_EQ(small.Prepare(session_, t), DBIERR_NONE);
  small.desc.iFldCount = 4;
  for (auto& f : small.fields) std::memset(&f, 0x5A, sizeof f);
  const CRTblDesc before = small.desc;
  EXPECT_EQ(TUFillCRTblDesc(session_, &small.desc, t.c_str(), nullptr), DBIERR_INVALIDDESC);
  EXPECT_EQ(std::memcmp(&before, &small.desc, sizeof before), 0);
  for (auto& f : small.fields) EXPECT_EQ(reinterpret_cast<const uint8_t*>(&f)[10], 0x5A);

  // A count without its array.
  Descriptor noArray;
  ASSERT_EQ(noArray.Prepare(session_, t), DBIERR_NONE);
  noArray.desc.pidxDesc = nullptr;
  EXPECT_EQ(TUFillCRTblDesc(session_, &noArray.desc, t.c_str(), nullptr), DBIERR_INVALIDPARAM);
}

TEST_F(TUtilDesc, ZeroCountsWithNullArraysAreFineWhereTheTableNeedsNone) {
  const std::string t = WritePlain();
  Descriptor d;
  ASSERT_EQ(d.Prepare(session_, t), DBIERR_NONE);
  EXPECT_EQ(+d.desc.iIdxCount, 0);
  EXPECT_EQ(+d.desc.pidxDesc, nullptr);
  d.desc.iOptParams = 0;  // a caller not interested in the parameters
  d.desc.pfldOptParams = nullptr;
  d.desc.pOptData = nullptr;
  EXPECT_EQ(TUFillCRTblDesc(session_, &d.desc, t.c_str(), nullptr), DBIERR_NONE);
  EXPECT_EQ(+d.desc.iFldCount, 3);
  EXPECT_EQ(+d.desc.iOptParams, 0);
}

TEST_F(TUtilDesc, ValidityChecksAndLinksOfRealTables) {
  if (!HaveShared()) GTEST_SKIP() << "../shared/tables is absent";
  Descriptor area;
  ASSERT_EQ(area.Fill(session_, Shared("leonhad__paradoxdriver/db/AREACODE.DB")), DBIERR_NONE);
  ASSERT_EQ(+area.desc.iValChkCount, 2);
  EXPECT_EQ(+area.checks[0].iFldNum, 1);
  EXPECT_STREQ(area.checks[0].szPict, "###");
  EXPECT_EQ(+area.checks[1].iFldNum, 4);
  EXPECT_STREQ(area.checks[1].szPict, "&&");
  EXPECT_EQ(area.fields[0].efldvVchk, 1);
  EXPECT_EQ(area.fields[1].efldvVchk, 0);

  Descriptor fk;
  ASSERT_EQ(fk.Fill(session_, Shared("leonhad__paradoxdriver/joins/fk1.db")), DBIERR_NONE);
  ASSERT_EQ(+fk.desc.iRintCount, 1);
  EXPECT_STREQ(fk.links[0].szRintName, "reference");
  EXPECT_STREQ(fk.links[0].szTblName, "primary.db");
  EXPECT_EQ(+fk.links[0].iFldCount, 1);
  EXPECT_EQ(+fk.links[0].eModOp, 1);
}

}  // namespace
}  // namespace tutiltest

namespace tutiltest {
namespace {

// Every byte of a header damaged in turn: each call gives a result or a clear code, and
// never writes beyond the arrays its counts sized (ASan builds catch that).
TEST_F(TUtilDesc, DamagedHeaderBytesNeverOverrunTheDescriptor) {
  const std::string t = WriteCustomers("DAMAGED.DB", 10);
  std::string original;
  {
    std::ifstream in(t, std::ios::binary);
    original.assign(std::istreambuf_iterator<char>(in), {});
  }
  auto header = paradox::ReadHeader(paradox::DefaultFileSystem(), t);
  ASSERT_TRUE(header.ok());
  const size_t end = std::min<size_t>(header.value().variableEnd + 8, original.size());
  for (size_t at = 0; at < end; ++at) {
    for (uint8_t value : {uint8_t(original[at] ^ 0xFF), uint8_t(0x7F)}) {
      std::string damaged = original;
      damaged[at] = char(value);
      std::ofstream(t, std::ios::binary | std::ios::trunc) << damaged;
      CURProps p;
      const DBIResult r = TUFillCURProps(session_, t.c_str(), &p);
      EXPECT_TRUE(r == DBIERR_NONE || r == DBIERR_CORRUPTHEADER || r == DBIERR_NOTPARADOX ||
                  r == DBIERR_UNSUPPORTEDLEVEL)
          << "offset " << at << " gave " << std::hex << r;
      Descriptor d;
      if (d.Fill(session_, t) == DBIERR_NONE) {
        EXPECT_LE(d.desc.iFldCount, d.fields.size());
        EXPECT_LE(d.desc.iIdxCount, d.indexes.size());
      }
    }
  }
  std::ofstream(t, std::ios::binary | std::ios::trunc) << original;
}

}  // namespace
}  // namespace tutiltest

namespace tutiltest {
namespace {

// The descriptor carries no count for the optional data: the caller sized it from count
// 7 of an earlier count call. A header whose sort-order name runs on (damaged, or changed
// between the two calls) must not make the fill write past that.
TEST_F(TUtilDesc, OptionalDataNeverOutgrowsOneUnit) {
  const std::string t = WriteCustomers("RUNON.DB", 5);
  Descriptor d;
  ASSERT_EQ(d.Prepare(session_, t), DBIERR_NONE);
  ASSERT_EQ(d.data.size(), size_t(TU_OPTDATA_UNIT));
  d.data.resize(TU_OPTDATA_UNIT + 512, 0xEE);
  d.desc.pOptData = d.data.data();

  std::string bytes;
  {
    std::ifstream in(t, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  const size_t name = bytes.find(std::string("ANSII850\0", 9));
  ASSERT_NE(name, std::string::npos);
  const size_t end = name + 8;
  ASSERT_LT(end + 300, bytes.size());
  ASSERT_EQ(bytes.substr(end, 300), std::string(300, '\0')) << "no padding after the name";
  bytes.replace(end, 300, std::string(299, 'x') + '\0');
  std::ofstream(t, std::ios::binary | std::ios::trunc) << bytes;

  const DBIResult r = TUFillCRTblDesc(session_, &d.desc, t.c_str(), nullptr);
  ASSERT_EQ(r, DBIERR_NONE);
  for (size_t i = TU_OPTDATA_UNIT; i < d.data.size(); ++i) ASSERT_EQ(d.data[i], 0xEE) << i;
  const char* data = reinterpret_cast<const char*>(d.data.data());
  for (uint16_t k = 0; k < d.desc.iOptParams; ++k) {
    if (std::string(d.params[k].szName) == "SORT ORDER") {
      EXPECT_EQ(std::string(data + d.params[k].iOffset), "ANSII850" + std::string(23, 'x'));
    }
  }
  uint16_t c[7] = {};
  ASSERT_EQ(
      TUGetCRTblDescCount(session_, t.c_str(), &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6]),
      DBIERR_NONE);
  EXPECT_EQ(c[6], 1);
}

}  // namespace
}  // namespace tutiltest
