// Verify throughput on a generated table of at least 200 MB (cached in the page cache),
// beside `cat` of the same file and pxlib reading every record. Prints MB/s for each
// (best of several runs) and the ratio verify / cat.
//
//   bench_verify [--mb N] [--dir DIR] [--keep]
// The table is written with our writer into DIR (default: a temp folder) and reused
// while its size matches; --keep leaves it there.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "paradox/format/writer.h"
#include "paradox/verify/verifier.h"

#ifdef REKASTO_HAVE_PXLIB
extern "C" {
#include <paradox.h>
}
#endif

namespace {

namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;

double BestSeconds(int runs, const std::function<bool()>& fn) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    auto t0 = Clock::now();
    if (!fn()) return -1;
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

bool Generate(const std::string& db, uint64_t targetBytes) {
  using namespace paradox;
  TableSchema s;
  s.level = TableLevel::k7;
  s.blockSize = 16384;
  s.codePage = 1252;
  s.fields = {{"Id", FieldType::kLong},        {"Name", FieldType::kAlpha, 40},
              {"City", FieldType::kAlpha, 30}, {"Amount", FieldType::kNumber},
              {"Born", FieldType::kDate},      {"Active", FieldType::kLogical},
              {"Qty", FieldType::kShort},      {"Price", FieldType::kMoney},
              {"Note", FieldType::kAlpha, 100}};
  s.keyFieldCount = 1;
  WriteOptions o;
  o.sync = false;
  auto w = TableWriter::Create(DefaultFileSystem(), db, s, o);
  if (!w.ok()) {
    std::fprintf(stderr, "bench_verify: cannot create %s: %s\n", db.c_str(),
                 w.status().ToString().c_str());
    return false;
  }
  const uint64_t recordSize = w.value()->header().fixed.recordSize;
  const uint64_t records = targetBytes / recordSize + 1;
  static const char* kCities[] = {"Kraków", "Gdańsk", "Łódź", "Poznań", "Wrocław", "Lublin"};
  for (uint64_t i = 1; i <= records; ++i) {
    std::vector<Value> v = {int64_t(i),
                            "Name " + std::to_string(i * 7919 % 100000),
                            std::string(kCities[i % 6]),
                            double(i) * 0.25,
                            Date{int32_t(700000 + i % 40000)},
                            bool(i & 1),
                            int64_t(i % 30000),
                            double(i % 1000) + 0.99,
                            "Note text for record " + std::to_string(i)};
    Status st = w.value()->AddRecord(v);
    if (!st.ok()) {
      std::fprintf(stderr, "bench_verify: writing record %llu: %s\n", (unsigned long long)i,
                   st.ToString().c_str());
      return false;
    }
  }
  Status st = w.value()->Finish();
  if (!st.ok()) {
    std::fprintf(stderr, "bench_verify: finishing: %s\n", st.ToString().c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mb = 200;
  std::string dir = (stdfs::temp_directory_path() / "rekasto_bench_verify").string();
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--mb") && i + 1 < argc)
      mb = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--dir") && i + 1 < argc)
      dir = argv[++i];
    else if (!std::strcmp(argv[i], "--keep"))
      keep = true;
    else {
      std::fprintf(stderr, "usage: bench_verify [--mb N] [--dir DIR] [--keep]\n");
      return 2;
    }
  }
  stdfs::create_directories(dir);
  const std::string db = (stdfs::path(dir) / "BENCH.DB").string();
  const uint64_t target = mb << 20;
  std::error_code ec;
  if (!stdfs::exists(db, ec) || stdfs::file_size(db, ec) < target) {
    std::printf("generating a %llu MB table in %s ...\n", (unsigned long long)mb, dir.c_str());
    std::fflush(stdout);
    auto t0 = Clock::now();
    if (!Generate(db, target)) return 1;
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("written in %.1f s (%.0f MB/s)\n", secs,
                double(stdfs::file_size(db)) / (1 << 20) / secs);
  }
  const double size = double(stdfs::file_size(db));
  const double sizeMb = size / (1 << 20);
  std::printf("table: %s, %.1f MB\n", db.c_str(), sizeMb);

  // Page cache warm-up, then each reader's best of three.
  const std::string cat = "cat '" + db + "' > /dev/null";
  if (std::system(cat.c_str()) != 0) return 1;
  double catS = BestSeconds(3, [&] { return std::system(cat.c_str()) == 0; });

  double pxS = -1;
  uint64_t pxRecords = 0;
#ifdef REKASTO_HAVE_PXLIB
  PX_boot();
  pxS = BestSeconds(3, [&] {
    pxdoc_t* px = PX_new();
    if (PX_open_file(px, db.c_str()) < 0) return false;
    int n = PX_get_num_records(px);
    std::vector<char> buf(size_t(PX_get_recordsize(px)));
    pxRecords = 0;
    int deleted = 0;
    pxdatablockinfo_t info;
    for (int i = 0; i < n; ++i)
      if (PX_get_record2(px, i, buf.data(), &deleted, &info)) ++pxRecords;
    PX_close(px);
    PX_delete(px);
    return true;
  });
  PX_shutdown();
#endif

  paradox::VerifyReport report;
  double verifyS = BestSeconds(3, [&] {
    report = paradox::VerifyTable(db);
    return true;
  });

  auto rate = [&](double s) { return s > 0 ? sizeMb / s : 0.0; };
  std::printf("cat     %8.0f MB/s  (%.3f s)\n", rate(catS), catS);
  if (pxS > 0)
    std::printf("pxlib   %8.0f MB/s  (%.3f s, %llu records read one by one)\n", rate(pxS), pxS,
                (unsigned long long)pxRecords);
  else
    std::printf("pxlib   not available\n");
  std::printf("verify  %8.0f MB/s  (%.3f s, verdict %d, %llu records, %zu findings)\n",
              rate(verifyS), verifyS, int(report.verdict),
              (unsigned long long)report.summary.countedRecords, report.findings.size());
  std::printf("verify/cat = %.2f\n", catS > 0 ? catS / verifyS : 0.0);
  if (!keep && std::getenv("REKASTO_BENCH_KEEP") == nullptr) stdfs::remove_all(dir, ec);
  return report.verdict == paradox::Verdict::kClean ? 0 : 1;
}
