// brel-cli a / f / m (a writer run with swAdd, swRefresh, swMove) and d (swDelete).
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>

#include "archive/core/qrvBase.h"
#include "archive/zip/qrvZip.h"
#include "cli/CliCommon.h"
#include "platform/FileInfo.h"
#include "platform/Paths.h"

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

// The archive kind: -t, else the archive's extension, else zip.
std::string KindOf(const TParsedArgs& Args, const std::string& Archive) {
  if (Args.Has("-t")) return Lower(Args.Value("-t"));
  const std::string a = Lower(Archive);
  if (a.ends_with(".tar.gz") || a.ends_with(".tgz")) return "tgz";
  for (const char* k : {"lzh", "lha", "tar", "cab", "zip"})
    if (a.ends_with(std::string(".") + k)) return std::string(k) == "lha" ? "lzh" : k;
  return "zip";
}

// The writer of a kind; nullptr when this build has none.
std::unique_ptr<TCompBase> MakeWriter(const std::string& Kind) {
  static const std::pair<const char*, int> kKinds[] = {
      {"zip", akZip}, {"lzh", akLzh}, {"cab", akCab}, {"tar", akTar}, {"tgz", akTar}};
  for (const auto& [name, kind] : kKinds) {
    if (Kind != name) continue;
    auto w = NewWriter(kind);
    // Before the archive is named: the name then decides between .tar.gz and .tgz.
    if (w && Kind == "tgz") w->SetCompressMethod(cmTarGzip);
    return w;
  }
  return nullptr;
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
      {"store", cmStore}, {"deflate", cmDeflate}, {"lh5", cmFrozen5}, {"lh6", cmFrozen6},
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

// FileSpec from PATH arguments: a folder becomes folder/*.* (scanned recursively unless
// --no-recurse), a file or a mask stays as it is. Missing paths are reported.
std::vector<std::string> SpecOf(TCli& Cli, const std::vector<std::string>& Paths) {
  std::vector<std::string> masks;
  for (const std::string& arg : Paths) {
    const std::string path = AbsolutePath(arg);
    if (DirectoryExists(path)) {
      masks.push_back(path + (path.back() == '/' ? "*.*" : "/*.*"));
    } else if (FileExists(path) || path.find_first_of("*?") != std::string::npos) {
      masks.push_back(path);
    } else {
      Cli.Error(25192, arg);
    }
  }
  return masks;
}

// Connects the component to the shell; a changed file replaces its entry when adding to an
// existing archive.
void Connect(TCli& Cli, TCompBase& W) {
  Cli.Attach(W);
  W.OnReplaceFile = [](TZipCommon*, const std::string&, const std::string&, TDateTime, TDateTime, int64_t, int64_t,
                       int32_t, int32_t, bool& Replace) { Replace = true; };
}

// Runs the writer and prints what it did (unless -q).
int Execute(TCli& Cli, TCompBase& W) {
  Connect(Cli, W);
  const int n = W.Compress();
  Cli.Detach();
  if (!Cli.Quiet && n > 0)
    std::cout << (W.Switch == swDelete ? "deleted " : "added ") << n << (n == 1 ? " entry" : " entries")
              << (W.Switch == swDelete ? " from " : " to ") << W.ArchiveFile() << '\n';
  return Cli.Status();
}

std::unique_ptr<TCompBase> WriterFor(TCli& Cli, const TParsedArgs& Args, const std::string& Archive) {
  const std::string kind = KindOf(Args, Archive);
  auto w = MakeWriter(kind);
  if (!w) Cli.Error(25244, Archive, kind);
  return w;
}

int RunWriter(TCli& Cli, const TParsedArgs& Args, TSwitch Switch) {
  if (Args.Positional.size() < 2) throw TUsageError("ARCHIVE and at least one PATH are needed");
  const std::string archive = AbsolutePath(Args.Positional[0]);
  auto w = WriterFor(Cli, Args, archive);
  if (!w) return Cli.Status();
  ApplyMethod(*w, Args.Value("-m"));
  ApplyLevel(*w, Args.Value("-l"));
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
  w->RecurseDirs = !Args.Has("--no-recurse");
  w->StoreEmptySubDirs = Args.Has("--empty-dirs");
  w->Switch = Switch;
  for (const std::string& m : Args.Values("--exclude")) w->ExcludeSpec.push_back(m);
  if (auto* zip = dynamic_cast<TZipBase*>(w.get())) {
    zip->Password = Args.Value("-p");
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
  w->FileSpec = SpecOf(Cli, {Args.Positional.begin() + 1, Args.Positional.end()});
  if (w->FileSpec.empty()) return Cli.Status();
  w->SetArchiveFile(archive);
  return Execute(Cli, *w);
}

int RunDelete(TCli& Cli, const TParsedArgs& Args) {
  if (Args.Positional.size() < 2) throw TUsageError("ARCHIVE and at least one MASK are needed");
  const std::string archive = AbsolutePath(Args.Positional[0]);
  auto w = WriterFor(Cli, Args, archive);
  if (!w) return Cli.Status();
  w->Switch = swDelete;
  w->FileSpec.assign(Args.Positional.begin() + 1, Args.Positional.end());
  w->SetArchiveFile(archive);
  return Execute(Cli, *w);
}

const TOptionSpec kWriterOptions = {{"-t", true},         {"-m", true},        {"-l", true},
                                    {"-p", true},         {"--no-recurse", false}, {"--paths", true},
                                    {"--exclude", true},  {"--empty-dirs", false}, {"--comment", true},
                                    {"--encryption", true}, {"--names", true}};
const char* const kWriterUsage =
    "[-t zip|lzh|tar|tgz|cab] [-m METHOD] [-l fast|normal|max] [-p PASSWORD] [--no-recurse] "
    "[--paths none|relative|start|absolute|noroot|auto] [--exclude MASK]... [--empty-dirs] "
    "[--comment TEXT] [--encryption zipcrypto|aes128|aes192|aes256] [--names utf8|cp932] ARCHIVE PATH...";

const TRegisterCommand kAdd("a", {kWriterUsage, kWriterOptions,
                                  [](TCli& C, const TParsedArgs& A) { return RunWriter(C, A, swAdd); }});
const TRegisterCommand kRefresh("f", {kWriterUsage, kWriterOptions,
                                      [](TCli& C, const TParsedArgs& A) { return RunWriter(C, A, swRefresh); }});
const TRegisterCommand kMove("m", {kWriterUsage, kWriterOptions,
                                   [](TCli& C, const TParsedArgs& A) { return RunWriter(C, A, swMove); }});
const TRegisterCommand kDelete("d", {"[-t zip|lzh|tar|tgz|cab] ARCHIVE MASK...", {{"-t", true}}, RunDelete});

}  // namespace
