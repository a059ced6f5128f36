// "Execute" of TfrmBrel: collecting the list, choosing between the UPX job and the archive jobs,
// the busy state and the status text.
#include "app/Main.h"

#include "app/EditEx.h"
#include "app/TextUtils.h"
#include "ui/AdvStatus.h"
#include "ui/LbSpeedButton.h"
#include "ui/xxComboBox.h"
#include "archive/core/qrvErrors.h"
#include "upx/UpxJob.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <exception>
#include <utility>

namespace {

// Status texts keep five blanks before the word.
std::string Status(const QString& word) { return ("     " + word).toStdString(); }
// The tooltip shows this many lines of a run; "UPX Output" shows them all.
constexpr size_t kHintLines = 15;

// Holds the window busy for one job, also when the job throws.
class TBusyScope {
 public:
  explicit TBusyScope(TfrmBrel* form) : FForm(form) { FForm->SetBusy(true); }
  ~TBusyScope() { FForm->SetBusy(false); }
  TBusyScope(const TBusyScope&) = delete;
  TBusyScope& operator=(const TBusyScope&) = delete;

 private:
  TfrmBrel* FForm;
};

// One line for a reported error: code, text, the system's reason when given, and the name.
std::string ErrorLine(const std::string& file, const std::string& msg, const std::string& volume, int32_t code) {
  std::string line = std::to_string(code) + " " + ErrorText(code);
  if (!msg.empty() && msg != "0") line += " (" + msg + ")";
  const std::string name = !file.empty() ? file : volume != "0" ? volume : std::string();
  return name.empty() ? line : line + ": " + name;
}

// The first lines of a run, with a count of the rest.
std::string HintOf(const std::vector<std::string>& lines) {
  std::string hint;
  for (size_t i = 0; i < lines.size() && i < kHintLines; ++i) hint += (i ? "\n" : "") + lines[i];
  if (lines.size() > kHintLines) hint += "\n… " + std::to_string(lines.size() - kHintLines) + " more in UPX Output";
  return hint;
}

}  // namespace

std::string TfrmBrel::StatusText() const { return STB->PanelText(0); }

void TfrmBrel::SetStatus(const std::string& Text) {
  STB->SetPanelText(0, Text);
  STB->repaint();
}

void TfrmBrel::RunJobs() {
  if (FBusy) return;  // a second job started inside the first is never sound
  SetStatus(Status(tr("Execute")));
  ErrorFlag = false;
  FCancel = false;
  FRunLines.clear();
  FUpxRun = false;
  const int mode = UpxMode;
  const int level = cmbComp->currentIndex() + 1;
  const bool backup = chkBackup->isChecked();
  const bool icons = chkCompIco->isChecked();
  std::vector<std::string> paths;
  CollectPaths(paths);
  try {
    RunUpx(mode, level, paths, std::string(), icons, backup);
  } catch (const std::exception&) {
    ErrorFlag = true;  // a job that throws has failed; the window carries on
  }
  const bool cancelled = FCancel && !FUpxRun;  // the packer's run on one file is not stopped
  if (cancelled) FRunLines.push_back("Cancelled: the jobs not yet done were left out");
  SetStatus(Status(cancelled ? tr("Cancelled") : ErrorFlag ? tr("Error") : tr("Ready")));
  if (!paths.empty()) ShowRunLines(FUpxRun);
  lstFile->clear();
  if (FQuitAfterRun)
    QTimer::singleShot(0, this, [this] { close(); });  // the close asked for during the run
  else
    AddPendingPaths();
}

void TfrmBrel::CancelRun() {
  if (!FBusy || FCancel.exchange(true)) return;
  SetStatus(Status(tr("Cancelling…")));
}

std::vector<std::string> TfrmBrel::TakeLeftOverPaths() { return std::exchange(FPendingPaths, {}); }

void TfrmBrel::ShowRunLines(bool UpxRun) {
  if (UpxRun) {
    // The packer's output and summary are in "UPX Output" already; the tooltip repeats the
    // summary at its end.
    const QStringList memo = Memo1->toPlainText().trimmed().split('\n');
    std::vector<std::string> tail;
    for (qsizetype i = std::max<qsizetype>(0, memo.size() - 3); i < memo.size(); ++i)
      tail.push_back(memo[i].toStdString());
    STB->SetPanelHint(0, HintOf(tail));
    return;
  }
  STB->SetPanelHint(0, HintOf(FRunLines));
  Memo1->clear();
  for (const std::string& line : FRunLines) Memo1->appendPlainText(QString::fromStdString(line));
}

void TfrmBrel::NoteJobResult(const std::string& Source, const TJobResult& Result, bool Unpack) {
  switch (Result.Outcome) {
    case joDone:
      FRunLines.push_back(Unpack ? "Extracted " + Source + " into " + Result.Target : "Packed into " + Result.Target);
      break;
    case joUpToDate: FRunLines.push_back("Up to date: " + Result.Target); break;
    case joSkipped:
      FRunLines.push_back(Unpack ? "Not extracted (no archive this program reads): " + Source
                                 : "Not packed (no writer for this kind): " + Result.Target);
      break;
    case joFailed:
      FRunLines.push_back(Unpack ? "Extracting " + Source + " into " + Result.Target + " failed"
                                 : "Packing into " + Result.Target + " failed");
      break;
    case joCancelled:
      FRunLines.push_back(Unpack ? "Extracting " + Source + " into " + Result.Target + " cancelled"
                                 : "Packing into " + Result.Target +
                                       " cancelled; an archive there before stays as it was");
      break;
  }
  if (Result.Trashed > 0)
    FRunLines.push_back(std::to_string(Result.Trashed) + " changed file(s) moved to the Trash before being replaced");
  if (Result.Skipped > 0)
    FRunLines.push_back(std::to_string(Result.Skipped) + " entr" + (Result.Skipped == 1 ? "y" : "ies") + " of " +
                        Source +
                        " not extracted: " + (Result.SkipReason.empty() ? std::string("skipped") : Result.SkipReason));
}

void TfrmBrel::OpenPaths(const std::vector<std::string>& Paths) {
  BringToFront();
  if (FBusy) {
    FPendingPaths.insert(FPendingPaths.end(), Paths.begin(), Paths.end());
    return;
  }
  if (!FShown) {
    // Not on the screen yet: they join the command line's paths.
    FStartupPaths.insert(FStartupPaths.end(), Paths.begin(), Paths.end());
    return;
  }
  AddFiles(Paths);
}

void TfrmBrel::AddPendingPaths() {
  if (!FPendingPaths.empty() && !FBusy) AddFiles(std::exchange(FPendingPaths, {}));
}

void TfrmBrel::RunUpx(int Mode, int Level, const std::vector<std::string>& Paths, const std::string& Extra, bool Icons,
                      bool Backup) {
  if (Paths.empty() && Extra.empty()) return;
  const bool versionQuery = Extra == "-V";
  if (versionQuery || IsUpxJob(Paths, chkUseUPX->isChecked())) {
    TBusyScope busy(this);
    // Nothing to cancel: the packer's run on one file is short.
    btnRun->SetCaption(tr("Execute").toStdString());
    btnRun->setEnabled(false);
    FUpxRun = true;
    ResizeOutput(2);
    UpxJob(Mode, Level, Paths, Extra, Icons, Backup);
    return;
  }
  ResizeOutput(1);
  std::vector<std::string> paths = Paths;
  RunArchiveJobs(paths);
}

void TfrmBrel::RunArchiveJobs(std::vector<std::string>& Paths) {
  TBusyScope busy(this);
  PGB1->setValue(0);
  PGB2->setValue(0);
  const TArchivePlan plan = PlanArchiveJobs(Paths);
  for (const std::string& archive : plan.Extract)
    if (!FCancel) UnpackArchiveJob(archive);
  if (!plan.Pack.empty() && !FCancel) MakeArchiveJob(ArchiveKind, plan.Pack);
}

void TfrmBrel::SetBusy(bool On) {
  if (On == FBusy) return;
  FBusy = On;
  if (On)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
  // "Execute" becomes "Cancel" for the run; "close" cancels it and closes when it has ended.
  btnRun->SetCaption((On ? tr("Cancel") : tr("Execute")).toStdString());
  btnRun->setEnabled(true);
  FileDrop1->SetAccept(!On);
  // The options, "UPX ver" and the list stay still too: nothing may start or change a job
  // while one runs.
  for (QWidget* w : std::initializer_list<QWidget*>{grpUPX, grpZIP, btnVer, lstFile}) w->setEnabled(!On);
}

void TfrmBrel::ArchiveProgress(TZipCommon*, uint8_t ByFile, uint8_t ByArchive) {
  PGB1->setValue(ByFile);
  PGB2->setValue(ByArchive);
  QApplication::processEvents();
}

void TfrmBrel::ArchiveError(TZipCommon*, const std::string& FileName, const std::string& ExtendedMsg,
                            const std::string& VolumeID, int32_t ECode) {
  ErrorFlag = true;
  FRunLines.push_back(ErrorLine(FileName, ExtendedMsg, VolumeID, ECode));
}

void TfrmBrel::UseRealJobs() {
  MakeArchiveJob = [this](int kind, const std::vector<std::string>& paths) {
    NoteJobResult(paths.front(), MakeArchive(kind, paths, ArchiveEvents()), false);
  };
  UnpackArchiveJob = [this](const std::string& path) {
    NoteJobResult(path, UnpackArchive(path, ArchiveEvents()), true);
  };
  UpxJob = [this](int mode, int level, const std::vector<std::string>& paths, const std::string& extra, bool icons,
                  bool backup) { RunUpxJobHere(mode, level, paths, extra, icons, backup); };
}

void TfrmBrel::RunUpxJobHere(int Mode, int Level, const std::vector<std::string>& Paths, const std::string& Extra,
                             bool Icons, bool Backup) {
  TUpxOptions options;
  options.Mode = Mode;
  options.Level = Level;
  options.Backup = Backup;
  options.CompressIcons = Icons;
  options.ExtraArg = Extra;
  TUpxJobIO io;
  io.ClearMemo1 = [this] { Memo1->clear(); };
  io.Memo1Add = [this](const std::string& line) { Memo1->appendPlainText(QString::fromStdString(line)); };
  io.SetGauges = [this](int pgb1, int pgb2) {
    PGB1->setValue(pgb1);
    PGB2->setValue(pgb2);
  };
  io.ProcessMessages = [] { QApplication::processEvents(); };
  RunUpxJob(UpxDir, Paths.empty() ? std::string() : Paths.front(), options, io);
}

TArchiveJobEvents TfrmBrel::ArchiveEvents() {
  TArchiveJobEvents events;
  events.OnError = [this](TZipCommon* sender, const std::string& file, const std::string& msg,
                          const std::string& volume, int32_t code) { ArchiveError(sender, file, msg, volume, code); };
  events.OnProgress = [this](TZipCommon* sender, uint8_t byFile, uint8_t byArchive) {
    ArchiveProgress(sender, byFile, byArchive);
  };
  events.OnGetPassword = [this](const std::string& archive, const std::string& entry, std::string& password,
                                bool& forAll) { return GetPassword && GetPassword(archive, entry, password, forAll); };
  events.Cancel = &FCancel;
  return events;
}
