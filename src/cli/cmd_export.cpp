// rekasto export: tables into one SQLite database, typed columns, keys and secondary
// indexes as SQLite indexes, all in one transaction. The records come from the
// salvage, so a damaged table gives what can be recovered, and a warning says what
// was left out.
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <set>

#include "cli.h"
#include "paradox/format/codepage.h"
#include "paradox/format/family.h"
#include "paradox/format/value.h"
#include "paradox/repair/salvage.h"
#include "table_out.h"

namespace rekasto {

namespace {

const char* kUsage = "export --sqlite FILE [--codepage N] TABLE...";

const char* kHelp =
    "Writes every TABLE into a new SQLite database FILE, one SQLite table each, named\n"
    "after the table file (CUSTOMER.DB -> CUSTOMER), in one transaction.\n"
    "  --codepage N   read text as code page N (number or iconv name) instead of\n"
    "                 each table's own\n"
    "Columns: L, S, I, + INTEGER; N, $ REAL; A, M TEXT (UTF-8); D, T, @ TEXT in\n"
    "ISO 8601; # TEXT holding the exact decimal; Y, B, F, O, G BLOB (graphic and OLE\n"
    "values without their 8-byte header). The primary key becomes a unique index,\n"
    "each secondary index an index. A damaged table is exported from what the\n"
    "salvage recovers, with a warning naming what was left out; records that repeat\n"
    "a key go to TABLE_keyviol.\n";

std::string Quote(const std::string& id) {
  std::string out = "\"";
  for (char c : id) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

const char* ColumnType(paradox::FieldType t) {
  using paradox::FieldType;
  switch (t) {
    case FieldType::kLogical:
    case FieldType::kShort:
    case FieldType::kLong:
    case FieldType::kAutoInc:
      return "INTEGER";
    case FieldType::kNumber:
    case FieldType::kMoney:
      return "REAL";
    case FieldType::kBytes:
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      return "BLOB";
    default:
      return "TEXT";
  }
}

class SqliteExport {
 public:
  SqliteExport(Io& io, std::optional<paradox::Charset> charset)
      : io_(io), charset_(std::move(charset)) {}
  ~SqliteExport() {
    if (db_) sqlite3_close(db_);
  }

  bool Open(const std::string& path) {
    if (std::filesystem::exists(path)) {
      Error(io_, path + ": already exists; export writes a new database");
      return false;
    }
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      Error(io_, path + ": cannot create: " + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
      return false;
    }
    return Exec("BEGIN");
  }
  bool Commit() { return Exec("COMMIT"); }

  // 0 exported cleanly, 1 exported with losses or damage, 2 failed.
  int Table(const std::string& path) {
    if (!CheckTablePath(path, io_)) return kExitFailed;
    auto family = paradox::FindFamily(io_.fs, path);
    if (!family.ok()) {
      Error(io_, path + ": " + family.status().message());
      return kExitFailed;
    }
    // Records stay in the table's files and are read one at a time while inserted.
    paradox::SalvageOptions so;
    so.keepBytes = false;
    auto salvaged = paradox::SalvageTable(io_.fs, family.value(), so);
    if (!salvaged.ok()) {
      Error(io_, path + ": cannot read: " + salvaged.status().message());
      return kExitFailed;
    }
    const paradox::SalvageResult& s = salvaged.value();
    const paradox::TableHeader& h = s.header;
    const paradox::Charset cs = ChooseCharset(h, charset_, path, io_);
    const std::string name = UniqueName(paradox::PathStem(path));
    ValueRenderer render(h, cs, nullptr, "", name, io_.fs);
    std::vector<std::string> columns;
    for (const paradox::FieldDesc& f : h.fields) columns.push_back(paradox::ToUtf8(f.name, cs));
    columns = DistinctNames(columns);
    int rc = kExitOk;
    if (!CreateTable(name, h, columns)) return kExitFailed;
    uint64_t problems = 0;
    if (!InsertAll(name, h, render, s.recordPlaces, *s.source, &problems)) return kExitFailed;
    if (!CreateIndexes(path, name, h, s.schema, columns, cs)) return kExitFailed;
    if (!s.keyViolationPlaces.empty()) {
      const std::string kv = UniqueName(name + "_keyviol");
      if (!CreateTable(kv, h, columns) ||
          !InsertAll(kv, h, render, s.keyViolationPlaces, *s.source, &problems))
        return kExitFailed;
      Warn(path, std::to_string(s.keyViolationPlaces.size()) +
                     " record(s) repeat a key; they are in " + kv);
      rc = kExitProblems;
    }
    // What the salvage did to the data itself; a missing or stale index loses nothing here.
    const std::string dbName = paradox::PathBaseName(path);
    auto aboutData = [&](const paradox::RebuildAction& a) {
      return a.file == dbName && !a.detail.empty() &&
             (a.action == "blob" || a.action == "dropped" || a.action == "recovered" ||
              a.action == "header");
    };
    const bool damaged = !s.problems.empty() || s.blobsBroken > 0 || problems > 0 ||
                         std::any_of(s.actions.begin(), s.actions.end(), aboutData);
    if (damaged) {
      rc = kExitProblems;
      Warn(path, "damaged; exported the " + std::to_string(s.recordPlaces.size()) +
                     " record(s) the salvage recovers");
      for (const paradox::SetAside& p : s.problems)
        Warn(path,
             "left out: " + (p.block ? "block " + std::to_string(p.block) + ": " : std::string()) +
                 p.reason);
      for (const paradox::RebuildAction& a : s.actions)
        if (aboutData(a))
          Warn(path, a.action + (a.block >= 0 ? " (block " + std::to_string(a.block) + ")" : "") +
                         ": " + a.detail);
    }
    return rc;
  }

 private:
  void Warn(const std::string& table, const std::string& what) {
    io_.err << "rekasto: warning: " << table << ": " << what << "\n";
  }

  bool Exec(const std::string& sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &msg) == SQLITE_OK) return true;
    Error(io_, "sqlite: " + std::string(msg ? msg : "error") + " (in " + sql.substr(0, 80) + ")");
    sqlite3_free(msg);
    return false;
  }

  std::string UniqueName(const std::string& want) {
    std::string name = want;
    for (int n = 2; used_.count(Lower(name)); ++n) name = want + "_" + std::to_string(n);
    used_.insert(Lower(name));
    return name;
  }
  static std::string Lower(std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
  }

  bool CreateTable(const std::string& name, const paradox::TableHeader& h,
                   const std::vector<std::string>& columns) {
    std::string sql = "CREATE TABLE " + Quote(name) + " (";
    for (size_t i = 0; i < columns.size(); ++i)
      sql += (i ? ", " : "") + Quote(columns[i]) + " " + ColumnType(h.fields[i].type);
    return Exec(sql + ")");
  }

  bool InsertAll(const std::string& name, const paradox::TableHeader& h, ValueRenderer& render,
                 const paradox::PlaceList& places, paradox::RecordSource& source,
                 uint64_t* problems) {
    std::string sql = "INSERT INTO " + Quote(name) + " VALUES (";
    for (size_t i = 0; i < h.fields.size(); ++i) sql += i ? ", ?" : "?";
    sql += ")";
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      Error(io_, "sqlite: " + std::string(sqlite3_errmsg(db_)));
      return false;
    }
    bool ok = true;
    paradox::SalvagedRecord rec;
    size_t r = 0;
    for (auto at = places.begin(); ok && at != places.end(); ++at, ++r) {
      if (paradox::Status fetched = source.Fetch(*at, &rec); !fetched.ok()) {
        Error(io_, name + ": " + fetched.message());
        ok = false;
        break;
      }
      sqlite3_reset(st);
      sqlite3_clear_bindings(st);
      for (size_t i = 0; i < h.fields.size(); ++i) {
        const paradox::FieldDesc& f = h.fields[i];
        auto v = paradox::DecodeField(f, paradox::ByteSpan(rec.raw).subspan(f.offset, f.Size()));
        const paradox::Bytes* resolved = nullptr;
        for (const paradox::BlobData& b : rec.blobs)
          if (b.field == i) resolved = &b.data;
        std::string problem;
        OutValue out;
        if (v.ok())
          out = render.Render(i, v.value(), r, &problem, resolved);
        else
          problem = "record " + std::to_string(r + 1) + ": " + v.status().message();
        if (!problem.empty()) {
          ++*problems;
          Warn(name, problem + "; exported as NULL");
        }
        Bind(st, int(i) + 1, out);
      }
      if (sqlite3_step(st) != SQLITE_DONE) {
        Error(io_, "sqlite: " + std::string(sqlite3_errmsg(db_)) + " (table " + name + ")");
        ok = false;
      }
    }
    sqlite3_finalize(st);
    return ok;
  }

  static void Bind(sqlite3_stmt* st, int col, const OutValue& v) {
    using K = OutValue::Kind;
    switch (v.kind) {
      case K::kNull:
        sqlite3_bind_null(st, col);
        break;
      case K::kBool:
        sqlite3_bind_int64(st, col, v.boolean ? 1 : 0);
        break;
      case K::kInteger:
        sqlite3_bind_int64(st, col, v.integer);
        break;
      case K::kReal:
        // SQLite stores NaN as NULL: keep its text instead.
        if (v.real != v.real)
          sqlite3_bind_text(st, col, "NaN", -1, SQLITE_STATIC);
        else
          sqlite3_bind_double(st, col, v.real);
        break;
      case K::kText:
        sqlite3_bind_text(st, col, v.text.data(), int(v.text.size()), SQLITE_TRANSIENT);
        break;
      case K::kBytes:
        sqlite3_bind_blob(st, col, v.bytes.empty() ? "" : static_cast<const void*>(v.bytes.data()),
                          int(v.bytes.size()), SQLITE_TRANSIENT);
        break;
    }
  }

  bool CreateIndexes(const std::string& path, const std::string& name,
                     const paradox::TableHeader& h, const paradox::TableSchema& schema,
                     const std::vector<std::string>& columns, const paradox::Charset& cs) {
    if (h.fixed.primaryKeyFields > 0) {
      std::string cols;
      for (size_t i = 0; i < h.fixed.primaryKeyFields && i < columns.size(); ++i)
        cols += (i ? ", " : "") + Quote(columns[i]);
      const std::string index = Quote(UniqueName(name + "_pk"));
      const std::string tail = " ON " + Quote(name) + " (" + cols + ")";
      // Keys unequal as stored bytes can be equal as values (0.0 and -0.0; text after
      // a NUL): then the key stays an index, not a unique one.
      if (sqlite3_exec(db_, ("CREATE UNIQUE INDEX " + index + tail).c_str(), nullptr, nullptr,
                       nullptr) != SQLITE_OK) {
        Warn(path,
             "key values repeat once decoded; the primary key is exported as a non-unique index");
        if (!Exec("CREATE INDEX " + index + tail)) return false;
      }
    }
    for (const paradox::SecondaryIndexDef& x : schema.secondaryIndexes) {
      std::string cols;
      bool found = true;
      for (const std::string& field : x.fields) {
        const int k = h.FieldIndex(field);
        if (k < 0) {
          found = false;
          break;
        }
        cols += (cols.empty() ? "" : ", ") + Quote(columns[size_t(k)]) +
                (x.caseInsensitive ? " COLLATE NOCASE" : "") + (x.descending ? " DESC" : "");
      }
      if (!found || cols.empty()) continue;
      const std::string label = x.name.empty() ? (x.fields.empty() ? "x" : x.fields[0]) : x.name;
      const std::string index = Quote(UniqueName(name + "_" + paradox::ToUtf8(label, cs)));
      const std::string tail = " ON " + Quote(name) + " (" + cols + ")";
      // A damaged family can claim a unique index over values that repeat: like the key,
      // it is then exported as an index that is not unique.
      if (x.unique && sqlite3_exec(db_, ("CREATE UNIQUE INDEX " + index + tail).c_str(), nullptr,
                                   nullptr, nullptr) == SQLITE_OK)
        continue;
      if (x.unique)
        Warn(path, "values of the unique index " + paradox::ToUtf8(label, cs) +
                       " repeat; it is exported as a non-unique index");
      if (!Exec("CREATE INDEX " + index + tail)) return false;
    }
    return true;
  }

  Io& io_;
  std::optional<paradox::Charset> charset_;
  sqlite3* db_ = nullptr;
  std::set<std::string> used_;
};

int RunExport(const std::vector<std::string>& args, Io& io) {
  ParsedArgs parsed;
  if (auto done = ParseCommandLine("export", kUsage, kHelp, args,
                                   {{"sqlite", 0, true}, {"codepage", 0, true}}, &parsed, io))
    return *done;
  std::optional<paradox::Charset> charset;
  if (const std::string* cp = parsed.Value("codepage");
      cp && !ParseCodepageOption(*cp, &charset, io))
    return kExitFailed;
  const std::string file = parsed.Value("sqlite") ? *parsed.Value("sqlite") : "";
  const std::vector<std::string>& tables = parsed.operands;
  if (file.empty() || tables.empty()) {
    UsageError(io, "export", kUsage, file.empty() ? "no --sqlite FILE given" : "no table given");
    return kExitFailed;
  }
  int rc = kExitOk;
  {
    SqliteExport out(io, charset);
    if (!out.Open(file)) return kExitFailed;
    for (const std::string& t : tables) {
      rc = std::max(rc, out.Table(t));
      if (rc == kExitFailed) break;
    }
    if (rc != kExitFailed && !out.Commit()) rc = kExitFailed;
  }
  // Nothing half-written stays behind.
  if (rc == kExitFailed) {
    std::error_code ec;
    std::filesystem::remove(file, ec);
  }
  return rc;
}

}  // namespace

REKASTO_COMMAND({"export", kUsage, "tables into a new SQLite database (typed columns, indexes)",
                 &RunExport});

}  // namespace rekasto
