// make-demo-tables: writes the demo tables that come with the program into one folder.
//
//   make-demo-tables <folder>
//
// Two healthy tables to try everything on, and four copies of believable data, each with
// one kind of damage users meet, applied by byte edits after a valid table was written
// (see samples/README.md for the list). The output is the same on every run: fixed data,
// fixed time stamps.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "paradox/format/codepage.h"
#include "paradox/format/file.h"
#include "paradox/format/value.h"
#include "paradox/format/writer.h"

namespace fs = std::filesystem;
using paradox::FieldType;
using paradox::TableSchema;
using paradox::Value;

namespace {

constexpr uint16_t kCodePage = 1250;     // Central European: the data is Polish
constexpr uint32_t kStamp = 1704067200;  // 2024-01-01 00:00 UTC, for repeatable files

bool Fail(const std::string& what) {
  std::fprintf(stderr, "make-demo-tables: %s\n", what.c_str());
  return false;
}

// A text for an alpha or memo field: UTF-8 source text in the tables' code page.
std::string Text(const std::string& utf8) {
  auto converted = paradox::FromUtf8(utf8, kCodePage);
  return converted.ok() ? converted.value() : std::string("?");
}

// Day number of a date field: 0001-01-01 is day 1.
paradox::Date Day(int y, int m, int d) {
  return paradox::Date{
      paradox::DaysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d))};
}

// Small repeatable generator for plausible values.
struct Lcg {
  uint32_t state;
  uint32_t Next(uint32_t bound) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % bound;
  }
};

const char* const kFirst[] = {
    "Anna",   "Piotr",     "Katarzyna", "Tomasz", "Małgorzata", "Paweł",    "Agnieszka", "Michał",
    "Joanna", "Krzysztof", "Ewa",       "Łukasz", "Zofia",      "Grzegorz", "Barbara",   "Jędrzej"};
const char* const kLast[] = {"Nowak",     "Kowalska", "Wiśniewski",  "Wójcik",
                             "Kowalczyk", "Kamińska", "Lewandowski", "Zieliński",
                             "Szymańska", "Woźniak",  "Dąbrowski",   "Kozłowska",
                             "Jankowski", "Mazur",    "Krawczyk",    "Piotrowska"};
const char* const kCity[] = {"Kraków",   "Łódź",     "Gdańsk",    "Poznań",  "Wrocław",
                             "Warszawa", "Szczecin", "Białystok", "Rzeszów", "Toruń"};
const char* const kItem[] = {"Papier A4, ryza",   "Toner do drukarki", "Segregator",
                             "Długopis, 10 szt.", "Zszywacz",          "Kalkulator biurowy",
                             "Teczka z gumką",    "Taśma klejąca",     "Koperty C5, 50 szt.",
                             "Notes w kratkę",    "Marker żółty",      "Dziurkacz"};
const char* const kNote[] = {
    "Stały klient.",
    "Płaci przelewem w terminie 14 dni. Faktury wysyłać pocztą elektroniczną na adres "
    "księgowości, nie do działu zakupów.",
    "Prosi o dostawę tylko we wtorki i czwartki, między 8:00 a 12:00; wjazd od ulicy "
    "bocznej, brama numer 2.",
    "",
    "Rabat 5% od zamówień powyżej 500 zł, uzgodniony z kierownikiem sprzedaży w marcu.",
    "Nowy klient.",
    "Zgłosił reklamację tonera w zeszłym kwartale; sprawa zamknięta, wymieniono towar na "
    "nowy i wystawiono fakturę korygującą.",
};

template <size_t N>
const char* Pick(const char* const (&list)[N], uint32_t i) {
  return list[i % N];
}

paradox::WriteOptions Options() {
  paradox::WriteOptions o;
  o.fileUpdateTime = kStamp;
  o.sync = false;
  return o;
}

TableSchema Schema(std::vector<paradox::FieldDef> fields, uint16_t keyFields) {
  TableSchema s;
  s.level = paradox::TableLevel::k7;
  s.blockSize = 2048;
  s.codePage = kCodePage;
  s.fields = std::move(fields);
  s.keyFieldCount = keyFields;
  return s;
}

bool Write(const fs::path& db, const TableSchema& schema,
           const std::vector<std::vector<Value>>& rows, const paradox::WriteOptions& options) {
  const paradox::Status st =
      paradox::WriteTable(paradox::DefaultFileSystem(), db.string(), schema, rows, options);
  return st.ok() || Fail(db.string() + ": " + st.ToString());
}

// ---- Byte edits on a written file ----

bool ReadBytes(const fs::path& file, uint64_t offset, uint8_t* out, size_t n) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n));
  return (in && static_cast<size_t>(in.gcount()) == n) || Fail("cannot read " + file.string());
}

bool WriteBytes(const fs::path& file, uint64_t offset, const uint8_t* data, size_t n) {
  std::fstream io(file, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(static_cast<std::streamoff>(offset));
  io.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
  return static_cast<bool>(io) || Fail("cannot write " + file.string());
}

bool GetU16(const fs::path& f, uint64_t off, uint16_t* v) {
  uint8_t b[2];
  if (!ReadBytes(f, off, b, 2)) return false;
  *v = static_cast<uint16_t>(b[0] | (b[1] << 8));
  return true;
}

bool SetU16(const fs::path& f, uint64_t off, uint16_t v) {
  const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
  return WriteBytes(f, off, b, 2);
}

bool SetU32(const fs::path& f, uint64_t off, uint32_t v) {
  const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  return WriteBytes(f, off, b, 4);
}

// ---- The data ----

std::vector<std::vector<Value>> CustomerRows(int count) {
  std::vector<std::vector<Value>> rows;
  Lcg r{20240101};
  for (int i = 0; i < count; ++i) {
    const uint32_t a = r.Next(1000), b = r.Next(1000), c = r.Next(1000);
    const std::string name = std::string(Pick(kFirst, a)) + " " + Pick(kLast, b);
    char phone[16];
    std::snprintf(phone, sizeof phone, "%03u %03u %03u", 500 + r.Next(300), r.Next(1000),
                  r.Next(1000));
    const std::string note = Pick(kNote, c);
    rows.push_back(
        {int64_t{1001 + i}, Text(name), Text(Pick(kCity, r.Next(1000))), std::string(phone),
         Day(2015 + static_cast<int>(r.Next(9)), 1 + static_cast<int>(r.Next(12)),
             1 + static_cast<int>(r.Next(28))),
         static_cast<double>(r.Next(500000)) / 100.0, note.empty() ? Value{} : Value{Text(note)}});
  }
  return rows;
}

TableSchema CustomerSchema() {
  TableSchema s = Schema({{"CustNo", FieldType::kLong},
                          {"Name", FieldType::kAlpha, 40},
                          {"City", FieldType::kAlpha, 24},
                          {"Phone", FieldType::kAlpha, 15},
                          {"Since", FieldType::kDate},
                          {"Balance", FieldType::kMoney},
                          {"Notes", FieldType::kMemo, 24}},
                         1);
  return s;
}

std::vector<std::vector<Value>> OrderRows(int count, int customers) {
  std::vector<std::vector<Value>> rows;
  Lcg r{77};
  for (int i = 0; i < count; ++i) {
    const int qty = 1 + static_cast<int>(r.Next(20));
    rows.push_back({int64_t{5001 + i}, int64_t{1001 + static_cast<int>(r.Next(customers))},
                    Day(2023, 1 + i * 12 / count, 1 + static_cast<int>(r.Next(28))),
                    Text(Pick(kItem, r.Next(1000))), int64_t{qty},
                    static_cast<double>(qty * (199 + r.Next(5000))) / 100.0, r.Next(4) != 0});
  }
  return rows;
}

TableSchema OrderSchema() {
  return Schema({{"OrderNo", FieldType::kLong},
                 {"CustNo", FieldType::kLong},
                 {"OrderDate", FieldType::kDate},
                 {"Item", FieldType::kAlpha, 30},
                 {"Qty", FieldType::kShort},
                 {"Amount", FieldType::kMoney},
                 {"Paid", FieldType::kLogical}},
                0);
}

// ---- The tables ----

// Keyed customers: primary index, a single-field index on Name (.X02/.Y02), a named
// case-insensitive index on City and Name (.XG0/.YG0), memos partly in the .MB.
bool MakeCustomer(const fs::path& dir) {
  TableSchema s = CustomerSchema();
  s.secondaryIndexes.push_back({"", {"Name"}});
  s.secondaryIndexes.push_back({"ByCity", {"City", "Name"}, true});
  return Write(dir / "CUSTOMER.DB", s, CustomerRows(48), Options());
}

// Unkeyed orders, several blocks.
bool MakeOrders(const fs::path& dir) {
  return Write(dir / "ORDERS.DB", OrderSchema(), OrderRows(150, 48), Options());
}

// The header says 37 more records than the blocks hold (numRecords at 0x06).
bool MakeBadCount(const fs::path& dir) {
  const fs::path db = dir / "BADCOUNT.DB";
  const int rows = 30;
  return Write(db, OrderSchema(), OrderRows(rows, 48), Options()) && SetU32(db, 0x06, rows + 37);
}

// Six blocks of ten records; block 3's next-block link (first u16 of its block header)
// points to block 200, past the end of the file, so blocks 4 to 6 fall out of the chain.
bool MakeBadChain(const fs::path& dir) {
  const fs::path db = dir / "BADCHAIN.DB";
  paradox::WriteOptions o = Options();
  o.recordsPerBlock = 10;
  if (!Write(db, OrderSchema(), OrderRows(60, 48), o)) return false;
  uint16_t headerSize = 0;
  if (!GetU16(db, 0x02, &headerSize)) return false;
  return SetU16(db, paradox::BlockOffset(headerSize, 2048, 3), 200);
}

// The primary index belongs to an earlier state of the table: STALEIDX.PX is the index
// written for the first 20 customers (4 blocks of 5), while the data holds 40 (8 blocks),
// and the table's change counter (0x2D) is one past the index's copy of it (PX 0x2C).
bool MakeStaleIndex(const fs::path& dir) {
  const fs::path db = dir / "STALEIDX.DB";
  const fs::path old = dir / "stale-old";
  paradox::WriteOptions o = Options();
  o.recordsPerBlock = 5;
  std::vector<std::vector<Value>> all = CustomerRows(40);
  std::vector<std::vector<Value>> first(all.begin(), all.begin() + 20);
  std::error_code ec;
  fs::create_directories(old, ec);
  bool ok = !ec || Fail("cannot create " + old.string());
  ok = ok && Write(old / "STALEIDX.DB", CustomerSchema(), first, o);
  ok = ok && Write(db, CustomerSchema(), all, o);
  if (ok) {
    fs::copy_file(old / "STALEIDX.PX", dir / "STALEIDX.PX", fs::copy_options::overwrite_existing,
                  ec);
    ok = !ec || Fail("cannot copy the old index: " + ec.message());
  }
  uint8_t count = 0;
  ok = ok && ReadBytes(db, 0x2D, &count, 1);
  const uint8_t bumped = static_cast<uint8_t>(count + 1);
  ok = ok && WriteBytes(db, 0x2D, &bumped, 1);
  fs::remove_all(old, ec);
  return ok;
}

// Customers whose long memos live in NOMEMO.MB; the .MB is deleted, so every memo longer
// than its 24-byte leader points into a file that is not there.
bool MakeNoMemo(const fs::path& dir) {
  const fs::path db = dir / "NOMEMO.DB";
  if (!Write(db, CustomerSchema(), CustomerRows(24), Options())) return false;
  std::error_code ec;
  return fs::remove(dir / "NOMEMO.MB", ec) || Fail("NOMEMO.MB was not written");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-demo-tables <folder>\n");
    return 2;
  }
  const fs::path dir = argv[1];
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) return Fail("cannot create " + dir.string() + ": " + ec.message()) ? 0 : 1;
  // Start from an empty folder so files of an older generator do not linger.
  for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) {
    if (e.is_regular_file()) fs::remove(e.path(), ec);
  }
  const bool ok = MakeCustomer(dir) && MakeOrders(dir) && MakeBadCount(dir) && MakeBadChain(dir) &&
                  MakeStaleIndex(dir) && MakeNoMemo(dir);
  return ok ? 0 : 1;
}
