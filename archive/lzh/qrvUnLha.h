// TUnLha: extracts, tests or lists LZH archives. A first pass walks the headers and selects
// entries by the entry masks; a second pass decodes each selected entry through the decoder its
// method names, checking the CRC-16.
#pragma once

#include <vector>

#include "archive/core/qrvBase.h"
#include "archive/core/qrvDecoder.h"
#include "archive/core/qrvStoredNames.h"
#include "archive/lzh/qrvLhaPack.h"

// The listing name of the LZH method whose id ("-lh5-") gives MethodKey (LhaKey): "Stored",
// "Frozen-5", "pm1"...; "Unsupported" for methods not read here.
std::string LhaMethodName(int MethodKey);

class TUnLha : public TUnBase {
 public:
  TUnLha();

 protected:
  int ExtractArchive(TStream32& Stream, int Flag) override;

 private:
  int SelectEntries(TStream32& Stream, std::vector<TLhaHeader>& Selected);
  void ListEntry(const TLhaHeader& E);
  void ExtractEntry(TStream32& Stream, const TLhaHeader& E);
  // Decodes the entry's data into the open output; true when all of it came out.
  bool DecodeEntry(TStream32& Stream, const TLhaHeader& E, const TMethodDecoder& Decoder);

  TStoredNames FNames;
};
