// brel-cli a / f / m (a writer run with swAdd, swRefresh, swMove) and d (swDelete).
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <filesystem>
#include <iostream>
#include <memory>

#include "archive/core/qrvBase.h"
#include "archive/core/qrvErrors.h"
#include "archive/qrvFormats.h"
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

// The kind of an existing archive from its content; null when it is none brel-cli writes.
const TFormatRow* KindOfContent(const std::string& Archive) {
  if (!FileExists(Archive)) return nullptr;
  TArvexComponent probe;
  probe.SetArchiveFile(Archive);
  return WriterFormatOfType(probe.ArcType(), Archive);
}

// The archive kind: -t, else the archive's content, else its extension; a name without
// extension is a ZIP. A kind or extension brel-cli does not write is a usage error (a ZIP named
// out.7z would mislead whoever opens it).
const TFormatRow& KindOf(const TParsedArgs& Args, const std::string& Archive) {
  if (Args.Has("-t")) {
    const std::string t = Lower(Args.Value("-t"));
    if (const TFormatRow* k = FormatNamed(t); k && k->Writes()) return *k;
    throw TUsageError("unknown archive kind " + t + " (-t takes " + Joined(WriterNames(), "|") + ")");
  }
  // An existing archive keeps its kind whatever its name (a ZIP named backup.dat stays a ZIP).
  if (const TFormatRow* k = KindOfContent(Archive)) return *k;
  const std::string a = BaseOf(Archive);
  if (const TFormatRow* k = FormatOfName(a); k && k->Writes() && a.size() > FormatExtensionOf(a).size()) return *k;
  if (a.find('.') == std::string::npos) return *FormatNamed("zip");
  throw TUsageError("cannot write " + Lower(a.substr(a.rfind('.'))) + " archives: end the name in one of " +
                    Joined(WriterExtensions(), " ") + " or give -t " + Joined(WriterNames(), "|"));
}

TStoredDirNames PathsMode(const std::string& V) {
  static const std::pair<const char*, TStoredDirNames> kModes[] = {
      {"none", sdNone},         {"relative", sdRelative},     {"start", sdRelativeStoreStart},
      {"absolute", sdAbsolute}, {"noroot", sdAbsoluteNoRoot}, {"auto", sdExplorer_Auto}};
  for (const auto& [name, mode] : kModes)
    if (V == name) return mode;
  throw TUsageError("unknown --paths value " + V);
}

void ApplyMethod(TCompBase& W, const TFormatRow& Kind, const std::string& Method) {
  if (Method.empty()) return;
  if (const TMethodKeyword* m = MethodOf(Kind, Method)) return W.SetCompressMethod(m->Method);
  const std::vector<std::string> all = AllMethodKeywords();
  if (std::find(all.begin(), all.end(), Method) != all.end())
    throw TUsageError("method " + Method + " does not apply to this archive kind");
  throw TUsageError("unknown method " + Method);
}

void ApplyLevel(TCompBase& W, const std::string& Level) {
  if (Level.empty()) return;
  if (Level == "fast")
    W.DeflateType = dtDeflateF;
  else if (Level == "normal")
    W.DeflateType = dtDeflateN;
  else if (Level == "max")
    W.DeflateType = dtDeflateX;
  else
    throw TUsageError("unknown level " + Level);
}

// 7z's level numbers: 0 stores, 1-3 fast, 4-6 normal, 7-9 max.
void ApplyDigitLevel(TCompBase& W, const TFormatRow& Kind, const std::string& Digit) {
  if (Digit.size() != 1 || Digit[0] < '0' || Digit[0] > '9') throw TUsageError("a level number is 0..9, not " + Digit);
  const int n = Digit[0] - '0';
  if (n == 0) return ApplyMethod(W, Kind, "store");
  ApplyLevel(W, n <= 3 ? "fast" : n <= 6 ? "normal" : "max");
}

// -m takes a method, or 7z's level form "x=N" / "xN".
void ApplyMethodOrLevel(TCompBase& W, const TFormatRow& Kind, const std::string& Value) {
  if (Value.size() >= 2 && Value[0] == 'x') return ApplyDigitLevel(W, Kind, Value.substr(Value[1] == '=' ? 2 : 1));
  ApplyMethod(W, Kind, Value);
}

// FileSpec from PATH arguments: a folder becomes folder/*.* and a mask stays as it is, both
// scanned recursively (unless --no-recurse); a named file is scanned alone, since a recursive
// scan would also take files of the same name from every folder below it. Missing paths are
// reported.
struct TPathGroups {
  std::vector<std::string> Deep, Flat;
};
TPathGroups GroupPaths(TCli* Cli, const std::vector<std::string>& Paths) {
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
    } else if (Cli) {
      Cli->Error(ecFileNotFound, arg);
    }
  }
  return groups;
}

void PrintSummary(const TCli& Cli, TSwitch Switch, int Count, const std::string& Archive,
                  std::ostream& Out = std::cout) {
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
    if (Code == ecNothingToDo)
      NothingToDo = true;
    else
      report(S, F, X, V, Code);
  };
  const int n = W.Compress();
  Cli.Detach();
  return n;
}

std::unique_ptr<TCompBase> WriterFor(TCli& Cli, const TFormatRow& Kind, const std::string& Archive) {
  auto w = Kind.NewWriter();
  if (!w) Cli.Error(ecUnsupportedType, Archive, Kind.Name);
  return w;
}

// A writer for Archive with every option of the command line but FileSpec and RecurseDirs.
std::unique_ptr<TCompBase> ConfiguredWriter(TCli& Cli, const TParsedArgs& Args, TSwitch Switch,
                                            const std::string& Archive) {
  const TFormatRow& kind = KindOf(Args, Archive);
  auto w = WriterFor(Cli, kind, Archive);
  if (!w) return w;
  ApplyMethodOrLevel(*w, kind, Args.Value("-m"));
  ApplyLevel(*w, Args.Value("-l"));
  if (Args.Has(kDigitOption)) ApplyDigitLevel(*w, kind, Args.Value(kDigitOption));
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
  ApplyFormatSettings(*w, kind, Args);
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

int RunWriter(TCli& Cli, const TParsedArgs& GivenArgs, TSwitch Switch, std::ostringstream* Summary,
              int OutputHandle = -1);

// Whether the writer of Args' kind streams the archive in one run: a kind that can, with PATHs
// that one scan takes (folders and masks, or named files, not both).
bool StreamsInOneRun(const TParsedArgs& Args) {
  const TPathGroups groups = GroupPaths(nullptr, {Args.Positional.begin() + 1, Args.Positional.end()});
  const auto w = KindOf(Args, "-").NewWriter();
  return w && w->WritesStreams() && (groups.Deep.empty() || groups.Flat.empty());
}

// "a - PATH...": the archive goes to standard output as it is made (a kind that must seek, or
// PATHs that need two runs, are built in a temporary file first); every message goes to
// standard error.
int WriteToStdout(TCli& Cli, const TParsedArgs& Args, TSwitch Switch) {
  if (Switch != swAdd) throw TUsageError("only a writes an archive to standard output");
  if (!Args.Has("-t")) throw TUsageError("an archive on standard output needs -t KIND");
  if (isatty(STDOUT_FILENO)) throw TUsageError("standard output is a terminal: redirect it to a file or a pipe");
  std::ostringstream summary;
  if (StreamsInOneRun(Args)) {
    TParsedArgs args = Args;
    // A name for the kind only: nothing is read or written under it.
    args.Positional[0] = AbsolutePath("-") + KindOf(Args, "-").Extensions.front();
    RunWriter(Cli, args, Switch, &summary, STDOUT_FILENO);
    std::cerr << summary.str();
    return Cli.Status();
  }
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
  const int status = RunWriter(Cli, args, Switch, &summary);
  if (status == exOk && !CopyToStdout(Cli, temp)) return Cli.Status();
  std::cerr << summary.str();
  return Cli.Status();
}

int RunWriter(TCli& Cli, const TParsedArgs& GivenArgs, TSwitch Switch, std::ostringstream* Summary, int OutputHandle) {
  if (GivenArgs.Positional.size() < 2) throw TUsageError("ARCHIVE and at least one PATH are needed");
  if (GivenArgs.Positional[0] == "-") return WriteToStdout(Cli, GivenArgs, Switch);
  const std::string archive = AbsolutePath(GivenArgs.Positional[0]);
  const TParsedArgs Args = WithPassword(GivenArgs, archive);
  if (!ConfiguredWriter(Cli, Args, Switch, archive)) return Cli.Status();  // usage errors first
  const TPathGroups groups = GroupPaths(&Cli, {Args.Positional.begin() + 1, Args.Positional.end()});
  int count = 0;
  bool nothingToDo = false;
  std::string written = archive;
  for (const auto* group : {&groups.Deep, &groups.Flat}) {
    if (group->empty() || TCli::Interrupted()) continue;
    auto w = ConfiguredWriter(Cli, Args, Switch, archive);
    w->OutputHandle = OutputHandle;
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
    if (Switch == swMove || Summary || !FileExists(written))
      Cli.Error(ecNothingToDo, written);
    else if (!Cli.Quiet)
      std::cout << ShownArchive(GivenArgs.Positional[0], archive, written) << " is up to date\n";
  }
  if (Summary)
    PrintSummary(Cli, Switch, count, "standard output", *Summary);
  else
    PrintSummary(Cli, Switch, count, written);
  return Cli.Status();
}

int RunDelete(TCli& Cli, const TParsedArgs& Args) {
  if (Args.Positional.size() < 2) throw TUsageError("ARCHIVE and at least one MASK are needed");
  const std::string archive = AbsolutePath(Args.Positional[0]);
  auto w = WriterFor(Cli, KindOf(Args, archive), archive);
  if (!w) return Cli.Status();
  w->Switch = swDelete;
  w->CaseSensitiveMasks = !IgnoreCase(Args);
  const std::vector<std::string> masks(Args.Positional.begin() + 1, Args.Positional.end());
  // Masks that select nothing are named, by the writer's own test for deletion (when brel-cli
  // reads the archive as it is; a missing one is the writer's to report).
  TArvexComponent probe;
  probe.SetArchiveFile(archive);
  if (FileExists(archive)) {
    const auto unmatched = UnmatchedMasks(Cli, ReaderFormatFor(probe.ArcType(), archive), archive, "", masks,
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

// The writer options: the frame's, then every format setting of the table (once each).
TOptionSpec WriterOptions() {
  const std::vector<std::string> methods = AllMethodKeywords();
  TOptionSpec options = {
      {"-t", "KIND", Joined(WriterNames(), " ") + " (default: by content)", false, WriterNames()},
      {"-m", "METHOD", ListedWords(methods), false, methods},
      {"-l", "LEVEL", "level: fast, normal or max (default: normal)", false, {"fast", "normal", "max"}},
      {kDigitOption, "", "level 0 store, 1-3 fast, 4-6 normal, 7-9 max (also -mx=N)"},
      {"-r", "", "recurse into folders (the default; as zip and 7z take it)"},
      {"-j", "N", "compress on N threads (default: one per core)"},
      {"--no-recurse", "", "do not descend into folders"},
      {"--no-hidden", "", "leave out hidden files and folders (names starting .)"},
      {"--no-empty-dirs", "", "leave out empty folders"},
      {"--empty-dirs", "", "store empty folders (the default)"},
      {"--paths",
       "MODE",
       "names: auto, none, relative, start, absolute or noroot",
       false,
       {"auto", "none", "relative", "start", "absolute", "noroot"}},
      {"--exclude", "MASK", "leave out files matching MASK (repeatable)"},
      kIgnoreCase[0],
      kIgnoreCase[1]};
  for (const TFormatRow& row : Formats())
    for (const TFormatOption& o : row.Options)
      if (std::none_of(options.begin(), options.end(), [&o](const TOption& s) { return s.Name == o.Name; }))
        options.push_back({o.Name, o.Value, o.Help, o.ValueOptional, o.Choices});
  return options;
}
const TOptionSpec kWriterOptions = WriterOptions();
const TOptionSpec kDeleteOptions = {kWriterOptions[0], kIgnoreCase[0], kIgnoreCase[1]};
const char* const kWriterArgs = "ARCHIVE PATH...";

TCommand WriterCommand(const char* Summary, TSwitch Switch, int Rank) {
  return {kWriterArgs, Summary, kWriterOptions,
          [Switch](TCli& C, const TParsedArgs& A) { return RunWriter(C, A, Switch, nullptr); }, Rank};
}

const TRegisterCommand kAdd("a", WriterCommand("add files and folders; changed ones replace entries", swAdd, 1));
const TRegisterCommand kRefresh("f", WriterCommand("refresh: replace changed entries, add no new ones", swRefresh, 2));
const TRegisterCommand kMove("m", WriterCommand("move files and folders in (the sources go to the Trash)", swMove, 3));
const TRegisterCommand kDelete("d", {"ARCHIVE MASK...", "delete the entries matching the MASKs", kDeleteOptions,
                                     RunDelete, 4});

}  // namespace
