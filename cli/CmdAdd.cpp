// brel-cli a / f / m (a writer run with swAdd, swRefresh, swMove) and d (swDelete).
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <filesystem>
#include <iostream>
#include <limits>
#include <tuple>
#include <memory>

#include "archive/core/qrvBase.h"
#include "archive/core/qrvErrors.h"
#include "archive/cab/qrvMakeCab.h"
#include "archive/tar/qrvtar.h"
#include "archive/zip/qrvZip.h"
#include "cli/CliCommon.h"
#include "cli/CliReaders.h"
#include "platform/FileInfo.h"
#include "platform/Paths.h"
#include "platform/TempFiles.h"

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

// The archive kinds brel-cli writes: name (-t), the extensions that name it, the writer and the
// compression filter around it (a tar's).
struct TKindRow {
  const char* Name;
  std::vector<std::string> Extensions;
  int Writer;
  TStreamFilter Filter = sfNone;
};
const TKindRow kKinds[] = {{"zip", {".zip"}, akZip},
                           {"lzh", {".lzh", ".lha"}, akLzh},
                           {"cab", {".cab"}, akCab},
                           {"tar", {".tar"}, akTar},
                           {"tgz", {".tgz", ".tar.gz"}, akTar, sfGzip},
                           {"txz", {".txz", ".tar.xz"}, akTar, sfXz},
                           {"tzst", {".tzst", ".tar.zst"}, akTar, sfZstd},
                           {"tbz2", {".tbz2", ".tar.bz2"}, akTar, sfBzip2}};

// "zip|lzh|..." and ".zip .lzh ...", for messages.
std::string KindNames() {
  std::string out;
  for (const TKindRow& k : kKinds) out += (out.empty() ? "" : "|") + std::string(k.Name);
  return out;
}
std::string KindExtensions() {
  std::string out;
  for (const TKindRow& k : kKinds)
    for (const std::string& e : k.Extensions) out += (out.empty() ? "" : " ") + e;
  return out;
}

// The archive kind: -t, else the archive's extension; a name without extension is a ZIP.
// A kind or extension brel-cli does not write is a usage error (a ZIP named out.7z would
// mislead whoever opens it).
const TKindRow* KindByName(const std::string& Name) {
  for (const TKindRow& k : kKinds)
    if (Name == k.Name) return &k;
  return nullptr;
}

// The kind of an existing archive from its content; null when it is none brel-cli writes.
const TKindRow* KindOfContent(const std::string& Archive) {
  if (!FileExists(Archive)) return nullptr;
  TArvexComponent probe;
  probe.SetArchiveFile(Archive);
  switch (probe.ArcType()) {
    case atZip: return KindByName("zip");
    case atLha: return KindByName("lzh");
    case atCab: return KindByName("cab");
    case atTar: return KindByName("tar");
    case atTarGZip: return KindByName("tgz");
    default: break;
  }
  const TStreamFilter filter = CompressedTarFilter(Archive);
  for (const TKindRow& k : kKinds)
    if (filter != sfNone && k.Filter == filter) return &k;
  return nullptr;
}

const TKindRow& KindOf(const TParsedArgs& Args, const std::string& Archive) {
  if (Args.Has("-t")) {
    const std::string t = Lower(Args.Value("-t"));
    if (const TKindRow* k = KindByName(t)) return *k;
    throw TUsageError("unknown archive kind " + t + " (-t takes " + KindNames() + ")");
  }
  // An existing archive keeps its kind whatever its name (a ZIP named backup.dat stays a ZIP).
  if (const TKindRow* k = KindOfContent(Archive)) return *k;
  const std::string a = Lower(BaseOf(Archive));
  for (const TKindRow& k : kKinds)
    for (const std::string& e : k.Extensions)
      if (a.size() > e.size() && a.ends_with(e)) return k;
  if (a.find('.') == std::string::npos) return kKinds[0];
  throw TUsageError("cannot write " + a.substr(a.rfind('.')) + " archives: end the name in one of " +
                    KindExtensions() + " or give -t " + KindNames());
}

// The writer of a kind; nullptr when this build has none.
std::unique_ptr<TCompBase> MakeWriter(const TKindRow& Kind) {
  auto w = NewWriter(Kind.Writer);
  // Before the archive is named: the name then decides between .tar.gz and .tgz.
  if (auto* tar = dynamic_cast<TTar*>(w.get())) tar->SetFilter(Kind.Filter);
  return w;
}

TStoredDirNames PathsMode(const std::string& V) {
  static const std::pair<const char*, TStoredDirNames> kModes[] = {
      {"none", sdNone},         {"relative", sdRelative},       {"start", sdRelativeStoreStart},
      {"absolute", sdAbsolute}, {"noroot", sdAbsoluteNoRoot},   {"auto", sdExplorer_Auto}};
  for (const auto& [name, mode] : kModes)
    if (V == name) return mode;
  throw TUsageError("unknown --paths value " + V);
}

void ApplyMethod(TCompBase& W, const std::string& Method) {
  if (Method.empty()) return;
  static const std::pair<const char*, TCompressMethod> kMethods[] = {
      {"store", cmStore}, {"deflate", cmDeflate}, {"lh5", cmFrozen5}, {"lh6", cmFrozen6}, {"lh7", cmFrozen7},
      {"mszip", cmMsZip}, {"lzx", cmLzx},         {"quantum", cmQuantum}};
  for (const auto& [name, m] : kMethods) {
    if (Method != name) continue;
    if (!(W.AllowedMethods() & MethodBit(m))) throw TUsageError("method " + Method + " does not apply to this archive kind");
    W.SetCompressMethod(m);
    return;
  }
  throw TUsageError("unknown method " + Method);
}

void ApplyLevel(TCompBase& W, const std::string& Level) {
  if (Level.empty()) return;
  if (Level == "fast") W.DeflateType = dtDeflateF;
  else if (Level == "normal") W.DeflateType = dtDeflateN;
  else if (Level == "max") W.DeflateType = dtDeflateX;
  else throw TUsageError("unknown level " + Level);
}

// 7z's level numbers: 0 stores, 1-3 fast, 4-6 normal, 7-9 max.
void ApplyDigitLevel(TCompBase& W, const std::string& Digit) {
  if (Digit.size() != 1 || Digit[0] < '0' || Digit[0] > '9') throw TUsageError("a level number is 0..9, not " + Digit);
  const int n = Digit[0] - '0';
  if (n == 0) return ApplyMethod(W, "store");
  ApplyLevel(W, n <= 3 ? "fast" : n <= 6 ? "normal" : "max");
}

// GNU tar's --owner / --group value: NAME:ID, a name this system knows, or an id (its name, if
// any, goes with it).
std::pair<int, std::string> OwnerOption(const char* Option, bool User, const std::string& Value) {
  auto idOf = [&](const std::string& Text) {
    return ParseIntOption(Option, Text, 0, std::numeric_limits<int>::max());
  };
  std::vector<char> buf(16384);
  auto byName = [&](const std::string& Name, int& Id) {
    passwd pw{}, *pf = nullptr;
    group gr{}, *gf = nullptr;
    if (User && getpwnam_r(Name.c_str(), &pw, buf.data(), buf.size(), &pf) == 0 && pf) Id = int(pw.pw_uid);
    if (!User && getgrnam_r(Name.c_str(), &gr, buf.data(), buf.size(), &gf) == 0 && gf) Id = int(gr.gr_gid);
    return pf != nullptr || gf != nullptr;
  };
  if (const size_t colon = Value.rfind(':'); colon != std::string::npos)
    return {idOf(Value.substr(colon + 1)), Value.substr(0, colon)};
  int id = 0;
  if (byName(Value, id)) return {id, Value};
  if (Value.empty() || Value.find_first_not_of("0123456789") != std::string::npos)
    throw TUsageError(std::string(Option) + ": no " + (User ? "user " : "group ") + Value + " here (give NAME:ID)");
  id = idOf(Value);
  passwd pw{}, *pf = nullptr;
  group gr{}, *gf = nullptr;
  if (User && getpwuid_r(uid_t(id), &pw, buf.data(), buf.size(), &pf) == 0 && pf) return {id, pw.pw_name};
  if (!User && getgrgid_r(gid_t(id), &gr, buf.data(), buf.size(), &gf) == 0 && gf) return {id, gr.gr_name};
  return {id, ""};
}

// Owners of tar entries: each file's own, as GNU tar stores them, unless named.
void ApplyOwners(TCompBase& W, const TParsedArgs& Args) {
  auto* tar = dynamic_cast<TTar*>(&W);
  if (!tar) {
    if (Args.Has("--owner") || Args.Has("--group") || Args.Has("--numeric-owner"))
      throw TUsageError("--owner, --group and --numeric-owner apply to tar archives only");
    return;
  }
  tar->FileOwner = !Args.Has("--owner");
  tar->FileGroup = !Args.Has("--group");
  tar->NumericOwner = Args.Has("--numeric-owner");
  if (Args.Has("--owner")) std::tie(tar->UnixUID, tar->UnixUName) = OwnerOption("--owner", true, Args.Value("--owner"));
  if (Args.Has("--group")) std::tie(tar->UnixGID, tar->UnixGName) = OwnerOption("--group", false, Args.Value("--group"));
}

// -m takes a method, or 7z's level form "x=N" / "xN".
void ApplyMethodOrLevel(TCompBase& W, const std::string& Value) {
  if (Value.size() >= 2 && Value[0] == 'x') return ApplyDigitLevel(W, Value.substr(Value[1] == '=' ? 2 : 1));
  ApplyMethod(W, Value);
}

// FileSpec from PATH arguments: a folder becomes folder/*.* and a mask stays as it is, both
// scanned recursively (unless --no-recurse); a named file is scanned alone, since a recursive
// scan would also take files of the same name from every folder below it. Missing paths are
// reported.
struct TPathGroups {
  std::vector<std::string> Deep, Flat;
};
TPathGroups GroupPaths(TCli& Cli, const std::vector<std::string>& Paths) {
  TPathGroups groups;
  for (const std::string& arg : Paths) {
    const std::string path = AbsolutePath(arg);
    std::error_code ec;
    if (DirectoryExists(path) && std::filesystem::is_empty(path, ec)) {
      // An empty folder is stored itself, as zip and tar do; scanning into it would find nothing.
      groups.Flat.push_back(path);
    } else if (DirectoryExists(path)) {
      groups.Deep.push_back(path + (path.back() == '/' ? "*.*" : "/*.*"));
    } else if (path.find_first_of("*?") != std::string::npos) {
      groups.Deep.push_back(path);
    } else if (FileExists(path)) {
      groups.Flat.push_back(path);
    } else {
      Cli.Error(ecFileNotFound, arg);
    }
  }
  return groups;
}

void PrintSummary(const TCli& Cli, TSwitch Switch, int Count, const std::string& Archive, std::ostream& Out = std::cout) {
  if (Cli.Quiet || Count == 0) return;
  Out << (Switch == swDelete ? "deleted " : "added ") << Count << (Count == 1 ? " entry" : " entries")
            << (Switch == swDelete ? " from " : " to ") << Archive << '\n';
}

// Runs the writer connected to the shell (a changed file replaces its entry when adding to an
// existing archive). Returns the entries added or deleted; "nothing to do" is noted in
// NothingToDo instead of printed, since another run of the same command may have work.
int Execute(TCli& Cli, TCompBase& W, bool& NothingToDo) {
  Cli.Attach(W);
  W.OnReplaceFile = [](TZipCommon*, const std::string&, const std::string&, TDateTime, TDateTime, int64_t, int64_t,
                       int32_t, int32_t, bool& Replace) { Replace = true; };
  W.OnError = [&NothingToDo, report = W.OnError](TZipCommon* S, const std::string& F, const std::string& X,
                                                  const std::string& V, int32_t Code) {
    if (Code == ecNothingToDo) NothingToDo = true;
    else report(S, F, X, V, Code);
  };
  const int n = W.Compress();
  Cli.Detach();
  return n;
}

std::unique_ptr<TCompBase> WriterFor(TCli& Cli, const TParsedArgs& Args, const std::string& Archive) {
  const TKindRow& kind = KindOf(Args, Archive);
  auto w = MakeWriter(kind);
  if (!w) Cli.Error(ecUnsupportedType, Archive, kind.Name);
  return w;
}

// A writer for Archive with every option of the command line but FileSpec and RecurseDirs.
std::unique_ptr<TCompBase> ConfiguredWriter(TCli& Cli, const TParsedArgs& Args, TSwitch Switch,
                                            const std::string& Archive) {
  auto w = WriterFor(Cli, Args, Archive);
  if (!w) return w;
  ApplyMethodOrLevel(*w, Args.Value("-m"));
  ApplyLevel(*w, Args.Value("-l"));
  if (Args.Has(kDigitOption)) ApplyDigitLevel(*w, Args.Value(kDigitOption));
  if (Args.Has("-j")) w->Workers = ParseIntOption("-j", Args.Value("-j"), 1, 1024);
  w->StoredDirNames = PathsMode(Args.Value("--paths", "auto"));
  if (w->StoredDirNames == sdExplorer_Auto) {
    // Names relative to the common folder of the PATHs themselves, so a single folder keeps its
    // own name ("docs/a.txt" for PATH docs), as the window and other archivers store it; a
    // PATH "." or ".." stands for its content.
    std::vector<std::string> paths;
    for (auto it = Args.Positional.begin() + 1; it != Args.Positional.end(); ++it) {
      std::string p = AbsolutePath(*it);
      while (p.size() > 1 && p.back() == '/') p.pop_back();
      const std::string last = std::filesystem::path(*it).filename().string();
      paths.push_back(last == "." || last == ".." ? WithTrailingSlash(p) : p);
    }
    w->StoredDirNames = sdExplorer_UserDefineDefaultDir;
    w->DefaultDir = CommonDir(paths);
  }
  // As zip -r and tar: hidden folders and empty folders are packed unless asked otherwise
  // (hidden files are admitted by the default attributes already).
  w->StoreEmptySubDirs = !Args.Has("--no-empty-dirs");
  w->IncludeHiddenDirs = !Args.Has("--no-hidden");
  if (Args.Has("--no-hidden")) w->AttributesEx.Include(fsHidden);
  w->Switch = Switch;
  for (const std::string& m : Args.Values("--exclude")) w->ExcludeSpec.push_back(m);
  w->CaseSensitiveMasks = !IgnoreCase(Args);
  if (auto* zip = dynamic_cast<TZipBase*>(w.get())) {
    zip->Password = Args.Value("-p");
    zip->StoreSymlinks = Args.Has("--symlinks");
    const std::string enc = Args.Value("--encryption", "zipcrypto");
    if (enc != "zipcrypto" && enc != "aes128" && enc != "aes192" && enc != "aes256")
      throw TUsageError("--encryption takes zipcrypto, aes128, aes192 or aes256");
    zip->AesStrength = enc == "aes128" ? 1 : enc == "aes192" ? 2 : enc == "aes256" ? 3 : 0;
    const std::string names = Args.Value("--names", "utf8");
    if (names != "utf8" && names != "cp932") throw TUsageError("--names takes utf8 or cp932");
    zip->Cp932Names = names == "cp932";
    if (Args.Has("--comment")) zip->SetArchiveComment(Args.Value("--comment"));
  } else if (Args.Has("-p") || Args.Has("--encryption") || Args.Has("--names")) {
    throw TUsageError("-p, --encryption and --names apply to zip archives only");
  }
  ApplyOwners(*w, Args);
  if (auto* cab = dynamic_cast<TMakeCab*>(w.get())) {
    if (Args.Has("--lzx-level")) cab->SetLzxLevel(ParseIntOption("--lzx-level", Args.Value("--lzx-level"), 15, 21));
    if (Args.Has("--quantum-level"))
      cab->SetQuantumLevel(ParseIntOption("--quantum-level", Args.Value("--quantum-level"), 1, 7));
    if (Args.Has("--quantum-memory"))
      cab->SetQuantumMemory(ParseIntOption("--quantum-memory", Args.Value("--quantum-memory"), 10, 21));
  }
  w->SetArchiveFile(Archive);
  return w;
}

// Folders and masks, then named files, each in a run of its own (the archive is updated twice
// when both are given).
// The archive as the user named it, with the extension the writer appended ("x" -> "x.zip").
std::string ShownArchive(const std::string& Given, const std::string& Absolute, const std::string& Written) {
  return Written.rfind(Absolute, 0) == 0 ? Given + Written.substr(Absolute.size()) : Written;
}

// Args with a "-p" given without a value replaced by the password typed (twice) on the terminal.
TParsedArgs WithPassword(const TParsedArgs& Args, const std::string& Archive) {
  if (!Args.Has("-p") || !Args.Value("-p").empty()) return Args;
  TParsedArgs out = Args;
  out.Options.erase("-p");
  out.Options.emplace("-p", Passwords(Args, Archive, true).back());
  return out;
}

int RunWriter(TCli& Cli, const TParsedArgs& GivenArgs, TSwitch Switch, std::ostringstream* Summary);

// "a - PATH...": the archive is built in a temporary file and then sent to standard output;
// every message goes to standard error.
int WriteToStdout(TCli& Cli, const TParsedArgs& Args, TSwitch Switch) {
  if (Switch != swAdd) throw TUsageError("only a writes an archive to standard output");
  if (!Args.Has("-t")) throw TUsageError("an archive on standard output needs -t KIND");
  if (isatty(STDOUT_FILENO)) throw TUsageError("standard output is a terminal: redirect it to a file or a pipe");
  const std::string reserved = UniqueTempName(SystemTempDir());
  if (reserved.empty()) {
    Cli.Error(ecOpenFile, SystemTempDir(), std::strerror(errno));
    return Cli.Status();
  }
  TTempFileGuard guard(reserved);
  const std::string temp = reserved + KindOf(Args, reserved).Extensions.front();
  RegisterTempFile(temp);
  TTempFileGuard made(temp);
  TParsedArgs args = Args;
  args.Positional[0] = temp;
  std::ostringstream summary;
  const int status = RunWriter(Cli, args, Switch, &summary);
  if (status == exOk && !CopyToStdout(Cli, temp)) return Cli.Status();
  std::cerr << summary.str();
  return Cli.Status();
}

int RunWriter(TCli& Cli, const TParsedArgs& GivenArgs, TSwitch Switch, std::ostringstream* Summary) {
  if (GivenArgs.Positional.size() < 2) throw TUsageError("ARCHIVE and at least one PATH are needed");
  if (GivenArgs.Positional[0] == "-") return WriteToStdout(Cli, GivenArgs, Switch);
  const std::string archive = AbsolutePath(GivenArgs.Positional[0]);
  const TParsedArgs Args = WithPassword(GivenArgs, archive);
  if (!ConfiguredWriter(Cli, Args, Switch, archive)) return Cli.Status();  // usage errors first
  const TPathGroups groups = GroupPaths(Cli, {Args.Positional.begin() + 1, Args.Positional.end()});
  int count = 0;
  bool nothingToDo = false;
  std::string written = archive;
  for (const auto* group : {&groups.Deep, &groups.Flat}) {
    if (group->empty() || TCli::Interrupted()) continue;
    auto w = ConfiguredWriter(Cli, Args, Switch, archive);
    w->FileSpec = *group;
    const bool deep = group == &groups.Deep;
    w->RecurseDirs = deep && !Args.Has("--no-recurse");
    w->StoreEmptySubDirs = (deep || std::any_of(group->begin(), group->end(), DirectoryExists)) && w->StoreEmptySubDirs;
    count += Execute(Cli, *w, nothingToDo);
    written = w->ArchiveFile();
  }
  // An archive that already holds everything as it is is no failure for a script (as zip and
  // 7z see it); moving with nothing moved still is.
  if (count == 0 && nothingToDo) {
    if (Switch == swMove || !FileExists(written)) Cli.Error(ecNothingToDo, written);
    else if (!Cli.Quiet) std::cout << ShownArchive(GivenArgs.Positional[0], archive, written) << " is up to date\n";
  }
  if (Summary) PrintSummary(Cli, Switch, count, "standard output", *Summary);
  else PrintSummary(Cli, Switch, count, written);
  return Cli.Status();
}

int RunDelete(TCli& Cli, const TParsedArgs& Args) {
  if (Args.Positional.size() < 2) throw TUsageError("ARCHIVE and at least one MASK are needed");
  const std::string archive = AbsolutePath(Args.Positional[0]);
  auto w = WriterFor(Cli, Args, archive);
  if (!w) return Cli.Status();
  w->Switch = swDelete;
  w->CaseSensitiveMasks = !IgnoreCase(Args);
  const std::vector<std::string> masks(Args.Positional.begin() + 1, Args.Positional.end());
  // Masks that select nothing are named, by the writer's own test for deletion (when brel-cli
  // reads the archive as it is; a missing one is the writer's to report).
  TArvexComponent probe;
  probe.SetArchiveFile(archive);
  if (FileExists(archive)) {
    const auto unmatched = UnmatchedMasks(Cli, EntryNames(probe.ArcType(), archive), masks,
                                          [&w](const std::string& M, const std::string& N) {
                                            w->FileSpec = {M};
                                            return w->SelectedForDelete(N);
                                          });
    if (!unmatched.empty() && unmatched.size() == masks.size()) return Cli.Status();
  }
  w->FileSpec = masks;
  w->SetArchiveFile(archive);
  bool nothingToDo = false;
  const int n = Execute(Cli, *w, nothingToDo);
  if (nothingToDo) Cli.Error(ecNothingToDo, archive);
  PrintSummary(Cli, swDelete, n, w->ArchiveFile());
  return Cli.Status();
}

const TOptionSpec kKindOption = {
    {"-t", "KIND", "zip lzh cab tar tgz txz tzst tbz2 (default: by content)", false,
     {"zip", "lzh", "cab", "tar", "tgz", "txz", "tzst", "tbz2"}}};
const TOptionSpec kDeleteOptions = {kKindOption[0], kIgnoreCase[0], kIgnoreCase[1]};
const TOptionSpec kWriterOptions = {
    kKindOption[0],
    {"-m", "METHOD", "store, deflate, lh5, lh6, lh7, mszip, lzx or quantum", false,
     {"store", "deflate", "lh5", "lh6", "lh7", "mszip", "lzx", "quantum"}},
    {"-l", "LEVEL", "level: fast, normal or max (default: normal)", false, {"fast", "normal", "max"}},
    {kDigitOption, "", "level 0 store, 1-3 fast, 4-6 normal, 7-9 max (also -mx=N)"},
    {"-r", "", "recurse into folders (the default; as zip and 7z take it)"},
    {"-j", "N", "compress on N threads (default: one per core)"},
    {"-p", "PASSWORD", "encrypt new entries with PASSWORD (zip only; alone: ask)", true},
    {"--encryption", "TYPE", "zipcrypto (default), aes128, aes192 or aes256 (zip only)", false,
     {"zipcrypto", "aes128", "aes192", "aes256"}},
    {"--names", "CODING", "non-ASCII names: utf8 (default) or cp932 (zip only)", false, {"utf8", "cp932"}},
    {"--no-recurse", "", "do not descend into folders"},
    {"--no-hidden", "", "leave out hidden files and folders (names starting .)"},
    {"--no-empty-dirs", "", "leave out empty folders"},
    {"--empty-dirs", "", "store empty folders (the default)"},
    {"--paths", "MODE", "names: auto, none, relative, start, absolute or noroot", false,
     {"auto", "none", "relative", "start", "absolute", "noroot"}},
    {"--exclude", "MASK", "leave out files matching MASK (repeatable)"},
    kIgnoreCase[0], kIgnoreCase[1],
    {"--comment", "TEXT", "set the archive comment (zip only)"},
    {"--symlinks", "", "store symbolic links as links (zip; tar always does)"},
    {"--owner", "NAME", "owner: NAME, ID or NAME:ID (tar; default: each file's)"},
    {"--group", "NAME", "group: NAME, ID or NAME:ID (tar; default: each file's)"},
    {"--numeric-owner", "", "store owner and group as ids only, without names (tar)"},
    {"--lzx-level", "N", "LZX window 2^N, 15..21 (cab only; default 21)"},
    {"--quantum-level", "N", "Quantum effort 1..7 (cab only; default 7)"},
    {"--quantum-memory", "N", "Quantum window 2^N, 10..21 (cab only; default 21)"}};
const char* const kWriterArgs = "ARCHIVE PATH...";

TCommand WriterCommand(const char* Summary, TSwitch Switch, int Rank) {
  return {kWriterArgs, Summary, kWriterOptions,
          [Switch](TCli& C, const TParsedArgs& A) { return RunWriter(C, A, Switch, nullptr); }, Rank};
}

const TRegisterCommand kAdd("a", WriterCommand("add files and folders; changed ones replace entries", swAdd, 1));
const TRegisterCommand kRefresh("f", WriterCommand("refresh: replace changed entries, add no new ones", swRefresh, 2));
const TRegisterCommand kMove("m", WriterCommand("move files and folders in (the sources go to the Trash)", swMove, 3));
const TRegisterCommand kDelete("d", {"ARCHIVE MASK...", "delete the entries matching the MASKs", kDeleteOptions, RunDelete, 4});

}  // namespace
