// Helpers of the rebuilder tests: fixture tables, canonical record snapshots (record
// bytes with blob pointers replaced by the blob values, so tables with differently laid
// out .MB files compare equal), file-system cloning.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "paradox/format/blob.h"
#include "paradox/format/family.h"
#include "paradox/format/file.h"
#include "paradox/format/reader.h"
#include "paradox/format/writer.h"
#include "paradox/repair/rebuild.h"
#include "paradox/verify/verifier.h"

namespace paradox::test {

// Records of a table in reading order, canonical form. Fails the test on errors.
struct Snapshot {
  std::vector<Bytes> records;
  std::vector<Bytes> withoutBlobValues;  // record bytes, blob pointers left out
  bool ok = false;
  std::string error;
};

inline Snapshot TakeSnapshot(FileSystem* fs, const std::string& db) {
  Snapshot s;
  auto r = TableReader::Open(fs, db);
  if (!r.ok()) {
    s.error = r.status().ToString();
    return s;
  }
  const TableHeader& h = (*r)->header();
  std::unique_ptr<BlobFile> mb;
  auto fam = FindFamily(fs, db);
  if (fam.ok() && !fam->mb.empty()) {
    auto m = BlobFile::Open(fs, fam->mb, h.EncryptionKey());
    if (m.ok()) mb = std::move(m).value();
  }
  auto cur = (*r)->Records();
  while (cur.Next()) {
    Bytes rec(cur.record().bytes.begin(), cur.record().bytes.end());
    Bytes canon, plain;
    for (const FieldDesc& f : h.fields) {
      if (f.offset + f.Size() > rec.size()) break;
      if (!IsBlobType(f.type)) {
        canon.insert(canon.end(), rec.begin() + f.offset, rec.begin() + f.offset + f.Size());
        plain.insert(plain.end(), rec.begin() + f.offset, rec.begin() + f.offset + f.Size());
        continue;
      }
      plain.insert(plain.end(), rec.begin() + f.offset, rec.begin() + f.offset + f.LeaderSize());
      BlobRef ref;
      ref.leader.assign(rec.begin() + f.offset, rec.begin() + f.offset + f.LeaderSize());
      ref.pointer.DecodeFrom(rec.data() + f.offset + f.LeaderSize());
      Bytes value;
      if (ref.pointer.length > 0 && ref.InLeader()) {
        value.assign(ref.leader.begin(), ref.leader.begin() + ref.pointer.length);
      } else if (ref.pointer.length > 0 && mb) {
        auto v = mb->Read(ref);
        if (v.ok())
          value = std::move(v).value();
        else
          value = {'?'};
      }
      canon.insert(canon.end(), ref.leader.begin(), ref.leader.end());
      uint8_t len[4];
      EncodeU32(len, uint32_t(value.size()));
      canon.insert(canon.end(), len, len + 4);
      canon.insert(canon.end(), value.begin(), value.end());
    }
    s.records.push_back(std::move(canon));
    s.withoutBlobValues.push_back(std::move(plain));
  }
  if (!cur.status().ok()) {
    s.error = cur.status().ToString();
    return s;
  }
  s.ok = true;
  return s;
}

inline void CloneFs(MemFileSystem& from, MemFileSystem& to) {
  for (const std::string& p : from.AllFiles()) to.SetContents(p, *from.Contents(p));
}

// Every record of `want` (as a multiset) appears in `have`.
inline bool ContainsAll(const std::vector<Bytes>& have, const std::vector<Bytes>& want) {
  std::map<Bytes, int> counts;
  for (const Bytes& b : have) ++counts[b];
  for (const Bytes& b : want) {
    if (--counts[b] < 0) return false;
  }
  return true;
}

// A keyed level-7 table with 1 KiB blocks (16 records a block), a memo field whose
// values partly live in the .MB, and a secondary index on Name.
inline TableSchema KeyedSchema() {
  TableSchema s;
  s.level = TableLevel::k7;
  s.blockSize = 1024;
  s.codePage = 1252;
  s.sortOrder = 0;
  s.sortOrderId = "ascii";
  s.fields = {{"Id", FieldType::kLong, 0},        {"Name", FieldType::kAlpha, 24},
              {"Amount", FieldType::kNumber, 0},  {"Born", FieldType::kDate, 0},
              {"Active", FieldType::kLogical, 0}, {"Note", FieldType::kMemo, 12}};
  s.keyFieldCount = 1;
  s.secondaryIndexes = {{"", {"Name"}, false, false, false}};
  return s;
}

inline std::vector<std::vector<Value>> KeyedRows(int n) {
  std::vector<std::vector<Value>> rows;
  for (int i = 1; i <= n; ++i) {
    Value note;
    if (i % 3 == 0) note = std::string("short ") + std::to_string(i);
    if (i % 3 == 1) note = std::string(40 + i * 7, char('a' + i % 26));  // in the .MB
    rows.push_back({int64_t(i * 10), std::string("Name ") + std::to_string(1000 - i),
                    double(i) * 1.25 - 50, Date{730000 + i}, bool(i % 2), note});
  }
  return rows;
}

inline TableSchema UnkeyedSchema() {
  TableSchema s;
  s.level = TableLevel::k5;
  s.blockSize = 2048;
  s.codePage = 1252;
  s.fields = {{"Item", FieldType::kAlpha, 30},
              {"Qty", FieldType::kShort, 0},
              {"When", FieldType::kTimestamp, 0}};
  return s;
}

inline std::vector<std::vector<Value>> UnkeyedRows(int n) {
  std::vector<std::vector<Value>> rows;
  for (int i = 0; i < n; ++i) {
    rows.push_back({std::string("item-") + std::to_string(i * 7919 % 1000), int64_t(i - 100),
                    Timestamp{63716202001000.0 + i * 1000.0}});
  }
  return rows;
}

inline Status MakeTable(FileSystem* fs, const std::string& db, const TableSchema& s,
                        const std::vector<std::vector<Value>>& rows) {
  PARADOX_RETURN_IF_ERROR(fs->MakeDir(PathDirName(db)));
  return WriteTable(fs, db, s, rows);
}

inline bool FamilyVerifiesClean(FileSystem* fs, const std::string& db, std::string* why) {
  VerifyOptions vo;
  vo.fs = fs;
  VerifyReport r = VerifyTable(db, vo);
  if (r.errors == 0 && r.verdict == Verdict::kClean) return true;
  for (const Finding& f : r.findings) *why += f.ToString() + "\n";
  return false;
}

// Repair folders of a table (full paths), sorted.
inline std::vector<std::string> RepairFolders(FileSystem* fs, const std::string& db) {
  std::vector<std::string> out;
  std::string root = RepairFolderRoot(db);
  auto names = fs->ListDir(root);
  if (!names.ok()) return out;
  for (const std::string& n : *names) out.push_back(PathJoin(root, n));
  return out;
}

// Copies the files of the family of `db` from `fs` into the real folder `dir`;
// returns the path of the copied .DB.
inline std::string CopyFamilyToDisk(FileSystem* fs, const std::string& db, const std::string& dir) {
  auto fam = FindFamily(fs, db);
  if (!fam.ok()) return "";
  for (const std::string& m : fam->AllMembers()) {
    auto data = fs->ReadFile(m, UINT64_MAX);
    if (!data.ok()) return "";
    if (!DefaultFileSystem()
             ->WriteFile(PathJoin(dir, PathBaseName(m)), ByteSpan(*data), false)
             .ok())
      return "";
  }
  return PathJoin(dir, PathBaseName(db));
}

// Raw records (recordSize bytes, decrypted) as another library reads them, in its
// record order; false with a message when it cannot open the table.
bool ReadWithPxlib(const std::string& db, std::vector<Bytes>* records, std::string* why);

}  // namespace paradox::test

extern "C" {
#include <paradox.h>
}

namespace paradox::test {
inline void PxQuietErrors(pxdoc_t*, int, const char* msg, void* data) {
  if (data) *static_cast<std::string*>(data) += msg;
}
inline bool ReadWithPxlib(const std::string& db, std::vector<Bytes>* records, std::string* why) {
  static bool booted = (PX_boot(), true);
  (void)booted;
  pxdoc_t* doc = PX_new3(PxQuietErrors, nullptr, nullptr, nullptr, why);
  if (!doc) return false;
  bool ok = PX_open_file(doc, db.c_str()) == 0;
  if (ok) {
    int n = PX_get_num_records(doc);
    int size = doc->px_head->px_recordsize;
    std::vector<char> buf(size_t(size > 0 ? size : 1));
    for (int i = 0; i < n && ok; ++i) {
      if (!PX_get_record(doc, i, buf.data())) {
        *why += "record " + std::to_string(i) + " unreadable";
        ok = false;
        break;
      }
      records->emplace_back(buf.begin(), buf.end());
    }
    PX_close(doc);
  } else if (why->empty()) {
    *why = "cannot open";
  }
  PX_delete(doc);
  return ok;
}
}  // namespace paradox::test
