// Helpers for the decoder tests: entries of a ZIP file found by their local headers, decoding
// from memory, a bit writer for hand-built streams, and running 7-Zip. Temporary folders, files
// and other commands come from support/TestSupport.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/core/qrvDecoder.h"
#include "support/TestSupport.h"

namespace ziptest {

struct Entry {
  std::string Name;
  uint16_t Flags = 0;
  uint16_t Method = 0;
  uint32_t Crc = 0;
  int64_t CompressedSize = 0;  // as stated by the archive
  int64_t UncompressedSize = 0;
  std::string Data;  // the compressed bytes present in the file (may be fewer)
};

// Walks the local headers from the start of the file. Sizes missing from a local header (data
// descriptor) come from the central directory; data running past the end of the file is cut.
std::vector<Entry> ReadEntries(const std::string& Zip);
Entry FindEntry(const std::string& Zip, const std::string& Name);  // empty Name when absent

struct Decoded {
  TDecodeStatus Status;
  std::string Output;
};

// Decodes Data with the decoder of Method (1-6, 9). Pieces: the most bytes one Read returns (to
// exercise short reads); OutputCap: the sink refuses output beyond it (0 = no cap).
Decoded Decode(uint16_t Method, uint16_t Flags, const std::string& Data, int64_t UncompressedSize,
               size_t Pieces = 1u << 30, int64_t OutputCap = 0);
Decoded Decode(const Entry& E, int64_t OutputCap = 0);

uint32_t Crc32(const std::string& Data);

// Bits least significant first, as the decoders read them.
class BitWriter {
 public:
  void Put(uint32_t Value, unsigned Bits);     // Value's low bits, lowest first
  void PutCode(uint32_t Code, unsigned Bits);  // a prefix code, most significant bit first
  void AlignToByte();
  void PutByte(uint8_t Byte) { Put(Byte, 8); }
  std::string Bytes() const;

 private:
  std::string out_;
  uint32_t acc_ = 0;
  unsigned n_ = 0;
};

// 7-Zip's command ("7z" or "7zz"), empty when neither is installed.
std::string SevenZip();
// Extracts Zip with 7-Zip into Dir; true on success.
bool SevenZipExtract(const std::string& Zip, const std::filesystem::path& Dir);

}  // namespace ziptest
