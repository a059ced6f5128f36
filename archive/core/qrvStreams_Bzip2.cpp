// The bzip2 codec of the compression filters: the data cut into blocks of the level's size,
// each compressed as a bzip2 stream of its own on the worker pool and written in order (one
// concatenated file, as pbzip2 writes it, that any bzip2 reads); and the decoder, which reads
// every stream of such a file.
#include <bzlib.h>

#include <algorithm>
#include <memory>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvStreams.h"
#include "archive/core/qrvWorkerPool.h"

namespace {

// Blocks in flight beyond one per worker: enough to keep every worker busy, memory flat.
constexpr size_t kBlocksPerWorker = 2;

std::string Bzip2Reason(int Rc) {
  switch (Rc) {
    case BZ_MEM_ERROR: return "out of memory";
    case BZ_DATA_ERROR_MAGIC: return "not bzip2 data";
    case BZ_DATA_ERROR: return "damaged bzip2 data (CRC or structure)";
    default: return "bzip2 error " + std::to_string(Rc);
  }
}

int Bzip2Code(int Rc) {
  return Rc == BZ_MEM_ERROR ? ecOutOfMemory : Rc == BZ_DATA_ERROR_MAGIC ? ecBadFileHeader : ecCorruptInput;
}

class TBzip2DecodeStream : public TDecodeStream {
 public:
  explicit TBzip2DecodeStream(TStream32& Source) : TDecodeStream(Source, 4, "bzip2") { Start(); }
  ~TBzip2DecodeStream() override {
    StopAhead();
    BZ2_bzDecompressEnd(&FZ);
  }

 protected:
  TStep Decode(const uint8_t*& In, size_t& InLen, uint8_t*& Out, size_t& OutLen) override {
    const unsigned inTake = unsigned(std::min<size_t>(InLen, 1u << 30));
    const unsigned outTake = unsigned(std::min<size_t>(OutLen, 1u << 30));
    FZ.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(In));
    FZ.avail_in = inTake;
    FZ.next_out = reinterpret_cast<char*>(Out);
    FZ.avail_out = outTake;
    const int rc = BZ2_bzDecompress(&FZ);
    In += inTake - FZ.avail_in;
    InLen -= inTake - FZ.avail_in;
    Out += outTake - FZ.avail_out;
    OutLen -= outTake - FZ.avail_out;
    if (rc == BZ_STREAM_END) return dsMemberEnd;
    if (rc == BZ_OK) return dsGoOn;
    Fail(Bzip2Code(rc), Bzip2Reason(rc));
    return dsFailed;
  }
  void ResetCodec() override {
    BZ2_bzDecompressEnd(&FZ);
    Start();
  }
  // "BZh" and a block size digit.
  bool IsMagic(const uint8_t* P) const override {
    return P[0] == 'B' && P[1] == 'Z' && P[2] == 'h' && P[3] >= '1' && P[3] <= '9';
  }

 private:
  void Start() {
    FZ = bz_stream{};
    const int rc = BZ2_bzDecompressInit(&FZ, 0, 0);
    if (rc != BZ_OK) throw EArchiveError(Bzip2Code(rc));
  }
  bz_stream FZ{};
};

struct TBzip2Block {
  std::vector<uint8_t> Data;
  int Rc = BZ_OK;
};

// One block as a whole bzip2 stream.
TBzip2Block CompressBlock(const std::vector<uint8_t>& In, int Level) {
  TBzip2Block b;
  b.Data.resize(In.size() + In.size() / 100 + 600);  // bzip2's documented worst case
  unsigned len = unsigned(b.Data.size());
  b.Rc = BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(b.Data.data()), &len,
                                  reinterpret_cast<char*>(const_cast<uint8_t*>(In.data())), unsigned(In.size()), Level,
                                  0, 0);
  b.Data.resize(b.Rc == BZ_OK ? len : 0);
  return b;
}

class TBzip2EncodeStream : public TFilterOutStream {
 public:
  TBzip2EncodeStream(TStream32& Output, const TEncodeOptions& O)
      : TFilterOutStream(Output, O.CancelFlag, O.OnProgress),
        FPool(*O.Pool),
        FJobs(*O.Pool),
        FLevel(std::clamp(O.Level, 1, 9)),
        FBlockSize(size_t(FLevel) * 100000),
        FInFlight(size_t(O.Pool->Workers()) * kBlocksPerWorker) {}
  ~TBzip2EncodeStream() override {
    // Dropped unfinished (a failed or cancelled run): blocks not started are not compressed.
    if (FJobs.Pending() > 0) FPool.Abort();
    FJobs.Drain();
  }

 protected:
  bool Encode(const uint8_t* Data, size_t Len, bool Last) override {
    while (Len > 0) {
      if (FBlock.size() == FBlockSize && !Submit()) return false;
      const size_t take = std::min(Len, FBlockSize - FBlock.size());
      FBlock.insert(FBlock.end(), Data, Data + take);
      Data += take;
      Len -= take;
    }
    if (!Last) return true;
    // The last block (an empty stream when there was no data at all).
    if ((!FBlock.empty() || !FAny) && !Submit()) return false;
    while (FJobs.Pending() > 0)
      if (!WriteNext()) return false;
    return true;
  }

 private:
  bool Submit() {
    auto block = std::make_shared<std::vector<uint8_t>>(std::move(FBlock));
    FBlock = {};
    FBlock.reserve(FBlockSize);
    FAny = true;
    const int level = FLevel;
    TWorkerPool& pool = FPool;
    FJobs.Submit([block, level, &pool] {
      return pool.Aborted() ? TBzip2Block{{}, BZ_MEM_ERROR} : CompressBlock(*block, level);
    });
    while (FJobs.Pending() > FInFlight)
      if (!WriteNext()) return false;
    return !Cancelled();
  }
  bool WriteNext() {
    const TBzip2Block b = FJobs.Next();
    if (b.Rc != BZ_OK) {
      FError = Bzip2Reason(b.Rc);
      return false;
    }
    FOutput.WriteBuffer(b.Data.data(), int64_t(b.Data.size()));
    Progress();
    return !Cancelled();
  }
  TWorkerPool& FPool;
  TOrderedJobs<TBzip2Block> FJobs;
  int FLevel;
  size_t FBlockSize;
  size_t FInFlight;
  std::vector<uint8_t> FBlock;
  bool FAny = false;
};

}  // namespace

std::unique_ptr<TDecodeStream> NewBzip2DecodeStream(TStream32& Source) {
  return std::make_unique<TBzip2DecodeStream>(Source);
}

std::unique_ptr<TFilterOutStream> NewBzip2EncodeStream(TStream32& Output, const TEncodeOptions& O) {
  return std::make_unique<TBzip2EncodeStream>(Output, O);
}
