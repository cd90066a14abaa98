#include "paradox/format/status.h"

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
  }
  return "Unknown";
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  return std::string(CodeName(code_)) + ": " + message_;
}

}  // namespace paradox
