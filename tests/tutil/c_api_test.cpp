// Runs the plain-C check of c_api_check.c on a table of our writer.
#include "TUtilTestSupport.h"

extern "C" int tutil_c_api_check(const char* location);

namespace tutiltest {
namespace {

class TUtilFromC : public TUtilTest {};

TEST_F(TUtilFromC, ProgramSequenceWorksFromC) {
  const std::string t = WriteCustomers();
  EXPECT_EQ(tutil_c_api_check(t.c_str()), 0) << "line of the failed check in c_api_check.c";
}

}  // namespace
}  // namespace tutiltest
