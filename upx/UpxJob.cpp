#include "upx/UpxJob.h"

#include "platform/SizeText.h"
#include "upx/UpxDir.h"
#include "upx/uUPX.h"

#include <algorithm>

#include <sys/stat.h>

namespace {

const char* const kSeparator = "****************************************************************************";
const char* const kUnknownError = "特定できないエラーが発生しました　！！";
const char* const kIsPacked = "圧縮されています！！";
const char* const kIsNotPacked = "圧縮されていません！！";

// The packer's error names and their messages, in the order they are tried.
const struct {
  const char* Name;
  const char* Message;
} kMessages[] = {
    {"FileNotFoundException", "ファイルが見つかりません ！！"},
    {"AlreadyPackedException", "既に圧縮されています ！！"},
    {"NotPackedException", "圧縮されてません ！！"},
    {"Permission denied", "ファイルのアクセスを拒否されました ！！"},
    {"UnknownExecutableFormatException", "「.EXE .COM, DLL, .SYS」 のフォーマットのファイルではありません ！！"},
};

// A name counts only from the second character on.
bool ContainsAfterFirst(const std::string& text, const char* name) { return text.find(name, 1) != std::string::npos; }

// The lines as one text, each followed by a line break.
std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

bool IsExistingFile(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// The auto decision from the test run's output and error text.
int DecideAction(const std::vector<std::string>& out, const std::vector<std::string>& errors) {
  if (errors.empty()) return JoinLines(out).find("[OK]") != std::string::npos ? uaDecompress : uaCompress;
  const std::string text = JoinLines(errors);
  int action = uaAuto;
  if (ContainsAfterFirst(text, "NotPackedException")) action = uaCompress;
  if (ContainsAfterFirst(text, "AlreadyPackedException")) action = uaDecompress;
  return action;
}

// Writes to the window through the optional callbacks.
class TMemo {
 public:
  explicit TMemo(const TUpxJobIO& io) : io_(io) {}
  void Clear() const {
    if (io_.ClearMemo1) io_.ClearMemo1();
  }
  void Add(const std::string& line) const {
    if (io_.Memo1Add) io_.Memo1Add(line);
  }
  void Gauges(int pgb1, int pgb2) const {
    if (io_.SetGauges) io_.SetGauges(pgb1, pgb2);
  }
  void Pump() const {
    if (io_.ProcessMessages) io_.ProcessMessages();
  }
  void Separator() const {
    Add("");
    Add(kSeparator);
    Add("");
  }

 private:
  const TUpxJobIO& io_;
};

void WriteHeader(const TMemo& memo, bool exists, const std::string& path, const TUpxJobResult& r,
                 const std::string& extraArg) {
  if (exists) {
    memo.Add("File : " + path);
    if (r.Action == uaTest)
      memo.Add("Testing execute...");
    else if (r.Action == uaDecompress && r.Probed)
      memo.Add("DeCompression execute...");
    else
      memo.Add("Compression execute...");
  } else if (extraArg == "-V") {
    memo.Add("Version information of UPX...");
  }
  memo.Separator();
}

// The closing lines after a run that wrote nothing to standard error.
void WriteSuccess(const TMemo& memo, const std::string& packerOutput, TUpxJobResult& r) {
  memo.Add("");
  if (r.Action == uaTest) {
    r.Message = packerOutput.find("[OK]") != std::string::npos ? kIsPacked : kIsNotPacked;
    memo.Add("Testing success...");
    memo.Add("");
    memo.Add("Result : " + r.Message);
    return;
  }
  memo.Add("Compression success...");
  memo.Add("");
  memo.Add("File Size " + FormatGrouped(r.SizeBefore) + "KB -> " + FormatGrouped(r.SizeAfter) + "KB");
  memo.Add(UpxRatioLine(r.SizeBefore, r.SizeAfter));
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// The path as an argument: a relative name that starts with "-" must not read as an option.
std::string PathArg(const std::string& path) { return (!path.empty() && path[0] == '-') ? "./" + path : path; }

// Appends the words of a blank-separated text to argv.
void AppendWords(std::vector<std::string>& argv, const std::string& text) {
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = std::min(text.find(' ', pos), text.size());
    if (end > pos) argv.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
}

TUpxCommand PackerCommand(const std::string& upxDir) {
  // No folder means no packer: an empty program name cannot be started.
  return {upxDir + "/upx", {upxDir.empty() ? std::string() : upxDir + "/upx"}};
}

}  // namespace

std::string UpxLevelText(int level) {
  if (level < 1 || level > 9) return "--best --crp-ms=999999";
  return std::string{'-', char('0' + level)};
}

std::string UpxOptionsText(bool backup, bool compressIcons) {
  std::string text = backup ? "--backup" : "";
  if (!compressIcons) text += std::string(text.empty() ? "" : " ") + "--compress-icons=0";
  return text;
}

TUpxCommand UpxCommand(const std::string& upxDir, int action, const TUpxOptions& options, const std::string& path) {
  TUpxCommand cmd = PackerCommand(upxDir);
  std::string args;
  if (action == uaCompress)
    args = UpxLevelText(options.Level) + " " + UpxOptionsText(options.Backup, options.CompressIcons) + " ";
  else if (action == uaDecompress)
    args = "-d ";
  else
    args = "-t ";
  cmd.Text += " " + args + Quoted(path);
  AppendWords(cmd.Argv, args);
  cmd.Argv.push_back(PathArg(path));
  return cmd;
}

TUpxCommand UpxPlainCommand(const std::string& upxDir, const std::string& extraArg) {
  TUpxCommand cmd = PackerCommand(upxDir);
  cmd.Text += " " + extraArg;
  AppendWords(cmd.Argv, extraArg);
  return cmd;
}

std::string UpxErrorMessage(const std::string& errorText) {
  for (const auto& m : kMessages)
    if (ContainsAfterFirst(errorText, m.Name)) return m.Message;
  return kUnknownError;
}

std::string UpxRatioLine(int64_t sizeBefore, int64_t sizeAfter) {
  if (sizeBefore <= 0) return "Size Ratio - %";
  // Exact integer arithmetic; 128 bits so that no size can overflow the product.
  const __int128 num = static_cast<__int128>(sizeAfter < 0 ? 0 : sizeAfter) * 100;
  __int128 q = num / sizeBefore;
  const __int128 twiceRest = (num % sizeBefore) * 2;
  if (twiceRest > sizeBefore || (twiceRest == sizeBefore && q % 2 != 0)) ++q;
  return "Size Ratio " + std::to_string(static_cast<long long>(q)) + " %";
}

TUpxJobResult RunUpxJob(const std::string& upxDir, const std::string& path, const TUpxOptions& options,
                        const TUpxJobIO& io) {
  const TMemo memo(io);
  TUpxJobResult r;
  memo.Gauges(0, 0);
  std::vector<std::string> errors;
  const bool exists = IsExistingFile(path);
  memo.Clear();

  r.Action = std::clamp(options.Mode, static_cast<int>(uaAuto), static_cast<int>(uaTest));
  if (exists && r.Action == uaAuto) {
    const TUpxCommand probe = UpxCommand(upxDir, uaTest, options, path);
    std::vector<std::string> probeOut;
    RunPiped(probe.Argv, probeOut, errors, io.ProcessMessages);
    r.Action = DecideAction(probeOut, errors);
    r.Probed = true;
    r.ProbeCommandLine = probe.Text;
    errors.clear();
    memo.Clear();
  }
  WriteHeader(memo, exists, path, r, options.ExtraArg);

  // A listed file that is gone is still named to the packer, which then reports it missing.
  const TUpxCommand cmd =
      path.empty() ? UpxPlainCommand(upxDir, options.ExtraArg) : UpxCommand(upxDir, r.Action, options, path);
  r.CommandLine = cmd.Text;
  if (exists) r.SizeBefore = FileSizeKB(path);
  memo.Gauges(33, 50);
  memo.Pump();

  std::string packerOutput;
  const TPipedResult run = RunPiped(
      cmd.Argv,
      [&](const std::string& chunk) {
        packerOutput += chunk + "\n";
        memo.Add(chunk);
      },
      [&](const std::string& chunk) { errors.push_back(chunk); }, io.ProcessMessages);
  r.Started = run.Started;
  if (!run.Started)
    memo.Add(upxDir.empty() ? std::string("Cannot start the packer: it has no folder")
                            : "Cannot start " + cmd.Argv[0] + ": " + run.StartError);
  else if (run.TermSignal != 0)
    memo.Add("The packer was stopped by signal " + std::to_string(run.TermSignal));
  // A packer that could not run or was stopped failed, whatever it printed.
  const bool broken = !run.Started || run.TermSignal != 0;

  memo.Gauges(66, 100);
  memo.Pump();
  if (exists) r.SizeAfter = FileSizeKB(path);
  memo.Add("");
  memo.Add(kSeparator);

  if (broken || !errors.empty()) {
    r.Failed = true;
    r.Message = broken ? kUnknownError : UpxErrorMessage(JoinLines(errors));
    memo.Add("");
    memo.Add((!broken && r.Action >= uaTest ? "Result : " : "Error : ") + r.Message);
  } else if (exists) {
    WriteSuccess(memo, packerOutput, r);
  }
  memo.Gauges(100, 100);
  memo.Pump();
  return r;
}
