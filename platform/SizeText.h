// Sizes as the window and the UPX job show them: grouped digits and KiB of a file.
#pragma once

#include <cstdint>
#include <string>

// Decimal digits of n grouped by three from the right with the locale's thousands separator
// (LC_NUMERIC; "," when the locale has none, as in the C locale). No decimals, no currency sign:
// 1234 gives "1,234".
std::string FormatGrouped(int64_t n);
// The same with an explicit separator (tests, callers with a locale of their own).
std::string FormatGrouped(int64_t n, const std::string& separator);

// Size of a regular file in KiB, rounded up (0 bytes -> 0, 1 byte -> 1); 0 when no file of that
// name exists, folders included.
int64_t FileSizeKB(const std::string& path);
