// brel-cli x, e and t: extraction with and without stored folders, and testing.
#include <filesystem>
#include <unistd.h>

#include <memory>

#include "cli/CliReaders.h"

namespace {

const TOption kJobs = {"-j", "N", "decode on N threads (default or 0: one per core)"};
const TOptionSpec kExtractOptions = {
    {"-o", "DIR", "extract below DIR (default: the current folder; -: stdout)"},
    {"--overwrite", "", "replace existing files (default: changed ones go to Trash)"},
    {"--skip-existing", "", "leave existing files as they are"},
    {"-p", "PASSWORD", "password for encrypted entries (repeatable; -p alone asks)", true},
    kIgnoreCase[0],
    kIgnoreCase[1],
    kNamesOption,
    {"--numeric-owner", "", "as root: restore tar owners by their ids, not their names"},
    kJobs};
const TOptionSpec kTestOptions = {kExtractOptions[3], kIgnoreCase[0], kIgnoreCase[1], kNamesOption, kJobs};

// "1 changed file", "2 existing files".
std::string Files(int N, const char* What) { return std::to_string(N) + ' ' + What + (N == 1 ? " file" : " files"); }

// -o -: the selected files' bytes one after another on standard output, as unzip -p and
// tar -O give them; folders and links make nothing.
int RunToStdout(TCli& Cli, const TParsedArgs& Args) {
  if (Args.Has("--skip-existing") || Args.Has("--overwrite"))
    throw TUsageError("--overwrite and --skip-existing do not apply to -o -");
  THandleStream32 out(STDOUT_FILENO);
  return RunReader(Cli, Args, xmTest, [&out](TUnBase& R) { R.DataSink = &out; });
}

int RunExtract(TCli& Cli, const TParsedArgs& Args, bool StoredDirs) {
  if (Args.Value("-o", ".") == "-") return RunToStdout(Cli, Args);
  // The reader never follows a link to its output folder; a link the user names is resolved here.
  std::error_code ec;
  const std::string given = AbsolutePath(Args.Value("-o", "."));
  const std::filesystem::path real = std::filesystem::weakly_canonical(given, ec);
  const std::string dir = ec ? given : real.string();
  const bool skipExisting = Args.Has("--skip-existing");
  if (skipExisting && Args.Has("--overwrite")) throw TUsageError("--overwrite and --skip-existing exclude each other");
  auto skipped = std::make_shared<int>(0);
  return RunReader(
      Cli, Args, xmExtract,
      [&](TUnBase& R) {
        R.SetExtractDir(dir);
        R.UseStoredDirs = StoredDirs;
        R.CreateStoredDirs = StoredDirs;
        R.OverwriteMode = omOverwrite;
        R.NumericOwners = Args.Has("--numeric-owner");
        // As the window: what the user changed goes to the Trash, never lost.
        R.TrashChanged = !skipExisting && !Args.Has("--overwrite");
        // Skipping only what exists takes the question path: every existing target is answered
        // with omSkip, every other entry is written.
        R.ConfirmOverwrites = skipExisting;
        if (skipExisting)
          R.OnFileExists = [skipped](TZipCommon*, const std::string&, std::string&, TOverwriteMode& Mode) {
            Mode = omSkip;
            ++*skipped;
          };
      },
      [skipped](TUnBase& R) {
        std::string out;
        if (*skipped) out += ", " + Files(*skipped, "existing") + " skipped";
        if (R.TrashedFiles()) out += ", " + Files(R.TrashedFiles(), "changed") + " moved to the Trash";
        return out;
      });
}

int RunX(TCli& Cli, const TParsedArgs& Args) { return RunExtract(Cli, Args, true); }
int RunE(TCli& Cli, const TParsedArgs& Args) { return RunExtract(Cli, Args, false); }
int RunT(TCli& Cli, const TParsedArgs& Args) { return RunReader(Cli, Args, xmTest, {}); }

const char* const kReaderArgs = "ARCHIVE [MASK...]";
const TRegisterCommand kX("x", {kReaderArgs, "extract entries (all, or those matching) with folders", kExtractOptions,
                                RunX, 5});
const TRegisterCommand kE("e", {kReaderArgs, "extract entries without their folders, all into one", kExtractOptions,
                                RunE, 6});
const TRegisterCommand kT("t",
                          {kReaderArgs, "test entries: decode and check them, write nothing", kTestOptions, RunT, 7});

}  // namespace
