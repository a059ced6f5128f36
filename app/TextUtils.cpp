#include "app/TextUtils.h"

#include "archive/qrvFormats.h"
#include "platform/FileInfo.h"

#include <filesystem>
#include <initializer_list>
#include <sys/stat.h>

int64_t FolderSizeKB(const std::string& path, const std::atomic<bool>& Stop) {
  namespace fs = std::filesystem;
  std::error_code ec;
  uint64_t bytes = 0;
  fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (Stop.load(std::memory_order_relaxed)) return -1;
    std::error_code sizeErr;
    if (it->is_regular_file(sizeErr) && !it->is_symlink(sizeErr)) {
      const uintmax_t size = it->file_size(sizeErr);
      if (!sizeErr) bytes += size;
    }
  }
  return int64_t((bytes + 1023) / 1024);
}

std::string ExtractFileName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

static char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

std::string UpperCase(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

std::string ExtractFileExt(const std::string& path) {
  const std::string name = ExtractFileName(path);
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

static bool ExtensionIn(const std::string& path, std::initializer_list<const char*> list) {
  const std::string ext = ExtractFileExt(path);
  for (const char* e : list)
    if (SameText(ext, e)) return true;
  return false;
}

bool IsUpxTarget(const std::string& path) {
  return !DirectoryExists(path) && ExtensionIn(path, {".exe", ".com", ".dll", ".sys", ".src"});
}

bool IsArchiveName(const std::string& path) {
  const TFormatRow* format = FormatOfName(path);
  return format && format->Reads();
}
