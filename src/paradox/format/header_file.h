// Loading the header of any Paradox file (DB, PX, X, Y, XG, YG): the one place that
// decides how many of a file's first bytes hold its header. Every reader and checker
// takes its header bytes from here.
#pragma once

#include <cstdint>
#include <string>

#include "paradox/format/coding.h"
#include "paradox/format/file.h"
#include "paradox/format/format.h"
#include "paradox/format/status.h"

namespace paradox {

// Bytes a header load reads at least: the fixed part and the extension, so that the
// extension decodes whatever the header-size word says.
inline constexpr size_t kHeaderLoadMin =
    FixedHeader::kEncodedLength + HeaderExtension::kEncodedLength;

// Whether a file of this size can hold a Paradox header at all (its fixed part).
inline bool HoldsFixedHeader(uint64_t fileSize) {
  return fileSize >= FixedHeader::kEncodedLength;
}

// A file's header bytes and their fixed part.
struct HeaderPrefix {
  FixedHeader fixed;
  // The first max(headerSize, kHeaderLoadMin) bytes of the file, fewer when it is shorter.
  Bytes bytes;
};

// The first min(fileSize, limit) bytes of an open file of `fileSize` bytes.
Result<Bytes> ReadFilePrefix(File* file, uint64_t fileSize, uint64_t limit);

// Reads the header bytes of an open file of `fileSize` bytes. Corruption when the file
// is shorter than the fixed header (!HoldsFixedHeader); the read's error otherwise.
Result<HeaderPrefix> ReadHeaderPrefix(File* file, uint64_t fileSize);

// ReadHeaderPrefix, then DecodeTableHeader. IOError when the file system fails;
// Corruption when the file is too short or its bytes do not make a header.
Result<TableHeader> LoadTableHeader(File* file, uint64_t fileSize);

// Opens `path` and loads its header. The file's open/size errors as they are; a failed
// read or an undecodable header names the file (IOError keeps its errno).
Result<TableHeader> ReadHeader(FileSystem* fs, const std::string& path);

}  // namespace paradox
