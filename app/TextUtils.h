// Small text and file helpers shared by the window, the archive jobs, the UPX job and brel-cli.
// Qt-free; strings are UTF-8.
#pragma once

#include <atomic>
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
// Size in KiB, rounded up, of every regular file below a folder (links are counted as links,
// never followed; unreadable parts are left out); -1 when Stop was set on the way.
int64_t FolderSizeKB(const std::string& path, const std::atomic<bool>& Stop);

// The file name part of a path: everything after the last "/".
std::string ExtractFileName(const std::string& path);

// Equality without regard to ASCII letter case.
bool SameText(const std::string& a, const std::string& b);

// ASCII upper case; other bytes (UTF-8 sequences included) are kept.
std::string UpperCase(const std::string& s);

// The extension of the path's file name, from its last "." on, dot included; "" when none.
std::string ExtractFileExt(const std::string& path);

// True when the extension of path is one of .exe, .com, .dll, .sys, .src (whole extension, any
// letter case) and path is not an existing folder.
bool IsUpxTarget(const std::string& path);

// True when the name ends in an extension of a format the window extracts (the format table's:
// .zip, .lzh, .lha, .cab, .tar, .tgz, .tar.gz ...; any letter case). No folder test.
bool IsArchiveName(const std::string& path);
