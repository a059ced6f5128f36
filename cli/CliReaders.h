// The reader for an archive file, chosen by the type detected from its content, and the run
// the reader commands (x, e, t, l) share.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/core/qrvBase.h"
#include "cli/CliCommon.h"

// Asks for a password on the terminal (echo off). False when there is no terminal to ask.
bool AskPassword(const std::string& Entry, std::string& Password);

// A reader for archives of type T, or null when no reader handles that type.
std::unique_ptr<TUnBase> MakeReader(TArcType T);

// The stored names of every entry of the archive Source of type Type (a listing pass, nothing
// decoded). None when no reader handles the type or the pass met an error (left unreported
// for the run that follows to report).
std::optional<std::vector<std::string>> EntryNames(TArcType Type, const std::string& Source);

// The masks that select none of Names by the test Selects, each reported ("no entry matches
// MASK") and returned. None without Names.
std::vector<std::string> UnmatchedMasks(TCli& Cli, const std::optional<std::vector<std::string>>& Names,
                                        const std::vector<std::string>& Masks,
                                        const std::function<bool(const std::string& Mask, const std::string& Name)>& Selects);

// Opens ARCHIVE (the first positional argument) with the reader of its type, selects the
// entries named by the remaining arguments (all when none; each MASK that selects nothing is
// reported, and nothing runs when none selects anything), passes -p passwords and runs
// Configure before Extract. The summary line ("extracted N entries") of extraction and tests
// gets Details' text appended. Returns the exit status.
int RunReader(TCli& Cli, const TParsedArgs& Args, TExtractMode Mode,
              const std::function<void(TUnBase& Reader)>& Configure,
              const std::function<std::string(TUnBase& Reader)>& Details = {});
