#include "paradox/format/status.h"

#include <cstdio>
#include <cstdlib>

namespace paradox {

const char* CodeName(Status::Code code) {
  switch (code) {
    case Status::Code::kOk:
      return "OK";
    case Status::Code::kNotFound:
      return "Not found";
    case Status::Code::kCorruption:
      return "Corruption";
    case Status::Code::kInvalidArgument:
      return "Invalid argument";
    case Status::Code::kIOError:
      return "IO error";
    case Status::Code::kNotSupported:
      return "Not supported";
    case Status::Code::kBusy:
      return "Busy";
    case Status::Code::kNoMemory:
      return "No memory";
  }
  return "Unknown";
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  return std::string(CodeName(code_)) + ": " + message_;
}

void DieOnValueOfError(const Status& status) {
  std::fprintf(stderr, "paradox: value() of a Result that holds an error: %s\n",
               status.ToString().c_str());
  std::fflush(stderr);
  std::abort();
}

Status OkStatusWithoutValue() {
  return Status::InvalidArgument("a Result was made from an OK status, without a value");
}

}  // namespace paradox
