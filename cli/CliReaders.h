// The reader for an archive file, chosen by the type detected from its content, and the run
// the reader commands (x, e, t, l) share.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/core/qrvBase.h"
#include "archive/qrvFormats.h"
#include "cli/CliCommon.h"

// Asks for the password of Entry on the terminal, without echo. False when there is no
// terminal to ask or nothing was typed.
bool AskPassword(const std::string& Entry, std::string& Password);

// The -p values of a command line; each "-p" given without a value is asked for on the
// terminal (twice when Confirm, for a password that encrypts). A usage error when it cannot be.
std::vector<std::string> Passwords(const TParsedArgs& Args, const std::string& Archive, bool Confirm);

// "-i" and "--ignore-case": masks then match without regard to letter case (by default they
// tell case apart, as Linux file names do).
extern const TOption kIgnoreCase[2];
bool IgnoreCase(const TParsedArgs& Args);

// --names CODING of the reader commands: the code page of stored names without a mark of
// their own (utf8, cp932, cp437 or any iconv name); without it each name is guessed.
inline const TOption kNamesOption = {"--names", "CODING", "code page of unmarked names: cp932, cp437, utf8, any iconv"};

// The masks that select no entry of the archive Source by the test Selects, each reported ("no
// entry matches MASK") and returned. The names come from a listing pass of Format's reader
// (nothing decoded, no name kept: a million entries cost no list of names). None without Format
// or when the pass met an error (left unreported for the run that follows to report).
std::vector<std::string> UnmatchedMasks(
    TCli& Cli, const TFormatRow* Format, const std::string& Source, const std::string& NameCoding,
    const std::vector<std::string>& Masks,
    const std::function<bool(const std::string& Mask, const std::string& Name)>& Selects);

// Opens ARCHIVE (the first positional argument) with the reader of its type, selects the
// entries named by the remaining arguments (all when none; each MASK that selects nothing is
// reported, and nothing runs when none selects anything), passes -p passwords and --names and runs
// Configure before Extract. The summary line ("extracted N entries") of extraction and tests
// gets Details' text appended. Returns the exit status.
int RunReader(TCli& Cli, const TParsedArgs& Args, TExtractMode Mode,
              const std::function<void(TUnBase& Reader)>& Configure,
              const std::function<std::string(TUnBase& Reader)>& Details = {});
