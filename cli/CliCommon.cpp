// Option parsing, error printing, progress bar, Ctrl+C and the command dispatch of brel-cli.
#include "cli/CliCommon.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "archive/core/qrvBase.h"
#include "archive/core/qrvErrors.h"
#include "archive/core/qrvStreams.h"
#include "archive/qrvFormats.h"
#include "platform/TempFiles.h"

// ---- Arguments -----------------------------------------------------------------------------

std::string TParsedArgs::Value(const std::string& Name, const std::string& Default) const {
  auto range = Options.equal_range(Name);
  std::string v = Default;
  for (auto it = range.first; it != range.second; ++it) v = it->second;
  return v;
}

std::vector<std::string> TParsedArgs::Values(const std::string& Name) const {
  std::vector<std::string> out;
  auto range = Options.equal_range(Name);
  for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
  return out;
}

const char* const kDigitOption = "-0..-9";

namespace {

// Edit distance of two short option names (for the suggestion of a mistyped one).
size_t Distance(const std::string& A, const std::string& B) {
  std::vector<size_t> row(B.size() + 1);
  for (size_t j = 0; j <= B.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= A.size(); ++i) {
    size_t diag = row[0];
    row[0] = i;
    for (size_t j = 1; j <= B.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (A[i - 1] == B[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[B.size()];
}

[[noreturn]] void UnknownOption(const std::string& Name, const TOptionSpec& Spec) {
  std::string best;
  size_t bestDistance = 3;  // suggest only a near miss
  for (const TOption& o : Spec) {
    const size_t d = Distance(Name, o.Name);
    if (d < bestDistance) best = o.Name, bestDistance = d;
  }
  throw TUsageError("unknown option " + Name + (best.empty() ? "" : " (did you mean " + best + "?)"));
}

const TOption* Find(const TOptionSpec& Spec, const std::string& Name) {
  const auto it = std::find_if(Spec.begin(), Spec.end(), [&](const TOption& o) { return o.Name == Name; });
  return it == Spec.end() ? nullptr : &*it;
}

// "-5" under an option table with the digit row, "-oDIR" for a one-letter option with a value: the
// name and value it stands for; false when A is neither.
bool ShortForm(const std::string& A, const TOptionSpec& Spec, std::string& Name, std::string& Value) {
  if (A.size() == 2 && std::isdigit(static_cast<unsigned char>(A[1])) && Find(Spec, kDigitOption)) {
    Name = kDigitOption;
    Value = A.substr(1);
    return true;
  }
  if (A.size() <= 2 || A[1] == '-') return false;
  const TOption* o = Find(Spec, A.substr(0, 2));
  if (!o || o->Value.empty()) return false;
  Name = o->Name;
  Value = A.substr(2);
  return true;
}

}  // namespace

TParsedArgs ParseArgs(const std::vector<std::string>& Args, const TOptionSpec& Spec) {
  TParsedArgs out;
  bool optionsEnded = false;
  for (size_t i = 0; i < Args.size(); ++i) {
    const std::string& a = Args[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      out.Positional.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    // "--name=value" gives the value inline.
    std::string name = a, value;
    const size_t eq = a.find('=');
    bool inlineValue = a.rfind("--", 0) == 0 && eq != std::string::npos;
    if (inlineValue) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
    }
    if (name == "-q" || name == "--help" || name == "-h") {
      out.Options.emplace(name == "-h" ? "--help" : name, "");
      continue;
    }
    const TOption* o = Find(Spec, name);
    if (!o && !inlineValue && ShortForm(a, Spec, name, value)) {
      out.Options.emplace(name, value);
      continue;
    }
    if (!o) UnknownOption(name, Spec);
    const bool takesValue = !o->Value.empty();
    const bool valueFollows = i + 1 < Args.size() && (Args[i + 1] == "-" || Args[i + 1].rfind('-', 0) != 0);
    if (takesValue && !inlineValue && !(o->ValueOptional && !valueFollows)) {
      if (i + 1 >= Args.size()) throw TUsageError("option " + name + " needs a value (" + o->Value + ")");
      value = Args[++i];
    } else if (!takesValue && inlineValue) {
      throw TUsageError("option " + name + " takes no value");
    }
    out.Options.emplace(name, value);
  }
  return out;
}

int ParseIntOption(const std::string& Name, const std::string& Value, int Min, int Max) {
  int n = Min - 1;
  try {
    n = std::stoi(Value);
  } catch (const std::exception&) {
  }
  if (n < Min || n > Max || std::to_string(n) != Value)
    throw TUsageError(Name + " takes " + std::to_string(Min) + ".." + std::to_string(Max));
  return n;
}

std::string PrintableName(const std::string& Name) {
  std::string out = Name;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return out;
}

std::string AbsolutePath(const std::string& Path) {
  std::error_code ec;
  const auto p = std::filesystem::absolute(Path, ec);
  return ec ? Path : p.lexically_normal().string();
}

// ---- Standard input and output as the archive ----------------------------------------------

namespace {

// Copies descriptor In to Out to the end; false on a read or write failure or Ctrl+C.
bool CopyFd(int In, int Out) {
  std::vector<char> buf(1 << 17);
  for (;;) {
    const ssize_t n = read(In, buf.data(), buf.size());
    if (n == 0) return true;
    if (n < 0 && errno == EINTR && !TCli::Interrupted()) continue;
    if (n < 0) return false;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(Out, buf.data() + done, size_t(n - done));
      if (w < 0 && errno == EINTR && !TCli::Interrupted()) continue;
      if (w <= 0) return false;
      done += w;
    }
  }
}

}  // namespace

bool SpoolStdin(TCli& Cli, TTempFileGuard& Guard) {
  std::string path;
  const int fd = CreateUniqueFile(SystemTempDir(), "qrv", path);
  if (fd < 0) {
    Cli.Error(ecOpenFile, SystemTempDir(), std::strerror(errno));
    return false;
  }
  Guard.Reset(path);
  const bool ok = CopyFd(STDIN_FILENO, fd);
  const int err = errno;
  close(fd);
  if (!ok) Cli.Error(ecReadFile, "standard input", std::strerror(err));
  return ok;
}

bool CopyToStdout(TCli& Cli, const std::string& Path) {
  const int fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool ok = fd >= 0 && CopyFd(fd, STDOUT_FILENO);
  const int err = errno;
  if (fd >= 0) close(fd);
  if (!ok) Cli.Error(ecWriteFile, "standard output", std::strerror(err));
  return ok;
}

// ---- Format settings -----------------------------------------------------------------------

std::string Joined(const std::vector<std::string>& Items, const char* Separator) {
  std::string out;
  for (const std::string& i : Items) out += (out.empty() ? "" : Separator) + i;
  return out;
}

void CheckFormatSettings(const TFormatRow& Kind, const TParsedArgs& Args) {
  const auto takes = [](const TFormatRow& Row, const std::string& Name) {
    return std::any_of(Row.Options.begin(), Row.Options.end(), [&](const TFormatOption& o) { return o.Name == Name; });
  };
  for (const TFormatRow& other : Formats())
    for (const TFormatOption& o : other.Options)
      if (Args.Has(o.Name) && !takes(Kind, o.Name)) {
        std::vector<std::string> kinds;
        for (const TFormatRow& r : Formats())
          if (takes(r, o.Name)) kinds.push_back(r.Name);
        throw TUsageError(o.Name + " applies to " + Joined(kinds, ", ") + " archives only");
      }
}

void ApplyFormatSettings(TCompBase& W, const TFormatRow& Kind, const TParsedArgs& Args) {
  CheckFormatSettings(Kind, Args);
  if (!Kind.Configure) return;
  try {
    Kind.Configure(W, Args.Options);
  } catch (const EFormatSetting& e) {
    throw TUsageError(e.what());
  }
}

// ---- Ctrl+C --------------------------------------------------------------------------------

namespace {

volatile std::sig_atomic_t GInterrupted = 0;
TCli* GActive = nullptr;
TZipCommon* GActiveComponent = nullptr;

void OnSigInt(int) { GInterrupted = 1; }

// Runs during every bulk copy and progress step: turns Ctrl+C into SetCancel on the component.
void PumpInterrupt() {
  if (GInterrupted && GActiveComponent && !GActiveComponent->IsCancelled()) GActiveComponent->SetCancel(true);
}

}  // namespace

// ---- TCli ----------------------------------------------------------------------------------

bool TCli::Interrupted() { return GInterrupted != 0; }

TCli::TCli() {
  GActive = this;
  std::signal(SIGINT, OnSigInt);
  ProcessMessagesHook = PumpInterrupt;
}

TCli::~TCli() {
  Detach();
  ProcessMessagesHook = nullptr;
  std::signal(SIGINT, SIG_DFL);
  GActive = nullptr;
}

// The reason (the system's, or what the component adds) follows the name, as other tools
// print it: "brel-cli: 25235 Error opening file: /x/y (Permission denied)".
void TCli::Error(int32_t Code, const std::string& Name, const std::string& Extra) {
  std::string text = std::to_string(Code) + ' ' + ErrorText(Code) + ": " + PrintableName(Name);
  if (!Extra.empty()) text += " (" + PrintableName(Extra) + ')';
  Fail(text);
}

void TCli::Fail(const std::string& Text) {
  FFailed = true;
  FLine.Clear();
  PrintMessage(Text);
}

void TCli::ComponentError(const std::string& FileName, const std::string& ExtendedMsg, const std::string& VolumeID,
                          int32_t ECode) {
  const std::string name = !FileName.empty() ? FileName : VolumeID != "0" ? VolumeID : std::string();
  Error(ECode, name, ExtendedMsg == "0" ? std::string() : ExtendedMsg);
}

void TCli::Attach(TZipCommon& Component) {
  FComponent = &Component;
  GActiveComponent = &Component;
  FLine.Start(!Quiet);
  Component.OnError = [this](TZipCommon*, const std::string& FileName, const std::string& ExtendedMsg,
                             const std::string& VolumeID,
                             int32_t ECode) { ComponentError(FileName, ExtendedMsg, VolumeID, ECode); };
  Component.OnProgress = [this](TZipCommon* Sender, uint8_t, uint8_t) { Progress(Sender); };
  // A long scan before a writer's first byte shows what it found so far.
  Component.OnFileScanStatus = [this](TZipCommon*, const std::string& FileName, int Count, int64_t Size) {
    FLine.Scanning(Count, Size, FileName);
  };
}

TArchiveJobEvents TCli::JobEvents() {
  FLine.Start(!Quiet);
  TArchiveJobEvents events;
  events.OnError = [this](TZipCommon*, const std::string& FileName, const std::string& ExtendedMsg,
                          const std::string& VolumeID,
                          int32_t ECode) { ComponentError(FileName, ExtendedMsg, VolumeID, ECode); };
  events.OnProgress = [this](TZipCommon* Sender, uint8_t, uint8_t) {
    FComponent = GActiveComponent = Sender;
    PumpInterrupt();
    Progress(Sender);
  };
  return events;
}

void TCli::Detach() {
  FLine.Clear();
  FComponent = nullptr;
  GActiveComponent = nullptr;
}

void TCli::Progress(TZipCommon* Sender) {
  if (!FLine.Enabled() || !Sender) return;
  const int64_t total = std::max<int64_t>(Sender->ByteTotal, 0);
  const int64_t done = std::clamp<int64_t>(total - Sender->BytesToGo, 0, total);
  FLine.Update(done, total, Sender->CurrentName());
}

// ---- Progress line -------------------------------------------------------------------------

namespace {

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

size_t TerminalWidth() {
  winsize ws{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) return ws.ws_col;
  return 80;
}

}  // namespace

std::string ListedWords(const std::vector<std::string>& Items, const std::string& Last) {
  std::string out;
  for (size_t i = 0; i < Items.size(); ++i) out += (i == 0 ? "" : i + 1 == Items.size() ? Last : ", ") + Items[i];
  return out;
}

std::string HumanBytes(int64_t Bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = double(Bytes);
  size_t u = 0;
  while (v >= 1024 && u + 1 < std::size(kUnits)) {
    v /= 1024;
    ++u;
  }
  char buf[32];
  if (u == 0)
    std::snprintf(buf, sizeof buf, "%lld B", static_cast<long long>(Bytes));
  else
    std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[u]);
  return buf;
}

void PrintMessage(const std::string& Text) { std::cerr << "brel-cli: " << Text << '\n'; }

void TProgressLine::Start(bool Enabled) {
  FEnabled = Enabled && isatty(STDERR_FILENO);
  FStart = NowMs();
  FLastDraw = 0;
  // BREL_PROGRESS_DELAY_MS changes the quiet first second (tests draw at once with 0).
  const char* delay = std::getenv("BREL_PROGRESS_DELAY_MS");
  FDelay = delay && *delay ? std::atoll(delay) : 1000;
}

bool TProgressLine::Due() {
  if (!FEnabled) return false;
  const int64_t now = NowMs();
  if (now - FStart < FDelay || now - FLastDraw < std::min<int64_t>(FDelay, 200)) return false;
  FLastDraw = now;
  return true;
}

void TProgressLine::Update(int64_t Done, int64_t Total, const std::string& Name) {
  if (!Due()) return;
  std::string text = HumanBytes(Done);
  if (Total > 0) text = std::to_string(Done * 100 / Total) + "% " + text + " of " + HumanBytes(Total);
  text += "  " + HumanBytes(Done * 1000 / std::max<int64_t>(FLastDraw - FStart, 1)) + "/s  ";
  Draw(text, Name);
}

void TProgressLine::Scanning(int Files, int64_t Bytes, const std::string& Name) {
  if (Due())
    Draw("scanning: " + std::to_string(Files) + (Files == 1 ? " file, " : " files, ") + HumanBytes(Bytes) + "  ", Name);
}

void TProgressLine::Draw(const std::string& Text, const std::string& Name) {
  // The name's end is what tells files apart: a long name loses its beginning.
  const size_t room = TerminalWidth() - 1;
  std::string name = PrintableName(Name);
  if (Text.size() + name.size() > room) {
    const size_t keep = room > Text.size() + 3 ? room - Text.size() - 3 : 0;
    name = keep ? "..." + name.substr(name.size() - keep) : std::string();
  }
  std::cerr << '\r' << (Text + name).substr(0, room) << "\033[K" << std::flush;
  FShown = true;
}

void TProgressLine::Clear() {
  if (!FShown) return;
  std::cerr << "\r\033[K" << std::flush;
  FShown = false;
}

// ---- Commands ------------------------------------------------------------------------------

std::map<std::string, TCommand>& Commands() {
  static std::map<std::string, TCommand> registry;
  return registry;
}

TRegisterCommand::TRegisterCommand(const std::string& Name, TCommand Command) {
  Commands().emplace(Name, std::move(Command));
}

int CliMain(const std::vector<std::string>& Args) {
  if (Args.empty()) {
    std::cerr << GeneralHelp();
    return exUsage;
  }
  if (Args[0] == "--version") {
    std::cout << VersionText() << '\n';
    return exOk;
  }
  if (Args[0] == "-h" || Args[0] == "--help") return CliMain({"help"});
  const auto it = Commands().find(Args[0]);
  if (it == Commands().end()) {
    PrintMessage("unknown command " + Args[0]);
    std::cerr << "Try 'brel-cli help'.\n";
    return exUsage;
  }
  const TCommand& cmd = it->second;
  try {
    const TParsedArgs parsed = ParseArgs({Args.begin() + 1, Args.end()}, cmd.Options);
    if (parsed.Has("--help")) {
      std::cout << CommandHelp(Args[0], cmd);
      return exOk;
    }
    TCli cli;
    cli.Quiet = parsed.Has("-q");
    return cmd.Run(cli, parsed);
  } catch (const TUsageError& e) {
    PrintMessage(e.what());
    std::cerr << "usage: brel-cli " << Args[0] << (cmd.Options.empty() ? "" : " [OPTIONS]") << ' ' << cmd.Args
              << "\nTry 'brel-cli help " << Args[0] << "'.\n";
    return exUsage;
  }
}
