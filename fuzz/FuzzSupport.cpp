// Scratch tree, reader run and decoder run of the fuzz targets.
#include "fuzz/FuzzSupport.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/zip/qrvInflate64.h"

namespace fuzz {
namespace {

[[noreturn]] void Fail(const std::string& What) {
  std::fprintf(stderr, "fuzz: %s\n", What.c_str());
  std::fflush(stderr);
  std::abort();
}

// base/archive holds the input; base/tree/d1/d2/out/ is the output root; base/tmp is free.
// The Trash of the run lives in the output root (out/Trash, as when extracting into the data
// folder), so a link an archive plants there and the Trash followed would show as a write
// outside out/. base/tree/d1/d2/keep is a file of the user's beside the output folder: no run
// may change, move or remove it.
constexpr char kKeepText[] = "keep";
constexpr mode_t kKeepMode = 0644;

struct TScratch {
  std::string Base, Archive, Tree, Out, Tmp, Keep;

  TScratch() {
    const char* env = std::getenv("FUZZ_SCRATCH");
    std::string parent = env && *env ? env : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = parent + "/brel-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) Fail("cannot create the scratch folder in " + parent);
    Base = pattern;
    Archive = Base + "/archive";
    Tree = Base + "/tree";
    Out = Tree + "/d1/d2/out";
    Tmp = Base + "/tmp";
    Keep = Tree + "/d1/d2/keep";
    std::filesystem::create_directories(Out);
    std::filesystem::create_directories(Tmp);
    setenv("XDG_DATA_HOME", Out.c_str(), 1);
    FILE* f = std::fopen(Keep.c_str(), "wb");
    if (!f || std::fputs(kKeepText, f) < 0 || std::fclose(f) != 0) Fail("cannot write " + Keep);
    chmod(Keep.c_str(), kKeepMode);
  }
  ~TScratch() {
    Unlock(Base);
    std::error_code ec;
    std::filesystem::remove_all(Base, ec);
  }

  // Gives every folder below Root owner rights back (an entry may have restored read-only
  // attributes), so that it can be emptied.
  static void Unlock(const std::string& Root) {
    nftw(
        Root.c_str(),
        [](const char* Path, const struct stat* St, int Type, FTW*) {
          if (Type == FTW_D || Type == FTW_DNR) chmod(Path, 0700);
          return 0;
        },
        16, FTW_PHYS);
  }

  void Empty(const std::string& Dir) {
    Unlock(Dir);
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(Dir, ec)) std::filesystem::remove_all(e.path(), ec);
  }
};

TScratch& Scratch() {
  static TScratch s;
  return s;
}

// Whether a link at Rel (below out/) with target Target stays inside out/.
bool LinkStaysInside(const std::string& Rel, const std::string& Target) {
  if (Target.empty() || Target[0] == '/') return false;
  std::vector<std::string> parts;
  for (const auto& p : std::filesystem::path(Rel).parent_path()) parts.push_back(p.string());
  for (const auto& p : std::filesystem::path(Target)) {
    const std::string s = p.string();
    if (s == "..") {
      if (parts.empty()) return false;
      parts.pop_back();
    } else if (s != "." && !s.empty()) {
      parts.push_back(s);
    }
  }
  return true;
}

// When the current extract run started: a file a link leads to must be older.
std::filesystem::file_time_type GRunStart;

// Aborts unless the user's file beside the output folder is as it was made.
void CheckKeep(const std::string& Keep) {
  struct stat st {};
  char text[sizeof kKeepText] = {};
  FILE* f = lstat(Keep.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? std::fopen(Keep.c_str(), "rb") : nullptr;
  const size_t n = f ? std::fread(text, 1, sizeof text, f) : 0;
  if (f) std::fclose(f);
  if (!f || (st.st_mode & 07777) != kKeepMode || n != sizeof kKeepText - 1 || std::string(text) != kKeepText)
    Fail("a run changed, moved or removed the file beside the output folder: " + Keep);
}

// Aborts when the run left anything outside out/, or wrote through a link: links may lead
// anywhere (GNU tar restores them as stored), but what one outside out/ leads to must not have
// changed during the run.
void CheckTree() {
  TScratch& s = Scratch();
  CheckKeep(s.Keep);
  for (const char* dir : {"/d1", "/d1/d2", "/d1/d2/out"}) {
    struct stat st {};
    if (lstat((s.Tree + dir).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      Fail(std::string("the scratch folder ") + dir + " was replaced or removed");
  }
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(s.Base, ec))
    if (e.path() != s.Archive && e.path() != s.Tree && e.path() != s.Tmp)
      Fail("a run wrote beside the output tree: " + e.path().string());
  const std::filesystem::path tree(s.Tree), out(s.Out);
  auto it = std::filesystem::recursive_directory_iterator(tree, ec);
  for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::filesystem::path p = it->path();
    const std::filesystem::path relPath = p.lexically_relative(out);
    const std::string rel = relPath.string();
    if (rel == ".." || rel == "../.." || rel == "../../.." || p == s.Keep) continue;  // d1, d2, out, keep
    if (rel.empty() || *relPath.begin() == "..") Fail("a run wrote outside the output folder: " + p.string());
    if (it->is_symlink(ec)) {
      std::string target = std::filesystem::read_symlink(p, ec).string();
      std::error_code tec;
      if (!LinkStaysInside(rel, target) && std::filesystem::exists(p, tec) &&
          std::filesystem::last_write_time(p, tec) >= GRunStart)
        Fail("a run wrote through a link leading outside the output: " + rel + " -> " + target);
    }
  }
}

// The reader run's handlers: they only touch what they are given.
void Connect(TUnBase& R) {
  R.OnError = [](TZipCommon*, const std::string& Name, const std::string& Msg, const std::string& Vol, int32_t) {
    (void)(Name.size() + Msg.size() + Vol.size());
  };
  R.OnListEntry = [](TZipCommon*, const TListEntry& E) { (void)(E.Name.size() + E.MethodName.size()); };
}

}  // namespace

const std::string& ScratchArchive() { return Scratch().Archive; }
const std::string& ScratchDir() { return Scratch().Tmp; }

void RunReader(const std::function<std::unique_ptr<TUnBase>()>& Make, TExtractMode Mode, const uint8_t* Data,
               size_t Size) {
  TScratch& s = Scratch();
  {
    FILE* f = std::fopen(s.Archive.c_str(), "wb");
    if (!f || (Size && std::fwrite(Data, 1, Size, f) != Size) || std::fclose(f) != 0) Fail("cannot write " + s.Archive);
  }
  {
    std::unique_ptr<TUnBase> r = Make();
    Connect(*r);
    r->SetArchiveFile(s.Archive);
    r->SetExtractDir(s.Out + "/");
    r->ExtractMode = Mode;
    r->FileSpec = {"*"};
    r->RecurseDirs = true;
    r->UseStoredDirs = true;
    r->CreateStoredDirs = true;
    r->ConfirmOverwrites = false;
    r->OverwriteMode = omOverwrite;
    r->RestoreFileAttr = true;
    r->TrashChanged = Mode == xmExtract;  // as the window extracts: changed files go to the Trash
    r->TranslateOemChar = true;
    r->DateAttribute = daFileDate;
    r->Passwords = {"12345678"};
    GRunStart = std::filesystem::file_time_type::clock::now();
    r->Extract();
  }
  if (Mode == xmExtract) CheckTree();
  s.Empty(s.Out);
  s.Empty(s.Tmp);
}

void RunDecoder(const std::function<TDecodeStatus(const TDecoderIO& IO, uint8_t Option)>& Decode, const uint8_t* Data,
                size_t Size) {
  if (Size < 4) return;
  const uint8_t option = Data[0];
  const uint32_t declared = Data[1] | Data[2] << 8 | Data[3] << 16;
  const int64_t size = declared == 0xFFFFFF ? -1 : int64_t(declared);
  static constexpr int64_t kPieces[8] = {32768, 1, 2, 3, 17, 512, 4095, 32767};
  const int64_t piece = kPieces[(option >> 5) & 7];
  // Without a declared size the sink stops taking output at 64 MiB (a write failure).
  constexpr int64_t kCap = int64_t(64) << 20;
  const uint8_t* in = Data + 4;
  size_t left = Size - 4;
  int64_t written = 0;
  TDecoderIO io;
  io.Read = [&](uint8_t* Buf, int64_t N) -> int64_t {
    const size_t n = size_t(std::min<int64_t>({N, piece, int64_t(left)}));
    std::copy_n(in, n, Buf);
    in += n;
    left -= n;
    return int64_t(n);
  };
  io.Write = [&](const uint8_t* Buf, int64_t N) -> int64_t {
    if (N < 0 || (size < 0 && written + N > kCap)) return 0;
    if (N > 0) (void)(Buf[0] + Buf[N - 1]);
    written += N;
    return N;
  };
  io.CompressedSize = int64_t(Size - 4);
  io.UncompressedSize = size;
  const TDecodeStatus st = Decode(io, option);
  if (st.Result > drCancelled || st.Result == drCancelled) Fail("a decoder ended with no documented outcome");
  if (size >= 0 && written > size) Fail("a decoder wrote past the declared size");
  if (st.BytesOut < written) Fail("a decoder counted less output than it wrote");
}

}  // namespace fuzz
