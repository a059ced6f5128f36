// Throughput of CRC-32 (zlib-backed and the per-byte table form) and CRC-16 over a buffer in
// memory. Usage: bench_crc32 [MiB] (default 256).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "archive/core/qrvStreams.h"

namespace {

template <typename F>
double MegabytesPerSecond(const std::vector<uint8_t>& Data, int Rounds, F Run) {
  const auto Start = std::chrono::steady_clock::now();
  for (int I = 0; I < Rounds; ++I) Run();
  const double Secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  return static_cast<double>(Data.size()) * Rounds / (1024.0 * 1024.0) / Secs;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t MiB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  std::vector<uint8_t> Data(MiB * 1024 * 1024);
  std::mt19937_64 Rng(42);
  for (auto& B : Data) B = static_cast<uint8_t>(Rng());

  volatile uint32_t Sink = 0;
  const double Zlib =
      MegabytesPerSecond(Data, 4, [&] { Sink = Sink ^ UpdateCrc32(Crc32Init, Data.data(), Data.size()); });
  const double Table = MegabytesPerSecond(Data, 1, [&] {
    uint32_t C = Crc32Init;
    for (uint8_t B : Data) C = Crc32Byte(C, B);
    Sink = Sink ^ C;
  });
  const double Crc16 = MegabytesPerSecond(Data, 2, [&] { Sink = Sink ^ UpdateCrc16(0, Data.data(), Data.size()); });
  std::printf("buffer %zu MiB\n", MiB);
  std::printf("CRC-32 (UpdateCrc32, zlib)  %8.0f MB/s\n", Zlib);
  std::printf("CRC-32 (per-byte table)     %8.0f MB/s\n", Table);
  std::printf("CRC-16 (UpdateCrc16)        %8.0f MB/s\n", Crc16);
  return Sink == 0xFFFFFFFFu ? 1 : 0;
}
