// The operations behind the seven functions, on the paradox format library.
#include <string>

#include "TUtil32.h"
#include "TUtilInternal.h"

namespace tutil {

namespace {
[[noreturn]] void Unavailable(const std::string& path) {
  Fail(DBIERR_INTERNAL, path, "the Paradox format library is not part of this build yet");
}
}  // namespace

void FillProps(const std::string& path, const char*, CURProps*) { Unavailable(path); }
int32_t Verify(const std::string& path, const std::string&, const char*) { Unavailable(path); }
DescCounts CountDesc(const std::string& path) { Unavailable(path); }
void FillDesc(const std::string& path, const char*, CRTblDesc*, const char*) { Unavailable(path); }
void Rebuild(const std::string& path, const std::string&, const std::string&, const std::string&,
             const CRTblDesc&) {
  Unavailable(path);
}

}  // namespace tutil
