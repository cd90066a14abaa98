#include "paradox/format/header_file.h"

#include <algorithm>

namespace paradox {

Result<HeaderPrefix> ReadHeaderPrefix(File* file, uint64_t fileSize) {
  HeaderPrefix out;
  Bytes fixed(size_t(std::min<uint64_t>(fileSize, FixedHeader::kEncodedLength)));
  PARADOX_RETURN_IF_ERROR(file->ReadExact(0, fixed));
  PARADOX_RETURN_IF_ERROR(out.fixed.DecodeFrom(fixed));
  const uint64_t want = std::max<uint64_t>(out.fixed.headerSize, kHeaderLoadMin);
  out.bytes.resize(size_t(std::min<uint64_t>(want, fileSize)));
  PARADOX_RETURN_IF_ERROR(file->ReadExact(0, out.bytes));
  return out;
}

Result<TableHeader> LoadTableHeader(File* file, uint64_t fileSize) {
  auto prefix = ReadHeaderPrefix(file, fileSize);
  if (!prefix.ok()) return prefix.status();
  return DecodeTableHeader(prefix->bytes);
}

Result<TableHeader> ReadHeader(FileSystem* fs, const std::string& path) {
  auto f = fs->Open(path, OpenMode::kRead);
  if (!f.ok()) return f.status();
  auto size = f.value()->Size();
  if (!size.ok()) return size.status();
  auto h = LoadTableHeader(f.value().get(), size.value());
  if (h.ok()) return h;
  // A failed read is not damage: callers stop on I/O errors instead of dropping the member.
  const std::string text = PathBaseName(path) + ": " + h.status().message();
  if (h.status().IsIOError()) return Status::IOError(text, h.status().error_number());
  return Status::Corruption(text);
}

}  // namespace paradox
