// The creation context: files into folders, folders into packed 32 KiB data blocks spilled to a
// temporary stream, and the cabinet written in one go at the end.
#include <algorithm>

#include "archive/cab/qrvLoadLib.h"

namespace {

void Put16(std::vector<uint8_t>& B, uint32_t V) {
  B.push_back(uint8_t(V));
  B.push_back(uint8_t(V >> 8));
}
void Put32(std::vector<uint8_t>& B, uint32_t V) {
  Put16(B, V & 0xFFFF);
  Put16(B, V >> 16);
}

// Longest stored name (the format's readers take 255 bytes and the terminator).
constexpr size_t kMaxName = 255;
// Kinds of format limit, in erfType of fcierrCabFormatLimit.
enum { lkTooManyFiles = 1, lkNameTooLong = 2, lkTooLarge = 3 };

constexpr int32_t kCopyBlock = 1 << 20;
// Blocks packed ahead per worker: enough to keep every worker busy between the caller's reads
// and writes. Each holds about 100 KiB, so many cores get only a few more blocks than workers.
constexpr size_t kBlocksPerWorker = 8;
constexpr size_t kBlocksAboveWorkers = 64;

}  // namespace

TCabCreator::TCabCreator(const TCCAB& Params, TCabCreateCallbacks Callbacks, TCabError& Err, int Level,
                         TWorkerPool* Pool)
    : FParams(Params),
      FCb(std::move(Callbacks)),
      FErr(Err),
      FLevel(Level),
      FPool(Pool ? *Pool : FInline),
      FJobs(FPool) {
  FErr.Clear();
  FBlock.reserve(CabBlockSize);
}

TCabCreator::~TCabCreator() {
  // Blocks still pending belong to a cabinet that is not written: stop packing them.
  if (FJobs.Pending() > 0) FPool.Abort();
}

bool TCabCreator::Fail(int32_t Oper, int32_t Type) {
  FErr.Set(Oper, Type);
  return false;
}

bool TCabCreator::StartFolder(uint16_t TypeCompress) {
  FEncoder = NewCabEncoder(TypeCompress, FLevel);
  if (!FEncoder) return Fail(fcierrBadComprType);
  if (!FTemp) FTemp = FCb.CreateTemp ? FCb.CreateTemp() : nullptr;
  if (!FTemp) return Fail(fcierrTempFile);
  if (FFolders.size() >= 0xFFFF) return Fail(fcierrCabFormatLimit, lkTooLarge);
  TFolder f;
  f.Type = TypeCompress;
  f.DataOffset = FTemp->Size();
  FFolders.push_back(f);
  FFolderOpen = true;
  return true;
}

bool TCabCreator::FlushBlock() {
  if (FBlock.empty()) return true;
  const uint32_t count = uint32_t(FBlock.size());
  if (TCabBlockJob job = FEncoder->Prepare(FBlock.data(), count)) {
    FBlock.clear();
    const TWorkerPool* pool = &FPool;
    FJobs.Submit([pool, job = std::move(job)] { return pool->Aborted() ? TPackedBlock{} : job(); });
    const size_t workers = size_t(FPool.Workers());
    return WriteReady(std::min(workers * kBlocksPerWorker, workers + kBlocksAboveWorkers));
  }
  if (!WriteReady(0)) return false;
  TPackedBlock b;
  b.Unpacked = count;
  b.Ok = FEncoder->Encode(FBlock.data(), count, b.Data);
  FBlock.clear();
  return WriteBlock(b);
}

bool TCabCreator::WriteReady(size_t Keep) {
  while (FJobs.Pending() > Keep)
    if (!WriteBlock(FJobs.Next())) return false;
  return true;
}

bool TCabCreator::WriteBlock(const TPackedBlock& Block) {
  if (!Block.Ok || Block.Data.size() > size_t(CabMaxPackedBlock)) return Fail(fcierrMciFail);
  const uint16_t packed = uint16_t(Block.Data.size());
  const uint16_t unpacked = uint16_t(Block.Unpacked);
  std::vector<uint8_t> head;
  Put32(head, CabDataChecksum(Block.Data.data(), packed, unpacked));
  Put16(head, packed);
  Put16(head, unpacked);
  FTemp->WriteBuffer(head.data(), int64_t(head.size()));
  FTemp->WriteBuffer(Block.Data.data(), packed);
  ++FFolders.back().Blocks;
  if (FCb.Status && FCb.Status(unpacked, packed) < 0) return Fail(fcierrUserAbort);
  return true;
}

bool TCabCreator::CloseFolder() {
  FFolderOpen = false;
  return FlushBlock() && WriteReady(0);
}

bool TCabCreator::AddFile(const std::string& Source, const std::string& Name, bool Execute, uint16_t TypeCompress,
                          uint16_t Attribs) {
  FErr.Clear();
  if (FFiles.size() >= CabMaxFiles) return Fail(fcierrCabFormatLimit, lkTooManyFiles);
  if (Name.empty() || Name.size() > kMaxName) return Fail(fcierrCabFormatLimit, lkNameTooLong);
  // The folder's data may not outgrow what its 16-bit block count and 31-bit offsets hold.
  const int64_t folderMax = std::min<int64_t>(FParams.cbFolderThresh, int64_t(CabMaxFolderBlocks) * CabBlockSize);
  TFile f;
  std::unique_ptr<TStream32> src = FCb.OpenInfo ? FCb.OpenInfo(Source, f.Date, f.Time, f.Attribs) : nullptr;
  if (!src) return Fail(fcierrOpenSrc);
  const int64_t size = src->Size();
  if (size < 0 || size > folderMax) return Fail(fcierrCabFormatLimit, lkTooLarge);
  const bool fits = FFolderOpen && FFolders.back().Type == TypeCompress && FFolders.back().Unpacked + size <= folderMax;
  if (!fits) {
    if (FFolderOpen && !CloseFolder()) return false;
    if (!StartFolder(TypeCompress)) return false;
  }
  TFolder& folder = FFolders.back();
  f.Size = uint32_t(size);
  f.Offset = uint32_t(folder.Unpacked);
  f.Folder = uint16_t(FFolders.size() - 1);
  f.Attribs = uint16_t((f.Attribs & 0x3F) | Attribs | (Execute ? cfattrExec : 0));
  f.Name = Name;
  int64_t left = size;
  while (left > 0) {
    const int32_t want = int32_t(std::min<int64_t>(left, CabBlockSize - int64_t(FBlock.size())));
    const size_t at = FBlock.size();
    FBlock.resize(at + size_t(want));
    const int32_t got = FCb.Read(*src, FBlock.data() + at, want);
    FBlock.resize(at + size_t(std::max(got, 0)));
    folder.Unpacked += std::max(got, 0);
    // A source that fails or shrinks leaves its bytes in the folder, listed by no file.
    if (got <= 0) return Fail(fcierrReadSrc);
    left -= got;
    if (FBlock.size() == size_t(CabBlockSize) && !FlushBlock()) return false;
  }
  FFiles.push_back(std::move(f));
  return true;
}

void TCabCreator::WriteHeader(TStream32& Out, int64_t HeaderSize, int64_t DataSize) {
  std::vector<uint8_t> h;
  h.reserve(size_t(HeaderSize));
  Put32(h, CabSignature);
  Put32(h, 0);
  Put32(h, uint32_t(HeaderSize + DataSize));
  Put32(h, 0);
  Put32(h, uint32_t(CabHeaderSize + FFolders.size() * CabFolderSize));
  Put32(h, 0);
  h.push_back(3);  // format version 1.3
  h.push_back(1);
  Put16(h, uint32_t(FFolders.size()));
  Put16(h, uint32_t(FFiles.size()));
  Put16(h, 0);
  Put16(h, FParams.setID);
  Put16(h, uint32_t(FParams.iCab));
  for (const TFolder& f : FFolders) {
    Put32(h, uint32_t(HeaderSize + f.DataOffset));
    Put16(h, f.Blocks);
    Put16(h, f.Type);
  }
  for (const TFile& f : FFiles) {
    Put32(h, f.Size);
    Put32(h, f.Offset);
    Put16(h, f.Folder);
    Put16(h, f.Date);
    Put16(h, f.Time);
    Put16(h, f.Attribs);
    h.insert(h.end(), f.Name.begin(), f.Name.end());
    h.push_back(0);
  }
  Out.WriteBuffer(h.data(), int64_t(h.size()));
}

bool TCabCreator::FlushCabinet() {
  FErr.Clear();
  if (FFolderOpen && !CloseFolder()) return false;
  if (FFiles.empty()) return Fail(fcierrCabFile);
  int64_t headerSize = CabHeaderSize + int64_t(FFolders.size()) * CabFolderSize;
  for (const TFile& f : FFiles) headerSize += CabFileFixedSize + int64_t(f.Name.size()) + 1;
  const int64_t dataSize = FTemp ? FTemp->Size() : 0;
  if (headerSize + dataSize > std::min<int64_t>(FParams.cb, CabMaxLength))
    return Fail(fcierrCabFormatLimit, lkTooLarge);
  TStream32* out = FCb.OpenCabinet ? FCb.OpenCabinet(FParams) : nullptr;
  if (!out) return Fail(fcierrCabFile);
  WriteHeader(*out, headerSize, dataSize);
  if (!FTemp) return true;
  FTemp->SetPosition(0);
  std::vector<uint8_t> buf(size_t(std::min<int64_t>(std::max<int64_t>(dataSize, 1), kCopyBlock)));
  for (int64_t left = dataSize; left > 0;) {
    const int32_t n = int32_t(std::min<int64_t>(left, int64_t(buf.size())));
    FTemp->ReadBuffer(buf.data(), n);
    out->WriteBuffer(buf.data(), n);
    left -= n;
  }
  return true;
}
