#include "paradox/format/family.h"

#include <algorithm>
#include <cctype>

namespace paradox {

static bool IsHex2(const std::string& s) {
  return s.size() == 2 && std::isxdigit(static_cast<unsigned char>(s[0])) &&
         std::isxdigit(static_cast<unsigned char>(s[1]));
}

static bool IsDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c));
  });
}

std::vector<std::string> FamilyFiles::AllMembers() const {
  std::vector<std::string> out = {db};
  for (const std::string* p : {&px, &mb, &val, &tv, &fam})
    if (!p->empty()) out.push_back(*p);
  for (const auto& s : secondary) {
    if (!s.x.empty()) out.push_back(s.x);
    if (!s.y.empty()) out.push_back(s.y);
  }
  return out;
}

std::string MemberPath(const std::string& dbPath, const std::string& extUpper) {
  std::string ext = PathExtension(dbPath);
  // File names are bytes: ASCII case only, never the locale's.
  bool lower = !ext.empty() && ext.back() >= 'a' && ext.back() <= 'z';
  std::string e = extUpper;
  if (lower)
    for (auto& c : e)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  std::string dir = PathDirName(dbPath);
  return PathJoin(dir, PathStem(dbPath) + e);
}

Result<FamilyFiles> FindFamily(FileSystem* fs, const std::string& dbPath) {
  if (!fs->Exists(dbPath) || fs->IsDirectory(dbPath))
    return Status::NotFound("table " + dbPath + " does not exist");
  FamilyFiles fam;
  fam.db = dbPath;
  std::string dir = PathDirName(dbPath);
  auto names = fs->ListDir(dir.empty() ? "." : dir);
  if (!names.ok()) return names.status();
  const std::string stem = AsciiUpper(PathStem(dbPath));
  std::vector<std::pair<std::string, std::string>> xs, ys;  // tag -> path
  for (const std::string& n : names.value()) {
    std::string un = AsciiUpper(n);
    std::string full = PathJoin(dir, n);
    if (un == "PARADOX.LCK" || un == "PDOXUSRS.LCK" || un == stem + ".LCK") {
      fam.lockFiles.push_back(full);
      continue;
    }
    if (AsciiUpper(PathStem(n)) != stem) continue;
    std::string ext = AsciiUpper(PathExtension(n));
    if (ext.size() < 2) continue;
    std::string e = ext.substr(1);
    if (e == "PX")
      fam.px = full;
    else if (e == "MB")
      fam.mb = full;
    else if (e == "VAL")
      fam.val = full;
    else if (e == "TV")
      fam.tv = full;
    else if (e == "FAM")
      fam.fam = full;
    else if ((e[0] == 'X' || e[0] == 'Y') && e.size() == 3 && IsHex2(e.substr(1)))
      (e[0] == 'X' ? xs : ys).push_back({"X" + e.substr(1), full});
    else if ((e.rfind("XG", 0) == 0 || e.rfind("YG", 0) == 0) && IsDigits(e.substr(2)))
      (e[0] == 'X' ? xs : ys).push_back({"XG" + e.substr(2), full});
  }
  for (auto& [tag, path] : xs) {
    SecondaryFiles s;
    s.tag = tag;
    s.x = path;
    s.composite = tag.rfind("XG", 0) == 0;
    fam.secondary.push_back(s);
  }
  for (auto& [tag, path] : ys) {
    const std::string& yTag = tag;  // clang 14 cannot capture a structured binding
    auto it = std::find_if(fam.secondary.begin(), fam.secondary.end(),
                           [&](const SecondaryFiles& s) { return s.tag == yTag; });
    if (it != fam.secondary.end()) {
      it->y = path;
    } else {
      SecondaryFiles s;
      s.tag = tag;
      s.y = path;
      s.composite = tag.rfind("XG", 0) == 0;
      fam.secondary.push_back(s);
    }
  }
  std::sort(fam.secondary.begin(), fam.secondary.end(),
            [](const SecondaryFiles& a, const SecondaryFiles& b) { return a.tag < b.tag; });
  return fam;
}

}  // namespace paradox
