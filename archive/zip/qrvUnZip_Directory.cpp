// TUnZip: reading the central directory for the selection. Each record comes with what the
// selection needs of the local header it names. A large directory is read on a thread of its
// own while the run's thread decodes names and tests masks: the records reach it in directory
// order, as if it had read them itself, and whatever a read raised is raised at the record
// where it happened.
#include "archive/zip/qrvUnZip.h"

namespace {

constexpr size_t kBatchRecords = 2048;
constexpr size_t kBatches = 4;

}  // namespace

TZipDirectoryReader::TZipDirectoryReader(TStream32& S, int64_t Start, TPositionFn PositionOf, bool Whole)
    : FDirectory(S), FLocals(S, 1 << 14), FPos(Start), FPositionOf(std::move(PositionOf)), FWhole(Whole) {}

TZipDirectoryReader::~TZipDirectoryReader() {
  if (!FThread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(FLock);
    FStop = true;
  }
  FFreed.notify_all();
  FThread.join();
}

bool TZipDirectoryReader::ReadOne(TDirRecord& R) {
  if (FPos < 0 || FDirectory.Seek(FPos, soFromBeginning) != FPos || !ReadCentralRecord(FDirectory, R.Central))
    return false;
  FPos = R.Central.NextPosition();
  R.Position = FPositionOf(R.Central);
  R.LocalFound = PeekLocalAt(FLocals, R.Position, FWhole, R.Local);
  return true;
}

void TZipDirectoryReader::StartThread() {
  if (FThread.joinable() || FEnded) return;
  for (size_t i = 0; i < kBatches; ++i) {
    FFree.push_back(std::make_unique<TBatch>());
    FFree.back()->Records.resize(kBatchRecords);
  }
  FThread = std::thread([this] { Produce(); });
}

void TZipDirectoryReader::Produce() {
  for (;;) {
    std::unique_ptr<TBatch> b;
    {
      std::unique_lock<std::mutex> lock(FLock);
      FFreed.wait(lock, [this] { return FStop || !FFree.empty(); });
      if (FStop) return;
      b = std::move(FFree.front());
      FFree.pop_front();
    }
    b->Count = 0;
    b->End = false;
    b->Error = nullptr;
    try {
      while (b->Count < b->Records.size() && !FStop) {
        if (!ReadOne(b->Records[b->Count])) {
          b->End = true;
          break;
        }
        ++b->Count;
      }
    } catch (...) {
      b->Error = std::current_exception();
      b->End = true;
    }
    const bool end = b->End;
    {
      std::lock_guard<std::mutex> lock(FLock);
      FFull.push_back(std::move(b));
    }
    FReady.notify_one();
    if (end) return;
  }
}

TDirRecord* TZipDirectoryReader::Next() {
  if (FEnded) return nullptr;
  if (!FThread.joinable()) {
    if (ReadOne(FSingle)) return &FSingle;
    FEnded = true;
    return nullptr;
  }
  for (;;) {
    if (FCurrent && FAt < FCurrent->Count) return &FCurrent->Records[FAt++];
    if (FCurrent) {
      if (FCurrent->End) {
        FEnded = true;
        if (FCurrent->Error) std::rethrow_exception(FCurrent->Error);
        return nullptr;
      }
      {
        std::lock_guard<std::mutex> lock(FLock);
        FFree.push_back(std::move(FCurrent));
      }
      FFreed.notify_one();
    }
    std::unique_lock<std::mutex> lock(FLock);
    FReady.wait(lock, [this] { return !FFull.empty(); });
    FCurrent = std::move(FFull.front());
    FFull.pop_front();
    FAt = 0;
  }
}
