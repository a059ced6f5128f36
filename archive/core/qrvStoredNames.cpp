#include "archive/core/qrvStoredNames.h"

std::string TStoredNames::Unique(const std::string& Read, std::string_view Raw, const std::string& Alternative) {
  std::string name = Read;
  for (int n = 2;; ++n) {
    const auto [at, fresh] = sources_.try_emplace(name, Raw);
    if (fresh || at->second == Raw) return name;
    if (!Alternative.empty() && name != Alternative && name == Read) {
      name = Alternative;
      --n;
      continue;
    }
    name = Read;
    const size_t end = name.size() - (name.ends_with('/') ? 1 : 0), last = end ? end - 1 : 0;
    const size_t slash = name.rfind('/', last), first = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = name.rfind('.', last);
    if (dot == std::string::npos || dot <= first || dot >= end) dot = end;
    name.insert(dot, "~" + std::to_string(n));
  }
}
