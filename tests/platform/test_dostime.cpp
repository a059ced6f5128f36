#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/DosTime.h"
#include "support/TestSupport.h"

namespace {

// Runs the test body in a fixed time zone and restores the previous one.
class TZoneGuard {
 public:
  explicit TZoneGuard(const char* Zone) {
    FZone.emplace("TZ", Zone);
    ::tzset();
  }
  ~TZoneGuard() {
    FZone.reset();
    ::tzset();
  }

 private:
  std::optional<testsupport::ScopedEnv> FZone;
};

constexpr uint32_t Pack(int Y, int Mo, int D, int H, int Mi, int S) {
  return static_cast<uint32_t>(Y - 1980) << 25 | static_cast<uint32_t>(Mo) << 21 | static_cast<uint32_t>(D) << 16 |
         static_cast<uint32_t>(H) << 11 | static_cast<uint32_t>(Mi) << 5 | static_cast<uint32_t>(S / 2);
}

TEST(DosTime, ZeroAndInvalidValuesReadAs1980January1st0001) {
  TZoneGuard Utc("UTC");
  const double Expected = 29221.0 + 60.0 / 86400.0;
  EXPECT_NEAR(DosDateTimeToDateTime(0), Expected, 1e-9);
  EXPECT_NEAR(DosDateTimeToDateTime(0), 29221.000694, 1e-6);
  EXPECT_EQ(DosDateTimeToUnix(0), 315532860);
  const uint32_t Invalid[] = {
      Pack(2000, 13, 1, 0, 0, 0),      // month 13
      Pack(2000, 0, 1, 0, 0, 0),       // month 0
      Pack(2000, 1, 0, 0, 0, 0),       // day 0
      Pack(2001, 2, 29, 0, 0, 0),      // not a leap year
      Pack(2000, 1, 1, 24, 0, 0),      // hour 24
      Pack(2000, 1, 1, 0, 60, 0),      // minute 60
      Pack(2000, 1, 1, 0, 0, 0) | 30,  // seconds 60
  };
  for (uint32_t V : Invalid) {
    EXPECT_FALSE(IsValidDosDateTime(V)) << std::hex << V;
    EXPECT_NEAR(DosDateTimeToDateTime(V), Expected, 1e-9) << std::hex << V;
    EXPECT_EQ(DosDateTimeToUnix(V), 315532860) << std::hex << V;
  }
  EXPECT_TRUE(IsValidDosDateTime(Pack(2000, 2, 29, 23, 59, 58)));
}

TEST(DosTime, LimitsOf1980And2107AreClamped) {
  TZoneGuard Utc("UTC");
  EXPECT_EQ(DosMinValue, Pack(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(DosMaxValue, Pack(2107, 12, 31, 23, 59, 58));
  EXPECT_EQ(UnixToDosDateTime(315532800), DosMinValue);  // 1980-01-01 00:00:00
  EXPECT_EQ(UnixToDosDateTime(0), DosMinValue);          // 1970
  EXPECT_EQ(UnixToDosDateTime(-1000000000LL), DosMinValue);
  EXPECT_EQ(UnixToDosDateTime(4354819198LL), DosMaxValue);  // 2107-12-31 23:59:58
  EXPECT_EQ(UnixToDosDateTime(4354819199LL), DosMaxValue);  // ... :59 rounds down
  EXPECT_EQ(UnixToDosDateTime(4354819200LL), DosMaxValue);  // 2108-01-01
  // Far outside the range (GNU base-256 or pax times): the ends, without overflow (UBSan).
  // 67768006212604800 s is a year the C library's year field holds but not that plus 1900.
  for (int64_t Far : {int64_t(67768006212604800), int64_t(67000000000000000), INT64_MAX, int64_t(1) << 56}) {
    EXPECT_EQ(UnixToDosDateTime(Far), DosMaxValue) << Far;
    EXPECT_EQ(UnixToDosDateTime(-Far), DosMinValue) << -Far;
    EXPECT_TRUE(std::isfinite(UnixToDateTime(Far))) << Far;
  }
  EXPECT_EQ(UnixToDosDateTime(INT64_MIN), DosMinValue);
  EXPECT_EQ(DosDateTimeToUnix(DosMaxValue), 4354819198LL);
  EXPECT_EQ(DateTimeToDosDateTime(0.0), DosMinValue);  // 1899-12-30
  EXPECT_EQ(DateTimeToDosDateTime(80000.0), DosMaxValue);
}

TEST(DosTime, OddSecondsRoundDownToEven) {
  TZoneGuard Utc("UTC");
  const int64_t Base = 946729800;  // 2000-01-01 12:30:00
  EXPECT_EQ(UnixToDosDateTime(Base + 57), Pack(2000, 1, 1, 12, 30, 56));
  EXPECT_EQ(UnixToDosDateTime(Base + 56), Pack(2000, 1, 1, 12, 30, 56));
  EXPECT_EQ(DosDateTimeToUnix(UnixToDosDateTime(Base + 59)), Base + 58);
}

TEST(DosTime, DateTimeAndDosAgree) {
  TZoneGuard Utc("UTC");
  // 2000-01-01 is day 36526 of the class library's calendar.
  EXPECT_NEAR(DosDateTimeToDateTime(Pack(2000, 1, 1, 0, 0, 0)), 36526.0, 1e-9);
  EXPECT_NEAR(DosDateTimeToDateTime(Pack(2000, 1, 1, 18, 0, 0)), 36526.75, 1e-9);
  for (uint32_t V :
       {Pack(1980, 1, 1, 0, 0, 0), Pack(1999, 12, 31, 23, 59, 58), Pack(2024, 2, 29, 6, 7, 8), DosMaxValue}) {
    EXPECT_EQ(DateTimeToDosDateTime(DosDateTimeToDateTime(V)), V) << std::hex << V;
    EXPECT_EQ(UnixToDosDateTime(DosDateTimeToUnix(V)), V) << std::hex << V;
  }
  EXPECT_EQ(DateTimeToUnix(UnixToDateTime(1700000000)), 1700000000);
}

TEST(DosTime, UnixTimeUsesTheBiasOfThatDate) {
  if (::access("/usr/share/zoneinfo/Europe/Berlin", R_OK) != 0) GTEST_SKIP() << "tzdata is not installed";
  TZoneGuard Berlin("Europe/Berlin");
  // Noon UTC is 13:00 in winter (UTC+1) and 14:00 in summer (UTC+2).
  EXPECT_EQ(UnixToDosDateTime(1609502400), Pack(2021, 1, 1, 13, 0, 0));
  EXPECT_EQ(UnixToDosDateTime(1625140800), Pack(2021, 7, 1, 14, 0, 0));
  EXPECT_EQ(DosDateTimeToUnix(Pack(2021, 1, 1, 13, 0, 0)), 1609502400);
  EXPECT_EQ(DosDateTimeToUnix(Pack(2021, 7, 1, 14, 0, 0)), 1625140800);
}

}  // namespace
