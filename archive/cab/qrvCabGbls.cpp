// The data block checksum of the cabinet format.
#include "archive/cab/qrvCabGbls.h"

uint32_t CabChecksum(const uint8_t* Data, size_t Count, uint32_t Seed) {
  uint32_t sum = Seed;
  size_t i = 0;
  for (; i + 4 <= Count; i += 4)
    sum ^= uint32_t(Data[i]) | uint32_t(Data[i + 1]) << 8 | uint32_t(Data[i + 2]) << 16 | uint32_t(Data[i + 3]) << 24;
  uint32_t tail = 0;
  for (; i < Count; ++i) tail = (tail << 8) | Data[i];
  return sum ^ tail;
}

uint32_t CabDataChecksum(const uint8_t* Data, uint16_t Packed, uint16_t Unpacked) {
  const uint8_t sizes[4] = {uint8_t(Packed), uint8_t(Packed >> 8), uint8_t(Unpacked), uint8_t(Unpacked >> 8)};
  return CabChecksum(sizes, 4, CabChecksum(Data, Packed, 0));
}
