// The decompress side: libmspack behind an I/O system of our own (file descriptors for the
// cabinets, the caller's Write for copied data), is-cabinet and the copy with its notices.
#include <fcntl.h>
#include <mspack.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include "archive/cab/qrvLoadLib.h"
#include "platform/Paths.h"

namespace {

// The only name libmspack may open for writing: the caller's Write.
const char kOutputName[] = "\x01output";

struct TCabHandle {
  int Fd = -1;
  bool Output = false;
  TCabDecompressor* Owner = nullptr;
};

uint16_t Get16(const uint8_t* P) { return uint16_t(P[0] | P[1] << 8); }
uint32_t Get32(const uint8_t* P) { return uint32_t(Get16(P)) | uint32_t(Get16(P + 2)) << 16; }

int32_t MapError(int E) {
  switch (E) {
    case MSPACK_ERR_OK: return fdierrNone;
    case MSPACK_ERR_OPEN: return fdierrCabinetNotFound;
    case MSPACK_ERR_SIGNATURE: return fdierrNotACabinet;
    case MSPACK_ERR_NOMEMORY: return fdierrAllocFail;
    case MSPACK_ERR_WRITE: return fdierrTargetFile;
    default: return fdierrCorruptCabinet;
  }
}

// The whole joined chain is freed by closing one of its cabinets.
struct TOpenCabinet {
  mscab_decompressor* D;
  mscabd_cabinet* Cab;
  ~TOpenCabinet() {
    if (Cab) D->close(D, Cab);
  }
};

}  // namespace

// libmspack's I/O system; Sys comes first so libmspack's pointer is ours.
struct TCabSystem {
  mspack_system Sys;
  TCabDecompressor* Owner;

  static TCabHandle* H(mspack_file* F) { return reinterpret_cast<TCabHandle*>(F); }
  static TCabDecompressor* OwnerOf(mspack_system* S) { return reinterpret_cast<TCabSystem*>(S)->Owner; }

  static mspack_file* Open(mspack_system* Self, const char* Name, int Mode) {
    auto* h = new TCabHandle;
    h->Owner = OwnerOf(Self);
    if (Mode == MSPACK_SYS_OPEN_WRITE && std::strcmp(Name, kOutputName) == 0) {
      h->Output = true;
      return reinterpret_cast<mspack_file*>(h);
    }
    struct stat st {};
    if (Mode == MSPACK_SYS_OPEN_READ) h->Fd = ::open(Name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (h->Fd < 0 || fstat(h->Fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      if (h->Fd >= 0) ::close(h->Fd);
      delete h;
      return nullptr;
    }
    return reinterpret_cast<mspack_file*>(h);
  }
  static void Close(mspack_file* F) {
    if (!F) return;
    if (H(F)->Fd >= 0) ::close(H(F)->Fd);
    delete H(F);
  }
  static int Read(mspack_file* F, void* Buffer, int Bytes) {
    TCabHandle* h = H(F);
    if (!h || h->Fd < 0 || Bytes < 0) return -1;
    int done = 0;
    while (done < Bytes) {
      const ssize_t n = ::read(h->Fd, static_cast<char*>(Buffer) + done, size_t(Bytes - done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -1;
      if (n == 0) break;
      done += int(n);
    }
    return done;
  }
  static int Write(mspack_file* F, void* Buffer, int Bytes) {
    TCabHandle* h = H(F);
    if (!h || !h->Output || Bytes < 0) return -1;
    TCabDecompressor* o = h->Owner;
    if ((o->FCancel && *o->FCancel) || o->FPending) return -1;
    try {
      return o->FWrite && o->FWrite(static_cast<const uint8_t*>(Buffer), Bytes) ? Bytes : -1;
    } catch (...) {
      // Nothing may unwind through libmspack: kept until it returns.
      o->FPending = std::current_exception();
      return -1;
    }
  }
  static int Seek(mspack_file* F, off_t Offset, int Mode) {
    TCabHandle* h = H(F);
    if (!h || h->Fd < 0) return -1;
    const int whence = Mode == MSPACK_SYS_SEEK_START ? SEEK_SET : Mode == MSPACK_SYS_SEEK_CUR ? SEEK_CUR : SEEK_END;
    return lseek(h->Fd, Offset, whence) < 0 ? -1 : 0;
  }
  static off_t Tell(mspack_file* F) {
    TCabHandle* h = H(F);
    return h && h->Fd >= 0 ? lseek(h->Fd, 0, SEEK_CUR) : -1;
  }
  static void Message(mspack_file*, const char*, ...) {}
  static void* Alloc(mspack_system*, size_t Bytes) { return std::malloc(Bytes); }
  static void Free(void* P) { std::free(P); }
  static void Copy(void* Src, void* Dest, size_t Bytes) { std::memmove(Dest, Src, Bytes); }
};

TCabDecompressor::TCabDecompressor(TCabError& Err) : FErr(Err), FSys(std::make_unique<TCabSystem>()) {
  FErr.Clear();
  FSys->Sys = {TCabSystem::Open, TCabSystem::Close,   TCabSystem::Read,  TCabSystem::Write,
               TCabSystem::Seek, TCabSystem::Tell,    TCabSystem::Message, TCabSystem::Alloc,
               TCabSystem::Free, TCabSystem::Copy,    nullptr};
  FSys->Owner = this;
  FD = mspack_create_cab_decompressor(&FSys->Sys);
  if (!FD) {
    FErr.Set(fdierrAllocFail);
    return;
  }
  FD->set_param(FD, MSCABD_PARAM_DECOMPBUF, 65536);
}

TCabDecompressor::~TCabDecompressor() {
  if (FD) mspack_destroy_cab_decompressor(FD);
}

bool TCabDecompressor::IsCabinet(const std::string& Path, TCabInfo& Info) {
  FErr.Clear();
  Info = TCabInfo();
  const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    FErr.Set(fdierrCabinetNotFound, errno);
    return false;
  }
  uint8_t h[CabHeaderSize];
  const bool whole = pread(fd, h, sizeof h, 0) == ssize_t(sizeof h);
  ::close(fd);
  if (!whole || Get32(h) != CabSignature) {
    FErr.Set(fdierrNotACabinet);
    return false;
  }
  if (h[25] != 1) {
    FErr.Set(fdierrUnknownCabinetVersion);
    return false;
  }
  const uint16_t flags = Get16(h + 30);
  Info.Size = Get32(h + 8);
  Info.Folders = Get16(h + 26);
  Info.Files = Get16(h + 28);
  Info.SetID = Get16(h + 32);
  Info.CabinetIndex = Get16(h + 34);
  Info.HasPrev = flags & cfhdrPrevCabinet;
  Info.HasNext = flags & cfhdrNextCabinet;
  Info.HasReserve = flags & cfhdrReservePresent;
  return true;
}

bool TCabDecompressor::Copy(const std::string& Path, const TCabNotify& Notify, const TCabWrite& Write,
                            const bool* Cancel) {
  FErr.Clear();
  if (!FD) {
    FErr.Set(fdierrAllocFail);
    return false;
  }
  FWrite = Write;
  FCancel = Cancel;
  FPending = nullptr;
  // libmspack keeps the name pointers it is given: the set's nodes hold them for the copy.
  std::set<std::string> used{Path};
  TOpenCabinet chain{FD, FD->open(FD, used.begin()->c_str())};
  if (!chain.Cab) {
    FErr.Set(MapError(FD->last_error(FD)));
    return false;
  }
  const std::string dir = WithTrailingSlash(DirOf(Path));
  // Joins a neighbour: Prev cabinets only when they lie beside this one, Next ones as the
  // caller finds them. False when there is none to join (what needs it then fails alone).
  auto join = [&](bool Prev) {
    mscabd_cabinet* end = chain.Cab;
    while (Prev ? end->prevcab : end->nextcab) end = Prev ? end->prevcab : end->nextcab;
    const char* stored = Prev ? end->prevname : end->nextname;
    if (!stored || !(end->flags & (Prev ? MSCAB_HDR_PREVCAB : MSCAB_HDR_NEXTCAB))) return false;
    // A neighbour is looked for beside this cabinet only, whatever folders its name claims.
    std::string name = stored;
    name.erase(0, name.find_last_of("/\\") + 1);
    if (name.empty() || name == "." || name == "..") return false;
    std::string path = dir + name;
    if (!Prev) {
      TCabNotification n;
      n.Notice = cnNextCabinet;
      n.NextName = name;
      n.NextDisk = end->nextinfo ? end->nextinfo : "";
      n.CabinetPath = dir;
      n.SetID = end->set_id;
      n.CabinetIndex = uint16_t(end->set_index + 1);
      if (Notify(n) != 1) return false;
      path = n.NextPath;
    }
    const auto [kept, fresh] = used.insert(path);
    if (path.empty() || !fresh) return false;
    mscabd_cabinet* other = FD->open(FD, kept->c_str());
    if (!other) return false;
    if ((Prev ? FD->prepend(FD, end, other) : FD->append(FD, end, other)) != MSPACK_ERR_OK) {
      FD->close(FD, other);
      return false;
    }
    return true;
  };
  while (join(true)) {
  }
  if (FPending) std::rethrow_exception(FPending);
  while (join(false)) {
  }
  TCabNotification info;
  info.Notice = cnCabinetInfo;
  info.CabinetPath = dir;
  info.SetID = chain.Cab->set_id;
  info.CabinetIndex = chain.Cab->set_index;
  if (Notify(info) < 0) {
    FErr.Set(fdierrUserAbort);
    return false;
  }
  mscabd_cabinet* first = chain.Cab;
  while (first->prevcab) first = first->prevcab;
  // Without its predecessor the first folder of a continued cabinet cannot be decoded: its
  // files are partial.
  const bool headless = (first->flags & MSCAB_HDR_PREVCAB) != 0;
  for (mscabd_file* f = chain.Cab->files; f; f = f->next) {
    if (Cancel && *Cancel) {
      FErr.Set(fdierrUserAbort);
      return false;
    }
    TCabNotification n;
    n.Name = f->filename ? f->filename : "";
    n.Size = f->length;
    n.Date = uint16_t((f->date_y - 1980) << 9 | f->date_m << 5 | f->date_d);
    n.Time = uint16_t(f->time_h << 11 | f->time_m << 5 | f->time_s >> 1);
    n.Attribs = uint16_t(f->attribs);
    n.CompType = f->folder ? uint16_t(f->folder->comp_type) : 0;
    n.Notice = headless && f->folder == first->folders ? cnPartialFile : cnCopyFile;
    bool copied = false;
    if (n.Notice == cnCopyFile)
      n.Extract = [this, f, &copied] {
        copied = true;
        return Extract(f);
      };
    const int answer = Notify(n);
    if (answer < 0) {
      FErr.Set(fdierrUserAbort);
      return false;
    }
    if (n.Notice == cnPartialFile || answer == 0 || copied) continue;
    n.Error = Extract(f);
    n.Ok = n.Error == fdierrNone;
    n.Notice = cnCloseFile;
    if ((Cancel && *Cancel) || Notify(n) < 0) {
      FErr.Set(fdierrUserAbort);
      return false;
    }
  }
  return true;
}

int32_t TCabDecompressor::Extract(mscabd_file* F) {
  const int rc = FD->extract(FD, F, kOutputName);
  if (FPending) {
    const std::exception_ptr e = FPending;
    FPending = nullptr;
    std::rethrow_exception(e);
  }
  return MapError(rc);
}
