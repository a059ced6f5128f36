// brel-cli x, e and t: extraction with and without stored folders, and testing.
#include <unistd.h>

#include "cli/CliReaders.h"

namespace {

const TOptionSpec kExtractOptions = {{"-o", true}, {"--skip-existing", false}, {"-p", true}};

int RunExtract(TCli& Cli, const TParsedArgs& Args, bool StoredDirs) {
  const std::string dir = AbsolutePath(Args.Value("-o", "."));
  const bool skipExisting = Args.Has("--skip-existing");
  return RunReader(Cli, Args, xmExtract, [&](TUnBase& R) {
    R.SetExtractDir(dir);
    R.UseStoredDirs = StoredDirs;
    R.CreateStoredDirs = StoredDirs;
    R.OverwriteMode = omOverwrite;
    // Skipping only what exists takes the question path: every existing target is answered
    // with omSkip, every other entry is written.
    R.ConfirmOverwrites = skipExisting;
    if (skipExisting)
      R.OnFileExists = [](TZipCommon*, const std::string&, std::string&, TOverwriteMode& Mode) { Mode = omSkip; };
  });
}

int RunX(TCli& Cli, const TParsedArgs& Args) { return RunExtract(Cli, Args, true); }
int RunE(TCli& Cli, const TParsedArgs& Args) { return RunExtract(Cli, Args, false); }
int RunT(TCli& Cli, const TParsedArgs& Args) { return RunReader(Cli, Args, xmTest, {}); }

const TRegisterCommand kX("x", {"[-o DIR] [--skip-existing] [-p PASSWORD]... ARCHIVE [MASK...]", kExtractOptions, RunX});
const TRegisterCommand kE("e", {"[-o DIR] [--skip-existing] [-p PASSWORD]... ARCHIVE [MASK...]", kExtractOptions, RunE});
const TRegisterCommand kT("t", {"[-p PASSWORD]... ARCHIVE [MASK...]", {{"-p", true}}, RunT});

}  // namespace
