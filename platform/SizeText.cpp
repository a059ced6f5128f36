#include "platform/SizeText.h"

#include <sys/stat.h>

#include <clocale>

std::string FormatGrouped(int64_t n, const std::string& separator) {
  // Work on the magnitude as unsigned so that INT64_MIN needs no special case.
  const bool negative = n < 0;
  uint64_t v = negative ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  const std::string digits = std::to_string(v);
  std::string out;
  out.reserve(digits.size() + digits.size() / 3 * separator.size() + 1);
  if (negative) out += '-';
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += separator;
    out += digits[i];
  }
  return out;
}

std::string FormatGrouped(int64_t n) {
  const struct lconv* lc = std::localeconv();
  std::string sep = (lc && lc->thousands_sep) ? lc->thousands_sep : "";
  return FormatGrouped(n, sep.empty() ? std::string(",") : sep);
}

int64_t FileSizeKB(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return 0;
  const int64_t size = st.st_size;
  return size / 1024 + (size % 1024 != 0 ? 1 : 0);
}
