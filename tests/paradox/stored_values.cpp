#include "stored_values.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "paradox/format/field_rules.h"
#include "paradox/format/value.h"

namespace paradox::sim {

namespace {

using Rng = std::mt19937_64;

int64_t UniformS(Rng& r, int64_t lo, int64_t hi) {
  return std::uniform_int_distribution<int64_t>(lo, hi)(r);
}
bool Chance(Rng& r, double p) {
  return std::uniform_real_distribution<double>(0.0, 1.0)(r) < p;
}
template <class T>
T Pick(Rng& r, const std::vector<T>& v) {
  return v[size_t(UniformS(r, 0, int64_t(v.size()) - 1))];
}

void RandomBytes(Rng& r, uint8_t* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = uint8_t(r());
}

// A day number; `invalid`: outside kMinDay..kMaxDay (never INT32_MIN, which is blank).
int32_t DrawDay(Rng& r, bool invalid) {
  if (invalid)
    return int32_t(Chance(r, 0.5) ? UniformS(r, INT32_MIN + 1, kMinDay - 1)
                                  : UniformS(r, kMaxDay + 1, INT32_MAX));
  return Pick<int32_t>(
      r, {kMinDay - 1, kMinDay, kMinDay + 1, -664929659, -366, 0, kFirstDay, kMaxDay, kMaxDay + 1,
          int32_t(UniformS(r, INT32_MIN + 1, INT32_MAX)), int32_t(UniformS(r, kMinDay, kMaxDay))});
}

int32_t DrawTime(Rng& r, bool invalid) {
  if (invalid)
    return int32_t(Chance(r, 0.5) ? UniformS(r, INT32_MIN + 1, -1)
                                  : UniformS(r, kMsPerDay, INT32_MAX));
  return Pick<int32_t>(r, {-1, 0, kMaxTimeMs, kMsPerDay, int32_t(UniformS(r, 0, kMaxTimeMs))});
}

double DrawTimestamp(Rng& r, bool invalid) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> bad = {-7.7e88 * kMsPerDay,
                             std::nextafter(kMinTimestampMs, -inf),
                             kEndTimestampMs,
                             inf,
                             -inf,
                             std::nan(""),
                             -std::uniform_real_distribution<double>(1e15, 1e300)(r)};
  if (invalid) return Pick(r, bad);
  std::vector<double> any = {
      kMinTimestampMs,
      kFirstTimestampMs - 0.5,
      -0.0,
      0.5,
      std::nextafter(kEndTimestampMs, 0.0),
      std::uniform_real_distribution<double>(kMinTimestampMs, kEndTimestampMs)(r)};
  return Chance(r, 0.3) ? Pick(r, bad) : Pick(r, any);
}

// BCD: a first byte of each kind, with zero, decimal or any digits.
void DrawBcd(Rng& r, uint8_t decimals, bool invalid, uint8_t* out) {
  std::memset(out, 0, 17);
  // Bare bytes other than the decimals (with zero digits: the blank of no writer), a
  // sign bit without bit 6, another count of decimals.
  uint8_t bare = uint8_t(UniformS(r, 1, 0x3F));
  if (bare == decimals) bare = uint8_t(decimals + 1);
  const std::vector<uint8_t> bad = {uint8_t(decimals + 1), bare, uint8_t(0x80 | decimals),
                                    uint8_t(0xC0 | (decimals + 1))};
  const std::vector<uint8_t> good = {0, decimals, uint8_t(0x40 | decimals),
                                     uint8_t(0xC0 | decimals)};
  out[0] = invalid || Chance(r, 0.3) ? Pick(r, bad) : Pick(r, good);
  const int digits = int(UniformS(r, 0, 2));
  if (digits == 1)
    for (int i = 1; i < 17; ++i) out[i] = uint8_t(UniformS(r, 0, 9) << 4 | UniformS(r, 0, 9));
  else if (digits == 2)
    RandomBytes(r, out + 1, 16);
}

void DrawBlob(Rng& r, const FieldDesc& f, bool invalid, uint8_t* out) {
  const uint32_t leader = f.LeaderSize();
  RandomBytes(r, out, f.Size());
  BlobPointer p;
  p.DecodeFrom(out + leader);
  if (invalid || Chance(r, 0.4)) {
    p.offset = 0;
    p.length = uint32_t(UniformS(r, leader + 1, leader + 100000));
  } else if (Chance(r, 0.5)) {
    p.length = uint32_t(UniformS(r, 0, leader));
  }
  p.EncodeTo(out + leader);
}

void DrawAlpha(Rng& r, const FieldDesc& f, uint8_t* out) {
  RandomBytes(r, out, f.Size());
  // A NUL and, now and then, garbage after it.
  const size_t nul = size_t(UniformS(r, 0, f.Size() - 1));
  std::memset(out + nul, 0, f.Size() - nul);
  if (Chance(r, 0.5)) out[UniformS(r, int64_t(nul), f.Size() - 1)] = uint8_t(1 + r() % 255);
}

}  // namespace

void DrawStoredValue(Rng& r, const FieldDesc& f, bool invalid, uint8_t* out) {
  switch (f.type) {
    case FieldType::kDate:
      return EncodeInt32(DrawDay(r, invalid), out);
    case FieldType::kTime:
      return EncodeInt32(DrawTime(r, invalid), out);
    case FieldType::kTimestamp:
      return EncodeDouble(DrawTimestamp(r, invalid), out);
    case FieldType::kLogical:
      out[0] = invalid ? uint8_t(Pick<int>(r, {int(UniformS(r, 1, 0x7F)), 0x82, 0xFF}))
                       : uint8_t(Pick<int>(r, {0, 0x80, 0x81, int(r() % 256)}));
      return;
    case FieldType::kBcd:
      return DrawBcd(r, f.sizeByte, invalid, out);
    case FieldType::kMemo:
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      return DrawBlob(r, f, invalid, out);
    case FieldType::kAlpha:
      return DrawAlpha(r, f, out);
    case FieldType::kMoney:
    case FieldType::kNumber:
      if (Chance(r, 0.3)) return EncodeDouble(std::nan(""), out);
      [[fallthrough]];
    default:
      return RandomBytes(r, out, f.Size());
  }
}

}  // namespace paradox::sim
