// Operations whose part of the paradox library is not in this build yet fail clearly
// instead of pretending.
#include <string>

#include "TUtil32.h"
#include "TUtilInternal.h"

namespace tutil {

namespace {
[[maybe_unused]] [[noreturn]] void Unavailable(const std::string& path, const char* part) {
  Fail(DBIERR_INTERNAL, path, std::string("this build has no Paradox ") + part);
}
}  // namespace

#ifndef TUTIL_HAVE_READER
void FillProps(const std::string& path, const char*, CURProps*) {
  Unavailable(path, "reader");
}
DescCounts CountDesc(const std::string& path) {
  Unavailable(path, "reader");
}
void FillDesc(const std::string& path, const char*, CRTblDesc*, const char*) {
  Unavailable(path, "reader");
}
#endif
#ifndef TUTIL_HAVE_VERIFIER
int32_t Verify(const std::string& path, const std::string&, const char*) {
  Unavailable(path, "verifier");
}
#endif
#ifndef TUTIL_HAVE_REBUILDER
void Rebuild(const std::string& path, const std::string&, const std::string&, const std::string&,
             const CRTblDesc&) {
  Unavailable(path, "rebuilder");
}
#endif

}  // namespace tutil
