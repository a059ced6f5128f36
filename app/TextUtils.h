// Small text and file helpers shared by the window, the archive jobs and brel-cli.
// Qt-free; strings are UTF-8.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/SizeText.h"

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
