// The exchange time histogram: the robot client's call times are kept by the same rule, so a
// boundary off by one would skew both status pages alike.
#include <gtest/gtest.h>

#include "fins/fins.h"

TEST(TimeHistogram, BucketBoundaries) {
  EXPECT_EQ(finslib_exchange_time_bucket(7), 7);
  EXPECT_EQ(finslib_exchange_time_bucket(8), 8);
  EXPECT_EQ(finslib_exchange_time_bucket(16), 16);
  EXPECT_EQ(finslib_exchange_time_bucket(17), 16);
  EXPECT_EQ(finslib_exchange_time_bucket(1u << 26), 192);
  EXPECT_EQ(finslib_exchange_time_bucket(1u << 27), FINS_STATS_TIME_BUCKETS - 1);
  EXPECT_EQ(finslib_exchange_time_bucket(UINT64_MAX), FINS_STATS_TIME_BUCKETS - 1);
}

TEST(TimeHistogram, QuantileIsTheBucketMiddleCappedAtTheLongest) {
  uint32_t buckets[FINS_STATS_TIME_BUCKETS] = {};
  EXPECT_EQ(finslib_time_buckets_quantile_us(buckets, FINS_STATS_TIME_BUCKETS, 0, 0.99), 0);
  buckets[finslib_exchange_time_bucket(1000)] = 1;  // 960..1023 us
  EXPECT_EQ(finslib_time_buckets_quantile_us(buckets, FINS_STATS_TIME_BUCKETS, 1000, 0.99), 992);
  EXPECT_EQ(finslib_time_buckets_quantile_us(buckets, FINS_STATS_TIME_BUCKETS, 980, 0.99), 980);
}
