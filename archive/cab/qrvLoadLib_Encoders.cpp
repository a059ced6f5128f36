// The per-folder block encoders of the create side: store and MSZIP (deflate on zlib), and the
// table a compression type finds its encoder in.
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "archive/cab/qrvLoadLib.h"
#include "archive/cab/qrvLzxEnc.h"
#include "archive/cab/qrvQuantumEnc.h"

namespace {

class TStoreEncoder : public TCabBlockEncoder {
 public:
  bool Encode(const uint8_t* In, uint32_t Count, std::vector<uint8_t>& Out) override {
    Out.assign(In, In + Count);
    return true;
  }
};

// MSZIP: each block is "CK" and a complete deflate stream whose window starts with the
// previous 32 KiB of the folder; a block that deflate cannot shrink is one stored deflate block.
class TMsZipEncoder : public TCabBlockEncoder {
 public:
  explicit TMsZipEncoder(int Level) {
    FOk = deflateInit2(&FZ, Level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~TMsZipEncoder() override {
    if (FOk) deflateEnd(&FZ);
  }

  bool Encode(const uint8_t* In, uint32_t Count, std::vector<uint8_t>& Out) override {
    if (!FOk || Count == 0 || Count > uint32_t(CabBlockSize)) return false;
    if (deflateReset(&FZ) != Z_OK) return false;
    if (!FHistory.empty() && deflateSetDictionary(&FZ, FHistory.data(), uInt(FHistory.size())) != Z_OK) return false;
    Out.resize(2 + deflateBound(&FZ, Count));
    Out[0] = 'C';
    Out[1] = 'K';
    FZ.next_in = const_cast<Bytef*>(In);
    FZ.avail_in = Count;
    FZ.next_out = Out.data() + 2;
    FZ.avail_out = uInt(Out.size() - 2);
    const int rc = deflate(&FZ, Z_FINISH);
    const size_t packed = Out.size() - 2 - FZ.avail_out;
    if (rc == Z_STREAM_END && packed < Count + 5)
      Out.resize(2 + packed);
    else
      Stored(In, Count, Out);
    Remember(In, Count);
    return true;
  }

 private:
  // One final stored block: BFINAL set, type 00, then LEN and its complement.
  static void Stored(const uint8_t* In, uint32_t Count, std::vector<uint8_t>& Out) {
    Out.resize(2 + 5 + Count);
    uint8_t* p = Out.data() + 2;
    p[0] = 0x01;
    p[1] = uint8_t(Count);
    p[2] = uint8_t(Count >> 8);
    p[3] = uint8_t(~Count);
    p[4] = uint8_t(~Count >> 8);
    std::memcpy(p + 5, In, Count);
  }
  // Keeps the last 32 KiB of the folder's data as the next block's history.
  void Remember(const uint8_t* In, uint32_t Count) {
    if (Count >= uint32_t(CabBlockSize)) {
      FHistory.assign(In + Count - CabBlockSize, In + Count);
      return;
    }
    FHistory.insert(FHistory.end(), In, In + Count);
    if (FHistory.size() > size_t(CabBlockSize)) FHistory.erase(FHistory.begin(), FHistory.end() - CabBlockSize);
  }

  z_stream FZ{};
  bool FOk = false;
  std::vector<uint8_t> FHistory;
};

// LZX and Quantum frames: every block but the folder's last is a full 32 KiB frame, so a
// short block is the last one (a full last block passes as an ordinary frame).
template <class TEncoder>
class TFrameEncoder : public TCabBlockEncoder {
 public:
  template <class... TArgs>
  explicit TFrameEncoder(TArgs... Args) : FEnc(Args...) {}
  bool Encode(const uint8_t* In, uint32_t Count, std::vector<uint8_t>& Out) override {
    return FEnc.CompressFrame(In, Count, Count < uint32_t(CabBlockSize), Out);
  }

 private:
  TEncoder FEnc;
};

std::unique_ptr<TCabBlockEncoder> MakeLzx(uint16_t Type, int) {
  return std::make_unique<TFrameEncoder<TLzxEncoder>>((Type >> 8) & 0x1Fu);
}
std::unique_ptr<TCabBlockEncoder> MakeQuantum(uint16_t Type, int) {
  return std::make_unique<TFrameEncoder<TQuantumEncoder>>(unsigned(Type >> 4) & 0xFu, unsigned(Type >> 8) & 0x1Fu);
}

std::unique_ptr<TCabBlockEncoder> MakeStore(uint16_t, int) { return std::make_unique<TStoreEncoder>(); }
std::unique_ptr<TCabBlockEncoder> MakeMsZip(uint16_t, int Level) {
  return std::make_unique<TMsZipEncoder>(std::clamp(Level, 1, 9));
}

// Compression type (low four bits) -> encoder.
const struct {
  uint16_t Type;
  TCabEncoderFactory Make;
} kEncoders[] = {
    {tcompTypeNone, MakeStore},
    {tcompTypeMsZip, MakeMsZip},
    {tcompTypeQuantum, MakeQuantum},
    {tcompTypeLzx, MakeLzx},
};

}  // namespace

std::unique_ptr<TCabBlockEncoder> NewCabEncoder(uint16_t TypeCompress, int Level) {
  for (const auto& e : kEncoders)
    if (e.Type == (TypeCompress & tcompMaskType)) return e.Make(TypeCompress, Level);
  return nullptr;
}
