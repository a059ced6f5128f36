// Keeps the names a reader gives its entries apart. Two different stored byte strings may
// decode to one name (UTF-8 "é" and CP437 0x82, or a guess per name that lands on the same
// text); extracted as they are, the later would replace the earlier.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TStoredNames {
 public:
  // The name of an entry decoded as Read from the stored bytes Raw. The same bytes always get
  // the same name. A name already given to other bytes is replaced by Alternative (another
  // reading of the bytes, when given and free), else numbered before the extension of its last
  // part ("a/b~2.txt", "dir~2/").
  std::string Unique(const std::string& Read, std::string_view Raw, const std::string& Alternative = {});
  // Forgets the names given so far (a new run).
  void Clear() {
    slots_.clear();
    used_ = 0;
  }

 private:
  // Hash of a name -> hash of the bytes it came from: 16 bytes a name, however long, so an
  // archive of a million entries keeps its memory flat. Two names or byte strings alike in
  // their hash are taken for the same: the worst outcome is a "~2" name or a later entry
  // replacing an earlier one, as two entries of equal stored names do anyway.
  // An open-addressing table (a name hash of 0 marks a free slot), at most half full.
  // Returns the raw hash stored for Name, storing Raw's when the name is new.
  uint64_t Claim(uint64_t Name, uint64_t Raw);
  std::vector<std::pair<uint64_t, uint64_t>> slots_;
  size_t used_ = 0;
};
