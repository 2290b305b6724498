#include <gtest/gtest.h>

#include "common/common.h"

TEST(DateTime, EpochAndKnownDays) {
  EXPECT_DOUBLE_EQ(EncodeDateTime({1899, 12, 30, 0, 0, 0, 0}), 0.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime({1900, 1, 1, 0, 0, 0, 0}), 2.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime({2000, 1, 1, 12, 0, 0, 0}), 36526.5);
  EXPECT_DOUBLE_EQ(EncodeDateTime({1980, 1, 1, 0, 0, 0, 0}), 29221.0);
}

TEST(DateTime, RoundTripsEverySecondOfADayAndLeapDays) {
  for (int s = 0; s < 86400; s += 7) {
    TDateParts p{2024, 2, 29, s / 3600, s / 60 % 60, s % 60, 0};
    const TDateParts q = DecodeDateTime(EncodeDateTime(p));
    ASSERT_EQ(q.Year, 2024);
    ASSERT_EQ(q.Month, 2);
    ASSERT_EQ(q.Day, 29);
    ASSERT_EQ(q.Hour * 3600 + q.Minute * 60 + q.Second, s);
  }
  const TDateParts last = DecodeDateTime(EncodeDateTime({2107, 12, 31, 23, 59, 59, 999}));
  EXPECT_EQ(last.Year, 2107);
  EXPECT_EQ(last.Millisecond, 999);
}

TEST(DateTime, ValidityRejectsImpossibleDates) {
  EXPECT_TRUE(IsValidDateParts({2000, 2, 29, 0, 0, 0, 0}));
  EXPECT_FALSE(IsValidDateParts({1900, 2, 29, 0, 0, 0, 0}));
  EXPECT_FALSE(IsValidDateParts({2023, 4, 31, 0, 0, 0, 0}));
  EXPECT_FALSE(IsValidDateParts({2023, 13, 1, 0, 0, 0, 0}));
  EXPECT_FALSE(IsValidDateParts({2023, 1, 1, 24, 0, 0, 0}));
  EXPECT_FALSE(IsValidDateParts({0, 1, 1, 0, 0, 0, 0}));
}

TEST(DateTime, UnixTimeFollowsLocalTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  const TDateParts p = DecodeDateTime(FromUnixTimeLocal(0));
  EXPECT_EQ(p.Year, 1970);
  EXPECT_EQ(p.Month, 1);
  EXPECT_EQ(p.Day, 1);
  EXPECT_EQ(LocalTimeZoneOffset(), 0);
  setenv("TZ", "CET-1", 1);
  tzset();
  EXPECT_EQ(DecodeDateTime(FromUnixTimeLocal(0)).Hour, 1);
  EXPECT_EQ(LocalTimeZoneOffset(), 4);
  unsetenv("TZ");
  tzset();
}
