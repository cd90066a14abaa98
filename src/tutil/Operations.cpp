// The read-only operations behind the properties and descriptor functions.
#include <string>

#include "Describe.h"

namespace tutil {

void FillProps(const std::string& path, const char* location, CURProps* props) {
  MakeProps(LoadFacts(path), location, props);
}

DescCounts CountDesc(const std::string& path) {
  return MakeCounts(LoadFacts(path));
}

void FillDesc(const std::string& path, const char*, CRTblDesc* desc, const char*) {
  // The password is not needed: the key that unscrambles a table is in its header.
  MakeDesc(LoadFacts(path), desc);
}

}  // namespace tutil
