#include "platform/DosTime.h"

#include <climits>
#include <cstdlib>
#include <cmath>
#include <ctime>

namespace {

// Calendar fields of a local date-time.
struct TCivil {
  int Year, Month, Day, Hour, Minute, Second;
};

bool IsLeap(int Y) { return (Y % 4 == 0 && Y % 100 != 0) || Y % 400 == 0; }

int DaysInMonth(int Y, int M) {
  static const int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return M == 2 && IsLeap(Y) ? 29 : Days[M - 1];
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t Y, int M, int D) {
  Y -= M <= 2;
  const int64_t Era = (Y >= 0 ? Y : Y - 399) / 400;
  const int64_t Yoe = Y - Era * 400;
  const int64_t Doy = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
  const int64_t Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
  return Era * 146097 + Doe - 719468;
}

void CivilFromDays(int64_t Z, int& Y, int& M, int& D) {
  Z += 719468;
  const int64_t Era = (Z >= 0 ? Z : Z - 146096) / 146097;
  const int64_t Doe = Z - Era * 146097;
  const int64_t Yoe = (Doe - Doe / 1460 + Doe / 36524 - Doe / 146096) / 365;
  const int64_t Doy = Doe - (365 * Yoe + Yoe / 4 - Yoe / 100);
  const int64_t Mp = (5 * Doy + 2) / 153;
  D = static_cast<int>(Doy - (153 * Mp + 2) / 5 + 1);
  M = static_cast<int>(Mp < 10 ? Mp + 3 : Mp - 9);
  Y = static_cast<int>(Yoe + Era * 400 + (M <= 2));
}

// 1980-01-01 00:00:00 and 2107-12-31 23:59:59 in UTC.
constexpr int64_t DosMinUnix = 315532800;
constexpr int64_t DosMaxUnix = 4354819199;

// TDateTime day 0 is 1899-12-30, 25569 days before 1970-01-01.
constexpr int64_t DateTimeEpochDays = 25569;
constexpr double SecondsPerDay = 86400.0;

TDateTime CivilToDateTime(const TCivil& C) {
  const double Days = static_cast<double>(DaysFromCivil(C.Year, C.Month, C.Day) + DateTimeEpochDays);
  const double Secs = C.Hour * 3600.0 + C.Minute * 60.0 + C.Second;
  return Days + Secs / SecondsPerDay;
}

// Whole seconds of a TDateTime (rounded to the millisecond first, as the class library does).
TCivil DateTimeToCivil(TDateTime Value) {
  if (!std::isfinite(Value)) Value = 0;
  const double Clamped = std::fmax(-700000.0, std::fmin(Value, 3000000.0));
  int64_t Ms = std::llround(Clamped * SecondsPerDay * 1000.0);
  int64_t Days = Ms / 86400000;
  int64_t MsOfDay = Ms % 86400000;
  if (MsOfDay < 0) {
    MsOfDay += 86400000;
    --Days;
  }
  TCivil C{};
  CivilFromDays(Days - DateTimeEpochDays, C.Year, C.Month, C.Day);
  const int64_t Secs = MsOfDay / 1000;
  C.Hour = static_cast<int>(Secs / 3600);
  C.Minute = static_cast<int>(Secs / 60 % 60);
  C.Second = static_cast<int>(Secs % 60);
  return C;
}

TCivil DosToCivil(uint32_t Dos) {
  return TCivil{static_cast<int>(1980 + (Dos >> 25)), static_cast<int>((Dos >> 21) & 0x0F),
                static_cast<int>((Dos >> 16) & 0x1F), static_cast<int>((Dos >> 11) & 0x1F),
                static_cast<int>((Dos >> 5) & 0x3F),  static_cast<int>((Dos & 0x1F) * 2)};
}

// Packs a civil date-time, clamping to the DOS range and rounding seconds down to even.
uint32_t CivilToDos(const TCivil& C) {
  if (C.Year < 1980) return DosMinValue;
  if (C.Year > 2107) return DosMaxValue;
  return static_cast<uint32_t>(C.Year - 1980) << 25 | static_cast<uint32_t>(C.Month) << 21 |
         static_cast<uint32_t>(C.Day) << 16 | static_cast<uint32_t>(C.Hour) << 11 |
         static_cast<uint32_t>(C.Minute) << 5 | static_cast<uint32_t>(C.Second / 2);
}

// A valid packed value, with 0 and invalid ones replaced by 1980-01-01 00:01:00.
uint32_t UsableDos(uint32_t Dos) { return Dos != 0 && IsValidDosDateTime(Dos) ? Dos : DosZeroSubstitute; }

TCivil TmToCivil(const std::tm& T) {
  return TCivil{T.tm_year + 1900, T.tm_mon + 1, T.tm_mday, T.tm_hour, T.tm_min, T.tm_sec > 59 ? 59 : T.tm_sec};
}

// Local civil time -> Unix seconds (mktime decides daylight saving for that date).
int64_t CivilToUnix(const TCivil& C) {
  std::tm T{};
  T.tm_year = C.Year - 1900;
  T.tm_mon = C.Month - 1;
  T.tm_mday = C.Day;
  T.tm_hour = C.Hour;
  T.tm_min = C.Minute;
  T.tm_sec = C.Second;
  T.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&T));
}

bool UnixToCivil(int64_t UnixSeconds, TCivil& C) {
  const std::time_t T = static_cast<std::time_t>(UnixSeconds);
  std::tm Tm{};
  if (localtime_r(&T, &Tm) == nullptr || Tm.tm_year > INT_MAX - 1900) return false;
  C = TmToCivil(Tm);
  return true;
}

}  // namespace

bool IsValidDosDateTime(uint32_t Dos) {
  const TCivil C = DosToCivil(Dos);
  return C.Month >= 1 && C.Month <= 12 && C.Day >= 1 && C.Day <= DaysInMonth(C.Year, C.Month) && C.Hour < 24 &&
         C.Minute < 60 && C.Second < 60;
}

TDateTime DosDateTimeToDateTime(uint32_t Dos) { return CivilToDateTime(DosToCivil(UsableDos(Dos))); }

uint32_t DateTimeToDosDateTime(TDateTime Value) { return CivilToDos(DateTimeToCivil(Value)); }

uint32_t UnixToDosDateTime(int64_t UnixSeconds) {
  // Times beyond the DOS range by more than any zone's bias take its ends without asking the
  // C library, whose year field cannot hold every 64-bit time.
  constexpr int64_t Margin = 2 * 86400;
  if (UnixSeconds < DosMinUnix - Margin) return DosMinValue;
  if (UnixSeconds > DosMaxUnix + Margin) return DosMaxValue;
  TCivil C{};
  if (!UnixToCivil(UnixSeconds, C)) return UnixSeconds < 0 ? DosMinValue : DosMaxValue;
  return CivilToDos(C);
}

void ReadTimeZoneOnce() {
  if (std::getenv("TZ") == nullptr) setenv("TZ", ":/etc/localtime", 0);
  tzset();
}

int64_t DosDateTimeToUnix(uint32_t Dos) { return CivilToUnix(DosToCivil(UsableDos(Dos))); }

TDateTime UnixToDateTime(int64_t UnixSeconds) {
  TCivil C{};
  if (!UnixToCivil(UnixSeconds, C))
    return static_cast<double>(DateTimeEpochDays) + static_cast<double>(UnixSeconds) / SecondsPerDay;
  return CivilToDateTime(C);
}

int64_t DateTimeToUnix(TDateTime Value) { return CivilToUnix(DateTimeToCivil(Value)); }

TDateTime NowDateTime() {
  std::timespec Ts{};
  clock_gettime(CLOCK_REALTIME, &Ts);
  return UnixToDateTime(Ts.tv_sec) + static_cast<double>(Ts.tv_nsec / 1000000) / (SecondsPerDay * 1000.0);
}
