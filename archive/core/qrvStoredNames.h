// Keeps the names a reader gives its entries apart. Two different stored byte strings may
// decode to one name (UTF-8 "é" and CP437 0x82, or a guess per name that lands on the same
// text); extracted as they are, the later would replace the earlier.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

class TStoredNames {
 public:
  // The name of an entry decoded as Read from the stored bytes Raw. The same bytes always get
  // the same name. A name already given to other bytes is replaced by Alternative (another
  // reading of the bytes, when given and free), else numbered before the extension of its last
  // part ("a/b~2.txt", "dir~2/").
  std::string Unique(const std::string& Read, std::string_view Raw, const std::string& Alternative = {});
  // Forgets the names given so far (a new run).
  void Clear() { sources_.clear(); }

 private:
  std::unordered_map<std::string, std::string> sources_;  // name -> the bytes it came from
};
