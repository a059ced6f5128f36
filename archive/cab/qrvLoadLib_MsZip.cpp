// MSZIP folders on libdeflate: the decompress side reads the data blocks of an MSZIP folder
// itself (checksum, "CK", one deflate stream per block whose window starts with the previous
// 32 KiB of the folder) instead of through libmspack's inflater, which is slower. libdeflate has
// no preset window: the history goes in front of the block as one stored deflate block, so the
// block's matches reach into it. Only folders that lie whole in one cabinet come here; a folder
// continued across a set stays with libmspack. Each block needs the one before it as history, so
// a folder decodes in order: ahead of the caller on a thread of its own when workers are allowed.
#include <fcntl.h>
#include <unistd.h>
#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "archive/cab/qrvLoadLib.h"
#include "archive/core/qrvWorkerPool.h"

namespace {

// Reads exactly Count bytes at Offset; false on a short read or an error.
bool ReadAt(int Fd, int64_t Offset, void* Buffer, size_t Count) {
  size_t done = 0;
  while (done < Count) {
    const ssize_t n = pread(Fd, static_cast<char*>(Buffer) + done, Count - done, off_t(Offset + int64_t(done)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

}  // namespace

// Decodes one folder's blocks in order: a plain state record read on one thread at a time.
struct TMsZipFolders::TReader {
  int Fd;
  uint32_t DataResv;
  TFolder Folder;
  uint32_t NextBlock = 0;
  int64_t NextAt;
  std::vector<uint8_t> In, History, Stream;
  libdeflate_decompressor* D = libdeflate_alloc_decompressor();

  TReader(int Fd_, uint32_t Resv, const TFolder& F) : Fd(Fd_), DataResv(Resv), Folder(F), NextAt(F.DataAt) {}
  ~TReader() {
    if (D) libdeflate_free_decompressor(D);
  }
  TReader(const TReader&) = delete;
  TReader& operator=(const TReader&) = delete;

  // The next block's bytes into Out: an fdierr* code (fdierrCorruptCabinet past the last block).
  int32_t Next(std::vector<uint8_t>& Out) {
    if (NextBlock >= Folder.Blocks) return fdierrCorruptCabinet;
    uint8_t h[8];
    if (!ReadAt(Fd, NextAt, h, 8)) return fdierrCorruptCabinet;
    const uint32_t sum = CabGet32(h);
    const uint16_t packed = CabGet16(h + 4), unpacked = CabGet16(h + 6);
    if (packed < 2 || packed > CabMaxPackedBlock || unpacked == 0 || unpacked > CabBlockSize)
      return fdierrCorruptCabinet;
    In.resize(packed);
    if (!ReadAt(Fd, NextAt + 8 + DataResv, In.data(), packed)) return fdierrCorruptCabinet;
    if (sum != 0 && CabDataChecksum(In.data(), packed, unpacked) != sum) return fdierrCorruptCabinet;
    if (In[0] != 'C' || In[1] != 'K') return fdierrCorruptCabinet;
    if (!D) return fdierrAllocFail;
    // The history (the folder's last 32 KiB before this block) as a stored block, then the block.
    const uint16_t hist = uint16_t(History.size());
    Stream = {0x00, uint8_t(hist), uint8_t(hist >> 8), uint8_t(~hist), uint8_t(~hist >> 8)};
    Stream.insert(Stream.end(), History.begin(), History.end());
    Stream.insert(Stream.end(), In.begin() + 2, In.end());
    Out.resize(hist + size_t(CabBlockSize));
    size_t made = 0;
    // Each block is one whole deflate stream giving exactly its stated size.
    if (libdeflate_deflate_decompress(D, Stream.data(), Stream.size(), Out.data(), Out.size(), &made) !=
            LIBDEFLATE_SUCCESS ||
        made != hist + size_t(unpacked))
      return fdierrCorruptCabinet;
    Out.erase(Out.begin(), Out.begin() + hist);
    Out.resize(unpacked);
    History.insert(History.end(), Out.begin(), Out.end());
    if (History.size() > size_t(CabBlockSize)) History.erase(History.begin(), History.end() - CabBlockSize);
    ++NextBlock;
    NextAt += 8 + DataResv + packed;
    return fdierrNone;
  }
};

// A thread running a reader ahead of the caller: decoded blocks wait in a queue of at most
// kAhead; the thread ends at the reader's first error (queued in its turn; past the last block
// is one) or when the queue is dropped.
struct TMsZipFolders::TAhead {
  struct TBlock {
    std::vector<uint8_t> Data;
    int32_t Error;
  };
  TReader Reader;
  std::mutex M;
  std::condition_variable Changed;
  std::deque<TBlock> Ready;
  bool Stopping = false;
  std::thread Thread;

  TAhead(int Fd, uint32_t Resv, const TFolder& F) : Reader(Fd, Resv, F), Thread([this] { Run(); }) {}
  ~TAhead() {
    {
      std::lock_guard<std::mutex> l(M);
      Stopping = true;
    }
    Changed.notify_all();
    Thread.join();
  }

  void Run() {
    for (;;) {
      TBlock b{{}, fdierrNone};
      try {
        b.Error = Reader.Next(b.Data);
      } catch (const std::bad_alloc&) {
        b.Error = fdierrAllocFail;
      }
      std::unique_lock<std::mutex> l(M);
      Changed.wait(l, [this] { return Stopping || Ready.size() < kAhead; });
      if (Stopping) return;
      const bool last = b.Error != fdierrNone;
      Ready.push_back(std::move(b));
      Changed.notify_all();
      if (last) return;
    }
  }

  // The next block in order, waiting for it.
  int32_t Take(std::vector<uint8_t>& Out) {
    std::unique_lock<std::mutex> l(M);
    Changed.wait(l, [this] { return !Ready.empty(); });
    TBlock b = std::move(Ready.front());
    Ready.pop_front();
    Changed.notify_all();
    Out.swap(b.Data);
    return b.Error;
  }
};

TMsZipFolders::TMsZipFolders() = default;
TMsZipFolders::~TMsZipFolders() { Close(); }

void TMsZipFolders::Stop() {
  FAhead.reset();
  FReader.reset();
  FFolder = -1;
}

void TMsZipFolders::Close() {
  Stop();
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
  FPath.clear();
  FFolders.clear();
}
bool TMsZipFolders::Open(const std::string& Path, int64_t Base, size_t FolderCount) {
  if (FFd >= 0 && Path == FPath && Base == FBase && FFolders.size() == FolderCount) return true;
  Close();
  FFd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (FFd < 0) return false;
  uint8_t h[40];
  if (!ReadAt(FFd, Base, h, 36) || CabGet32(h) != CabSignature) return Close(), false;
  const uint16_t folders = CabGet16(h + 26), flags = CabGet16(h + 30);
  // Only a cabinet outside a set: its folders hold all of their blocks.
  if (folders != FolderCount || (flags & (cfhdrPrevCabinet | cfhdrNextCabinet))) return Close(), false;
  int64_t at = Base + 36;
  uint32_t folderResv = 0;
  FDataResv = 0;
  if (flags & cfhdrReservePresent) {
    if (!ReadAt(FFd, at, h, 4)) return Close(), false;
    folderResv = h[2];
    FDataResv = h[3];
    at += 4 + CabGet16(h);
  }
  for (uint16_t i = 0; i < folders; ++i, at += 8 + folderResv) {
    if (!ReadAt(FFd, at, h, 8)) return Close(), false;
    FFolders.push_back({Base + CabGet32(h), CabGet16(h + 4), CabGet16(h + 6)});
  }
  FPath = Path;
  FBase = Base;
  return true;
}

bool TMsZipFolders::Handles(size_t Folder) const {
  return FFd >= 0 && Folder < FFolders.size() && (FFolders[Folder].Type & tcompMaskType) == tcompTypeMsZip;
}

void TMsZipFolders::Restart(size_t Folder) {
  Stop();
  FFolder = int(Folder);
  FOutStart = 0;
  FOut.clear();
  const int workers = FWorkers <= 0 ? DefaultWorkerCount() : FWorkers;
  if (workers > 1 && FFolders[Folder].Blocks > 1) {
    try {
      FAhead = std::make_unique<TAhead>(FFd, FDataResv, FFolders[Folder]);
      return;
    } catch (const std::system_error&) {
      // No thread to be had: the folder decodes on the caller's thread.
    }
  }
  FReader = std::make_unique<TReader>(FFd, FDataResv, FFolders[Folder]);
}

int32_t TMsZipFolders::NextBlock() {
  FOutStart += FOut.size();
  FOut.clear();
  return FAhead ? FAhead->Take(FOut) : FReader->Next(FOut);
}

int32_t TMsZipFolders::Extract(size_t Folder, uint32_t Offset, uint32_t Length, const TCabWrite& Write,
                               const bool* Cancel) {
  const TFolder& f = FFolders[Folder];
  if ((uint64_t(Offset) + Length) / CabBlockSize > f.Blocks) return fdierrCorruptCabinet;
  if (Length == 0) return fdierrNone;
  if (FFolder != int(Folder) || Offset < FOutStart) Restart(Folder);
  uint64_t at = Offset;
  const uint64_t end = uint64_t(Offset) + Length;
  while (at < end) {
    if (Cancel && *Cancel) return Stop(), fdierrTargetFile;
    if (at >= FOutStart + FOut.size()) {
      if (const int32_t e = NextBlock()) {
        Stop();  // the next file starts the folder again
        return e;
      }
      continue;
    }
    const size_t from = size_t(at - FOutStart);
    const size_t n = size_t(std::min<uint64_t>(end - at, FOut.size() - from));
    if (!Write(FOut.data() + from, int32_t(n))) return Stop(), fdierrTargetFile;
    at += n;
  }
  return fdierrNone;
}
