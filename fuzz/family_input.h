// One fuzz input = one table family. The members follow each other, each introduced
// by a marker line:
//
//   "\xF5RKM:" EXT "\n" <member bytes> "\xF5RKM:" EXT "\n" <member bytes> ...
//
// EXT is the member's extension without the dot (1 to 3 letters or digits: DB, PX, MB,
// VAL, X02, Y02, XG0, YG0, TV ...), in any letter case. A member runs to the next
// marker or to the end of the input, so no length field exists that a mutation could
// put out of step with the bytes: inserting, erasing or overwriting bytes inside a
// member keeps every other member intact. A marker line with an unusable EXT is
// dropped with the bytes up to the next marker; of two members whose extensions differ
// only in case, the first wins. An input that does not start with the marker is a
// lone .DB (the seeds of the single-file days stay valid).
//
// Used by the fuzz targets, their seed generator and the replay drivers; no libFuzzer
// needed here.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "paradox/format/coding.h"
#include "paradox/format/file.h"

namespace fuzzfam {

inline constexpr char kMarker[] = "\xF5RKM:";
inline constexpr size_t kMarkerLength = sizeof(kMarker) - 1;
inline constexpr size_t kMaxExtLength = 3;

// Where the family is put on the in-memory file system.
inline constexpr const char* kDir = "/t";
inline constexpr const char* kStem = "FUZZ";

struct Member {
  std::string ext;  // "DB", "PX", "x02" ... as given
  paradox::Bytes data;
};

inline std::string UpperExt(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

inline bool StartsWithMarker(const uint8_t* data, size_t size) {
  return size >= kMarkerLength && std::memcmp(data, kMarker, kMarkerLength) == 0;
}

// Splits an input into members (see above).
inline std::vector<Member> Split(const uint8_t* data, size_t size) {
  std::vector<Member> out;
  if (!StartsWithMarker(data, size)) {
    out.push_back({"DB", paradox::Bytes(data, data + size)});
    return out;
  }
  const uint8_t* end = data + size;
  const uint8_t* p = data;
  while (p < end) {
    // p is at a marker.
    const uint8_t* name = p + kMarkerLength;
    const uint8_t* limit = name + std::min<size_t>(kMaxExtLength + 1, size_t(end - name));
    const uint8_t* nl = std::find(name, limit, uint8_t('\n'));
    const uint8_t* body = nl != limit ? nl + 1 : nullptr;
    const uint8_t* marker = reinterpret_cast<const uint8_t*>(kMarker);
    const uint8_t* next = std::search(name, end, marker, marker + kMarkerLength);
    if (body && body <= next) {
      std::string ext(name, nl);
      bool usable = !ext.empty() && std::all_of(ext.begin(), ext.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0;
      });
      for (const Member& m : out) usable = usable && UpperExt(m.ext) != UpperExt(ext);
      if (usable) out.push_back({std::move(ext), paradox::Bytes(body, next)});
    }
    p = next;
  }
  return out;
}

inline paradox::Bytes Join(const std::vector<Member>& members) {
  paradox::Bytes out;
  for (const Member& m : members) {
    out.insert(out.end(), kMarker, kMarker + kMarkerLength);
    out.insert(out.end(), m.ext.begin(), m.ext.end());
    out.push_back('\n');
    out.insert(out.end(), m.data.begin(), m.data.end());
  }
  return out;
}

inline std::string MemberPath(const std::string& ext) {
  return std::string(kDir) + "/" + kStem + "." + ext;
}

// Puts the members into `fs` (folder kDir). Returns the .DB's path, or "" when the
// family has no .DB.
inline std::string Install(paradox::MemFileSystem& fs, const std::vector<Member>& members) {
  (void)fs.MakeDir(kDir);
  std::string db;
  for (const Member& m : members) {
    fs.SetContents(MemberPath(m.ext), m.data);
    if (UpperExt(m.ext) == "DB") db = MemberPath(m.ext);
  }
  return db;
}

}  // namespace fuzzfam
