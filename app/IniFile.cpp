#include "app/IniFile.h"

#include "app/TextUtils.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

// Larger files are not settings files of this program: they are neither read nor rewritten.
constexpr std::streamsize kMaxIniSize = 1 << 20;

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

bool ReadLines(const std::string& fileName, std::vector<std::string>& lines) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return false;
  std::string content(size_t(kMaxIniSize) + 1, '\0');
  in.read(content.data(), kMaxIniSize + 1);
  if (in.gcount() > kMaxIniSize) return false;
  content.resize(size_t(in.gcount()));
  std::istringstream text(content);
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return true;
}

// Name of a section header line, or false when the line is none.
bool SectionOf(const std::string& line, std::string& name) {
  const std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return false;
  const size_t close = t.find(']');
  if (close == std::string::npos) return false;
  name = Trim(t.substr(1, close - 1));
  return true;
}

// Key and value of a key=value line (comments and other lines give false).
bool KeyOf(const std::string& line, std::string& key, std::string& value) {
  const std::string t = Trim(line);
  if (t.empty() || t.front() == ';' || t.front() == '#') return false;
  const size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(t.substr(0, eq));
  value = Trim(t.substr(eq + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return true;
}

struct TKeyPlace {
  bool SectionFound = false;
  size_t SectionEnd = 0;  // index after the section's last non-empty line
  bool KeyFound = false;
  size_t KeyLine = 0;
  std::string Value;
};

TKeyPlace FindKey(const std::vector<std::string>& lines, const std::string& section, const std::string& key) {
  TKeyPlace place;
  bool inSection = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string name, k, v;
    if (SectionOf(lines[i], name)) {
      inSection = !place.SectionFound && SameText(name, section);
      if (inSection) {
        place.SectionFound = true;
        place.SectionEnd = i + 1;
      }
      continue;
    }
    if (!inSection) continue;
    if (!Trim(lines[i]).empty()) place.SectionEnd = i + 1;
    if (!place.KeyFound && KeyOf(lines[i], k, v) && SameText(k, key)) {
      place.KeyFound = true;
      place.KeyLine = i;
      place.Value = v;
    }
  }
  return place;
}

bool WriteWhole(const std::string& fileName, const std::vector<std::string>& lines) {
  const std::filesystem::path target(fileName);
  std::error_code ec;
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), ec);
  std::string tmpl = fileName + ".XXXXXX";
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return false;
  std::string content;
  for (const std::string& line : lines) content += line + "\n";
  struct stat st {};
  const mode_t mode = ::stat(fileName.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  bool ok = ::fchmod(fd, mode) == 0;
  for (size_t done = 0; ok && done < content.size();) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    done += ok ? size_t(n) : 0;
  }
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(tmpl.c_str(), fileName.c_str()) == 0;
  if (!ok) ::unlink(tmpl.c_str());
  return ok;
}

bool ParseHex(const std::string& digits, int32_t& value) {
  if (digits.empty() || digits.size() > 8) return false;
  uint32_t v = 0;
  for (char c : digits) {
    int d = 0;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = v * 16 + uint32_t(d);
  }
  value = int32_t(v);
  return true;
}

bool ParseDecimal(const std::string& text, int32_t& value) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) i = 1;
  if (i >= text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > int64_t(INT32_MAX) + 1) return false;
  }
  v = negative ? -v : v;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  value = int32_t(v);
  return true;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return home;
  const struct passwd* pw = ::getpwuid(::getuid());
  return pw && pw->pw_dir ? std::string(pw->pw_dir) : std::string(".");
}

}  // namespace

std::string ReadIniString(const std::string& FileName, const std::string& Section, const std::string& Key,
                          const std::string& Default) {
  std::vector<std::string> lines;
  if (!ReadLines(FileName, lines)) return Default;
  const TKeyPlace place = FindKey(lines, Section, Key);
  return place.KeyFound ? place.Value : Default;
}

bool WriteIniString(const std::string& FileName, const std::string& Section, const std::string& Key,
                    const std::string& Value) {
  std::vector<std::string> lines;
  if (!ReadLines(FileName, lines)) {
    std::error_code ec;
    if (std::filesystem::exists(FileName, ec)) return false;  // there but unreadable or too large: leave it alone
  }
  const TKeyPlace place = FindKey(lines, Section, Key);
  const std::string entry = Key + "=" + Value;
  if (place.KeyFound) {
    lines[place.KeyLine] = entry;
  } else if (place.SectionFound) {
    lines.insert(lines.begin() + std::ptrdiff_t(place.SectionEnd), entry);
  } else {
    if (!lines.empty() && !Trim(lines.back()).empty()) lines.emplace_back();
    lines.push_back("[" + Section + "]");
    lines.push_back(entry);
  }
  return WriteWhole(FileName, lines);
}

bool ParseIniInt(const std::string& Text, int32_t& Value) {
  if (Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) return ParseHex(Text.substr(2), Value);
  return ParseDecimal(Text, Value);
}

int32_t ReadIniInt(const std::string& Base, const std::string& Section, const std::string& Key, int32_t Default) {
  int32_t value = Default;
  return ParseIniInt(ReadIniString(Base + ".ini", Section, Key, std::string()), value) ? value : Default;
}

void WriteIniInt(const std::string& Base, const std::string& Section, const std::string& Key, int32_t Value) {
  WriteIniString(Base + ".ini", Section, Key, std::to_string(Value));
}

bool ReadIniBool(const std::string& Base, const std::string& Section, const std::string& Key, bool Default) {
  return ReadIniInt(Base, Section, Key, Default ? 1 : 0) != 0;
}

void WriteIniBool(const std::string& Base, const std::string& Section, const std::string& Key, bool Value) {
  WriteIniInt(Base, Section, Key, Value ? 1 : 0);
}

std::string SettingsBaseFor(const std::string& ExePath) {
  // Never beside the program: a start as root would write into /usr/bin.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const std::string config = (xdg && xdg[0] == '/') ? std::string(xdg) : HomeFolder() + "/.config";
  return config + "/brel/brel";
}
