// Fixed-width little-endian helpers and ByteReader, the bounds-checked reader.
// Structures whose length the file itself gives (the header's variable part, the .VAL
// file) are read through ByteReader. Fixed-size structures and record fields are
// decoded with the raw helpers from a buffer whose size the caller has checked once: a
// fixed header checks its own length, a block buffer holds a whole block, a record lies
// inside the bytes read of its block, a field inside the checked record size. Numbers
// are assembled with shifts, never by casting structs onto bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "paradox/format/status.h"

namespace paradox {

using Bytes = std::vector<uint8_t>;
using ByteSpan = std::span<const uint8_t>;
using MutableByteSpan = std::span<uint8_t>;

inline uint16_t DecodeU16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t DecodeU32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline int16_t DecodeS16(const uint8_t* p) {
  return static_cast<int16_t>(DecodeU16(p));
}
inline void EncodeU16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void EncodeU32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
inline void EncodeS16(uint8_t* p, int16_t v) {
  EncodeU16(p, static_cast<uint16_t>(v));
}

// Little-endian fields at fixed offsets. A fixed-size structure lists its fields once,
// as calls at(offset, member), and runs that list with FieldDecoder to decode and with
// FieldEncoder to encode: the offsets are written in one place.
struct FieldDecoder {
  const uint8_t* p;
  void operator()(size_t off, uint8_t& v) const { v = p[off]; }
  void operator()(size_t off, uint16_t& v) const { v = DecodeU16(p + off); }
  void operator()(size_t off, uint32_t& v) const { v = DecodeU32(p + off); }
  template <size_t N>
  void operator()(size_t off, uint8_t (&v)[N]) const {
    for (size_t i = 0; i < N; ++i) v[i] = p[off + i];
  }
};
struct FieldEncoder {
  uint8_t* p;
  void operator()(size_t off, uint8_t v) const { p[off] = v; }
  void operator()(size_t off, uint16_t v) const { EncodeU16(p + off, v); }
  void operator()(size_t off, uint32_t v) const { EncodeU32(p + off, v); }
  template <size_t N>
  void operator()(size_t off, const uint8_t (&v)[N]) const {
    for (size_t i = 0; i < N; ++i) p[off + i] = v[i];
  }
};

// Sequential, bounds-checked view over a byte range. Every getter fails (returns
// false / a Corruption status) instead of reading past the end; once a read fails
// the reader stays failed, so a chain of reads can be checked once at the end.
// `what` names the structure being read and appears in error messages.
class ByteReader {
 public:
  ByteReader(ByteSpan data, std::string what, uint64_t baseOffset = 0)
      : data_(data), what_(std::move(what)), base_(baseOffset) {}

  size_t position() const { return pos_; }
  size_t remaining() const { return failed_ ? 0 : data_.size() - pos_; }
  size_t size() const { return data_.size(); }
  bool failed() const { return failed_; }
  // Absolute file offset of the current position (base + position).
  uint64_t fileOffset() const { return base_ + pos_; }

  bool Seek(size_t pos);
  bool Skip(size_t n);
  bool U8(uint8_t* v);
  bool U16(uint16_t* v);
  bool S16(int16_t* v);
  bool U32(uint32_t* v);
  // n raw bytes; the span stays valid as long as the underlying buffer does.
  bool Take(size_t n, ByteSpan* out);
  // NUL-terminated string (terminator consumed). Fails if no NUL before the end.
  bool CString(std::string* out);
  // A fixed area of n bytes holding a NUL-padded string.
  bool FixedString(size_t n, std::string* out);
  // True if `count` items of `itemSize` bytes fit in what remains (no overflow).
  bool Fits(uint64_t count, uint64_t itemSize) const {
    return itemSize == 0 || count <= remaining() / itemSize;
  }

  // Corruption status naming `what` and the offset of the failure.
  Status Error(const std::string& detail) const;

 private:
  bool Fail() {
    failed_ = true;
    return false;
  }
  ByteSpan data_;
  std::string what_;
  uint64_t base_;
  size_t pos_ = 0;
  bool failed_ = false;
};

}  // namespace paradox
