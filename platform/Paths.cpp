#include "platform/Paths.h"

std::string DirOf(const std::string& Path) {
  size_t End = Path.find_last_not_of('/');
  if (End == std::string::npos) return Path.empty() ? "." : "/";
  size_t Slash = Path.rfind('/', End);
  if (Slash == std::string::npos) return ".";
  size_t DirEnd = Path.find_last_not_of('/', Slash);
  return DirEnd == std::string::npos ? "/" : Path.substr(0, DirEnd + 1);
}

std::string BaseOf(const std::string& Path) {
  size_t End = Path.find_last_not_of('/');
  if (End == std::string::npos) return Path.empty() ? "" : "/";
  size_t Slash = Path.rfind('/', End);
  size_t Start = Slash == std::string::npos ? 0 : Slash + 1;
  return Path.substr(Start, End + 1 - Start);
}

std::string WithTrailingSlash(const std::string& Path) {
  if (Path.empty()) return Path;
  size_t End = Path.find_last_not_of('/');
  if (End == std::string::npos) return "/";
  return Path.substr(0, End + 1) + "/";
}

std::string JoinPath(const std::string& Dir, const std::string& Name) {
  if (Dir.empty()) return Name;
  return WithTrailingSlash(Dir) + Name;
}
