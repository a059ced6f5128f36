// The format table: the rows, then the look-ups over them.
#include "archive/qrvFormats.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <limits>
#include <tuple>

#include "archive/cab/qrvMakeCab.h"
#include "archive/cab/qrvUnCab.h"
#include "archive/lzh/qrvLha.h"
#include "archive/libarc/qrvUnLibArc.h"
#include "archive/lzh/qrvUnLha.h"
#include "archive/tar/qrvUnTar.h"
#include "archive/tar/qrvtar.h"
#include "archive/zip/qrvGZip.h"
#include "archive/zip/qrvUnZip.h"
#include "archive/zip/qrvZip.h"

namespace {

// The last value given for Name, or Default.
std::string Setting(const TFormatSettings& Given, const std::string& Name, const std::string& Default = {}) {
  const auto [first, last] = Given.equal_range(Name);
  return first == last ? Default : std::prev(last)->second;
}

int ParseWhole(const std::string& Name, const std::string& V, int Min, int Max) {
  size_t used = 0;
  long long n = 0;
  try {
    n = std::stoll(V, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != V.size() || n < Min || n > Max)
    throw EFormatSetting(Name + " takes a whole number from " + std::to_string(Min) + " to " + std::to_string(Max));
  return int(n);
}

int IntSetting(const TFormatSettings& Given, const std::string& Name, int Min, int Max) {
  return ParseWhole(Name, Setting(Given, Name), Min, Max);
}

template <class T>
std::function<std::unique_ptr<TCompBase>()> Writer() {
  return [] { return std::make_unique<T>(); };
}
template <class T>
std::function<std::unique_ptr<TUnBase>()> Reader() {
  return [] { return std::make_unique<T>(); };
}

// ---- ZIP -----------------------------------------------------------------------------------

void ConfigureZip(TCompBase& W, const TFormatSettings& Given) {
  auto& zip = static_cast<TZipBase&>(W);
  zip.Password = Setting(Given, "-p");
  zip.StoreSymlinks = Given.count("--symlinks") > 0;
  const std::string enc = Setting(Given, "--encryption", "zipcrypto");
  static const char* const kStrengths[] = {"zipcrypto", "aes128", "aes192", "aes256"};
  const auto* found = std::find(std::begin(kStrengths), std::end(kStrengths), enc);
  if (found == std::end(kStrengths)) throw EFormatSetting("--encryption takes zipcrypto, aes128, aes192 or aes256");
  zip.AesStrength = uint8_t(found - std::begin(kStrengths));
  const std::string names = Setting(Given, "--names", "utf8");
  if (names != "utf8" && names != "cp932") throw EFormatSetting("--names takes utf8 or cp932");
  zip.Cp932Names = names == "cp932";
  if (Given.count("--comment")) zip.SetArchiveComment(Setting(Given, "--comment"));
}

// Functions, not statics: the table may be built during another unit's static initialisation.
std::vector<TFormatOption> ZipOptions() {
  return {{"-p", "PASSWORD", "encrypt new entries with PASSWORD (zip only; alone: ask)", true},
          {"--encryption",
           "TYPE",
           "zipcrypto (default), aes128, aes192 or aes256 (zip only)",
           false,
           {"zipcrypto", "aes128", "aes192", "aes256"}},
          {"--names", "CODING", "non-ASCII names: utf8 (default) or cp932 (zip only)", false, {"utf8", "cp932"}},
          {"--comment", "TEXT", "set the archive comment (zip only)"},
          {"--symlinks", "", "store symbolic links as links (zip; tar always does)"}};
}

// ---- CAB -----------------------------------------------------------------------------------

void ConfigureCab(TCompBase& W, const TFormatSettings& Given) {
  auto& cab = static_cast<TMakeCab&>(W);
  if (Given.count("--lzx-level")) cab.SetLzxLevel(IntSetting(Given, "--lzx-level", 15, 21));
  if (Given.count("--quantum-level")) cab.SetQuantumLevel(IntSetting(Given, "--quantum-level", 1, 7));
  if (Given.count("--quantum-memory")) cab.SetQuantumMemory(IntSetting(Given, "--quantum-memory", 10, 21));
}

std::vector<TFormatOption> CabOptions() {
  return {{"--lzx-level", "N", "LZX window 2^N, 15..21 (cab only; default 21)"},
          {"--quantum-level", "N", "Quantum effort 1..7 (cab only; default 7)"},
          {"--quantum-memory", "N", "Quantum window 2^N, 10..21 (cab only; default 21)"}};
}

// ---- TAR -----------------------------------------------------------------------------------

// GNU tar's --owner / --group value: NAME:ID, a name this system knows, or an id (its name, if
// any, goes with it).
std::pair<int, std::string> OwnerSetting(const std::string& Option, bool User, const std::string& Value) {
  const int maxId = std::numeric_limits<int>::max();
  std::vector<char> buf(16384);
  passwd pw{}, *pf = nullptr;
  group gr{}, *gf = nullptr;
  if (const size_t colon = Value.rfind(':'); colon != std::string::npos)
    return {ParseWhole(Option, Value.substr(colon + 1), 0, maxId), Value.substr(0, colon)};
  if (User && getpwnam_r(Value.c_str(), &pw, buf.data(), buf.size(), &pf) == 0 && pf) return {int(pw.pw_uid), Value};
  if (!User && getgrnam_r(Value.c_str(), &gr, buf.data(), buf.size(), &gf) == 0 && gf) return {int(gr.gr_gid), Value};
  if (Value.empty() || Value.find_first_not_of("0123456789") != std::string::npos)
    throw EFormatSetting(Option + ": no " + (User ? "user " : "group ") + Value + " here (give NAME:ID)");
  const int id = ParseWhole(Option, Value, 0, maxId);
  if (User && getpwuid_r(uid_t(id), &pw, buf.data(), buf.size(), &pf) == 0 && pf) return {id, pw.pw_name};
  if (!User && getgrgid_r(gid_t(id), &gr, buf.data(), buf.size(), &gf) == 0 && gf) return {id, gr.gr_name};
  return {id, ""};
}

// Owners of tar entries: each file's own, as GNU tar stores them, unless named. Links are
// always stored: --symlinks is taken and needs nothing.
void ConfigureTar(TCompBase& W, const TFormatSettings& Given) {
  auto& tar = static_cast<TTar&>(W);
  tar.FileOwner = !Given.count("--owner");
  tar.FileGroup = !Given.count("--group");
  tar.NumericOwner = Given.count("--numeric-owner") > 0;
  if (Given.count("--owner"))
    std::tie(tar.UnixUID, tar.UnixUName) = OwnerSetting("--owner", true, Setting(Given, "--owner"));
  if (Given.count("--group"))
    std::tie(tar.UnixGID, tar.UnixGName) = OwnerSetting("--group", false, Setting(Given, "--group"));
}

std::vector<TFormatOption> TarOptions() {
  return {ZipOptions().back(),
          {"--owner", "NAME", "owner: NAME, ID or NAME:ID (tar; default: each file's)"},
          {"--group", "NAME", "group: NAME, ID or NAME:ID (tar; default: each file's)"},
          {"--numeric-owner", "", "store owner and group as ids only, without names (tar)"}};
}

// A tar inside a compression filter, set before the archive is named (a .tgz or .tar.gz name
// then stays as given).
std::function<std::unique_ptr<TCompBase>()> FilteredTar(TStreamFilter Filter) {
  return [Filter] {
    auto w = std::make_unique<TTar>();
    w->SetFilter(Filter);
    return std::unique_ptr<TCompBase>(std::move(w));
  };
}

// The row of tar inside Filter: it reads the files whose content is such a tar. Detection names
// gzip files itself; the others are named by their long extension ("tar.xz").
TFormatRow CompressedTar(const std::string& Name, const std::string& Display, std::vector<std::string> Extensions,
                         TStreamFilter Filter) {
  TFormatRow row = {.Name = Name,
                    .Display = Display,
                    .Extensions = std::move(Extensions),
                    .Accepts = [Filter](const std::string& Path) { return CompressedTarFilter(Path) == Filter; },
                    .NewWriter = FilteredTar(Filter),
                    .NewReader = Reader<TUnTar>(),
                    .Options = TarOptions(),
                    .Configure = ConfigureTar,
                    .Filter = Filter};
  if (Filter != sfGzip) row.Describe = [kind = row.Extensions[1].substr(1)](const std::string&) { return kind; };
  return row;
}

// ---- The table -----------------------------------------------------------------------------

std::vector<TFormatRow> MakeTable() {
  const std::vector<TMethodKeyword> zipMethods = {{"store", cmStore}, {"deflate", cmDeflate}};
  const std::vector<TMethodKeyword> lzhMethods = {
      {"store", cmStore}, {"lh5", cmFrozen5}, {"lh6", cmFrozen6}, {"lh7", cmFrozen7}};
  const std::vector<TMethodKeyword> cabMethods = {
      {"store", cmStore}, {"mszip", cmMsZip}, {"lzx", cmLzx}, {"quantum", cmQuantum}};
  std::vector<TFormatRow> rows;
  rows.push_back({.Name = "zip",
                  .Display = "ZIP",
                  .Extensions = {".zip"},
                  .ReadTypes = {atZip, atZipExe, atZipMV, atZipDS, atJar, atJarExe},
                  .WriteType = atZip,
                  .NewWriter = Writer<TZip>(),
                  .NewReader = Reader<TUnZip>(),
                  .Methods = zipMethods,
                  .NameMethod = [](int Method, uint16_t Flags, uint16_t) { return ZipMethodName(Method, Flags); },
                  .Options = ZipOptions(),
                  .Configure = ConfigureZip});
  rows.push_back(
      {.Name = "lzh",
       .Display = "LZH",
       .Extensions = {".lzh", ".lha"},
       .ReadTypes = {atLha, atLhaExe, atLzh, atLzhExe},
       .WriteType = atLha,
       .NewWriter = Writer<TLha>(),
       .NewReader = Reader<TUnLha>(),
       .Methods = lzhMethods,
       // Named by the character of "-lhN-", as listings of several kinds give it.
       .NameMethod = [](int Method, uint16_t, uint16_t) { return LhaMethodName(LhaKey('l', 'h', char(Method))); }});
  rows.push_back({.Name = "cab",
                  .Display = "CAB",
                  .Extensions = {".cab"},
                  .ReadTypes = {atCab, atCabExe},
                  .WriteType = atCab,
                  .NewWriter = Writer<TMakeCab>(),
                  .NewReader = Reader<TUnCab>(),
                  .Methods = cabMethods,
                  .NameMethod = [](int Method, uint16_t, uint16_t) { return CabMethodName(Method); },
                  .Options = CabOptions(),
                  .Configure = ConfigureCab});
  rows.push_back({.Name = "tar",
                  .Display = "TAR",
                  .Extensions = {".tar"},
                  .ReadTypes = {atTar},
                  .WriteType = atTar,
                  .NewWriter = Writer<TTar>(),
                  .NewReader = Reader<TUnTar>(),
                  .NameMethod = [](int Method, uint16_t, uint16_t) { return TarMethodName(Method); },
                  .Options = TarOptions(),
                  .Configure = ConfigureTar});
  rows.push_back(CompressedTar("tgz", "TAR.GZ", {".tgz", ".tar.gz"}, sfGzip));
  rows.push_back(CompressedTar("txz", "TAR.XZ", {".txz", ".tar.xz"}, sfXz));
  rows.push_back(CompressedTar("tzst", "TAR.ZST", {".tzst", ".tar.zst"}, sfZstd));
  rows.push_back(CompressedTar("tbz2", "TAR.BZ2", {".tbz2", ".tar.bz2", ".tbz"}, sfBzip2));
  // Everything else libarchive reads (7z, RAR, ISO, cpio, ar, xar, other compressed tars, lone
  // compressed files), after brel's own readers.
  rows.push_back({.Name = "libarc",
                  .Display = "libarchive",
                  .Extensions = {".7z",  ".001", ".rar",  ".cpio",    ".iso",    ".ar",       ".deb",
                                 ".xar", ".rpm", ".tlz",  ".gz",      ".xz",     ".zst",      ".bz2",
                                 ".lz",  ".lz4", ".lzma", ".tar.lz4", ".tar.lz", ".tar.lzma", ".tar.z"},
                  .Accepts = [](const std::string& Path) { return !DetectLibArcKind(Path).Name.empty(); },
                  .NewReader = Reader<TUnLibArc>(),
                  .Describe = [](const std::string& Path) { return DetectLibArcKind(Path).Name; },
                  .LoneMember =
                      [](const std::string& Path) {
                        return DetectLibArcKind(Path).Single ? LoneMemberName(Path) : std::string();
                      }});
  return rows;
}

bool EndsWithNoCase(const std::string& S, const std::string& Suffix) {
  if (S.size() < Suffix.size()) return false;
  return std::equal(Suffix.begin(), Suffix.end(), S.end() - std::ptrdiff_t(Suffix.size()),
                    [](char a, char b) { return std::tolower((unsigned char)a) == std::tolower((unsigned char)b); });
}

// Name ends in Ext, with something before it (".gz" alone names nothing).
bool NameHasExtension(const std::string& Name, const std::string& Ext) {
  return Name.size() > Ext.size() && EndsWithNoCase(Name, Ext);
}

// The row and extension matching the name of Path, the longest extension winning.
const TFormatRow* MatchName(const std::string& Path, std::string* Ext) {
  const std::string name = Path.substr(Path.find_last_of('/') + 1);
  if (Ext) Ext->clear();
  const TFormatRow* best = nullptr;
  size_t bestLen = 0;
  for (const TFormatRow& row : Formats())
    for (const std::string& e : row.Extensions) {
      // A name that is an extension alone (".tar.gz") names nothing, not the shorter ".gz".
      if (name.size() == e.size() && EndsWithNoCase(name, e)) return nullptr;
      if (e.size() > bestLen && NameHasExtension(name, e)) {
        best = &row;
        bestLen = e.size();
      }
    }
  if (Ext) *Ext = best ? name.substr(name.size() - bestLen) : std::string();
  return best;
}

template <class T>
void AddOnce(std::vector<T>& Out, const T& V) {
  if (std::find(Out.begin(), Out.end(), V) == Out.end()) Out.push_back(V);
}

}  // namespace

const std::vector<TFormatRow>& Formats() {
  static const std::vector<TFormatRow> table = MakeTable();
  return table;
}

const TFormatRow* FormatOfKind(int Kind) {
  return Kind >= 0 && size_t(Kind) < Formats().size() ? &Formats()[size_t(Kind)] : nullptr;
}

int KindOf(const TFormatRow& Row) { return int(&Row - Formats().data()); }

const TFormatRow* FormatNamed(const std::string& Name) {
  for (const TFormatRow& row : Formats())
    if (row.Name == Name) return &row;
  return nullptr;
}

const TFormatRow* FormatOfName(const std::string& Path) { return MatchName(Path, nullptr); }

std::string FormatExtensionOf(const std::string& Path) {
  std::string ext;
  MatchName(Path, &ext);
  return ext;
}

const TFormatRow* ReaderFormatFor(TArcType Type, const std::string& Path) {
  for (const TFormatRow& row : Formats()) {
    const bool typeTaken =
        row.ReadTypes.empty() || std::find(row.ReadTypes.begin(), row.ReadTypes.end(), Type) != row.ReadTypes.end();
    if (!row.Reads() || !typeTaken) continue;
    if (!row.Accepts || row.Accepts(Path)) return &row;
  }
  return nullptr;
}

const TFormatRow* WriterFormatOfType(TArcType Type, const std::string& Path) {
  for (const TFormatRow& row : Formats())
    if (row.Writes() && (row.WriteType == Type || row.ReadTypes.empty()) && (!row.Accepts || row.Accepts(Path)))
      return &row;
  return nullptr;
}

std::string MethodName(TArcType Type, int Method, uint16_t Flags, uint16_t Magic) {
  for (const TFormatRow& row : Formats())
    if (row.NameMethod && std::find(row.ReadTypes.begin(), row.ReadTypes.end(), Type) != row.ReadTypes.end())
      return row.NameMethod(Method, Flags, Magic);
  // A gzip file is TGZip's, which writes no row of its own (the tar rows take it as a filter).
  if (Type == atGZip) return GZipMethodName(Method, Magic);
  return DetectedMethodName(Type, Method, Flags);
}

const TMethodKeyword* MethodOf(const TFormatRow& Row, const std::string& Keyword) {
  for (const TMethodKeyword& m : Row.Methods)
    if (m.Keyword == Keyword) return &m;
  return nullptr;
}

std::vector<std::string> AllMethodKeywords() {
  std::vector<std::string> out;
  for (const TFormatRow& row : Formats())
    for (const TMethodKeyword& m : row.Methods) AddOnce(out, m.Keyword);
  return out;
}

std::vector<std::string> WriterNames() {
  std::vector<std::string> out;
  for (const TFormatRow& row : Formats())
    if (row.Writes()) out.push_back(row.Name);
  return out;
}

std::vector<std::string> WriterExtensions() {
  std::vector<std::string> out;
  for (const TFormatRow& row : Formats())
    if (row.Writes())
      for (const std::string& e : row.Extensions) AddOnce(out, e);
  return out;
}
