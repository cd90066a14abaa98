#include <gtest/gtest.h>

#include "coding.h"
#include "status.h"

namespace paradox {
namespace {

TEST(ByteReaderTest, StopsAtEndAndStaysFailed) {
  const uint8_t data[] = {1, 2, 3, 0, 'a', 'b'};
  ByteReader r(ByteSpan(data), "test");
  uint16_t v16;
  uint32_t v32;
  ASSERT_TRUE(r.U16(&v16));
  EXPECT_EQ(v16, 0x0201);
  EXPECT_FALSE(r.U32(&v32));
  EXPECT_TRUE(r.failed());
  EXPECT_FALSE(r.U16(&v16));
  EXPECT_TRUE(r.Error("x").IsCorruption());
}

}  // namespace
}  // namespace paradox
