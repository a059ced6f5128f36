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

// Options of one command: name (e.g. "-o", "--skip-existing") -> whether it takes a value.
// "-q" is accepted by every command.
using TOptionSpec = std::map<std::string, bool>;

// A command line after parsing: options given (repeatable ones keep every value in order) and
// the positional arguments. "--" ends the options.
struct TParsedArgs {
  std::multimap<std::string, std::string> Options;
  std::vector<std::string> Positional;
  bool Has(const std::string& Name) const { return Options.count(Name) > 0; }
  // The last value given for Name, or Default.
  std::string Value(const std::string& Name, const std::string& Default = {}) const;
  std::vector<std::string> Values(const std::string& Name) const;
};
TParsedArgs ParseArgs(const std::vector<std::string>& Args, const TOptionSpec& Spec);

// The state of one command run.
class TCli {
 public:
  TCli();
  ~TCli();
  bool Quiet = false;

  // Prints "brel-cli: CODE TEXT: NAME" to standard error and marks the run as failed.
  void Error(int32_t Code, const std::string& Name, const std::string& Extra = {});
  // The exit status so far: exOk, or exError after any error or Ctrl+C.
  int Status() const { return FFailed || Interrupted() ? exError : exOk; }
  // Ctrl+C was pressed (commands without a component check it between their steps).
  static bool Interrupted();

  // Connects a component: its errors are printed, its progress drawn (standard error being a
  // terminal and not Quiet), and Ctrl+C cancels it through SetCancel.
  void Attach(TZipCommon& Component);
  void Detach();
  // The same handlers for the archive jobs, which create their components themselves: the
  // component that last reported progress is the one Ctrl+C cancels.
  TArchiveJobEvents JobEvents();

 private:
  void ComponentError(const std::string& FileName, const std::string& ExtendedMsg,
                      const std::string& VolumeID, int32_t ECode);
  void DrawProgress(uint8_t ByFile, uint8_t ByArchive);
  bool FFailed = false;
  bool FBar = false;
  bool FBarShown = false;
  TZipCommon* FComponent = nullptr;
};

// A name from an archive as it may be shown on a terminal: control characters (which a hostile
// archive could use to drive the terminal) become '?'.
std::string PrintableName(const std::string& Name);

// An absolute form of a path argument (not resolving links).
std::string AbsolutePath(const std::string& Path);

// A command: its usage line (after the command name), its options and its body. The body gets
// the parsed arguments and returns the exit status.
struct TCommand {
  std::string Usage;
  TOptionSpec Options;
  std::function<int(TCli& Cli, const TParsedArgs& Args)> Run;
};

// The registry commands add themselves to (one file per command).
std::map<std::string, TCommand>& Commands();
struct TRegisterCommand {
  TRegisterCommand(const std::string& Name, TCommand Command);
};

// Runs brel-cli with argv (argv[0] excluded); returns the exit status.
int CliMain(const std::vector<std::string>& Args);
