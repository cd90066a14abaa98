// Error model of the paradox library: no exceptions; every fallible call returns a
// Status or a Result<T>, both [[nodiscard]]. Messages name the place (file, block,
// record, offset) where the problem was seen; a failed system call also leaves its
// errno, so callers classify by cause (disk full, no access) rather than by the text,
// which holds paths.
#pragma once

#include <cassert>
#include <cerrno>
#include <optional>
#include <string>
#include <utility>

namespace paradox {

class [[nodiscard]] Status {
 public:
  enum class Code {
    kOk = 0,
    kNotFound,         // file or family member missing
    kCorruption,       // bytes violate the format
    kInvalidArgument,  // caller error (bad schema, value of the wrong type, ...)
    kIOError,          // the file system refused (read, write, sync, rename, ...)
    kNotSupported,     // valid but beyond what this library handles
    kBusy,             // file locked by another process
    kNoMemory,         // an allocation the file or the data asked for failed
  };

  Status() = default;
  static Status OK() { return Status(); }
  static Status NotFound(std::string msg) { return Status(Code::kNotFound, std::move(msg)); }
  static Status Corruption(std::string msg) { return Status(Code::kCorruption, std::move(msg)); }
  static Status InvalidArgument(std::string msg) {
    return Status(Code::kInvalidArgument, std::move(msg));
  }
  // err: the errno of the failed system call, 0 when there is none.
  static Status IOError(std::string msg, int err = 0) {
    return Status(Code::kIOError, std::move(msg)).WithErrno(err);
  }
  static Status NotSupported(std::string msg) {
    return Status(Code::kNotSupported, std::move(msg));
  }
  static Status Busy(std::string msg) { return Status(Code::kBusy, std::move(msg)); }
  static Status NoMemory(std::string msg) { return Status(Code::kNoMemory, std::move(msg)); }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  bool IsNotFound() const { return code_ == Code::kNotFound; }
  bool IsCorruption() const { return code_ == Code::kCorruption; }
  bool IsInvalidArgument() const { return code_ == Code::kInvalidArgument; }
  bool IsIOError() const { return code_ == Code::kIOError; }
  bool IsNotSupported() const { return code_ == Code::kNotSupported; }
  bool IsBusy() const { return code_ == Code::kBusy; }
  bool IsNoMemory() const { return code_ == Code::kNoMemory; }
  const std::string& message() const { return message_; }
  // The errno behind the failure (0: none, or not from a system call).
  int error_number() const { return errno_; }
  // The same status, its cause set; for file systems that stand in for the POSIX one.
  Status WithErrno(int err) && {
    errno_ = err;
    return std::move(*this);
  }
  bool IsNoSpace() const { return errno_ == ENOSPC || errno_ == EDQUOT; }
  bool IsNoAccess() const { return errno_ == EACCES || errno_ == EPERM || errno_ == EROFS; }
  // "Corruption: <message>" style text for logs.
  std::string ToString() const;

 private:
  Status(Code code, std::string msg) : code_(code), message_(std::move(msg)) {}
  Code code_ = Code::kOk;
  std::string message_;
  int errno_ = 0;
};

const char* CodeName(Status::Code code);

// Stops the program: value() of a Result that holds an error. Prints the status to
// stderr first, in every build.
[[noreturn]] void DieOnValueOfError(const Status& status);
// The status of a Result made from an OK Status (a programming error): an error, so
// that value() stops instead of reading nothing.
Status OkStatusWithoutValue();

// A value or the Status that explains why there is none. Accessing value() of a
// failed Result is a programming error: it prints the status to stderr and aborts.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}         // NOLINT: implicit by design
  Result(Status status) : status_(std::move(status)) {  // NOLINT
    assert(!status_.ok());
    if (status_.ok()) status_ = OkStatusWithoutValue();
  }

  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }
  T& value() & {
    if (!ok()) DieOnValueOfError(status_);
    return *value_;
  }
  const T& value() const& {
    if (!ok()) DieOnValueOfError(status_);
    return *value_;
  }
  T&& value() && {
    if (!ok()) DieOnValueOfError(status_);
    return std::move(*value_);
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

 private:
  Status status_;
  std::optional<T> value_;
};

#define PARADOX_RETURN_IF_ERROR(expr) \
  do {                                \
    ::paradox::Status _st = (expr);   \
    if (!_st.ok()) return _st;        \
  } while (0)

}  // namespace paradox
