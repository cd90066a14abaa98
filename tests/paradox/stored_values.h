// Stored field bytes drawn around the edges of the value rule (paradox/format/
// field_rules.h): the ends of the date and timestamp ranges, days before year 1, BCD
// first bytes of every kind, logical bytes, blob pointers without an offset, NaN, alpha
// tails, and plain random bytes. The table-history damage "bad-value" and the property
// that the reader and the verifier judge every value alike draw from here.
#pragma once

#include <cstdint>
#include <random>

#include "paradox/format/format.h"

namespace paradox::sim {

// Writes f.Size() bytes at `out`: with `invalid`, a value CheckField calls invalid (for
// a field type that can hold one: CanBeInvalid); otherwise any value near an edge,
// valid, odd or invalid.
void DrawStoredValue(std::mt19937_64& r, const FieldDesc& f, bool invalid, uint8_t* out);

}  // namespace paradox::sim
