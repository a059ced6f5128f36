#include "archive/core/qrvStoredNames.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

namespace {

uint64_t Hash(std::string_view Text) { return std::hash<std::string_view>{}(Text) | 1; }  // never 0

uint64_t KeyOf(uint64_t Slot) { return Slot; }
template <class TSlot>
uint64_t KeyOf(const TSlot& Slot) {
  return Slot.Name();
}

}  // namespace

template <class TSlot>
TSlot* TStoredNames::TTable<TSlot>::Find(uint64_t Name) {
  if (Slots.empty()) return nullptr;
  const size_t mask = Slots.size() - 1;
  for (size_t i = size_t(Name >> 1) & mask;; i = (i + 1) & mask) {
    if (KeyOf(Slots[i]) == Name) return &Slots[i];
    if (KeyOf(Slots[i]) == 0) return nullptr;
  }
}

template <class TSlot>
void TStoredNames::TTable<TSlot>::Insert(const TSlot& Slot) {
  if (4 * (Used + 1) > 3 * Slots.size()) {
    std::vector<TSlot> old(std::max<size_t>(64, 2 * Slots.size()));
    old.swap(Slots);
    Used = 0;
    for (const TSlot& s : old)
      if (KeyOf(s)) Insert(s);
  }
  const size_t mask = Slots.size() - 1;
  size_t i = size_t(KeyOf(Slot) >> 1) & mask;
  while (KeyOf(Slots[i])) i = (i + 1) & mask;
  Slots[i] = Slot;
  ++Used;
}

void TStoredNames::Clear() {
  same_ = {};
  other_ = {};
  pending_.clear();
}

void TStoredNames::Settle() {
  for (size_t i = 0; i < pending_.size(); ++i)
    if (!same_.Find(pending_[i])) same_.Insert(pending_[i]);
  pending_.clear();
}

bool TStoredNames::Claim(uint64_t Name, uint64_t Raw) {
  if (Name == Raw && other_.Used == 0) {
    pending_.push_back(Name);
    return true;
  }
  if (pending_.size()) Settle();
  if (same_.Find(Name)) return Name == Raw;
  if (const TPair* p = other_.Find(Name)) return p->Raw == uint32_t(Raw);
  if (Name == Raw)
    same_.Insert(Name);
  else
    other_.Insert({uint32_t(Name), uint32_t(Name >> 32), uint32_t(Raw)});
  return true;
}

bool TStoredNames::Keep(std::string_view Read, std::string_view Raw) {
  const uint64_t raw = Hash(Raw);
  return Claim(Read == Raw ? raw : Hash(Read), raw);
}

std::string TStoredNames::Unique(const std::string& Read, std::string_view Raw, const std::string& Alternative) {
  return Unique(Read, Raw, [&] { return Alternative; });
}

std::string TStoredNames::Unique(const std::string& Read, std::string_view Raw,
                                 const std::function<std::string()>& Alternative) {
  std::string name = Read;
  const uint64_t raw = Hash(Raw);
  bool alternativeTried = false;
  for (int n = 2;; ++n) {
    if (Claim(Hash(name), raw)) return name;
    if (!alternativeTried) {
      alternativeTried = true;
      std::string other = Alternative();
      if (!other.empty() && other != Read) {
        name = std::move(other);
        --n;
        continue;
      }
    }
    name = Read;
    const size_t end = name.size() - (name.ends_with('/') ? 1 : 0), last = end ? end - 1 : 0;
    const size_t slash = name.rfind('/', last), first = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = name.rfind('.', last);
    if (dot == std::string::npos || dot <= first || dot >= end) dot = end;
    name.insert(dot, std::to_string(n));
    name.insert(dot, 1, '~');
  }
}

void THugeChunks::TFree::operator()(void* P) const { std::free(P); }

void* THugeChunks::Take(size_t Size, size_t Align) {
  used_ = (used_ + Align - 1) & ~(Align - 1);
  if (used_ > kChunk || kChunk - used_ < Size) {
    void* chunk = std::aligned_alloc(kChunk, kChunk);
    if (!chunk) throw std::bad_alloc();
    // Only a hint: without transparent huge pages the chunk is ordinary memory.
    madvise(chunk, kChunk, MADV_HUGEPAGE);
    chunks_.emplace_back(chunk);
    used_ = 0;
  }
  void* at = static_cast<char*>(chunks_.back().get()) + used_;
  used_ += Size;
  return at;
}

void THugeChunks::Clear() {
  chunks_.clear();
  chunks_.shrink_to_fit();
  used_ = kChunk;
}

char* TNameArena::NewBlock() {
  if (plain_ == kPlainBlocks) return static_cast<char*>(chunks_.Take(kBlock, 1));
  ++plain_;
  // Left uninitialised: only the pages that names reach take memory.
  blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlock));
  return blocks_.back().get();
}

std::string_view TNameArena::Add(std::string_view Text) {
  if (Text.empty()) return {};
  char* at;
  if (Text.size() > kBlock / 4) {
    // A long name gets a block of its own.
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(Text.size()));
    at = blocks_.back().get();
  } else {
    if (kBlock - used_ < Text.size()) {
      current_ = NewBlock();
      used_ = 0;
    }
    at = current_ + used_;
    used_ += Text.size();
  }
  std::memcpy(at, Text.data(), Text.size());
  return {at, Text.size()};
}

void TNameArena::Clear() {
  blocks_.clear();
  blocks_.shrink_to_fit();
  chunks_.Clear();
  plain_ = 0;
  current_ = nullptr;
  used_ = kBlock;
}
