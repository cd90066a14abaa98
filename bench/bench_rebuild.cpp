// Rebuild throughput (MB/s of table family) beside a plain `cp` of the same family, on
// the real file system: a keyed table with a memo field and a secondary index, and an
// unkeyed table. Each rebuild writes a fresh family, a backup and the report, then
// swaps; the repair folder is removed between iterations (outside the timing).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "paradox/format/writer.h"
#include "paradox/repair/rebuild.h"

namespace {

namespace stdfs = std::filesystem;
using namespace paradox;

struct Family {
  std::string dir;
  std::string db;
  uint64_t bytes = 0;
};

uint64_t FamilyBytes(const std::string& dir) {
  uint64_t n = 0;
  for (const auto& e : stdfs::directory_iterator(dir))
    if (e.is_regular_file()) n += e.file_size();
  return n;
}

const Family& MakeFamily(bool keyed, int records) {
  static std::map<std::pair<bool, int>, Family> made;
  auto key = std::make_pair(keyed, records);
  auto it = made.find(key);
  if (it != made.end()) return it->second;
  Family f;
  f.dir = (stdfs::temp_directory_path() /
           ("rekasto_bench_rebuild_" + std::to_string(keyed) + "_" + std::to_string(records)))
              .string();
  stdfs::remove_all(f.dir);
  stdfs::create_directories(f.dir);
  f.db = f.dir + "/BENCH.DB";
  TableSchema s;
  s.level = TableLevel::k7;
  s.blockSize = 4096;
  s.codePage = 1252;
  s.sortOrder = 0;
  s.sortOrderId = "ascii";
  s.fields = {{"Id", FieldType::kLong, 0},      {"Name", FieldType::kAlpha, 40},
              {"Amount", FieldType::kMoney, 0}, {"Day", FieldType::kDate, 0},
              {"Note", FieldType::kMemo, 20},   {"City", FieldType::kAlpha, 30}};
  if (keyed) {
    s.keyFieldCount = 1;
    s.secondaryIndexes = {{"", {"Name"}, false, false, false}};
  }
  auto w = TableWriter::Create(DefaultFileSystem(), f.db, s);
  if (!w.ok()) std::abort();
  for (int i = 0; i < records; ++i) {
    Value note;
    if (i % 4 == 0) note = std::string(100 + i % 700, char('a' + i % 26));
    Status st = (*w)->AddRecord(
        {int64_t(i + 1), std::string("Name ") + std::to_string(i * 7919 % records), double(i) / 4,
         Date{730000 + i % 5000}, note, std::string("City ") + std::to_string(i % 97)});
    if (!st.ok()) std::abort();
  }
  if (!(*w)->Finish().ok()) std::abort();
  f.bytes = FamilyBytes(f.dir);
  return made[key] = f;
}

void BM_Rebuild(benchmark::State& state) {
  const Family& f = MakeFamily(state.range(0) != 0, int(state.range(1)));
  for (auto _ : state) {
    RebuildResult r = RebuildTable(f.db);
    if (!r.status.ok()) {
      state.SkipWithError(r.status.ToString().c_str());
      break;
    }
    state.PauseTiming();
    stdfs::remove_all(RepairFolderRoot(f.db));
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bytes));
  state.counters["family_MB"] = double(f.bytes) / 1e6;
}

void BM_CopyFamily(benchmark::State& state) {
  const Family& f = MakeFamily(state.range(0) != 0, int(state.range(1)));
  std::string target = f.dir + "_copy";
  std::string cmd = "cp -r '" + f.dir + "' '" + target + "' && sync";
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) {
      state.SkipWithError("cp failed");
      break;
    }
    state.PauseTiming();
    stdfs::remove_all(target);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bytes));
  state.counters["family_MB"] = double(f.bytes) / 1e6;
}

// Arguments: keyed (0/1), records. The keyed table stays below 32 768 records a
// secondary-index subtree (16-bit index counts).
BENCHMARK(BM_Rebuild)
    ->Args({0, 200000})
    ->Args({1, 30000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_CopyFamily)
    ->Args({0, 200000})
    ->Args({1, 30000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
