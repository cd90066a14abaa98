// Named corruption helpers shared by the paradox, verifier and rebuilder tests.
// Each takes the file's bytes (e.g. MemFileSystem::Contents(path)) and damages them
// in one well-defined way. Offsets are absolute file offsets unless a block number
// is given. They never read or write outside the buffer (out-of-range calls do nothing
// and return false).
#pragma once

#include <cstdint>
#include <vector>

#include "paradox/format/coding.h"

namespace paradox::test {

using Bytes = std::vector<uint8_t>;

inline bool FlipByte(Bytes& f, uint64_t offset, uint8_t mask = 0xFF) {
  if (offset >= f.size()) return false;
  f[offset] ^= mask;
  return true;
}
inline bool SetU8(Bytes& f, uint64_t offset, uint8_t v) {
  if (offset >= f.size()) return false;
  f[offset] = v;
  return true;
}
inline bool SetU16(Bytes& f, uint64_t offset, uint16_t v) {
  if (offset + 2 > f.size()) return false;
  EncodeU16(f.data() + offset, v);
  return true;
}
inline bool SetU32(Bytes& f, uint64_t offset, uint32_t v) {
  if (offset + 4 > f.size()) return false;
  EncodeU32(f.data() + offset, v);
  return true;
}
inline bool Truncate(Bytes& f, uint64_t newSize) {
  if (newSize > f.size()) return false;
  f.resize(newSize);
  return true;
}
inline bool FillBytes(Bytes& f, uint64_t offset, uint64_t n, uint8_t v) {
  if (offset > f.size() || n > f.size() - offset) return false;
  for (uint64_t i = 0; i < n; ++i) f[offset + i] = v;
  return true;
}

// Header fields (DB/X/PX fixed part).
inline uint16_t HeaderSize(const Bytes& f) {
  return f.size() >= 4 ? DecodeU16(f.data() + 2) : 0;
}
inline uint32_t BlockSize(const Bytes& f) {
  return f.size() >= 6 ? f[5] * 1024u : 0;
}
inline bool SetRecordCount(Bytes& f, uint32_t n) {
  return SetU32(f, 0x06, n);
}
inline bool SetBlocksInUse(Bytes& f, uint16_t n) {
  return SetU16(f, 0x0A, n);
}
inline bool SetFileBlocks(Bytes& f, uint16_t n) {
  return SetU16(f, 0x0C, n);
}
inline bool SetFirstBlock(Bytes& f, uint16_t n) {
  return SetU16(f, 0x0E, n);
}
inline bool SetLastBlock(Bytes& f, uint16_t n) {
  return SetU16(f, 0x10, n);
}
inline bool SetFirstFreeBlock(Bytes& f, uint16_t n) {
  return SetU16(f, 0x4D, n);
}
inline bool SetRecordSize(Bytes& f, uint16_t n) {
  return SetU16(f, 0x00, n);
}
inline bool SetNumFields(Bytes& f, uint16_t n) {
  return SetU16(f, 0x21, n);
}

// File offset of block k (1-based) of a DB/X/PX/Y file.
inline uint64_t BlockStart(const Bytes& f, uint32_t k) {
  return uint64_t(HeaderSize(f)) + uint64_t(k - 1) * BlockSize(f);
}
// Block header fields of block k (plain, unencrypted files).
inline bool SetNextBlock(Bytes& f, uint32_t k, uint16_t next) {
  return SetU16(f, BlockStart(f, k), next);
}
inline bool SetPrevBlock(Bytes& f, uint32_t k, uint16_t prev) {
  return SetU16(f, BlockStart(f, k) + 2, prev);
}
inline bool SetAddDataSize(Bytes& f, uint32_t k, int16_t v) {
  return SetU16(f, BlockStart(f, k) + 4, static_cast<uint16_t>(v));
}
// Breaks the data chain after block k: its next link points to `to` (default: a
// block number beyond the file).
inline bool BreakChain(Bytes& f, uint32_t k, uint16_t to = 0xFFF0) {
  return SetNextBlock(f, k, to);
}
// Makes block k point back to itself (a cycle).
inline bool MakeChainCycle(Bytes& f, uint32_t k) {
  return SetNextBlock(f, k, static_cast<uint16_t>(k));
}
// Overwrites record r (0-based) of block k with `v` bytes.
inline bool FillRecord(Bytes& f, uint32_t k, uint32_t r, uint8_t v) {
  uint16_t recordSize = f.size() >= 2 ? DecodeU16(f.data()) : 0;
  return FillBytes(f, BlockStart(f, k) + 6 + uint64_t(r) * recordSize, recordSize, v);
}
// Overwrites a whole block with `v`.
inline bool FillBlock(Bytes& f, uint32_t k, uint8_t v) {
  return FillBytes(f, BlockStart(f, k), BlockSize(f), v);
}

}  // namespace paradox::test
