// Built with -fexceptions (see CMakeLists.txt): the only place in the library where an
// exception may be thrown and is caught.
#include "paradox/format/alloc.h"

#include <new>
#include <stdexcept>
#include <type_traits>

#include "paradox/format/sorted_rows.h"

namespace paradox {
namespace {

Status NoMemoryFor(uint64_t bytes, std::string_view what) {
  return Status::NoMemory("cannot allocate " + std::to_string(bytes) + " bytes for " +
                          std::string(what));
}

// Runs `grow`, which changes the container only once its new storage is allocated (as
// resize and reserve of trivially copyable elements do), so a failure leaves it whole.
template <typename Grow>
Status Guarded(Grow grow, uint64_t bytes, std::string_view what) {
  try {
    grow();
    return Status::OK();
  } catch (const std::bad_alloc&) {
    return NoMemoryFor(bytes, what);
  } catch (const std::length_error&) {  // more than the container can ever hold
    return NoMemoryFor(bytes, what);
  }
}

}  // namespace

template <typename T>
Status TryResize(std::vector<T>* v, size_t n, std::string_view what) {
  static_assert(std::is_trivially_copyable_v<T>);
  return Guarded([&] { v->resize(n); }, uint64_t(n) * sizeof(T), what);
}

template <typename T>
Status TryReserve(std::vector<T>* v, size_t n, std::string_view what) {
  static_assert(std::is_trivially_copyable_v<T>);
  return Guarded([&] { v->reserve(n); }, uint64_t(n) * sizeof(T), what);
}

Status TryResize(std::string* s, size_t n, std::string_view what) {
  return Guarded([&] { s->resize(n); }, n, what);
}

template Status TryResize(std::vector<uint8_t>*, size_t, std::string_view);
template Status TryResize(std::vector<uint32_t>*, size_t, std::string_view);
template Status TryResize(std::vector<int32_t>*, size_t, std::string_view);
template Status TryReserve(std::vector<uint8_t>*, size_t, std::string_view);
template Status TryReserve(std::vector<uint32_t>*, size_t, std::string_view);
// The index entries of the bounded sorter (an explicit instantiation may name a private
// member type).
template Status TryReserve(std::vector<SortedRows::Entry>*, size_t, std::string_view);

}  // namespace paradox
