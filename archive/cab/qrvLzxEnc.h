// LZX encoder for cabinet folders. A folder's data is cut into frames of 32,768 bytes (the last
// may be shorter); each frame becomes the data of one CFDATA block. The encoder keeps the window,
// the trees and the repeated offsets from frame to frame, as the decoders do, and writes each
// frame as one verbatim or aligned-offset block ending on a 16-bit boundary. The E8 call
// translation (x86 relative calls made absolute) follows the cabinet rules: it is announced in the
// stream header with a translation size, applies to the first 32,768 frames only and never looks
// at the last 10 bytes of a frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Whether the E8 call translation is used: decided from the first frame (an executable header or
// many plausible call operands), or always / never.
enum TLzxE8Mode : uint8_t { lxE8Auto, lxE8On, lxE8Off };

class TLzxEncoder {
 public:
  static constexpr size_t kFrameSize = 32768;
  static constexpr uint32_t kTranslationSize = 12000000;
  // Frames from this one on are never translated.
  static constexpr uint32_t kE8Frames = 32768;

  // WindowBits is the folder's window exponent (the LzxLevel), clamped to 15..21.
  explicit TLzxEncoder(unsigned WindowBits = 21, TLzxE8Mode E8 = lxE8Auto);
  ~TLzxEncoder();

  // Encodes the next frame of the folder into Out (replacing its content). Every frame but the last
  // must hold exactly kFrameSize bytes; the last holds 1 to kFrameSize, or 0 for an empty folder,
  // which gives no bytes (no block to write). Returns false, writing nothing, for a frame of the
  // wrong size or a frame after the last.
  bool CompressFrame(const uint8_t* Data, size_t Size, bool Last, std::vector<uint8_t>& Out);

  // The folder compression type value for the cabinet: 3 | window exponent << 8.
  uint16_t FolderType() const;
  // Whether the translation was switched on (known after the first frame).
  bool E8Translation() const;

  // The E8 step on the Size bytes of frame number Frame (0 for a folder's first) when the
  // translation is on: relative call operands made absolute in place.
  static void TranslateE8(uint8_t* Data, size_t Size, uint32_t Frame);

 private:
  struct TState;
  std::unique_ptr<TState> s_;
};
