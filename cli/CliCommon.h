// What every brel-cli command shares: the command registry, option parsing, error printing
// ("brel-cli: CODE TEXT: NAME"), the exit status, absolute paths, the progress bar and Ctrl+C.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/ArchiveJobs.h"

class TZipCommon;

// Exit statuses.
enum : int { exOk = 0, exError = 1, exUsage = 2 };

// A usage error: printed with the command's usage line, exit status 2.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One option of a command: its name ("-o", "--skip-existing"), the placeholder of its value
// ("DIR"; empty for a switch) and one line saying what it does (for help and the man page).
struct TOption {
  std::string Name;
  std::string Value;
  std::string Help;
  // The value may be left out (the option is last, or another option follows): "-p" alone
  // asks for the password on the terminal.
  bool ValueOptional = false;
  // The values it takes, when they are a fixed set (for shell completion).
  std::vector<std::string> Choices = {};
};
// The row name under which "-0" to "-9" are given (the digit is the value).
extern const char* const kDigitOption;  // "-0..-9"

// The options of one command. "-q" and "--help" are accepted by every command.
using TOptionSpec = std::vector<TOption>;

// A command line after parsing: options given (repeatable ones keep every value in order) and
// the positional arguments. "--" ends the options. A one-letter option that takes a value also
// takes it attached ("-oDIR", "-pSECRET", as 7z and unzip do); "-" alone is a positional
// argument (standard input or output). An unknown option is a usage error that names the
// nearest known one.
struct TParsedArgs {
  std::multimap<std::string, std::string> Options;
  std::vector<std::string> Positional;
  bool Has(const std::string& Name) const { return Options.count(Name) > 0; }
  // The last value given for Name, or Default.
  std::string Value(const std::string& Name, const std::string& Default = {}) const;
  std::vector<std::string> Values(const std::string& Name) const;
};
TParsedArgs ParseArgs(const std::vector<std::string>& Args, const TOptionSpec& Spec);

// "zip|lzh|..." and ".zip .lzh ...", for messages.
std::string Joined(const std::vector<std::string>& Items, const char* Separator);

// The format settings of the command line go to the kind's hook (a and run -p share it); one
// that only other kinds take is a usage error.
struct TFormatRow;
class TCompBase;
void CheckFormatSettings(const TFormatRow& Kind, const TParsedArgs& Args);
void ApplyFormatSettings(TCompBase& W, const TFormatRow& Kind, const TParsedArgs& Args);

// The progress line on standard error: shown once the work has run for a second, redrawn at
// most five times a second with the bytes done, the rate and the current name, cut to the
// terminal's width. Disabled (nothing drawn) unless standard error is a terminal.
class TProgressLine {
 public:
  // Enables the line (when Enabled and standard error is a terminal) and starts the clock.
  void Start(bool Enabled);
  // Redraws the line: Done of Total bytes (Total 0: unknown), Name the item at work.
  void Update(int64_t Done, int64_t Total, const std::string& Name);
  // The same while a writer scans its sources: files and bytes found so far.
  void Scanning(int Files, int64_t Bytes, const std::string& Name);
  // Removes a shown line (before other output and at the end).
  void Clear();
  bool Enabled() const { return FEnabled; }

 private:
  // Whether a redraw is due now (enabled, past the quiet start, not drawn too recently).
  bool Due();
  // Draws Text then Name, the name losing its beginning when the line is too long.
  void Draw(const std::string& Text, const std::string& Name);
  bool FEnabled = false;
  bool FShown = false;
  int64_t FStart = 0, FLastDraw = 0, FDelay = 1000;  // steady clock, milliseconds
};

// "a, b or c" (Last between the last two).
std::string ListedWords(const std::vector<std::string>& Items, const std::string& Last = " or ");

// "1.5 MiB", "312 B": a byte count for people.
std::string HumanBytes(int64_t Bytes);

// Prints "brel-cli: TEXT" to standard error (a message outside the components' error codes).
void PrintMessage(const std::string& Text);

// The state of one command run.
class TCli {
 public:
  TCli();
  ~TCli();
  bool Quiet = false;

  // Prints "brel-cli: CODE TEXT: NAME" to standard error and marks the run as failed.
  void Error(int32_t Code, const std::string& Name, const std::string& Extra = {});
  // Prints "brel-cli: TEXT" to standard error and marks the run as failed.
  void Fail(const std::string& Text);
  // The exit status so far: exOk, or exError after any error or Ctrl+C.
  int Status() const { return FFailed || Interrupted() ? exError : exOk; }
  // Ctrl+C was pressed (commands without a component check it between their steps).
  static bool Interrupted();

  // Connects a component: its errors are printed, its progress drawn (standard error being a
  // terminal and not Quiet), and Ctrl+C cancels it through SetCancel.
  void Attach(TZipCommon& Component);
  void Detach();
  // The progress line for work outside the components: Start once, then Show as it goes.
  void StartProgress() { FLine.Start(!Quiet); }
  void ShowProgress(int64_t Done, int64_t Total, const std::string& Name) { FLine.Update(Done, Total, Name); }
  // The same handlers for the archive jobs, which create their components themselves: the
  // component that last reported progress is the one Ctrl+C cancels.
  TArchiveJobEvents JobEvents();

 private:
  void ComponentError(const std::string& FileName, const std::string& ExtendedMsg, const std::string& VolumeID,
                      int32_t ECode);
  void Progress(TZipCommon* Sender);
  bool FFailed = false;
  TProgressLine FLine;
  TZipCommon* FComponent = nullptr;
};

// A name from an archive as it may be shown on a terminal: control characters (which a hostile
// archive could use to drive the terminal) become '?'.
// The whole number Value of option Name, within Min..Max; a usage error otherwise.
int ParseIntOption(const std::string& Name, const std::string& Value, int Min, int Max);

std::string PrintableName(const std::string& Name);

// "-" as an archive: standard input (readers) or standard output (writers). The archive goes
// through a temporary file in $TMPDIR: the formats seek, and a writer finishes its archive
// before it replaces anything. SpoolStdin copies standard input into a new temporary file that
// Guard removes; false (reported) when it cannot. CopyToStdout sends a file to standard output.
bool SpoolStdin(TCli& Cli, class TTempFileGuard& Guard);
bool CopyToStdout(TCli& Cli, const std::string& Path);

// An absolute form of a path argument (not resolving links).
std::string AbsolutePath(const std::string& Path);

// A command: its arguments after the options ("ARCHIVE [MASK...]"), one line saying what it
// does, its options and its body. The body gets the parsed arguments and returns the exit
// status. Rank orders the general help (commands that belong together sit together).
struct TCommand {
  std::string Args;
  std::string Summary;
  TOptionSpec Options;
  std::function<int(TCli& Cli, const TParsedArgs& Args)> Run;
  int Rank = 100;
};

// The registry commands add themselves to (one file per command).
std::map<std::string, TCommand>& Commands();
struct TRegisterCommand {
  TRegisterCommand(const std::string& Name, TCommand Command);
};

// The help texts: the general help (one line per command), one command's help (usage and one
// line per option), the man page (roff, made from the same texts) and the version line.
std::string GeneralHelp();
std::string CommandHelp(const std::string& Name, const TCommand& Command);
std::string ManPage();
// Completion scripts for bash and zsh: commands, options and their value lists.
std::string BashCompletion();
std::string ZshCompletion();
std::string VersionText();

// Runs brel-cli with argv (argv[0] excluded); returns the exit status.
int CliMain(const std::vector<std::string>& Args);
