// Big tables side by side, in one run, as ratios: `rekasto verify` beside `cat` of the
// family, `rekasto dump` beside pxlib reading and decoding every record, `rekasto
// rebuild` beside `cp -r` + `sync`, and the peak RSS of each (the child's rusage).
// Two tables per size, written with our writer: "plain" (unkeyed, level 5, 32 KB
// blocks, the types pxlib reads: alpha, short, long, number, money, date, logical) and
// "mixed" (keyed, level 7, 32 KB blocks, eleven field types, a memo and a secondary
// index). Besides: the mixed table damaged (two data blocks' records trade places, so
// the rebuild must sort every key) beside the healthy one, and a keyed table at the
// 65 535-block limit (2 KB blocks, about 128 MB).
//
//   bench_big [--sizes 10,150] [--huge] [--no-limit] [--runs N] [--skip pxlib,rebuild] [--dir DIR]
//   [--keep] [--cli PATH]
// --huge adds 1500 MB (needs about 8 GB of disk); --skip leaves out the slow parts
// (pxlib reads 150 MB in 5-12 s and grows faster than linearly). The machine is shared: every line
// carries the load average at the time, and ratios within one run are what to compare.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "paradox/format/reader.h"
#include "paradox/format/writer.h"

#ifdef REKASTO_HAVE_PXLIB
extern "C" {
#include <paradox.h>
}
#endif

#ifndef REKASTO_CLI_PATH
#define REKASTO_CLI_PATH "rekasto"
#endif

namespace {

namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace paradox;

struct Run {
  double secs = -1;  // best of the runs; < 0: failed
  double rssMb = 0;  // highest peak RSS of the runs
  int exitCode = 0;
};

std::string Load() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

// Runs `fn` in a child process (stdout to /dev/null) and returns its time, exit code
// and peak RSS. A forked child starts with the parent's pages, so the parent stays small.
Run Child(const std::function<int()>& fn) {
  Run r;
  auto t0 = Clock::now();
  pid_t pid = fork();
  if (pid < 0) return r;
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    _exit(fn());
  }
  int status = 0;
  struct rusage ru {};
  if (wait4(pid, &status, 0, &ru) != pid) return r;
  r.secs = std::chrono::duration<double>(Clock::now() - t0).count();
  r.rssMb = double(ru.ru_maxrss) / 1024.0;
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

Run Exec(const std::vector<std::string>& argv) {
  return Child([&] {
    std::vector<char*> a;
    for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    execvp(a[0], a.data());
    std::perror(a[0]);
    return 127;
  });
}

Run Shell(const std::string& cmd) {
  return Exec({"/bin/sh", "-c", cmd});
}

// Best time of `runs`, highest RSS; `ok` decides which exit codes count as success;
// `between` runs untimed after each run (cleanup).
Run Best(int runs, const std::function<Run()>& fn, const std::function<void()>& between = {},
         int okExit = 0) {
  Run best;
  for (int i = 0; i < runs; ++i) {
    Run r = fn();
    if (between) between();
    if (r.secs < 0 || r.exitCode != okExit) {
      r.secs = -1;
      return r;
    }
    if (best.secs < 0 || r.secs < best.secs) best.secs = r.secs;
    best.rssMb = std::max(best.rssMb, r.rssMb);
  }
  return best;
}

uint64_t FamilyBytes(const std::string& dir) {
  uint64_t n = 0;
  for (const auto& e : stdfs::directory_iterator(dir))
    if (e.is_regular_file()) n += e.file_size();
  return n;
}

std::string FamilyFiles(const std::string& dir) {
  std::string s;
  for (const auto& e : stdfs::directory_iterator(dir))
    if (e.is_regular_file()) s += " '" + e.path().string() + "'";
  return s;
}

TableSchema PlainSchema() {
  TableSchema s;
  s.level = TableLevel::k5;
  s.blockSize = 32768;  // 1.5 GB needs more than 65 535 blocks of 16 KB
  s.codePage = 1252;
  s.fields = {{"Id", FieldType::kLong},        {"Name", FieldType::kAlpha, 40},
              {"City", FieldType::kAlpha, 30}, {"Amount", FieldType::kNumber},
              {"Born", FieldType::kDate},      {"Active", FieldType::kLogical},
              {"Qty", FieldType::kShort},      {"Price", FieldType::kMoney},
              {"Note", FieldType::kAlpha, 60}};
  return s;
}

TableSchema MixedSchema() {
  TableSchema s;
  s.level = TableLevel::k7;
  s.blockSize = 32768;
  s.codePage = 1252;
  s.fields = {{"Id", FieldType::kLong},        {"Name", FieldType::kAlpha, 40},
              {"City", FieldType::kAlpha, 30}, {"Amount", FieldType::kNumber},
              {"Born", FieldType::kDate},      {"Active", FieldType::kLogical},
              {"Qty", FieldType::kShort},      {"Price", FieldType::kMoney},
              {"At", FieldType::kTimestamp},   {"Opens", FieldType::kTime},
              {"Exact", FieldType::kBcd, 2},   {"Note", FieldType::kMemo, 20}};
  s.keyFieldCount = 1;
  s.secondaryIndexes = {{"", {"Name"}, false, false, false}};
  return s;
}

// The plain table's fields, keyed, in 2 KB blocks: 65 535 of them hold about 128 MB.
TableSchema LimitSchema() {
  TableSchema s = PlainSchema();
  s.blockSize = 2048;
  s.keyFieldCount = 1;
  return s;
}

const char* kCities[] = {"Krakow", "Gdansk", "Lodz", "Poznan", "Wroclaw", "Lublin"};

std::vector<Value> Row(bool mixed, uint64_t i) {
  std::vector<Value> v = {int64_t(i),
                          "Name " + std::to_string(i * 7919 % 100003),
                          std::string(kCities[i % 6]),
                          double(i) * 0.25,
                          Date{int32_t(700000 + i % 40000)},
                          bool(i & 1),
                          int64_t(i % 30000),
                          double(i % 1000) + 0.99};
  if (!mixed) {
    v.push_back("Note text for record " + std::to_string(i));
    return v;
  }
  v.push_back(Timestamp{double(730000 + i % 5000) * 86400000.0 + double(i % 86400) * 1000.0});
  v.push_back(Time{int32_t(i % 86400) * 1000});
  v.push_back(Bcd{std::to_string(i % 100000) + ".25"});
  // An eighth of the records carry a memo: short ones stay in the leader or a shared
  // block, one in 200 gets blocks of its own.
  Value note;
  if (i % 8 == 0) {
    const size_t len = (i % 200 == 0) ? 3000 + i % 5000 : 10 + i * 13 % 300;
    note = std::string(len, char('a' + i % 26));
  }
  v.push_back(note);
  return v;
}

enum class Kind { kPlain, kMixed, kLimit };

// Writes the table in a child process so the parent's heap stays small for the forks.
bool Generate(const std::string& db, Kind kind, uint64_t targetBytes) {
  const bool mixed = kind == Kind::kMixed;
  Run r = Child([&] {
    TableSchema s = kind == Kind::kMixed   ? MixedSchema()
                    : kind == Kind::kLimit ? LimitSchema()
                                           : PlainSchema();
    WriteOptions o;
    o.sync = false;
    auto w = TableWriter::Create(DefaultFileSystem(), db, s, o);
    if (!w.ok()) {
      std::fprintf(stderr, "bench_big: cannot create %s: %s\n", db.c_str(),
                   w.status().ToString().c_str());
      return 1;
    }
    const TableHeader& h = w.value()->header();
    // The mixed table's .MB and secondary index add about 40 % to its .DB.
    const uint64_t dbBytes = mixed ? targetBytes / 10 * 7 : targetBytes;
    const uint64_t perBlock = (h.BlockSize() - 6) / h.fixed.recordSize;
    const uint64_t records =
        kind == Kind::kLimit ? 65535 * perBlock : dbBytes / h.fixed.recordSize + 1;
    for (uint64_t i = 1; i <= records; ++i) {
      Status st = w.value()->AddRecord(Row(mixed, i));
      if (!st.ok()) {
        std::fprintf(stderr, "bench_big: record %llu: %s\n", (unsigned long long)i,
                     st.ToString().c_str());
        return 1;
      }
    }
    Status st = w.value()->Finish();
    if (!st.ok()) {
      std::fprintf(stderr, "bench_big: finishing %s: %s\n", db.c_str(), st.ToString().c_str());
      return 1;
    }
    return 0;
  });
  return r.secs >= 0 && r.exitCode == 0;
}

// Damages a keyed table the way a lost write of its links would: the records of data
// blocks 2 and 3 trade places, so the chain is out of key order and a rebuild sorts
// every key (and rewrites the .PX, whose entries then point wrongly).
bool Damage(const std::string& db) {
  auto h = ReadHeader(DefaultFileSystem(), db);
  if (!h.ok() || h->fixed.fileBlocks < 3) return false;
  const uint64_t bs = h->BlockSize();
  std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
  std::string a(bs, '\0'), b(bs, '\0');
  const uint64_t at2 = h->fixed.headerSize + bs, at3 = at2 + bs;
  f.seekg(std::streamoff(at2));
  f.read(a.data(), std::streamsize(bs));
  f.seekg(std::streamoff(at3));
  f.read(b.data(), std::streamsize(bs));
  if (!f || a.compare(4, 2, b, 4, 2) != 0) return false;  // both full: same record count
  f.seekp(std::streamoff(at2 + 6));
  f.write(b.data() + 6, std::streamsize(bs - 6));
  f.seekp(std::streamoff(at3 + 6));
  f.write(a.data() + 6, std::streamsize(bs - 6));
  return bool(f);
}

#ifdef REKASTO_HAVE_PXLIB
// pxlib opening the table and decoding every field of every record. Memos come from
// their leaders only: pxlib's PX_set_blob_file smashes its stack on every .MB tried
// (ours and the shared real tables' alike).
int PxlibFullRead(const std::string& db) {
  PX_boot();
  pxdoc_t* px = PX_new();
  if (PX_open_file(px, db.c_str()) < 0) return 1;
  const int n = PX_get_num_records(px);
  const int fields = PX_get_num_fields(px);
  unsigned long long sum = 0;
  for (int i = 0; i < n; ++i) {
    pxval_t** vals = PX_retrieve_record(px, i);
    if (!vals) return 1;
    for (int j = 0; j < fields; ++j) {
      pxval_t* v = vals[j];
      if (!v->isnull) {
        switch (v->type) {
          case pxfAlpha:
          case pxfMemoBLOb:
          case pxfBLOb:
          case pxfFmtMemoBLOb:
          case pxfOLE:
          case pxfGraphic:
          case pxfBCD:
          case pxfBytes:
            sum += unsigned(v->value.str.len);
            if (v->value.str.val) px->free(px, v->value.str.val);
            break;
          default:
            sum += (unsigned long long)v->value.lval;
        }
      }
      px->free(px, v);
    }
    px->free(px, vals);
  }
  PX_close(px);
  PX_delete(px);
  PX_shutdown();
  std::printf("%llu\n", sum);  // keeps the decoding from being optimised away
  return 0;
}
#endif

struct Options {
  std::vector<uint64_t> sizesMb = {10, 150};
  int runs = 3;
  std::string dir = (stdfs::temp_directory_path() / "rekasto_bench_big").string();
  bool keep = false;
  bool limit = true;  // also the keyed table at 65 535 blocks
  std::string cli = REKASTO_CLI_PATH;
  std::string skip;  // comma-separated: verify, dump, pxlib, rebuild
  bool Runs(const char* what) const {
    return ("," + skip + ",").find(std::string(",") + what + ",") == std::string::npos;
  }
};

void Line(const char* table, const char* op, const Run& r, double mb, const std::string& ratio) {
  if (r.secs < 0) {
    std::printf("  %-6s %-14s failed (exit %d)\n", table, op, r.exitCode);
    return;
  }
  std::printf("  %-6s %-14s %8.3f s %8.0f MB/s %8.1f MB RSS  %s\n", table, op, r.secs, mb / r.secs,
              r.rssMb, ratio.c_str());
  std::fflush(stdout);
}

std::string Ratio(const char* name, const Run& slow, const Run& fast, double target) {
  if (slow.secs <= 0 || fast.secs <= 0) return "";
  char buf[128];
  const double x = fast.secs / slow.secs;
  std::snprintf(buf, sizeof buf, "%s %.3f (target >= %.2f%s)", name, x, target,
                x >= target ? "" : ", MISSED");
  return buf;
}

void BenchTable(const Options& o, const std::string& dir, const std::string& stem, Kind kind,
                uint64_t mb) {
  const bool mixed = kind == Kind::kMixed;
  const std::string db = dir + "/" + stem + ".DB";
  const std::string stamp = dir + "/.generated";
  std::error_code ec;
  if (!stdfs::exists(stamp, ec)) {
    stdfs::remove_all(dir, ec);
    stdfs::create_directories(dir);
    auto t0 = Clock::now();
    if (!Generate(db, kind, mb << 20)) {
      std::printf("  %s: generating failed\n", stem.c_str());
      return;
    }
    std::ofstream(stamp) << "ok\n";
    std::printf("  %s generated in %.1f s\n", stem.c_str(),
                std::chrono::duration<double>(Clock::now() - t0).count());
  }
  const double fam = double(FamilyBytes(dir)) / (1 << 20);
  const char* t = mixed ? "mixed" : kind == Kind::kLimit ? "limit" : "plain";
  std::printf("  %s: family %.1f MB (%s), load %s\n", t, fam, dir.c_str(), Load().c_str());
  const std::string files = FamilyFiles(dir);
  const int runs = mb >= 1000 ? 1 : o.runs;

  Shell("cat" + files + " > /dev/null");  // page cache warm-up
  Run cat = Best(runs, [&] { return Shell("cat" + files + " > /dev/null"); });
  Line(t, "cat", cat, fam, "");
  if (o.Runs("verify")) {
    Run verify = Best(runs, [&] { return Exec({o.cli, "verify", "--quiet", db}); });
    Line(t, "verify", verify, fam, Ratio("verify/cat", verify, cat, mixed ? 0.25 : 0.50));
  }

  Run px;
#ifdef REKASTO_HAVE_PXLIB
  if (o.Runs("pxlib")) {
    px = Best(runs, [&] { return Child([&] { return PxlibFullRead(db); }); });
    Line(t, "pxlib read", px, fam, "");
  }
#else
  std::printf("  %-6s %-14s not built (no pxlib)\n", t, "pxlib read");
#endif
  if (o.Runs("dump")) {
    Run dump = Best(runs, [&] { return Exec({o.cli, "dump", db}); });
    Line(t, "dump", dump, fam, Ratio("dump/pxlib", dump, px, 5.0));
  }
  if (!o.Runs("rebuild")) return;

  const std::string copy = dir + ".copy";
  Run cp = Best(
      runs, [&] { return Shell("cp -r '" + dir + "' '" + copy + "' && sync"); },
      [&] { stdfs::remove_all(copy, ec); });
  Line(t, "cp -r + sync", cp, fam, "");
  Run rebuild = Best(
      runs,
      [&] {
        return Exec({o.cli, "rebuild", db});
      },
      [&] { stdfs::remove_all(dir + "/" + stem + ".rekasto", ec); });
  Line(t, "rebuild", rebuild, fam, Ratio("rebuild/cp", rebuild, cp, 0.25));
  if (!mixed) return;

  // The same table damaged: every run rebuilds a fresh damaged copy (exit 1: repaired).
  const std::string damaged = dir + ".damaged";
  bool damagedOk = true;
  Run broken = Best(
      runs,
      [&] {
        stdfs::remove_all(damaged, ec);
        Shell("cp -r '" + dir + "' '" + damaged + "'");
        stdfs::remove(damaged + "/.generated", ec);
        if (!Damage(damaged + "/" + stem + ".DB")) {
          damagedOk = false;
          return Run{};
        }
        return Exec({o.cli, "rebuild", damaged + "/" + stem + ".DB"});
      },
      [&] { stdfs::remove_all(damaged, ec); }, 1);
  if (!damagedOk) {
    std::printf("  %-6s %-14s could not damage the copy\n", t, "rebuild damaged");
    return;
  }
  Line(t, "rebuild (dmg)", broken, fam, Ratio("damaged/healthy", broken, rebuild, 0.5));
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--sizes" && i + 1 < argc) {
      o.sizesMb.clear();
      std::string list = argv[++i];
      for (size_t p = 0; p < list.size();) {
        size_t q = list.find(',', p);
        if (q == std::string::npos) q = list.size();
        o.sizesMb.push_back(std::strtoull(list.substr(p, q - p).c_str(), nullptr, 10));
        p = q + 1;
      }
    } else if (a == "--huge") {
      o.sizesMb.push_back(1500);
    } else if (a == "--runs" && i + 1 < argc) {
      o.runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--dir" && i + 1 < argc) {
      o.dir = argv[++i];
    } else if (a == "--skip" && i + 1 < argc) {
      o.skip = argv[++i];
    } else if (a == "--no-limit") {
      o.limit = false;
    } else if (a == "--keep") {
      o.keep = true;
    } else if (a == "--cli" && i + 1 < argc) {
      o.cli = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: bench_big [--sizes 10,150] [--huge] [--no-limit] [--runs N] [--skip "
                   "pxlib,rebuild] [--dir DIR] "
                   "[--keep] [--cli PATH]\n");
      return 2;
    }
  }
  std::printf("bench_big: %s, load %s, best of %d (1 at >= 1000 MB)\n", o.cli.c_str(),
              Load().c_str(), o.runs);
  std::printf("  ratios are throughput against the reference (1.0 = as fast)\n");
  for (uint64_t mb : o.sizesMb) {
    std::printf("== %llu MB\n", (unsigned long long)mb);
    const std::string base = o.dir + "/" + std::to_string(mb);
    BenchTable(o, base + "/plain", "PLAIN", Kind::kPlain, mb);
    BenchTable(o, base + "/mixed", "MIXED", Kind::kMixed, mb);
  }
  if (o.limit) {
    std::printf("== 65 535 blocks of 2 KB\n");
    BenchTable(o, o.dir + "/limit", "LIMIT", Kind::kLimit, 128);
  }
  std::printf("done, load %s\n", Load().c_str());
  std::error_code ec;
  if (!o.keep) stdfs::remove_all(o.dir, ec);
  return 0;
}
