// rekasto infer-structure: a table whose whole header is zeroed gets its fields back
// from the data blocks, --write makes an empty table of them, and never over a file.
#include <gtest/gtest.h>

#include <sstream>

#include "cli.h"
#include "paradox/format/header_file.h"
#include "paradox/format/writer.h"

namespace {

using paradox::FieldType;
using paradox::Value;

TEST(CliInfer, ZeroedHeaderGivesItsFieldsAndATemplate) {
  paradox::MemFileSystem fs;
  ASSERT_TRUE(fs.MakeDir("d").ok());
  paradox::TableSchema s;
  s.level = paradox::TableLevel::k7;
  s.fields = {{"Born", FieldType::kDate}, {"Name", FieldType::kAlpha, 20}};
  std::vector<std::vector<Value>> rows;
  for (int i = 1; i <= 60; ++i)
    rows.push_back({paradox::Date{paradox::DaysFromCivil(1950 + i % 40, 1 + i % 12, 1 + i % 28)},
                    std::string("name ") + std::to_string(i * 37)});
  ASSERT_TRUE(paradox::WriteTable(&fs, "d/T.DB", s, rows).ok());
  paradox::Bytes& db = *fs.Contents("d/T.DB");
  std::fill(db.begin(), db.begin() + 2048, 0);
  std::ostringstream out, err;
  rekasto::Io io{out, err, &fs};

  EXPECT_EQ(rekasto::RunCli({"--help"}, io), rekasto::kExitOk);
  EXPECT_NE(out.str().find("infer-structure"), std::string::npos) << out.str();
  out.str("");

  ASSERT_EQ(rekasto::RunCli({"infer-structure", "--write=d/TPL.DB", "d/T.DB"}, io),
            rekasto::kExitOk)
      << err.str();
  EXPECT_NE(out.str().find("records of 24 bytes"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("D4 "), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("A20"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("also fits: I"), std::string::npos) << out.str();
  auto tpl = paradox::ReadHeader(&fs, "d/TPL.DB");
  ASSERT_TRUE(tpl.ok()) << tpl.status().ToString();
  ASSERT_EQ(tpl->fields.size(), 2u);
  EXPECT_EQ(tpl->fields[0].type, FieldType::kDate);
  EXPECT_EQ(tpl->fields[1].sizeByte, 20);
  EXPECT_EQ(tpl->fixed.numRecords, 0u);

  // A second --write to the same file is refused and leaves it as it was.
  const paradox::Bytes before = *fs.Contents("d/TPL.DB");
  err.str("");
  EXPECT_EQ(rekasto::RunCli({"infer-structure", "--write=d/TPL.DB", "d/T.DB"}, io),
            rekasto::kExitFailed);
  EXPECT_NE(err.str().find("exists already"), std::string::npos) << err.str();
  EXPECT_EQ(*fs.Contents("d/TPL.DB"), before);
  EXPECT_EQ(rekasto::RunCli({"infer-structure", "d/NONE.DB"}, io), rekasto::kExitFailed);
}

}  // namespace
