// Growing a buffer whose size a file or the data decides: a whole member, a run of
// blocks, a blob value, a sort run. A failed allocation is Status::NoMemory naming what
// the buffer is for and the size asked for; the buffer is then left as it was.
//
// The library is built without exceptions: a std::bad_alloc thrown inside it would cross
// every frame without running a destructor, so a lock it holds would stay held. These
// calls catch it in alloc.cpp, the one file built with exceptions, around the growth
// itself. Element types: the ones instantiated there (bytes, chars, 32-bit numbers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "paradox/format/status.h"

namespace paradox {

// v->resize(n): new elements are zero.
template <typename T>
Status TryResize(std::vector<T>* v, size_t n, std::string_view what);
// v->reserve(n).
template <typename T>
Status TryReserve(std::vector<T>* v, size_t n, std::string_view what);
// s->resize(n): new characters are NUL.
Status TryResize(std::string* s, size_t n, std::string_view what);

extern template Status TryResize(std::vector<uint8_t>*, size_t, std::string_view);
extern template Status TryResize(std::vector<uint32_t>*, size_t, std::string_view);
extern template Status TryResize(std::vector<int32_t>*, size_t, std::string_view);
extern template Status TryReserve(std::vector<uint8_t>*, size_t, std::string_view);
extern template Status TryReserve(std::vector<uint32_t>*, size_t, std::string_view);

}  // namespace paradox
