// The decompress side: libmspack behind an I/O system of our own (file descriptors for the
// cabinets, the caller's Write for copied data), is-cabinet and the copy with its notices.
#include <dirent.h>
#include <fcntl.h>
#include <mspack.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

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

// Closing the first cabinet of a file frees every cabinet found in it and every one joined to
// them.
struct TOpenCabinet {
  mscab_decompressor* D;
  mscabd_cabinet* Cab;
  ~TOpenCabinet() {
    if (Cab) D->close(D, Cab);
  }
};

// Whether the file at Path starts with the cabinet signature.
bool StartsWithSignature(const std::string& Path) {
  const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  uint8_t h[4];
  const bool sig = pread(fd, h, sizeof h, 0) == ssize_t(sizeof h) && CabGet32(h) == CabSignature;
  ::close(fd);
  return sig;
}

// The compression types libmspack decodes, with the window ranges of LZX and Quantum: an
// fdierr* code for a folder type it would refuse (before writing anything).
int32_t TypeProblem(unsigned Type) {
  const unsigned window = (Type >> 8) & 0x1F;
  switch (Type & tcompMaskType) {
    case tcompTypeNone:
    case tcompTypeMsZip: return fdierrNone;
    case tcompTypeQuantum: return window >= 10 && window <= 21 ? fdierrNone : fdierrCorruptCabinet;
    case tcompTypeLzx: return window >= 15 && window <= 21 ? fdierrNone : fdierrCorruptCabinet;
    default: return fdierrBadComprType;
  }
}

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
  FSys->Sys = {TCabSystem::Open, TCabSystem::Close,   TCabSystem::Read,  TCabSystem::Write, TCabSystem::Seek,
               TCabSystem::Tell, TCabSystem::Message, TCabSystem::Alloc, TCabSystem::Free,  TCabSystem::Copy,
               nullptr};
  FSys->Owner = this;
  FD = mspack_create_cab_decompressor(&FSys->Sys);
  if (!FD) {
    FErr.Set(fdierrAllocFail);
    return;
  }
  FD->set_param(FD, MSCABD_PARAM_DECOMPBUF, 65536);
  // Every data block's checksum is checked and a damaged MSZIP block fails its file: no
  // salvage, no MSZIP repair.
  FD->set_param(FD, MSCABD_PARAM_SALVAGE, 0);
  FD->set_param(FD, MSCABD_PARAM_FIXMSZIP, 0);
}

TCabDecompressor::~TCabDecompressor() {
  if (FD) mspack_destroy_cab_decompressor(FD);
}

std::string CabNeighbour(const std::string& Dir, const std::string& Name) {
  const std::string exact = WithTrailingSlash(Dir) + Name;
  struct stat st {};
  if (lstat(exact.c_str(), &st) == 0) return exact;
  DIR* d = opendir(Dir.empty() ? "." : Dir.c_str());
  if (!d) return exact;
  auto folded = [](std::string S) {
    for (char& c : S)
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return S;
  };
  const std::string want = folded(Name);
  std::vector<std::string> found;
  while (const dirent* e = readdir(d))
    if (folded(e->d_name) == want) found.push_back(e->d_name);
  closedir(d);
  // Several spellings: the same one on every run.
  return found.empty() ? exact : WithTrailingSlash(Dir) + *std::min_element(found.begin(), found.end());
}

mscabd_cabinet* TCabDecompressor::OpenCabinets(const char* Path, bool& HeadDamaged) {
  HeadDamaged = false;
  if (mscabd_cabinet* cab = FD->open(FD, Path)) return cab;
  if (FD->last_error(FD) == MSPACK_ERR_OPEN) {
    FErr.Set(fdierrCabinetNotFound, errno);
    return nullptr;
  }
  HeadDamaged = StartsWithSignature(Path);
  // A cabinet behind a program (a setup program's) or other data.
  if (mscabd_cabinet* cab = FD->search(FD, Path)) return cab;
  FErr.Set(HeadDamaged                           ? fdierrCorruptCabinet
           : FD->last_error(FD) == MSPACK_ERR_OK ? fdierrNotACabinet
                                                 : MapError(FD->last_error(FD)));
  return nullptr;
}

bool TCabDecompressor::IsCabinet(const std::string& Path, TCabInfo& Info) {
  FErr.Clear();
  Info = TCabInfo();
  if (!FD) {
    FErr.Set(fdierrAllocFail);
    return false;
  }
  TOpenCabinet found{FD, OpenCabinets(Path.c_str(), Info.HeadDamaged)};
  if (!found.Cab) return false;
  const mscabd_cabinet* c = found.Cab;
  Info.Offset = c->base_offset;
  Info.Size = c->length;
  for (const mscabd_folder* f = c->folders; f; f = f->next) ++Info.Folders;
  for (const mscabd_file* f = c->files; f; f = f->next) ++Info.Files;
  Info.SetID = c->set_id;
  Info.CabinetIndex = c->set_index;
  Info.HasPrev = c->flags & MSCAB_HDR_PREVCAB;
  Info.HasNext = c->flags & MSCAB_HDR_NEXTCAB;
  Info.HasReserve = c->flags & MSCAB_HDR_RESV;
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
  bool headDamaged = false;
  TOpenCabinet all{FD, OpenCabinets(used.begin()->c_str(), headDamaged)};
  if (!all.Cab) return false;
  const std::string dir = WithTrailingSlash(DirOf(Path));
  for (mscabd_cabinet* cab = all.Cab; cab; cab = cab->next) {
    while (Join(cab, true, dir, used, Notify)) {
    }
    while (Join(cab, false, dir, used, Notify)) {
    }
    if (FPending) std::rethrow_exception(FPending);
    if (!CopyFiles(cab, dir, Notify)) return false;
  }
  return true;
}

bool TCabDecompressor::Join(mscabd_cabinet* Cab, bool Prev, const std::string& Dir, std::set<std::string>& Used,
                            const TCabNotify& Notify) {
  mscabd_cabinet* end = Cab;
  while (Prev ? end->prevcab : end->nextcab) end = Prev ? end->prevcab : end->nextcab;
  const char* stored = Prev ? end->prevname : end->nextname;
  if (!stored || !(end->flags & (Prev ? MSCAB_HDR_PREVCAB : MSCAB_HDR_NEXTCAB))) return false;
  // A neighbour is looked for beside this cabinet only, whatever folders its name claims.
  std::string name = stored;
  name.erase(0, name.find_last_of("/\\") + 1);
  if (name.empty() || name == "." || name == "..") return false;
  std::string path = CabNeighbour(Dir, name);
  if (!Prev) {
    TCabNotification n;
    n.Notice = cnNextCabinet;
    n.NextName = name;
    n.NextDisk = end->nextinfo ? end->nextinfo : "";
    n.CabinetPath = Dir;
    n.SetID = end->set_id;
    n.CabinetIndex = uint16_t(end->set_index + 1);
    if (Notify(n) != 1) return false;
    path = n.NextPath;
  }
  const auto [kept, fresh] = Used.insert(path);
  if (path.empty() || !fresh) return false;
  mscabd_cabinet* other = FD->open(FD, kept->c_str());
  if (!other) return false;
  if ((Prev ? FD->prepend(FD, end, other) : FD->append(FD, end, other)) != MSPACK_ERR_OK) {
    FD->close(FD, other);
    return false;
  }
  return true;
}

bool TCabDecompressor::CopyFiles(mscabd_cabinet* Cab, const std::string& Dir, const TCabNotify& Notify) {
  TCabNotification info;
  info.Notice = cnCabinetInfo;
  info.CabinetPath = Dir;
  info.SetID = Cab->set_id;
  info.CabinetIndex = Cab->set_index;
  if (Notify(info) < 0) {
    FErr.Set(fdierrUserAbort);
    return false;
  }
  mscabd_cabinet* first = Cab;
  while (first->prevcab) first = first->prevcab;
  // Without its predecessor the first folder of a continued cabinet cannot be decoded: its
  // files are partial.
  const bool headless = (first->flags & MSCAB_HDR_PREVCAB) != 0;
  size_t folders = 0;
  for (const mscabd_folder* f = Cab->folders; f; f = f->next) ++folders;
  if (Cab->prevcab || Cab->nextcab || !FMsZip.Open(Cab->filename, Cab->base_offset, folders)) FMsZip.Close();
  for (mscabd_file* f = Cab->files; f; f = f->next) {
    if (FCancel && *FCancel) {
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
    if (n.Notice == cnCopyFile) {
      n.Error = TypeProblem(n.CompType);
      n.Extract = [this, Cab, f, &copied] {
        copied = true;
        return Extract(Cab, f);
      };
    }
    const int answer = Notify(n);
    if (answer < 0) {
      FErr.Set(fdierrUserAbort);
      return false;
    }
    if (n.Notice == cnPartialFile || answer == 0 || copied) continue;
    n.Error = Extract(Cab, f);
    n.Ok = n.Error == fdierrNone;
    n.Notice = cnCloseFile;
    if ((FCancel && *FCancel) || Notify(n) < 0) {
      FErr.Set(fdierrUserAbort);
      return false;
    }
  }
  return true;
}

int32_t TCabDecompressor::Extract(mscabd_cabinet* Cab, mscabd_file* F) {
  // A type libmspack refuses would read as "out of memory" from it.
  if (const int32_t bad = TypeProblem(F->folder ? F->folder->comp_type : 0)) return bad;
  size_t folder = 0;
  for (const mscabd_folder* f = Cab->folders; f && f != F->folder; f = f->next) ++folder;
  if (FMsZip.Handles(folder)) return FMsZip.Extract(folder, F->offset, F->length, FWrite, FCancel);
  const int rc = FD->extract(FD, F, kOutputName);
  if (FPending) {
    const std::exception_ptr e = FPending;
    FPending = nullptr;
    std::rethrow_exception(e);
  }
  return MapError(rc);
}
