// The program's one window: the list of paths to work on, the UPX options, the archive kind, the
// UPX output pane and a status bar with two gauges. "Execute" sends the listed paths to one UPX
// job (a single executable) or to the archive jobs.
#pragma once

#include "app/ArchiveJobs.h"

#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QRadioButton;
class QThreadPool;
class QTreeWidget;
class TAdvStatus;
class TFileDrop;
class TLbSpeedButton;
class TUpxDir;
class TxxComboBox;

// Name of the theme icon a listed path shows: "folder" for a folder, else the icon of the MIME
// type its name suggests.
QString IconNameFor(const std::string& Path);

// The version the caption shows.
const std::string& FileVersionText();

// Asks for the password of an encrypted entry: a field without echo, "use for all entries of
// this archive", and Skip (false: the archive's encrypted entries are left out).
bool AskPassword(QWidget* Parent, const std::string& Archive, const std::string& Entry, std::string& Password,
                 bool& ForAll);

// Client heights of the window at its design size: list and options only, or with the UPX
// output pane.
constexpr int kCollapsedHeight = 193;
constexpr int kExpandedHeight = 477;

class TfrmBrel : public QWidget {
  Q_OBJECT
 public:
  // SettingsBase: settings file without ".ini"; empty for the one of this program.
  explicit TfrmBrel(const std::string& SettingsBase = std::string(), QWidget* parent = nullptr);
  ~TfrmBrel() override;

  // Controls, by the names the layout gives them.
  QLabel *lblFile0, *lblFile1, *lblComp, *lblOut, *lblURL, *imgWeb;
  TLbSpeedButton *btnRun, *btnClose, *btnVer;
  QTreeWidget* lstFile;
  QPlainTextEdit *mmMSG, *Memo1;
  QGroupBox *grpUPX, *grpZIP;
  QRadioButton *rbtCmp01, *rbtCmp02, *rbtCmp03, *rbtCmp04;
  QRadioButton *rbtZIP, *rbtLZH, *rbtCAB, *rbtTAR;
  QCheckBox *chkUseUPX, *chkBackup, *chkCompIco;
  TxxComboBox* cmbComp;
  TAdvStatus* STB;
  QProgressBar *PGB1, *PGB2;
  TFileDrop* FileDrop1;
  QMenu* PopupMenu1;
  QAction *del_File, *del_All, *add_Files, *add_Folder;

  // Form state.
  int UpxMode = 0;      // 0 auto, 1 compress, 2 decompress, 3 test
  int ArchiveKind = 0;  // 0 ZIP, 1 LZH, 2 CAB, 3 TAR
  bool ErrorFlag = false;
  std::string SettingsBase;
  std::string UpxDir;

  // The jobs "Execute" runs. They start as the real jobs; tests put recorders in their place.
  std::function<void(int Mode, int Level, const std::vector<std::string>& Paths, const std::string& Extra, bool Icons,
                     bool Backup)>
      UpxJob;
  std::function<void(int Kind, const std::vector<std::string>& Paths)> MakeArchiveJob;
  std::function<void(const std::string& Path)> UnpackArchiveJob;
  // The file dialog of "Add files…" (Folder false) and "Add folder…" (true): the chosen paths,
  // none when cancelled. Tests put a stand-in here.
  std::function<std::vector<std::string>(bool Folder)> ChoosePaths;
  // The password question of an encrypted entry (the job's OnGetPassword): the dialog of
  // AskPassword by default; tests put a stand-in here.
  std::function<bool(const std::string& Archive, const std::string& Entry, std::string& Password, bool& ForAll)>
      GetPassword;
  // Called once when the window is closed during a run: from then on it only finishes that
  // run and quits, so a later start must not hand its paths to it.
  std::function<void()> OnQuitting;

  // File list.
  void AddFiles(const std::vector<std::string>& Paths);
  void CollectPaths(std::vector<std::string>& Target) const;
  int VisibleRowCount() const;
  void del_FileClick();
  void del_AllClick();
  void add_FilesClick();
  void add_FolderClick();
  // Paths handed over by a later start: the window comes forward and lists them as a drop
  // would; while a job runs they wait and are listed when it ends.
  void OpenPaths(const std::vector<std::string>& Paths);

  // Jobs.
  void RunJobs();
  void RunUpx(int Mode, int Level, const std::vector<std::string>& Paths, const std::string& Extra, bool Icons,
              bool Backup);
  void RunArchiveJobs(std::vector<std::string>& Paths);
  void SetBusy(bool On);
  bool Busy() const { return FBusy; }
  // Stops the running archive job at its next check ("Cancel", Esc).
  void CancelRun();
  bool CancelRequested() const { return FCancel.load(); }
  bool Quitting() const { return FQuitAfterRun; }
  // Paths handed over during a run that ended by closing the window: the caller starts a new
  // window for them.
  std::vector<std::string> TakeLeftOverPaths();
  void ArchiveProgress(TZipCommon* Sender, uint8_t ByFile, uint8_t ByArchive);
  void ArchiveError(TZipCommon* Sender, const std::string& FileName, const std::string& ExtendedMsg,
                    const std::string& VolumeID, int32_t ECode);
  TArchiveJobEvents ArchiveEvents();
  // What the last Execute did, one line per job result or reported error; the status panel's
  // tooltip and, after archive jobs, "UPX Output" show these lines.
  const std::vector<std::string>& RunLines() const { return FRunLines; }
  void NoteJobResult(const std::string& Source, const TJobResult& Result, bool Unpack);

  // Window.
  void ResizeOutput(int Kind);
  void UpdateUpxControls();
  void SetStartupPaths(const std::vector<std::string>& Paths);
  void BringToFront();
  std::string StatusText() const;

  // Handlers.
  void btnRunClick();
  void btnCloseClick();
  void btnVerClick();
  void lblOutClick();
  void lblURLClick();
  void chkUseUPXClick();
  void rbtCmp01Click(int Tag);
  void rbtZIPClick(int Tag);
  void cmbCompCloseUp();
  void mmMSGEnter();
  void FileDrop1FileDrop(TFileDrop* Sender, int Num, const std::vector<std::string>& Files, int X, int Y);
  void lstFileKeyDown(int Key, Qt::KeyboardModifiers Shift);

 protected:
  void showEvent(QShowEvent*) override;
  void closeEvent(QCloseEvent*) override;
  void keyPressEvent(QKeyEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void changeEvent(QEvent*) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 public:
  // Puts the real UPX and archive jobs behind "Execute" (the constructor does; tests that
  // replaced them with recorders call it to go back).
  void UseRealJobs();

 private:
  void CreateControls();
  void CreateListAndMemos();
  void SetupList();
  void CreateUpxGroup();
  void CreateArchiveGroup();
  void CreateStatusBar();
  void SetTabOrder();
  void BeginQuitting();
  void Retranslate();
  void LayoutControls();
  int ClientHeightFor(bool Expanded) const;
  static QString ReadyText();
  void StartFolderSize(const std::string& Path);
  void WireHandlers();
  void RunUpxJobHere(int Mode, int Level, const std::vector<std::string>& Paths, const std::string& Extra, bool Icons,
                     bool Backup);
  void LoadOptions();
  void SaveOptions();
  void FormShow();
  void SetColumn0Width(int Rows);
  void SetStatus(const std::string& Text);
  void ShowRunLines(bool UpxRun);
  void AddPendingPaths();
  std::vector<std::string> DialogPaths(bool Folder);

  bool FShown = false;
  bool FBusy = false;
  std::vector<std::string> FStartupPaths;
  std::vector<std::string> FPendingPaths;
  std::vector<std::string> FRunLines;
  bool FUpxRun = false;
  std::atomic<bool> FCancel{false};
  bool FQuitAfterRun = false;
  bool FExpanded = false;
  bool FLaidOut = false;  // shown and collapsed once: resizing is the user's from then on
  int FListHeight = 106;  // grows with the window while the output pane is hidden
  int FMemoHeight = 278;  // grows with the window while it is shown
  // Set when the window goes: folder sizes still being summed stop.
  std::shared_ptr<std::atomic<bool>> FGone = std::make_shared<std::atomic<bool>>(false);
  std::unique_ptr<QThreadPool> FSizePool;
  std::unique_ptr<TUpxDir> FUpxDir;
};
