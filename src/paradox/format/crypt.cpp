#include "paradox/format/crypt.h"

#include <cstring>

#include "paradox/format/crypt_tables.h"

namespace paradox {

using crypt_tables::kTA;
using crypt_tables::kTB;
using crypt_tables::kTC;

void DecryptChunk(uint8_t* chunk, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  uint8_t out[256];
  for (int x = 0; x < 256; ++x) {
    uint8_t y = static_cast<uint8_t>(kTC[x] - d);
    out[x] = chunk[y] ^ kTA[(x + a) & 0xFF] ^ kTB[(y + b) & 0xFF] ^ kTC[(y + c) & 0xFF];
  }
  std::memcpy(chunk, out, 256);
}

void EncryptChunk(uint8_t* chunk, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  uint8_t out[256];
  for (int x = 0; x < 256; ++x) {
    uint8_t y = static_cast<uint8_t>(kTC[x] - d);
    out[y] = chunk[x] ^ kTA[(x + a) & 0xFF] ^ kTB[(y + b) & 0xFF] ^ kTC[(y + c) & 0xFF];
  }
  std::memcpy(chunk, out, 256);
}

uint32_t KeyFromPassword(std::string_view pw) {
  if (pw.empty()) return 0;
  const size_t len = pw.size() > 255 ? 255 : pw.size();
  uint8_t buf[256];
  for (int i = 0; i < 256; ++i) buf[i] = static_cast<uint8_t>(pw[i % len]);
  EncryptChunk(buf, buf[0], buf[1], buf[2], buf[3]);
  uint32_t low = buf[0] | (uint32_t(buf[1]) << 8);
  std::memcpy(buf, pw.data(), len);
  for (size_t i = len; i < 256; ++i) buf[i] = static_cast<uint8_t>(kTA[buf[i - len]] ^ i);
  EncryptChunk(buf, buf[0], buf[20], buf[40], buf[255]);
  uint8_t y = 0, z = 0;
  for (int i = 0; i < 256; i += 2) {
    y ^= buf[i];
    z ^= buf[i + 1];
  }
  uint32_t high = (uint32_t(z) << 8) | y;
  if (high == 0) high = 1;
  return (high << 16) | low;
}

void DecryptBlock(uint32_t key, uint32_t blockNo, MutableByteSpan block) {
  const uint8_t a = key & 0xFF, b = (key >> 8) & 0xFF;
  for (size_t j = 0; j * 256 + 256 <= block.size(); ++j)
    DecryptChunk(block.data() + j * 256, a, b, static_cast<uint8_t>(j),
                 static_cast<uint8_t>(blockNo));
}

void EncryptBlock(uint32_t key, uint32_t blockNo, MutableByteSpan block) {
  const uint8_t a = key & 0xFF, b = (key >> 8) & 0xFF;
  for (size_t j = 0; j * 256 + 256 <= block.size(); ++j)
    EncryptChunk(block.data() + j * 256, a, b, static_cast<uint8_t>(j),
                 static_cast<uint8_t>(blockNo));
}

void DecryptMb(uint32_t key, MutableByteSpan data) {
  const uint8_t a = key & 0xFF, b = (key >> 8) & 0xFF;
  for (size_t j = 0; j * 256 + 256 <= data.size(); ++j)
    DecryptChunk(data.data() + j * 256, a, b, static_cast<uint8_t>(a + 1),
                 static_cast<uint8_t>(b + 1));
}

void EncryptMb(uint32_t key, MutableByteSpan data) {
  const uint8_t a = key & 0xFF, b = (key >> 8) & 0xFF;
  for (size_t j = 0; j * 256 + 256 <= data.size(); ++j)
    EncryptChunk(data.data() + j * 256, a, b, static_cast<uint8_t>(a + 1),
                 static_cast<uint8_t>(b + 1));
}

}  // namespace paradox
