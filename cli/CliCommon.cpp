// Option parsing, error printing, progress bar, Ctrl+C and the command dispatch of brel-cli.
#include "cli/CliCommon.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "archive/core/qrvBase.h"
#include "archive/core/qrvErrors.h"
#include "archive/core/qrvStreams.h"

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
    const bool inlineValue = a.rfind("--", 0) == 0 && eq != std::string::npos;
    if (inlineValue) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
    }
    if (name == "-q") {
      out.Options.emplace(name, "");
      continue;
    }
    const auto it = Spec.find(name);
    if (it == Spec.end()) throw TUsageError("unknown option " + name);
    if (it->second && !inlineValue) {
      if (i + 1 >= Args.size()) throw TUsageError("option " + name + " needs a value");
      value = Args[++i];
    } else if (!it->second && inlineValue) {
      throw TUsageError("option " + name + " takes no value");
    }
    out.Options.emplace(name, value);
  }
  return out;
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

// ---- Ctrl+C --------------------------------------------------------------------------------

namespace {

volatile std::sig_atomic_t GInterrupted = 0;
TCli* GActive = nullptr;
TZipCommon* GActiveComponent = nullptr;

void OnSigInt(int) { GInterrupted = 1; }

// Runs during every bulk copy and progress step: turns Ctrl+C into SetCancel on the component.
void PumpInterrupt() {
  if (GInterrupted && GActiveComponent && !GActiveComponent->IsCancelled())
    GActiveComponent->SetCancel(true);
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

void TCli::Error(int32_t Code, const std::string& Name, const std::string& Extra) {
  FFailed = true;
  if (FBarShown) {
    std::cerr << "\r\033[K";
    FBarShown = false;
  }
  // The reason (the system's, or what the component adds) follows the name, as other tools
  // print it: "brel-cli: 25235 Error opening file: /x/y (Permission denied)".
  std::cerr << "brel-cli: " << Code << ' ' << ErrorText(Code) << ": " << PrintableName(Name);
  if (!Extra.empty()) std::cerr << " (" << PrintableName(Extra) << ')';
  std::cerr << '\n';
}

void TCli::ComponentError(const std::string& FileName, const std::string& ExtendedMsg,
                          const std::string& VolumeID, int32_t ECode) {
  const std::string name = !FileName.empty() ? FileName : VolumeID != "0" ? VolumeID : std::string();
  Error(ECode, name, ExtendedMsg == "0" ? std::string() : ExtendedMsg);
}

void TCli::Attach(TZipCommon& Component) {
  FComponent = &Component;
  GActiveComponent = &Component;
  FBar = !Quiet && isatty(STDERR_FILENO);
  Component.OnError = [this](TZipCommon*, const std::string& FileName, const std::string& ExtendedMsg,
                             const std::string& VolumeID, int32_t ECode) {
    ComponentError(FileName, ExtendedMsg, VolumeID, ECode);
  };
  Component.OnProgress = [this](TZipCommon*, uint8_t ByFile, uint8_t ByArchive) {
    if (FBar) DrawProgress(ByFile, ByArchive);
  };
}

TArchiveJobEvents TCli::JobEvents() {
  FBar = !Quiet && isatty(STDERR_FILENO);
  TArchiveJobEvents events;
  events.OnError = [this](TZipCommon*, const std::string& FileName, const std::string& ExtendedMsg,
                          const std::string& VolumeID, int32_t ECode) {
    ComponentError(FileName, ExtendedMsg, VolumeID, ECode);
  };
  events.OnProgress = [this](TZipCommon* Sender, uint8_t ByFile, uint8_t ByArchive) {
    FComponent = GActiveComponent = Sender;
    PumpInterrupt();
    if (FBar) DrawProgress(ByFile, ByArchive);
  };
  return events;
}

void TCli::Detach() {
  if (FBarShown) {
    std::cerr << "\r\033[K" << std::flush;
    FBarShown = false;
  }
  FComponent = nullptr;
  GActiveComponent = nullptr;
}

void TCli::DrawProgress(uint8_t ByFile, uint8_t ByArchive) {
  constexpr int kWidth = 30;
  const int filled = ByArchive * kWidth / 100;
  std::string bar(size_t(filled), '#');
  bar.resize(kWidth, '.');
  std::fprintf(stderr, "\r[%s] %3u%% (entry %3u%%)", bar.c_str(), unsigned(ByArchive), unsigned(ByFile));
  FBarShown = true;
}

// ---- Commands ------------------------------------------------------------------------------

std::map<std::string, TCommand>& Commands() {
  static std::map<std::string, TCommand> registry;
  return registry;
}

TRegisterCommand::TRegisterCommand(const std::string& Name, TCommand Command) {
  Commands().emplace(Name, std::move(Command));
}

namespace {

void PrintUsage(std::ostream& out) {
  out << "usage: brel-cli COMMAND [OPTIONS] ARGS...\n";
  for (const auto& [name, cmd] : Commands()) out << "  brel-cli " << name << ' ' << cmd.Usage << '\n';
  out << "Every command takes -q (print errors only).\n";
}

}  // namespace

int CliMain(const std::vector<std::string>& Args) {
  if (Args.empty() || Args[0] == "-h" || Args[0] == "--help") {
    PrintUsage(Args.empty() ? std::cerr : std::cout);
    return Args.empty() ? exUsage : exOk;
  }
  const auto it = Commands().find(Args[0]);
  if (it == Commands().end()) {
    std::cerr << "brel-cli: unknown command " << Args[0] << '\n';
    PrintUsage(std::cerr);
    return exUsage;
  }
  const TCommand& cmd = it->second;
  try {
    const TParsedArgs parsed = ParseArgs({Args.begin() + 1, Args.end()}, cmd.Options);
    TCli cli;
    cli.Quiet = parsed.Has("-q");
    return cmd.Run(cli, parsed);
  } catch (const TUsageError& e) {
    std::cerr << "brel-cli: " << e.what() << "\nusage: brel-cli " << Args[0] << ' ' << cmd.Usage << '\n';
    return exUsage;
  }
}
