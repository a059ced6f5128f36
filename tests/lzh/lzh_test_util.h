// Hand-built LZH headers of levels 0 to 3 for the tests (little-endian fields, extended
// header chains, UTF-16 names).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lzhtest {

inline std::string Le16(unsigned V) { return {char(V & 0xFF), char(V >> 8 & 0xFF)}; }
inline std::string Le32(uint32_t V) { return Le16(V & 0xFFFF) + Le16(V >> 16); }
inline std::string Le64(uint64_t V) { return Le32(uint32_t(V)) + Le32(uint32_t(V >> 32)); }

struct Ext {
  uint8_t Type;
  std::string Data;
};

// The chain of extended headers: each is type, data, size of the next (Width bytes: 2, or 4 at
// level 3). First gets the size of the first one.
inline std::string Chain(const std::vector<Ext>& E, unsigned& First, unsigned Width = 2) {
  std::string out;
  First = E.empty() ? 0 : unsigned(E[0].Data.size() + Width + 1);
  for (size_t i = 0; i < E.size(); ++i) {
    const unsigned next = i + 1 < E.size() ? unsigned(E[i + 1].Data.size() + Width + 1) : 0;
    out += char(E[i].Type) + E[i].Data + (Width == 4 ? Le32(next) : Le16(next));
  }
  return out;
}

inline std::string Fixed(const char* Id, uint32_t Packed, uint32_t Size, uint32_t Time, uint8_t Attr, uint8_t Level) {
  return std::string(Id, 5) + Le32(Packed) + Le32(Size) + Le32(Time) + char(Attr) + char(Level);
}

// Tail: bytes after the CRC (a Unix area), or "-" for a header without the CRC field.
inline std::string Level0(const std::string& Name, const std::string& Data, const char* Id = "-lh0-", int SumDelta = 0,
                          const std::string& Tail = "") {
  std::string body = Fixed(Id, uint32_t(Data.size()), uint32_t(Data.size()), 0x5A210000, 0x20, 0) + char(Name.size()) +
                     Name + (Tail == "-" ? "" : Le16(0x1234) + Tail);
  uint8_t sum = 0;
  for (char c : body) sum = uint8_t(sum + uint8_t(c));
  return std::string(1, char(body.size())) + char(sum + SumDelta) + body + Data;
}

// First: the stated size of the first extended header when not the real one.
inline std::string Level1(const std::string& Name, const std::vector<Ext>& E, const std::string& Data, int First = -1) {
  unsigned first = 0;
  const std::string exts = Chain(E, first);
  if (First >= 0) first = unsigned(First);
  std::string body = Fixed("-lh0-", uint32_t(exts.size() + Data.size()), uint32_t(Data.size()), 0x5A210000, 0x20, 1) +
                     char(Name.size()) + Name + Le16(0x1234) + 'U' + Le16(first);
  uint8_t sum = 0;
  for (char c : body) sum = uint8_t(sum + uint8_t(c));
  return std::string(1, char(body.size())) + char(sum) + body + exts + Data;
}

inline std::string Level2(const std::vector<Ext>& E, const std::string& Data, char Os = 'U', uint32_t Time = 1700000000,
                          int First = -1, uint16_t Crc = 0x1234) {
  unsigned first = 0;
  const std::string exts = Chain(E, first);
  if (First >= 0) first = unsigned(First);
  const std::string rest =
      Fixed("-lh0-", uint32_t(Data.size()), uint32_t(Data.size()), Time, 0x20, 2) + Le16(Crc) + Os + Le16(first) + exts;
  return Le16(unsigned(rest.size() + 2)) + rest + Data;
}

inline std::string Level3(const std::vector<Ext>& E, const std::string& Data, uint16_t Word = 4) {
  unsigned first = 0;
  const std::string exts = Chain(E, first, 4);
  const std::string base = Le16(Word) +
                           Fixed("-lh0-", uint32_t(Data.size()), uint32_t(Data.size()), 1700000000, 0x20, 3) +
                           Le16(0x1234) + 'U';
  return base + Le32(uint32_t(base.size() + 8 + exts.size())) + Le32(first) + exts + Data;
}

inline std::string Utf16(const std::u16string& S) {
  std::string out;
  for (char16_t c : S) out += Le16(c);
  return out;
}

}  // namespace lzhtest
