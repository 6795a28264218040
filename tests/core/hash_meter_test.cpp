#include "core/hash_meter.h"

#include <gtest/gtest.h>

namespace core {
namespace {

TEST(HashMeter, RatesOfWindowAndTotal) {
  hash_meter meter(2);
  EXPECT_EQ(meter.average_rate(0), 0.0);  // no time yet: 0, not NaN
  EXPECT_EQ(meter.close_window(0), 0.0);
  meter.add(0, 50, 4000);
  meter.add(1, 10, 1000);
  EXPECT_EQ(meter.window_ms(0), 4000u);
  EXPECT_DOUBLE_EQ(meter.close_window(0), 12.5);
  EXPECT_DOUBLE_EQ(meter.current_rate(0), 12.5);
  meter.reset_window(0);
  EXPECT_EQ(meter.window_ms(0), 0u);
  meter.add(0, 30, 1000);
  EXPECT_DOUBLE_EQ(meter.current_rate(0), 12.5);  // until the next window closes
  EXPECT_DOUBLE_EQ(meter.average_rate(0), 80.0 * 1000 / 5000);
  EXPECT_DOUBLE_EQ(meter.total_average_rate(), 16.0 + 10.0);
  EXPECT_DOUBLE_EQ(meter.total_current_rate(), 12.5);
}

TEST(HashMeter, ResetAllClearsEveryColumnAndRate) {
  hash_meter meter(1);
  meter.add(0, 100, 1000);
  meter.close_window(0);
  meter.reset_all();
  EXPECT_EQ(meter.window_ms(0), 0u);
  EXPECT_EQ(meter.current_rate(0), 0.0);
  EXPECT_EQ(meter.average_rate(0), 0.0);
}

TEST(HashMeter, RowsOutsideTheMeterAreIgnored) {
  hash_meter meter(1);
  meter.add(5, 100, 1000);
  EXPECT_EQ(meter.window_ms(5), 0u);
  EXPECT_EQ(meter.average_rate(5), 0.0);
  EXPECT_EQ(meter.close_window(5), 0.0);
  EXPECT_EQ(meter.total_average_rate(), 0.0);
}

}  // namespace
}  // namespace core
