#include "archive/core/qrvStoredNames.h"

#include <algorithm>
#include <functional>

namespace {

uint64_t Hash(std::string_view Text) { return std::hash<std::string_view>{}(Text) | 1; }  // never 0

}  // namespace

uint64_t TStoredNames::Claim(uint64_t Name, uint64_t Raw) {
  if (2 * (used_ + 1) > slots_.size()) {
    std::vector<std::pair<uint64_t, uint64_t>> old(std::max<size_t>(64, 2 * slots_.size()));
    old.swap(slots_);
    used_ = 0;
    for (const auto& [name, raw] : old)
      if (name) Claim(name, raw);
  }
  const size_t mask = slots_.size() - 1;
  for (size_t i = size_t(Name >> 1) & mask;; i = (i + 1) & mask) {
    if (slots_[i].first == Name) return slots_[i].second;
    if (slots_[i].first == 0) {
      slots_[i] = {Name, Raw};
      ++used_;
      return Raw;
    }
  }
}

std::string TStoredNames::Unique(const std::string& Read, std::string_view Raw, const std::string& Alternative) {
  std::string name = Read;
  const uint64_t raw = Hash(Raw);
  for (int n = 2;; ++n) {
    if (Claim(Hash(name), raw) == raw) return name;
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
