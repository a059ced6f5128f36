// Sample files for type detection, built in the test: program stubs in front of archives, TAR
// with a volume label, UUE text, gzip and compress headers.
#pragma once

#include <cstdio>
#include <string>

#include "core/test_ziprecords_builder.h"
#include "support/TestSupport.h"

namespace detect_samples {

inline std::string SmallZip() {
  return BuildTestZip({{"readme.txt", "hello, archive\n", "", ""}, {"b.bin", std::string(40, '\x01'), "", ""}});
}

// "MZ" and zeros, Size bytes. With HeaderSize >= 0 the header's page fields state that size
// (pages x 512 + bytes in the last page - 512), as a real program's header does.
inline std::string ExeStub(size_t Size, int64_t HeaderSize = -1) {
  std::string s(Size, '\0');
  s[0] = 'M';
  s[1] = 'Z';
  if (HeaderSize >= 0) {
    const int64_t total = HeaderSize + 512;
    const auto pages = uint16_t(total / 512), last = uint16_t(total % 512);
    PutLE16(reinterpret_cast<uint8_t*>(&s[2]), last);
    PutLE16(reinterpret_cast<uint8_t*>(&s[4]), pages);
  }
  return s;
}

// One 512-byte ustar header with a valid checksum.
inline std::string TarHeader(const std::string& Name, char Type, size_t Size) {
  std::string h(512, '\0');
  h.replace(0, Name.size(), Name);
  h.replace(100, 7, "0000644");
  h.replace(108, 7, "0000000");
  h.replace(116, 7, "0000000");
  char num[16];
  std::snprintf(num, sizeof num, "%011o", unsigned(Size));
  h.replace(124, 11, num);
  h.replace(136, 11, "14500000000");
  h[156] = Type;
  h.replace(257, 6, std::string("ustar\0", 6));
  h.replace(263, 2, "00");
  h.replace(148, 8, "        ");
  unsigned sum = 0;
  for (unsigned char c : h) sum += c;
  std::snprintf(num, sizeof num, "%06o", sum);
  h.replace(148, 7, std::string(num, 6) + '\0');
  return h;
}

// A ustar archive whose first header is a volume label: the archive proper starts at 512.
inline std::string UstarWithLabel() {
  std::string data = "volume content\n";
  std::string t = TarHeader("MYVOLUME", 'V', 0) + TarHeader("a.txt", '0', data.size());
  data.resize(512, '\0');
  return t + data + std::string(1024, '\0');
}

inline std::string UueText() {
  return "begin 644 hello.txt\n"
         "/:&5L;&\\L(&%R8VAI=F4*\n"
         "`\n"
         "end\n";
}

inline std::string GzipBytes() {
  return std::string("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x03", 10) + std::string(30, '\x55');
}

inline std::string CompressBytes() { return std::string("\x1F\x9D\x90", 3) + std::string(30, '\x41'); }

inline std::string PlainText() {
  return "Dear reader,\nthis is a plain letter with nothing archived in it.\nRegards\n";
}

inline std::string LzhBehindZeros() {
  return std::string(128, '\0') + testsupport::ReadFile(testsupport::Testdata("lzh/test_read_format_lha_lh0.lzh"));
}

}  // namespace detect_samples
