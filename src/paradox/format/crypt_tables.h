// Internal: the three constant tables used by the scrambling transform.
#pragma once

#include <cstdint>

namespace paradox::crypt_tables {
extern const uint8_t kTA[256];
extern const uint8_t kTB[256];
extern const uint8_t kTC[256];
}  // namespace paradox::crypt_tables
