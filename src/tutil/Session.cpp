#include <set>

#include "TUtilInternal.h"

namespace tutil {

namespace {

// Utility sessions only need to be told apart; they hold no state of their own, because
// every call names its table. One thread uses the library (see engine.h).
constexpr size_t kMaxSessions = 1024;

struct Registry {
  std::set<uint16_t> open;
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
      r.open.insert(h);
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

void RequireSession(uint16_t handle) {
  if (!IsOpenSession(handle))
    Fail(DBIERR_INVALIDHNDL, {},
         "utility session handle " + std::to_string(handle) + " is not open");
}

}  // namespace tutil
