// Packed DOS date-times, the class library's TDateTime (days since 1899-12-30 as a double,
// local wall-clock time) and Unix seconds. Conversions between Unix time and the local forms use
// the time-zone bias in force at that date (localtime_r / mktime).
#pragma once

#include <cstdint>

using TDateTime = double;

// 1980-01-01 00:01:00: what a packed value of 0 (or one that does not convert) reads as.
constexpr uint32_t DosZeroSubstitute = 0x00210020;
constexpr TDateTime DosFallbackDateTime = 29221.0 + 60.0 / 86400.0;
// Earliest and latest packed values: 1980-01-01 00:00:00 and 2107-12-31 23:59:58.
constexpr uint32_t DosMinValue = 0x00210000;
constexpr uint32_t DosMaxValue = 0xFF9FBF7D;

// True when each field of the packed value is in range (month 1-12, day 1 to the month's length,
// hour < 24, minute < 60, seconds/2 < 30).
bool IsValidDosDateTime(uint32_t Dos);

// Packed DOS -> TDateTime; 0 reads as 0x00210020, an invalid value gives DosFallbackDateTime.
TDateTime DosDateTimeToDateTime(uint32_t Dos);
// TDateTime -> packed DOS; seconds are rounded down to even; dates before 1980 give DosMinValue,
// after 2107 DosMaxValue.
uint32_t DateTimeToDosDateTime(TDateTime Value);

// Makes the C library read the local time zone once per run: without TZ it checks
// /etc/localtime again at every local-to-Unix conversion (one stat per extracted file). Call at
// the start of main, before any thread runs; a TZ the user set is kept.
void ReadTimeZoneOnce();

// Unix seconds -> packed DOS in local time (bias of that date), clamped like above.
uint32_t UnixToDosDateTime(int64_t UnixSeconds);
// Packed DOS (local time) -> Unix seconds; 0 and invalid values read as 1980-01-01 00:01:00.
int64_t DosDateTimeToUnix(uint32_t Dos);

// Unix seconds <-> TDateTime in local time.
TDateTime UnixToDateTime(int64_t UnixSeconds);
int64_t DateTimeToUnix(TDateTime Value);

// The current local date-time.
TDateTime NowDateTime();
