// MSZIP folders on libdeflate: the decompress side reads the data blocks of an MSZIP folder
// itself (checksum, "CK", one deflate stream per block whose window starts with the previous
// 32 KiB of the folder) instead of through libmspack's inflater, which is slower. libdeflate has
// no preset window: the history goes in front of the block as one stored deflate block, so the
// block's matches reach into it. Only folders that lie whole in one cabinet come here; a folder
// continued across a set stays with libmspack.
#include <fcntl.h>
#include <unistd.h>
#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/cab/qrvLoadLib.h"

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

struct TMsZipFolders::TInflater {
  libdeflate_decompressor* D = libdeflate_alloc_decompressor();
  ~TInflater() {
    if (D) libdeflate_free_decompressor(D);
  }
};

TMsZipFolders::TMsZipFolders() = default;
TMsZipFolders::~TMsZipFolders() { Close(); }

void TMsZipFolders::Close() {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
  FPath.clear();
  FFolders.clear();
  FFolder = -1;
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
  FFolder = int(Folder);
  FNextBlock = 0;
  FNextAt = FFolders[Folder].DataAt;
  FOutStart = 0;
  FOut.clear();
  FHistory.clear();
}

int32_t TMsZipFolders::NextBlock() {
  const TFolder& f = FFolders[size_t(FFolder)];
  if (FNextBlock >= f.Blocks) return fdierrCorruptCabinet;
  uint8_t h[8];
  if (!ReadAt(FFd, FNextAt, h, 8)) return fdierrCorruptCabinet;
  const uint32_t sum = CabGet32(h);
  const uint16_t packed = CabGet16(h + 4), unpacked = CabGet16(h + 6);
  if (packed < 2 || packed > CabMaxPackedBlock || unpacked == 0 || unpacked > CabBlockSize) return fdierrCorruptCabinet;
  FIn.resize(packed);
  if (!ReadAt(FFd, FNextAt + 8 + FDataResv, FIn.data(), packed)) return fdierrCorruptCabinet;
  if (sum != 0 && CabDataChecksum(FIn.data(), packed, unpacked) != sum) return fdierrCorruptCabinet;
  if (FIn[0] != 'C' || FIn[1] != 'K') return fdierrCorruptCabinet;
  // The history (the folder's last 32 KiB before this block) as a stored block, then the block.
  FHistory.insert(FHistory.end(), FOut.begin(), FOut.end());
  if (FHistory.size() > size_t(CabBlockSize)) FHistory.erase(FHistory.begin(), FHistory.end() - CabBlockSize);
  FOutStart += FOut.size();
  const uint16_t hist = uint16_t(FHistory.size());
  FStream = {0x00, uint8_t(hist), uint8_t(hist >> 8), uint8_t(~hist), uint8_t(~hist >> 8)};
  FStream.insert(FStream.end(), FHistory.begin(), FHistory.end());
  FStream.insert(FStream.end(), FIn.begin() + 2, FIn.end());
  if (!FZip) FZip = std::make_unique<TInflater>();
  if (!FZip->D) return fdierrAllocFail;
  FOut.resize(hist + size_t(CabBlockSize));
  size_t made = 0;
  // Each block is one whole deflate stream giving exactly its stated size.
  if (libdeflate_deflate_decompress(FZip->D, FStream.data(), FStream.size(), FOut.data(), FOut.size(), &made) !=
          LIBDEFLATE_SUCCESS ||
      made != hist + size_t(unpacked))
    return fdierrCorruptCabinet;
  FOut.erase(FOut.begin(), FOut.begin() + hist);
  FOut.resize(unpacked);
  ++FNextBlock;
  FNextAt += 8 + FDataResv + packed;
  return fdierrNone;
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
    if (Cancel && *Cancel) return Restart(Folder), fdierrTargetFile;
    if (at >= FOutStart + FOut.size()) {
      if (const int32_t e = NextBlock()) {
        FFolder = -1;  // the next file starts the folder again
        return e;
      }
      continue;
    }
    const size_t from = size_t(at - FOutStart);
    const size_t n = size_t(std::min<uint64_t>(end - at, FOut.size() - from));
    if (!Write(FOut.data() + from, int32_t(n))) return FFolder = -1, fdierrTargetFile;
    at += n;
  }
  return fdierrNone;
}
