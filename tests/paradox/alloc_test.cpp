// No exception leaves the library: a buffer that a file or the data sizes grows through
// alloc.h, whose failure is a Status; value() of an error stops with its message in
// every build.
#include "paradox/format/alloc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "paradox/format/coding.h"
#include "paradox/format/status.h"

namespace paradox {
namespace {

TEST(Alloc, AFailedGrowthIsNoMemoryAndLeavesTheBufferAsItWas) {
  Bytes b = {1, 2, 3};
  ASSERT_TRUE(TryResize(&b, 5, "a test buffer").ok());
  EXPECT_EQ(b, (Bytes{1, 2, 3, 0, 0}));
  ASSERT_TRUE(TryReserve(&b, 100, "a test buffer").ok());
  EXPECT_GE(b.capacity(), 100u);

  // More than a vector can ever hold (length_error).
  Status st = TryResize(&b, SIZE_MAX, "a test buffer");
  EXPECT_EQ(st.code(), Status::Code::kNoMemory) << st.ToString();
  EXPECT_NE(st.message().find("a test buffer"), std::string::npos) << st.message();
  std::vector<uint32_t> words = {7};
  st = TryReserve(&words, SIZE_MAX / 2, "test words");
  EXPECT_EQ(st.code(), Status::Code::kNoMemory) << st.ToString();
  EXPECT_EQ(words, std::vector<uint32_t>{7});
  std::string s = "abc";
  EXPECT_EQ(TryResize(&s, SIZE_MAX, "a test text").code(), Status::Code::kNoMemory);
  EXPECT_EQ(s, "abc");

#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer stops at an impossible allocation instead of failing it";
#else
  // Within what a vector may hold, but not what any machine has (bad_alloc).
  st = TryResize(&b, size_t(1) << 62, "a test buffer");
  EXPECT_EQ(st.code(), Status::Code::kNoMemory) << st.ToString();
  EXPECT_EQ(b, (Bytes{1, 2, 3, 0, 0}));
#endif
}

TEST(ResultDeathTest, ValueOfAnErrorStopsWithItsMessageInEveryBuild) {
  Result<int> failed = Status::NotFound("no such thing here");
  EXPECT_DEATH((void)failed.value(),
               "value\\(\\) of a Result that holds an error: Not found: "
               "no such thing here");
  // A Result made from an OK status has no value either (debug builds stop already at
  // the construction).
  EXPECT_DEATH(
      {
        Result<int> empty{Status::OK()};
        (void)empty.value();
      },
      "");
}

}  // namespace
}  // namespace paradox
