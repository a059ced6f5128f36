// The reader for an archive file, chosen by the type detected from its content, and the run
// the reader commands (x, e, t, l) share.
#pragma once

#include <memory>
#include <string>

#include "archive/core/qrvBase.h"
#include "cli/CliCommon.h"

// A reader for archives of type T, or null when no reader handles that type.
std::unique_ptr<TUnBase> MakeReader(TArcType T);

// Opens ARCHIVE (the first positional argument) with the reader of its type, selects the
// entries named by the remaining arguments (all when none; each MASK that selects nothing is
// reported, and nothing runs when none selects anything), passes -p passwords and runs
// Configure before Extract. The summary line ("extracted N entries") of extraction and tests
// gets Details' text appended. Returns the exit status.
int RunReader(TCli& Cli, const TParsedArgs& Args, TExtractMode Mode,
              const std::function<void(TUnBase& Reader)>& Configure,
              const std::function<std::string(TUnBase& Reader)>& Details = {});
