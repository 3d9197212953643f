// The robot client keeps its call times by this rule too; nothing else checks its boundaries.
#include <gtest/gtest.h>

#include "fins/fins.h"

TEST(TimeHistogram, BucketsAndQuantile) {
  EXPECT_EQ(finslib_exchange_time_bucket(17), 16);
  EXPECT_EQ(finslib_exchange_time_bucket(1u << 27), FINS_STATS_TIME_BUCKETS - 1);
  uint32_t b[FINS_STATS_TIME_BUCKETS] = {};
  b[finslib_exchange_time_bucket(1000)] = 1;  // 960..1023 us
  EXPECT_EQ(finslib_time_buckets_quantile_us(b, FINS_STATS_TIME_BUCKETS, 1000, 0.99), 992);
  EXPECT_EQ(finslib_time_buckets_quantile_us(b, FINS_STATS_TIME_BUCKETS, 980, 0.99), 980);
}
