// Keeps the names a reader gives its entries apart. Two different stored byte strings may
// decode to one name (UTF-8 "é" and CP437 0x82, or a guess per name that lands on the same
// text); extracted as they are, the later would replace the earlier.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
  std::vector<uint64_t> pending_;
};

// Many short strings in blocks that never move: a name costs its bytes, not an allocation of
// its own, and growing never copies what is held. Views stay valid until Clear.
class TNameArena {
 public:
  std::string_view Add(std::string_view Text);
  void Clear();

 private:
  static constexpr size_t kBlock = size_t(1) << 20;
  std::vector<std::unique_ptr<char[]>> blocks_;  // the last one is being filled
  size_t used_ = kBlock;                         // bytes used of the last block
};
