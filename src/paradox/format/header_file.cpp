#include "paradox/format/header_file.h"

#include <algorithm>

namespace paradox {

Result<Bytes> ReadFilePrefix(File* file, uint64_t fileSize, uint64_t limit) {
  Bytes out(size_t(std::min(fileSize, limit)));
  PARADOX_RETURN_IF_ERROR(file->ReadExact(0, out));
  return out;
}

Result<HeaderPrefix> ReadHeaderPrefix(File* file, uint64_t fileSize) {
  HeaderPrefix out;
  auto fixed = ReadFilePrefix(file, fileSize, FixedHeader::kEncodedLength);
  if (!fixed.ok()) return fixed.status();
  PARADOX_RETURN_IF_ERROR(out.fixed.DecodeFrom(*fixed));
  auto bytes =
      ReadFilePrefix(file, fileSize, std::max<uint64_t>(out.fixed.headerSize, kHeaderLoadMin));
  if (!bytes.ok()) return bytes.status();
  out.bytes = std::move(bytes).value();
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
