#include <map>
#include <string>

#include "TUtilInternal.h"

namespace tutil {

namespace {

// Every call names its table, so a session holds only the outcome text of its last
// operation. One thread uses the library (see engine.h).
constexpr size_t kMaxSessions = 1024;

struct Registry {
  std::map<uint16_t, std::string> open;  // handle -> outcome of its last operation
  uint16_t next = 1;
};

Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

uint16_t OpenSession() {
  Registry& r = registry();
  if (r.open.size() >= kMaxSessions) return 0;
  // Handles are not reused at once, so a stale copy of a closed handle stays invalid.
  for (;;) {
    uint16_t h = r.next++;
    if (r.next == 0) r.next = 1;
    if (h != 0 && !r.open.count(h)) {
      r.open.emplace(h, std::string());
      return h;
    }
  }
}

bool CloseSession(uint16_t handle) {
  return registry().open.erase(handle) == 1;
}

bool IsOpenSession(uint16_t handle) {
  return handle != 0 && registry().open.count(handle) == 1;
}

void SetOutcome(uint16_t handle, const std::string& text) noexcept {
  const auto found = registry().open.find(handle);
  if (found == registry().open.end()) return;
  try {
    found->second = text;
  } catch (...) {
    // Out of memory: no text is better than the previous operation's.
    found->second.clear();
  }
}

std::string Outcome(uint16_t handle) {
  const auto found = registry().open.find(handle);
  return found == registry().open.end() ? std::string() : found->second;
}

void RequireSession(uint16_t handle) {
  if (!IsOpenSession(handle))
    Fail(
        DBIERR_INVALIDHNDL, {},
        "sesja biblioteki narzędziowej o uchwycie " + std::to_string(handle) + " nie jest otwarta");
}

}  // namespace tutil
