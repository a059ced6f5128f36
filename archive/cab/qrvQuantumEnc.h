// Quantum encoder for cabinet folders. A folder's data is cut into frames of 32,768 bytes (the
// last may be shorter); each frame becomes the data of one CFDATA block. The adaptive models and
// the window carry over from frame to frame; the arithmetic coder starts afresh in each frame and
// is flushed at its end, so that each block decodes on its own as the cabinet decoders expect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class TQuantumEncoder {
 public:
  static constexpr size_t kFrameSize = 32768;

  // Level 1..7 trades speed for size; MemoryBits 10..21 is the window exponent. Both are clamped
  // into range.
  explicit TQuantumEncoder(unsigned Level = 7, unsigned MemoryBits = 21);
  ~TQuantumEncoder();

  // Encodes the next frame of the folder into Out (replacing its content). Every frame but the last
  // must hold exactly kFrameSize bytes; the last holds 1 to kFrameSize, or 0 for an empty folder,
  // which gives no bytes (no block to write). Returns false, writing nothing, for a frame of the
  // wrong size or a frame after the last.
  bool CompressFrame(const uint8_t* Data, size_t Size, bool Last, std::vector<uint8_t>& Out);

  // The folder compression type value for the cabinet: 2 | level << 4 | memory << 8.
  uint16_t FolderType() const;

 private:
  struct TState;
  std::unique_ptr<TState> s_;
};
