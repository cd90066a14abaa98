#include "paradox/format/coding.h"

#include <cstdio>

namespace paradox {

bool ByteReader::Seek(size_t pos) {
  if (failed_ || pos > data_.size()) return Fail();
  pos_ = pos;
  return true;
}

bool ByteReader::Skip(size_t n) {
  if (failed_ || n > data_.size() - pos_) return Fail();
  pos_ += n;
  return true;
}

bool ByteReader::U8(uint8_t* v) {
  if (failed_ || remaining() < 1) return Fail();
  *v = data_[pos_++];
  return true;
}

bool ByteReader::U16(uint16_t* v) {
  if (failed_ || remaining() < 2) return Fail();
  *v = DecodeU16(data_.data() + pos_);
  pos_ += 2;
  return true;
}

bool ByteReader::S16(int16_t* v) {
  uint16_t u;
  if (!U16(&u)) return false;
  *v = static_cast<int16_t>(u);
  return true;
}

bool ByteReader::U32(uint32_t* v) {
  if (failed_ || remaining() < 4) return Fail();
  *v = DecodeU32(data_.data() + pos_);
  pos_ += 4;
  return true;
}

bool ByteReader::Take(size_t n, ByteSpan* out) {
  if (failed_ || n > remaining()) return Fail();
  *out = data_.subspan(pos_, n);
  pos_ += n;
  return true;
}

bool ByteReader::CString(std::string* out) {
  if (failed_) return false;
  for (size_t i = pos_; i < data_.size(); ++i) {
    if (data_[i] == 0) {
      out->assign(reinterpret_cast<const char*>(data_.data() + pos_), i - pos_);
      pos_ = i + 1;
      return true;
    }
  }
  return Fail();
}

bool ByteReader::FixedString(size_t n, std::string* out) {
  ByteSpan s;
  if (!Take(n, &s)) return false;
  size_t len = 0;
  while (len < s.size() && s[len] != 0) ++len;
  out->assign(reinterpret_cast<const char*>(s.data()), len);
  return true;
}

Status ByteReader::Error(const std::string& detail) const {
  char buf[64];
  std::snprintf(buf, sizeof buf, " at offset 0x%llx",
                static_cast<unsigned long long>(base_ + pos_));
  return Status::Corruption(what_ + ": " + detail + buf);
}

}  // namespace paradox
