#include "device/buffer_pool.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace kestrova {
namespace {

TEST(BufferPool, StartsWithTwoMebibyteUnitAndPageAlignedBuffers) {
  BufferPool pool;
  EXPECT_EQ(pool.transferUnit(), 0x200000u);
  EXPECT_EQ(pool.bulk(0).size(), 0x240000u);
  EXPECT_EQ(pool.cluster().size(), 0x100000u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pool.bulk(2).data()) % 4096, 0u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pool.sector(0).data()) % 4096, 0u);
}

TEST(BufferPool, MountResizesTheUnitToTheClusterOrOneMebibyte) {
  BufferPool pool;
  ASSERT_TRUE(pool.ResizeForCluster(4096));
  EXPECT_EQ(pool.transferUnit(), 0x100000u);
  ASSERT_TRUE(pool.ResizeForCluster(4u << 20));
  EXPECT_EQ(pool.transferUnit(), 4u << 20);
  EXPECT_EQ(pool.cluster().size(), 4u << 20);
  EXPECT_EQ(pool.bulk(1).size(), 4u << 20);
  EXPECT_EQ(pool.bulk(2).size(), 0x240000u);  // the other bulk buffers keep their size
  // The unit depends on this volume only, not on the one mounted before.
  ASSERT_TRUE(pool.ResizeForCluster(2u << 20));
  EXPECT_EQ(pool.transferUnit(), 2u << 20);
  ASSERT_TRUE(pool.ResizeForCluster(512));
  EXPECT_EQ(pool.transferUnit(), 0x100000u);
}

TEST(BufferPool, RefusesAbsurdClusterSizes) {
  BufferPool pool;
  EXPECT_FALSE(pool.ResizeForCluster(0));
  EXPECT_FALSE(pool.ResizeForCluster(std::size_t{1} << 40));
  EXPECT_EQ(pool.transferUnit(), 0x200000u);
}

}  // namespace
}  // namespace kestrova
