// Keeps the names a reader gives its entries apart. Two different stored byte strings may
// decode to one name (UTF-8 "é" and CP437 0x82, or a guess per name that lands on the same
// text); extracted as they are, the later would replace the earlier. Beside it, the memory a
// reader keeps its entries and their names in.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

// Memory in 2 MiB chunks, aligned and advised for transparent huge pages: a run that holds a
// million entries faults in a few dozen pages instead of tens of thousands (on a virtual machine
// each fault costs microseconds). Meant for runs that have already grown past a few MiB, so a
// small archive does not pay for a whole huge page.
class THugeChunks {
 public:
  static constexpr size_t kChunk = size_t(1) << 21;
  // Size bytes (at most kChunk) aligned to Align (a power of two), left uninitialised; valid
  // until Clear.
  void* Take(size_t Size, size_t Align);
  void Clear();

 private:
  struct TFree {
    void operator()(void* P) const;
  };
  std::vector<std::unique_ptr<void, TFree>> chunks_;
  size_t used_ = kChunk;  // bytes used of the last chunk
};

// A list that grows by blocks of 4096 items: no copy of a million items at once, and one
// allocation per block rather than per few items. Past the first blocks, the blocks come from
// huge-page chunks.
template <class T>
class TBlockList {
 public:
  size_t size() const { return FSize; }
  T& operator[](size_t I) { return FBlocks[I >> kShift][I & kMask]; }
  const T& operator[](size_t I) const { return FBlocks[I >> kShift][I & kMask]; }
  void push_back(const T& Item) {
    if ((FSize >> kShift) == FBlocks.size()) AddBlock();
    (*this)[FSize++] = Item;
  }
  // Keeps the first N items (N at most size()); the memory goes back at clear.
  void resize(size_t N) { FSize = N; }
  void clear() {
    FSize = 0;
    FBlocks.clear();
    FPlain.clear();
    FChunks.Clear();
  }

 private:
  static constexpr size_t kShift = 12, kMask = (size_t(1) << kShift) - 1, kPlainBlocks = 8;
  static constexpr size_t kBytes = sizeof(T) << kShift;
  void AddBlock() {
    if constexpr (kBytes <= THugeChunks::kChunk && std::is_trivially_destructible_v<T>) {
      if (FBlocks.size() >= kPlainBlocks) {
        T* block = static_cast<T*>(FChunks.Take(kBytes, alignof(T)));
        std::uninitialized_value_construct_n(block, kMask + 1);
        FBlocks.push_back(block);
        return;
      }
    }
    FPlain.push_back(std::make_unique<T[]>(kMask + 1));
    FBlocks.push_back(FPlain.back().get());
  }
  std::vector<T*> FBlocks;
  std::vector<std::unique_ptr<T[]>> FPlain;  // the first blocks
  THugeChunks FChunks;                       // the blocks after those
  size_t FSize = 0;
};

class TStoredNames {
 public:
  // The name of an entry decoded as Read from the stored bytes Raw. The same bytes always get
  // the same name. A name already given to other bytes is replaced by Alternative (another
  // reading of the bytes, when given and free), else numbered before the extension of its last
  // part ("a/b~2.txt", "dir~2/").
  std::string Unique(const std::string& Read, std::string_view Raw, const std::string& Alternative = {});
  // The same, with the alternative reading made only when it is needed.
  std::string Unique(const std::string& Read, std::string_view Raw, const std::function<std::string()>& Alternative);
  // Whether Read, decoded from the stored bytes Raw, may stand as it is (claimed for Raw when
  // new). When false, Unique gives the name to use instead.
  bool Keep(std::string_view Read, std::string_view Raw);
  // Forgets the names given so far (a new run).
  void Clear();

 private:
  // Hash of a name -> hash of the bytes it came from, so an archive of a million entries keeps
  // its memory flat. Two names or byte strings alike in their hash are taken for the same: the
  // worst outcome is a "~2" name or a later entry replacing an earlier one, as two entries of
  // equal stored names do anyway. Most names read as the bytes they came from (equal hashes):
  // those keep only the name's hash (8 bytes), the others the pair with half the bytes' hash
  // (12 bytes).
  struct TPair {
    uint32_t NameLow = 0, NameHigh = 0, Raw = 0;
    uint64_t Name() const { return uint64_t(NameHigh) << 32 | NameLow; }
  };
  // Open addressing with linear probing; a name hash of 0 marks a free slot; at most three
  // quarters full.
  template <class TSlot>
  struct TTable {
    std::vector<TSlot> Slots;
    size_t Used = 0;
    TSlot* Find(uint64_t Name);
    void Insert(const TSlot& Slot);
  };
  // Whether Name is the one of Raw's bytes: given to them before, or new and now theirs.
  bool Claim(uint64_t Name, uint64_t Raw);
  // Moves the pending names into same_.
  void Settle();
  TTable<uint64_t> same_;
  TTable<TPair> other_;
  // While every name so far read as its own bytes, no two can clash: their hashes are only
  // listed (appended, no table probe per name) and go into same_ once some name does not.
  TBlockList<uint64_t> pending_;
};

// Many short strings in blocks that never move: a name costs its bytes, not an allocation of
// its own, and growing never copies what is held. Views stay valid until Clear.
class TNameArena {
 public:
  std::string_view Add(std::string_view Text);
  void Clear();

 private:
  static constexpr size_t kBlock = size_t(1) << 20, kPlainBlocks = 2;
  char* NewBlock();
  std::vector<std::unique_ptr<char[]>> blocks_;  // the first blocks and the long names
  size_t plain_ = 0;                             // blocks of kBlock among them
  THugeChunks chunks_;                           // the blocks after those
  char* current_ = nullptr;                      // the block being filled
  size_t used_ = kBlock;                         // bytes used of it
};
