// Table scrambling ("password protection"). The key stored in the header decrypts;
// no password is needed. Only the low 16 bits of the key take part.
#pragma once

#include <cstdint>
#include <string_view>

#include "paradox/format/coding.h"

namespace paradox {

// 32-bit key (checksum) of a master password; "" gives 0; "123" gives 0x0A25E09A.
uint32_t KeyFromPassword(std::string_view password);

// In place, whole data/index block `blockNo` (1-based) of a DB/X/PX/Y file.
// block.size() must be a multiple of 256.
void DecryptBlock(uint32_t key, uint32_t blockNo, MutableByteSpan block);
void EncryptBlock(uint32_t key, uint32_t blockNo, MutableByteSpan block);
// In place, a 256-byte aligned range of a .MB file (every chunk uses the same
// parameters, so the file offset does not matter as long as it is a multiple of 256).
void DecryptMb(uint32_t key, MutableByteSpan data);
void EncryptMb(uint32_t key, MutableByteSpan data);

// The chunk transforms, for tests.
void DecryptChunk(uint8_t* chunk256, uint8_t a, uint8_t b, uint8_t c, uint8_t d);
void EncryptChunk(uint8_t* chunk256, uint8_t a, uint8_t b, uint8_t c, uint8_t d);

}  // namespace paradox
