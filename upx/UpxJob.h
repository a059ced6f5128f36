// UPX jobs: compress, decompress or test one executable in place with the packer, or ask the
// packer for its version; everything the window shows goes through callbacks. Qt-free.
//
// How the window uses this (Qt code lives in the window; nothing here knows Qt), with
// upx/UpxDir.h and the packer's bytes (the window's Qt resource ":/upx/upx"):
//
//   // start-up (FormShow): the private folder and the packer in it, rewritten at every start.
//   // A failure is not reported here: UPX jobs then report that the packer cannot be started.
//   upxDir_ = std::make_unique<TUpxDir>();           // member; destroyed with the window
//   upxDir_->WriteUpxExe(packerBytes);
//
//   // Execute with one executable and "UPXを使う" ticked, or "UPX ver" (ExtraArg "-V", no path):
//   TUpxOptions opt;
//   opt.Mode = UpxMode;                              // 0 auto, 1 compress, 2 decompress, 3 test
//   opt.Level = cmbComp->currentIndex() + 1;         // 1..9, 10 "Best !!", 0 nothing selected
//   opt.Backup = chkBackup->isChecked();
//   opt.CompressIcons = chkCompIco->isChecked();
//   TUpxJobIO io;
//   io.ClearMemo1 = [&] { Memo1->clear(); };
//   io.Memo1Add = [&](const std::string& line) { Memo1->appendPlainText(QString::fromStdString(line)); };
//   io.SetGauges = [&](int pgb1, int pgb2) { PGB1->setValue(pgb1); PGB2->setValue(pgb2); };
//   io.ProcessMessages = [] { QCoreApplication::processEvents(); };
//   SetBusy(true);  ResizeOutput(2);
//   RunUpxJob(upxDir_->Path(), path, opt, io);       // path "" and opt.ExtraArg "-V": version
//   SetBusy(false);
//
// Memo1Add gets one call per line the job writes; a chunk of the packer's output is one call and
// may hold line breaks. The gauges go 0/0, 33/50, 66/100, 100/100. ProcessMessages is called
// about every 50 ms while the packer runs and at each gauge step.
//
// brel-cli run: RunUpxStandalone(path, opt, io) (defined with the embedded packer in
// upx/UpxExe.cpp) makes a new folder of its own (never the window's
// ~vxtmp, so both can run at once), writes the packer, runs the job and cleans up. Print the
// Memo1Add lines; exit 1 when the result says Failed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// UpxMode values; after the auto decision also the action.
enum TUpxAction : int { uaAuto, uaCompress, uaDecompress, uaTest };

struct TUpxOptions {
  int Mode = uaAuto;          // TUpxAction
  int Level = 7;              // 1..9 "Level 1".."Level 9"; 10 "Best !!"; 0 nothing selected
  bool Backup = true;         // --backup
  bool CompressIcons = true;  // off: --compress-icons=0
  std::string ExtraArg;       // "-V" for the version query, else ""
};

struct TUpxJobIO {
  std::function<void()> ClearMemo1;
  std::function<void(const std::string& line)> Memo1Add;
  std::function<void(int pgb1, int pgb2)> SetGauges;
  std::function<void()> ProcessMessages;
};

struct TUpxJobResult {
  int Action = uaAuto;           // what ran, after the auto decision
  bool Probed = false;           // the auto decision's test run ran
  bool Started = false;          // the packer could be started for the main run
  bool Failed = false;           // closed by "Error : " or by "Result : " with an error
  std::string Message;           // text of the closing "Result : " or "Error : " line, if any
  std::string ProbeCommandLine;  // the test run's command line, when probed
  std::string CommandLine;       // the main run's command line
  int64_t SizeBefore = 0;        // FileSizeKB before and after, when the file exists
  int64_t SizeAfter = 0;
};

// Runs one job; upxDir is the folder that holds the packer "upx".
TUpxJobResult RunUpxJob(const std::string& upxDir, const std::string& path, const TUpxOptions& options,
                        const TUpxJobIO& io);

// The whole job for one path with a private folder of its own (brel-cli run).
TUpxJobResult RunUpxStandalone(const std::string& path, const TUpxOptions& options, const TUpxJobIO& io);

// A command line as text (as the user would type it: the path in double quotes) and as the
// argument vector that is run.
struct TUpxCommand {
  std::string Text;
  std::vector<std::string> Argv;
};

// The command of an action on path: "-t" for uaAuto (nothing decided) and uaTest, "-d" for
// uaDecompress, level text and options for uaCompress.
TUpxCommand UpxCommand(const std::string& upxDir, int action, const TUpxOptions& options, const std::string& path);
// The command without a path: the packer with the extra argument ("-V", or nothing).
TUpxCommand UpxPlainCommand(const std::string& upxDir, const std::string& extraArg);

// "-1".."-9" for levels 1 to 9, else "--best --crp-ms=999999".
std::string UpxLevelText(int level);
// "--backup", "--compress-icons=0", both one blank apart in that order, or "".
std::string UpxOptionsText(bool backup, bool compressIcons);

// The message for the packer's error text: the first name of the table that occurs at the
// second character or later, else the message for an error that cannot be identified.
std::string UpxErrorMessage(const std::string& errorText);
// "Size Ratio N %": after * 100 / before, rounded half to even; "Size Ratio - %" when the size
// before is 0 KB (an empty file), where no ratio exists.
std::string UpxRatioLine(int64_t sizeBefore, int64_t sizeAfter);
