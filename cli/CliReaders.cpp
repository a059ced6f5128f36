// Reader selection and the shared reader run of brel-cli.
#include "cli/CliReaders.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <iostream>

#include "archive/core/qrvErrors.h"
#include "app/ArchiveJobs.h"
#include "platform/CodePage.h"
#include "platform/FileInfo.h"
#include "platform/Paths.h"
#include "platform/TempFiles.h"

bool AskPassword(const std::string& Entry, std::string& Password) {
  if (!isatty(STDIN_FILENO) || !isatty(STDERR_FILENO)) return false;
  std::cerr << "Password for " << Entry << ": " << std::flush;
  termios old{};
  const bool haveTerm = tcgetattr(STDIN_FILENO, &old) == 0;
  if (haveTerm) {
    termios quiet = old;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  const bool got = static_cast<bool>(std::getline(std::cin, Password));
  if (haveTerm) tcsetattr(STDIN_FILENO, TCSANOW, &old);
  std::cerr << '\n';
  return got;
}

std::vector<std::string> UnmatchedMasks(
    TCli& Cli, const TFormatRow* Format, const std::string& Source, const std::string& NameCoding,
    const std::vector<std::string>& Masks,
    const std::function<bool(const std::string& Mask, const std::string& Name)>& Selects) {
  std::vector<std::string> unmatched;
  if (!Format) return unmatched;
  std::vector<bool> matched(Masks.size(), false);
  std::unique_ptr<TUnBase> lister = Format->NewReader();
  bool failed = false;
  lister->SetArchiveFile(Source);
  lister->NameCoding = NameCoding;
  lister->ExtractMode = xmList;
  lister->RecurseDirs = true;
  lister->FileSpec = {"*"};
  lister->OnError = [&failed](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t) {
    failed = true;
  };
  lister->OnListEntry = [&](TZipCommon*, const TListEntry& E) {
    for (size_t i = 0; i < Masks.size(); ++i)
      if (!matched[i]) matched[i] = Selects(Masks[i], E.Name);
  };
  lister->Extract();
  if (failed) return unmatched;
  for (size_t i = 0; i < Masks.size(); ++i)
    if (!matched[i]) {
      unmatched.push_back(Masks[i]);
      Cli.Fail("no entry matches " + PrintableName(Masks[i]));
    }
  return unmatched;
}

const TOption kIgnoreCase[2] = {{"-i", "", "masks ignore letter case (default: case-sensitive)"},
                                {"--ignore-case", "", "the same as -i"}};
bool IgnoreCase(const TParsedArgs& Args) { return Args.Has("-i") || Args.Has("--ignore-case"); }

std::vector<std::string> Passwords(const TParsedArgs& Args, const std::string& Archive, bool Confirm) {
  std::vector<std::string> out;
  for (const std::string& p : Args.Values("-p")) {
    if (!p.empty()) {
      out.push_back(p);
      continue;
    }
    std::string typed, again;
    if (!AskPassword(Archive, typed)) throw TUsageError("-p without a value needs a terminal to ask on");
    if (Confirm && (!AskPassword(Archive + " (again)", again) || again != typed))
      throw TUsageError("the two passwords differ");
    out.push_back(typed);
  }
  return out;
}

int RunReader(TCli& Cli, const TParsedArgs& Args, TExtractMode Mode,
              const std::function<void(TUnBase& Reader)>& Configure,
              const std::function<std::string(TUnBase& Reader)>& Details) {
  if (Args.Positional.empty()) throw TUsageError("no ARCHIVE given");
  const std::string coding = Args.Value("--names");
  if (!IsKnownNameCoding(coding)) throw TUsageError("--names: unknown code page " + coding);
  const std::string& arg = Args.Positional[0];
  TTempFileGuard spooled;
  if (arg == "-" && !SpoolStdin(Cli, spooled)) return Cli.Status();
  const std::string path = arg == "-" ? spooled.Path() : AbsolutePath(arg);
  TFileInfo info;
  if (!GetFileInfo(path, info) || info.IsDir) {
    Cli.Error(info.IsDir ? ecOpenFile : ecFileNotFound, arg);
    return Cli.Status();
  }
  TArvexComponent probe;
  probe.SetArchiveFile(path);
  const std::string& source = path;
  const TFormatRow* format = ReaderFormatFor(probe.ArcType(), path);
  if (!format) {
    Cli.Error(probe.ArchiveFile().empty() ? ecOpenFile : ecUnsupportedType, arg);
    return Cli.Status();
  }
  std::unique_ptr<TUnBase> reader = format->NewReader();
  reader->CaseSensitiveMasks = !IgnoreCase(Args);
  const std::vector<std::string> masks(Args.Positional.begin() + 1, Args.Positional.end());
  // Each mask is tested on its own by the reader's entry test, over the names of a listing pass.
  const std::vector<std::string> unmatched =
      masks.empty()
          ? masks
          : UnmatchedMasks(Cli, format, source, coding, masks, [&reader](const std::string& M, const std::string& N) {
              reader->FileSpec = {M};
              return reader->EntrySelected(N);
            });
  // Nothing to do when no mask matched (the run would only say "0 entries").
  if (!masks.empty() && unmatched.size() == masks.size()) return Cli.Status();
  reader->SetArchiveFile(source);
  reader->ExtractMode = Mode;
  reader->RecurseDirs = true;
  reader->FileSpec = masks.empty() ? std::vector<std::string>{"*"} : masks;
  reader->Passwords = Passwords(Args, arg, false);
  reader->NameCoding = coding;
  if (Args.Has("-j")) reader->Workers = ParseIntOption("-j", Args.Value("-j"), 0, 1024);
  const bool quiet = Cli.Quiet;
  reader->OnGetPassword = [quiet](TZipCommon*, const std::string& Entry, std::string& Password, bool& TryAgain) {
    if (quiet || !AskPassword(Entry, Password)) TryAgain = false;
  };
  if (Configure) Configure(*reader);
  Cli.Attach(*reader);
  const int count = reader->Extract();
  Cli.Detach();
  if (!Cli.Quiet && Mode != xmList) {
    // With the entries' bytes on standard output, the summary goes to standard error.
    std::ostream& out = reader->DataSink ? std::cerr : std::cout;
    const char* verb = Mode == xmTest && !reader->DataSink ? "tested" : "extracted";
    out << verb << ' ' << count << (count == 1 ? " entry" : " entries");
    if (Details) out << Details(*reader);
    if (Cli.Status() != exOk) out << ", with errors";
    out << '\n';
  }
  return Cli.Status();
}
