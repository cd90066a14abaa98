// libFuzzer custom mutator and cross-over for family inputs (family_input.h). Most
// mutations change one member with libFuzzer's own mutators, so a change to the .PX
// does not also scramble the .DB; some drop, rename or exchange whole members. Raw
// mutation of the whole input stays in the mix (it can break and make markers, and it
// is all a lone .DB gets). Included once per fuzz target, in the libFuzzer build only
// (REKASTO_FUZZ_MUTATOR): the replay drivers have no LLVMFuzzerMutate.
#pragma once

#include <cstring>
#include <random>

#include "family_input.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace fuzzfam {

inline const char* const kFamilyExts[] = {"DB",  "PX",  "MB",  "VAL", "X02", "Y02", "X03", "Y03",
                                          "XG0", "YG0", "XG1", "YG1", "TV",  "db",  "px",  "x02"};

inline size_t Emit(const std::vector<Member>& members, uint8_t* out, size_t maxSize) {
  paradox::Bytes joined = Join(members);
  if (joined.empty() || joined.size() > maxSize) return 0;
  std::memcpy(out, joined.data(), joined.size());
  return joined.size();
}

inline size_t MutateFamily(uint8_t* data, size_t size, size_t maxSize, unsigned seed) {
  std::minstd_rand rng(seed);
  if (!StartsWithMarker(data, size) || rng() % 8 == 0) return LLVMFuzzerMutate(data, size, maxSize);
  std::vector<Member> members = Split(data, size);
  if (members.empty()) return LLVMFuzzerMutate(data, size, maxSize);
  const size_t pick = rng() % members.size();
  size_t n = 0;
  switch (rng() % 16) {
    case 0:  // a member goes missing
      if (members.size() > 1) {
        members.erase(members.begin() + long(pick));
        n = Emit(members, data, maxSize);
      }
      break;
    case 1:  // a member under another name (an index of another number, a lower-case name)
      members[pick].ext = kFamilyExts[rng() % std::size(kFamilyExts)];
      n = Emit(members, data, maxSize);
      break;
    case 2: {  // a member copied under another name
      Member copy = members[pick];
      copy.ext = kFamilyExts[rng() % std::size(kFamilyExts)];
      members.push_back(std::move(copy));
      n = Emit(members, data, maxSize);
      break;
    }
    default: {  // the bytes of one member
      paradox::Bytes& d = members[pick].data;
      const size_t overhead = Join(members).size() - d.size();
      if (overhead >= maxSize) break;
      const size_t cap = std::max(maxSize - overhead, d.size() + 1);
      size_t len = d.size();
      d.resize(cap);
      if (len == 0) d[len++] = uint8_t(rng());
      d.resize(LLVMFuzzerMutate(d.data(), len, cap));
      n = Emit(members, data, maxSize);
      break;
    }
  }
  return n ? n : LLVMFuzzerMutate(data, size, maxSize);
}

// A member of the second input replaces the same member of the first (or joins it).
inline size_t CrossFamilies(const uint8_t* a, size_t aSize, const uint8_t* b, size_t bSize,
                            uint8_t* out, size_t maxSize, unsigned seed) {
  std::minstd_rand rng(seed);
  std::vector<Member> first = Split(a, aSize), second = Split(b, bSize);
  if (second.empty()) return 0;
  Member m = second[rng() % second.size()];
  bool replaced = false;
  for (Member& x : first) {
    if (UpperExt(x.ext) == UpperExt(m.ext)) {
      x.data = m.data;
      replaced = true;
    }
  }
  if (!replaced) first.push_back(std::move(m));
  return Emit(first, out, maxSize);
}

}  // namespace fuzzfam

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
  return fuzzfam::MutateFamily(data, size, maxSize, seed);
}

extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t* data1, size_t size1,
                                            const uint8_t* data2, size_t size2, uint8_t* out,
                                            size_t maxOutSize, unsigned int seed) {
  return fuzzfam::CrossFamilies(data1, size1, data2, size2, out, maxOutSize, seed);
}
