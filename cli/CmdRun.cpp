// brel-cli run: what "Execute" does with a list of paths: the UPX job for one executable, or the
// archive jobs (extract every listed archive beside itself, pack everything else into one new
// archive). Prints the status text the window would show.
#include <iostream>
#include <memory>

#include "app/ArchiveJobs.h"
#include "archive/core/qrvBase.h"
#include "archive/qrvFormats.h"
#include "cli/CliCommon.h"
#include "cli/CliReaders.h"
#include "upx/UpxJob.h"

namespace {

const char* const kStatusReady = "Ready";
const char* const kStatusError = "Erorr";  // the window's own spelling

int ParseKind(const std::string& Value) {
  const TFormatRow* row = FormatNamed(Value);
  if (!row || !row->Writes()) throw TUsageError("unknown --kind " + Value);
  return KindOf(*row);
}

int ParseUpxMode(const std::string& Value) {
  static const char* const kNames[] = {"auto", "compress", "decompress", "test"};
  for (int m = uaAuto; m <= uaTest; ++m)
    if (Value == kNames[m]) return m;
  throw TUsageError("unknown --upx-mode " + Value);
}

int ParseUpxLevel(const std::string& Value) { return ParseIntOption("--upx-level", Value, 1, 10); }

// Without options: the window on its first run (ZIP, "Level 7", backup, compress icons, auto).
TUpxOptions UpxOptionsFrom(const TParsedArgs& Args) {
  TUpxOptions o;
  o.Mode = ParseUpxMode(Args.Value("--upx-mode", "auto"));
  o.Level = ParseUpxLevel(Args.Value("--upx-level", "7"));
  o.Backup = !Args.Has("--no-backup");
  o.CompressIcons = !Args.Has("--no-icons");
  return o;
}

bool RunUpx(TCli& Cli, const std::string& Path, const TUpxOptions& Options) {
  TUpxJobIO io;
  io.Memo1Add = [&Cli](const std::string& line) {
    if (!Cli.Quiet) std::cout << line << '\n';
  };
  return !RunUpxStandalone(Path, Options, io).Failed;
}

// Says where an archive went and what it left out (a failure: not everything was extracted).
void NoteUnpacked(TCli& Cli, const std::string& Archive, const TJobResult& Result) {
  if (Result.Outcome == joDone && !Cli.Quiet) std::cout << "Extracted into " << Result.Target << '\n';
  if (Result.Skipped > 0)
    Cli.Fail(Archive + ": " + std::to_string(Result.Skipped) + " entries skipped (" + Result.SkipReason + ')');
}

// -p: the password new ZIP entries get (through the format's settings, as a takes it) and the
// one encrypted entries are opened with (a wrong one is reported, not asked again). Without -p
// encrypted entries are asked for on the terminal.
void ApplyPassword(TCli& Cli, const TParsedArgs& Args, const TArchivePlan& Plan, TArchiveJobEvents& Events) {
  if (!Args.Has("-p")) {
    Events.OnGetPassword = [&Cli](const std::string& Archive, const std::string& Entry, std::string& Password,
                                  bool& ForAll) {
      ForAll = true;
      return !Cli.Quiet && AskPassword(Archive + ": " + Entry, Password);
    };
    return;
  }
  const TFormatRow& row = *FormatNamed(Args.Value("--kind", "zip"));
  if (!Plan.Pack.empty()) CheckFormatSettings(row, Args);
  TParsedArgs given;
  given.Options.emplace("-p", Passwords(Args, "brel-cli run", !Plan.Pack.empty()).back());
  if (!Plan.Pack.empty())
    Events.OnWriter = [given, &row](TCompBase& Writer) { ApplyFormatSettings(Writer, row, given); };
  auto asked = std::make_shared<std::string>();
  Events.OnGetPassword = [given, asked](const std::string& Archive, const std::string& Entry, std::string& Password,
                                        bool& ForAll) {
    const std::string key = Archive + '\n' + Entry;
    if (*asked == key) return false;  // asked again for the same entry: the password is wrong
    *asked = key;
    Password = given.Value("-p");
    ForAll = true;
    return true;
  };
}

// Returns false when any component reported an error.
bool RunArchives(TCli& Cli, const TParsedArgs& Args, int Kind, std::vector<std::string> Paths) {
  TArchiveJobEvents events = Cli.JobEvents();
  const TArchivePlan plan = PlanArchiveJobs(Paths);
  ApplyPassword(Cli, Args, plan, events);
  for (const std::string& archive : plan.Extract) {
    if (TCli::Interrupted()) break;
    const TJobResult result = UnpackArchive(archive, events);
    Cli.Detach();
    NoteUnpacked(Cli, archive, result);
  }
  if (!plan.Pack.empty() && !TCli::Interrupted()) {
    const TJobResult made = MakeArchive(Kind, plan.Pack, events);
    Cli.Detach();
    if (!Cli.Quiet && made.Outcome == joDone) std::cout << "Packed into " << made.Target << '\n';
    if (!Cli.Quiet && made.Outcome == joUpToDate) std::cout << made.Target << " is up to date\n";
  }
  return Cli.Status() == exOk;
}

int RunRun(TCli& Cli, const TParsedArgs& Args) {
  if (Args.Positional.empty()) throw TUsageError("no PATH given");
  const int kind = ParseKind(Args.Value("--kind", "zip"));
  const TUpxOptions upx = UpxOptionsFrom(Args);
  std::vector<std::string> paths;
  for (const std::string& p : Args.Positional) paths.push_back(AbsolutePath(p));

  bool ok;
  if (IsUpxJob(paths, !Args.Has("--no-upx"))) {
    ok = RunUpx(Cli, paths.front(), upx);
    if (!ok) return exError;  // the packer's own lines said what went wrong
  } else {
    ok = RunArchives(Cli, Args, kind, paths);
  }
  if (!Cli.Quiet || !ok) std::cout << (ok ? kStatusReady : kStatusError) << '\n';
  return ok ? exOk : exError;
}

const TRegisterCommand kRegister(
    "run", {"PATH...",
            "what the window's Execute does with the PATHs",
            {{"--kind", "KIND", "kind of a new archive, one of a's -t kinds (default: zip)", false, WriterNames()},
             {"--no-upx", "", "never hand a program to the UPX packer"},
             {"--upx-mode",
              "MODE",
              "UPX mode: auto, compress, decompress or test (default: auto)",
              false,
              {"auto", "compress", "decompress", "test"}},
             {"--upx-level", "N", "UPX level 1..10 (default: 7)"},
             {"--no-backup", "", "UPX keeps no backup of the program"},
             {"--no-icons", "", "UPX leaves the icons uncompressed"},
             {"-p", "PASSWORD", "password of archives packed (zip) or extracted (alone: ask)", true}},
            RunRun,
            11});

}  // namespace
