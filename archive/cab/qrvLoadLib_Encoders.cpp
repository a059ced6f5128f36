// The per-folder block encoders of the create side: store and MSZIP (deflate on zlib, through
// DeflateChunk), and the table a compression type finds its encoder in.
#include <algorithm>
#include <memory>

#include "archive/cab/qrvLoadLib.h"
#include "archive/cab/qrvLzxEnc.h"
#include "archive/cab/qrvQuantumEnc.h"
#include "archive/core/qrvDeflateChunks.h"

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
// A block depends on the earlier ones only through that history, so it can be packed anywhere.
class TMsZipEncoder : public TCabBlockEncoder {
 public:
  explicit TMsZipEncoder(int Level) : FLevel(Level) {}

  bool Encode(const uint8_t* In, uint32_t Count, std::vector<uint8_t>& Out) override {
    const TCabBlockJob job = Prepare(In, Count);
    if (!job) return false;
    TPackedBlock b = job();
    Out = std::move(b.Data);
    return b.Ok;
  }

  TCabBlockJob Prepare(const uint8_t* In, uint32_t Count) override {
    if (Count == 0 || Count > uint32_t(CabBlockSize)) return {};
    auto block = std::make_shared<const TBytes>(In, In + Count);
    TBlockRef history = FHistory;
    Remember(block);
    return [history, block, level = FLevel] { return Pack(history ? *history : TBytes(), *block, level); };
  }

 private:
  using TBytes = std::vector<uint8_t>;
  using TBlockRef = std::shared_ptr<const TBytes>;

  static TPackedBlock Pack(const TBytes& History, const TBytes& Block, int Level) {
    TPackedBlock b;
    b.Unpacked = uint32_t(Block.size());
    b.Ok = true;
    const TDeflatedChunk c = DeflateChunk(History.data(), History.size(), Block.data(), Block.size(), Level, true);
    if (c.Ok && c.Data.size() < Block.size() + 5) {
      b.Data.reserve(2 + c.Data.size());
      b.Data.push_back('C');
      b.Data.push_back('K');
      b.Data.insert(b.Data.end(), c.Data.begin(), c.Data.end());
    } else {
      Stored(Block, b.Data);
    }
    return b;
  }
  // One final stored block: BFINAL set, type 00, then LEN and its complement.
  static void Stored(const TBytes& In, TBytes& Out) {
    const uint32_t count = uint32_t(In.size());
    Out = {'C', 'K', 0x01, uint8_t(count), uint8_t(count >> 8), uint8_t(~count), uint8_t(~count >> 8)};
    Out.insert(Out.end(), In.begin(), In.end());
  }
  // Keeps the last 32 KiB of the folder's data as the next block's history.
  void Remember(const TBlockRef& Block) {
    if (Block->size() >= size_t(CabBlockSize) || !FHistory) {
      FHistory = Block;
      return;
    }
    auto joined = std::make_shared<TBytes>(*FHistory);
    joined->insert(joined->end(), Block->begin(), Block->end());
    if (joined->size() > size_t(CabBlockSize)) joined->erase(joined->begin(), joined->end() - CabBlockSize);
    FHistory = std::move(joined);
  }

  int FLevel;
  TBlockRef FHistory;  // null at the folder's start
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
