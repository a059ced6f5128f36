// Window creation, layout, showing and closing of TfrmBrel.
#include "app/Main.h"

#include "app/EditEx.h"
#include "app/IniFile.h"
#include "app/Settings.h"
#include "ui/AdvStatus.h"
#include "ui/LbSpeedButton.h"
#include "ui/xxComboBox.h"
#include "upx/UpxDir.h"
#include <QFile>

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <utility>

#ifndef BREL_FILE_VERSION
#define BREL_FILE_VERSION ""
#endif

namespace {

constexpr int kClientWidth = 492;
constexpr int kDesignHeight = 476;
constexpr TColor kStatusColor = 0x00EBD6DD;
const char* const kOpt = "OPT";
const char* const kUpxHomePage = "https://upx.github.io/";

QFont WindowFont() {
  QFont f;
  f.setFamilies({"IPAPGothic", "IPAGothic", "Noto Sans CJK JP", "VL PGothic", "sans-serif"});
  f.setPixelSize(12);
  return f;
}

QFont Bold(QFont f) {
  f.setBold(true);
  return f;
}

// A label at its place, widened when its text needs more room than the layout gives.
QLabel* MakeLabel(QWidget* parent, const QRect& at, const char* text, bool bold, bool italic = false) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  QFont f = parent->font();
  f.setBold(bold);
  f.setItalic(italic);
  f.setUnderline(italic);
  label->setFont(f);
  const QSize fit = label->sizeHint();
  label->setGeometry(at.x(), at.y(), std::max(at.width(), fit.width()), at.height());
  return label;
}

// A group box drawn with its caption on the frame line.
QGroupBox* MakeGroup(QWidget* parent, const QRect& at, const char* caption) {
  auto* group = new QGroupBox(QString::fromUtf8(caption), parent);
  group->setGeometry(at);
  group->setStyleSheet(
      "QGroupBox { border: 1px solid palette(mid); margin-top: 6px; }"
      "QGroupBox::title { subcontrol-origin: margin; left: 6px; padding: 0px; }");
  return group;
}

template <class T>
T* Place(T* widget, const QRect& at, bool hand) {
  widget->setGeometry(at);
  if (hand) widget->setCursor(Qt::PointingHandCursor);
  return widget;
}

TLbSpeedButton* MakeSpeedButton(QWidget* parent, const QRect& at, const char* caption, TLbColorStyle preset,
                                const char* glyph) {
  auto* button = Place(new TLbSpeedButton(parent), at, true);
  button->SetColorStyle(preset);
  button->setFont(Bold(parent->font()));
  button->SetCaption(caption);
  if (glyph) button->SetGlyph(QPixmap(QString::fromUtf8(glyph)));
  return button;
}

// A read-only memo whose text keeps an inset from its frame.
class TMemo : public QPlainTextEdit {
 public:
  TMemo(QWidget* parent, int horizontal, int vertical) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    document()->setDocumentMargin(0);
    setViewportMargins(horizontal, vertical, horizontal, vertical);
  }
};

}  // namespace

static void InitResources() {
  Q_INIT_RESOURCE(brel);
  Q_INIT_RESOURCE(upx);
}

const std::string& FileVersionText() {
  static const std::string text = BREL_FILE_VERSION;
  return text;
}

TfrmBrel::TfrmBrel(const std::string& Base, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  InitResources();
  setObjectName("frmBrel");
  FSizePool = std::make_unique<QThreadPool>();
  FSizePool->setMaxThreadCount(1);
  SettingsBase = Base.empty() ? SettingsBaseFor(QApplication::applicationFilePath().toStdString()) : Base;
  setFont(WindowFont());
  resize(kClientWidth, kDesignHeight);
  setMinimumSize(kClientWidth, kCollapsedHeight);
  CreateControls();
  WireHandlers();
  SetTabOrder();
  Retranslate();

  UseRealJobs();
  rbtCmp01->setChecked(true);
  LoadOptions();
  setWindowTitle(QString::fromStdString("VX/BREL ver " + FileVersionText() + " : UPX/ZIP/LZH/CAB/TAR"));
  QIcon icon;
  for (int size : {16, 32, 48, 64}) icon.addFile(QString(":/brel/icon-%1.png").arg(size), QSize(size, size));
  setWindowIcon(icon);
}

TfrmBrel::~TfrmBrel() {
  FGone->store(true);  // folder sizes still being summed stop and report nothing
  FSizePool->waitForDone();
  FUpxDir.reset();  // removes the packer and the private folder it made
  if (FBusy) QApplication::restoreOverrideCursor();
}

void TfrmBrel::CreateControls() {
  lblFile0 = MakeLabel(this, {8, 7, 155, 12}, "", true);
  lblFile1 = MakeLabel(this, {8, 21, 311, 12}, "", true);
  btnRun = MakeSpeedButton(this, {335, 5, 80, 22}, "", lcsGold, ":/brel/execute.xpm");
  btnClose = MakeSpeedButton(this, {419, 5, 69, 22}, "", lcsGold, ":/brel/close.xpm");
  // Tab reaches both buttons; Space or Enter on the focused one clicks it.
  for (TLbSpeedButton* b : {btnRun, btnClose}) b->setFocusPolicy(Qt::StrongFocus);
  CreateListAndMemos();
  CreateUpxGroup();
  CreateArchiveGroup();

  lblOut = MakeLabel(this, {8, 154, 70, 12}, "", true);
  lblOut->setCursor(Qt::PointingHandCursor);
  lblURL = MakeLabel(this, {85, 154, 80, 12}, "", false, true);
  lblURL->setCursor(Qt::PointingHandCursor);
  QPalette blue = lblURL->palette();
  blue.setColor(QPalette::WindowText, Qt::blue);
  lblURL->setPalette(blue);
  btnVer = MakeSpeedButton(this, {422, 149, 65, 19}, "", lcsQuicken, nullptr);

  CreateStatusBar();
  FileDrop1 = new TFileDrop(this);
}

void TfrmBrel::CreateListAndMemos() {
  lstFile = Place(new QTreeWidget(this), {5, 40, 235, 106}, true);
  SetupList();

  PopupMenu1 = new QMenu(this);
  add_Files = PopupMenu1->addAction(QString());
  add_Folder = PopupMenu1->addAction(QString());
  PopupMenu1->addSeparator();
  del_File = PopupMenu1->addAction(QString());
  del_All = PopupMenu1->addAction(QString());

  mmMSG = Place(new TMemo(this, 4, 6), {5, 40, 235, 106}, false);
  QPalette night = mmMSG->palette();
  for (auto role : {QPalette::Base, QPalette::Window}) night.setColor(role, Qt::black);
  night.setColor(QPalette::Text, Qt::white);
  mmMSG->setPalette(night);
  mmMSG->setAutoFillBackground(true);

  Memo1 = Place(new TMemo(this, 4, 4), {5, 171, 482, 278}, false);

  // Drops land on the window, not on the controls under the pointer.
  for (QWidget* w : {static_cast<QWidget*>(lstFile), lstFile->viewport(), static_cast<QWidget*>(mmMSG),
                     mmMSG->viewport(), static_cast<QWidget*>(Memo1), Memo1->viewport()})
    w->setAcceptDrops(false);
}

void TfrmBrel::CreateUpxGroup() {
  grpUPX = MakeGroup(this, {244, 36, 170, 111}, " UPX ");
  auto* modes = new QButtonGroup(this);
  const int tops[] = {15, 32, 49, 64};
  QRadioButton** buttons[] = {&rbtCmp01, &rbtCmp02, &rbtCmp03, &rbtCmp04};
  for (int tag = 0; tag < 4; ++tag) {
    *buttons[tag] = Place(new QRadioButton(grpUPX), {11, tops[tag], 55, 17}, true);
    modes->addButton(*buttons[tag], tag);
  }
  connect(modes, &QButtonGroup::idToggled, this, [this](int tag, bool on) {
    if (on) rbtCmp01Click(tag);
  });
  chkUseUPX = Place(new QCheckBox(grpUPX), {71, 21, 96, 17}, true);
  chkBackup = Place(new QCheckBox(grpUPX), {71, 41, 96, 17}, true);
  chkCompIco = Place(new QCheckBox(grpUPX), {71, 60, 96, 17}, true);
  lblComp = MakeLabel(grpUPX, {15, 88, 52, 12}, "", false);
  cmbComp = Place(new TxxComboBox(grpUPX), {70, 82, 93, 22}, true);
  for (int level = 0; level < 10; ++level) cmbComp->addItem(QString());
  cmbComp->setMaxVisibleItems(12);
  cmbComp->SetItemHeight(16);
  cmbComp->WheelActive = true;
}

void TfrmBrel::CreateArchiveGroup() {
  grpZIP = MakeGroup(this, {417, 36, 70, 111}, "Archive");
  auto* kinds = new QButtonGroup(this);
  const char* captions[] = {"ZIP ", "LZH ", "CAB", "TAR"};
  const int tops[] = {19, 41, 63, 85};
  QRadioButton** buttons[] = {&rbtZIP, &rbtLZH, &rbtCAB, &rbtTAR};
  for (int tag = 0; tag < 4; ++tag) {
    *buttons[tag] = Place(new QRadioButton(captions[tag], grpZIP), {14, tops[tag], 51, 17}, true);
    kinds->addButton(*buttons[tag], tag);
  }
  connect(kinds, &QButtonGroup::idToggled, this, [this](int tag, bool on) {
    if (on) rbtZIPClick(tag);
  });
}

void TfrmBrel::CreateStatusBar() {
  STB = new TAdvStatus(this);
  STB->resize(kClientWidth, 22);
  STB->SetColor(kStatusColor);
  STB->AddPanel(174);
  STB->AddPanel(318);
  imgWeb = new QLabel(STB);
  imgWeb->setGeometry(3, 4, 16, 16);
  imgWeb->setPixmap(QPixmap(":/brel/web.xpm"));
  PGB1 = Place(new QProgressBar(STB), {180, 3, 150, 16}, false);
  PGB2 = Place(new QProgressBar(STB), {337, 3, 150, 16}, false);
  for (QProgressBar* gauge : {PGB1, PGB2}) {
    gauge->setRange(0, 100);
    gauge->setValue(0);
    gauge->setTextVisible(false);
  }
  STB->raise();  // over the output pane while collapsed
}

void TfrmBrel::WireHandlers() {
  btnRun->OnClick = [this](TLbSpeedButton*) { btnRunClick(); };
  btnClose->OnClick = [this](TLbSpeedButton*) { btnCloseClick(); };
  btnVer->OnClick = [this](TLbSpeedButton*) { btnVerClick(); };
  connect(chkUseUPX, &QCheckBox::toggled, this, [this] { chkUseUPXClick(); });
  cmbComp->OnCloseUp = [this](TxxComboBox*) { cmbCompCloseUp(); };
  connect(del_File, &QAction::triggered, this, [this] { del_FileClick(); });
  connect(del_All, &QAction::triggered, this, [this] { del_AllClick(); });
  connect(add_Files, &QAction::triggered, this, [this] { add_FilesClick(); });
  connect(add_Folder, &QAction::triggered, this, [this] { add_FolderClick(); });
  ChoosePaths = [this](bool folder) { return DialogPaths(folder); };
  GetPassword = [this](const std::string& archive, const std::string& entry, std::string& password, bool& forAll) {
    return AskPassword(this, archive, entry, password, forAll);
  };
  connect(lstFile, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { PopupMenu1->popup(lstFile->viewport()->mapToGlobal(at)); });
  FileDrop1->OnFileDrop = [this](TFileDrop* sender, int num, const std::vector<std::string>& files, int x, int y) {
    FileDrop1FileDrop(sender, num, files, x, y);
  };
  for (QObject* watched : {static_cast<QObject*>(lstFile), static_cast<QObject*>(mmMSG), static_cast<QObject*>(lblOut),
                           static_cast<QObject*>(lblURL)})
    watched->installEventFilter(this);
}

bool TfrmBrel::eventFilter(QObject* watched, QEvent* e) {
  if (watched == lstFile && e->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(e);
    if (key->key() == Qt::Key_Delete) {
      lstFileKeyDown(key->key(), key->modifiers());
      return true;
    }
  } else if (watched == mmMSG && e->type() == QEvent::FocusIn) {
    mmMSGEnter();
  } else if (e->type() == QEvent::MouseButtonRelease && static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton) {
    if (watched == lblOut)
      lblOutClick();
    else if (watched == lblURL)
      lblURLClick();
  }
  return QWidget::eventFilter(watched, e);
}

void TfrmBrel::LoadOptions() {
  const int kind = ReadIniInt(SettingsBase, kOpt, "ZipCompression", 0);
  const int level = ReadIniInt(SettingsBase, kOpt, "UpxCompLevel", 6);
  chkBackup->setChecked(ReadIniBool(SettingsBase, kOpt, "UpxBackupFile", true));
  chkUseUPX->setChecked(ReadIniBool(SettingsBase, kOpt, "UpxAutoSelect", true));
  chkCompIco->setChecked(ReadIniBool(SettingsBase, kOpt, "UpxCompression", true));
  cmbComp->setCurrentIndex(level >= 0 && level < cmbComp->count() ? level : -1);
  QRadioButton* kinds[] = {rbtZIP, rbtLZH, rbtCAB, rbtTAR};
  kinds[kind >= 0 && kind <= 2 ? kind : 3]->setChecked(true);
  UpdateUpxControls();
}

void TfrmBrel::SaveOptions() {
  SaveFormPos(SettingsBase, "FORM", "Main", this);
  WriteIniInt(SettingsBase, kOpt, "ZipCompression", ArchiveKind);
  WriteIniInt(SettingsBase, kOpt, "UpxCompLevel", cmbComp->currentIndex());
  WriteIniBool(SettingsBase, kOpt, "UpxAutoSelect", chkUseUPX->isChecked());
  WriteIniBool(SettingsBase, kOpt, "UpxBackupFile", chkBackup->isChecked());
  WriteIniBool(SettingsBase, kOpt, "UpxCompression", chkCompIco->isChecked());
}

void TfrmBrel::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (FShown) return;
  FShown = true;
  FormShow();
  // Paths from the command line arrive once the window is on the screen, as a drop would.
  QTimer::singleShot(0, this, [this] {
    repaint();
    if (!FStartupPaths.empty()) AddFiles(std::exchange(FStartupPaths, {}));
  });
}

void TfrmBrel::FormShow() {
  LoadFormPos(SettingsBase, "FORM", "Main", true, this);
  // The packer goes into a private folder at every start. A failure shows later: the UPX job
  // then reports that the packer cannot be started.
  FUpxDir = std::make_unique<TUpxDir>();
  UpxDir = FUpxDir->Path();
  QFile packer(":/upx/upx");
  const QByteArray bytes = packer.open(QIODevice::ReadOnly) ? packer.readAll() : QByteArray();
  FUpxDir->WriteUpxExe({reinterpret_cast<const unsigned char*>(bytes.constData()), size_t(bytes.size())});
  UpdateUpxControls();
  ResizeOutput(1);
  FLaidOut = true;
}

void TfrmBrel::closeEvent(QCloseEvent* e) {
  if (FBusy) {
    // The run stops at its next check and cleans up; the window closes once it has returned.
    e->ignore();
    BeginQuitting();
    CancelRun();
    return;
  }
  SaveOptions();
  BeginQuitting();
  e->accept();
}

void TfrmBrel::BeginQuitting() {
  // From here on the program ends: a later start opens a window of its own.
  if (!std::exchange(FQuitAfterRun, true) && OnQuitting) OnQuitting();
}

void TfrmBrel::keyPressEvent(QKeyEvent* e) {
  if (e->modifiers() & ~Qt::KeypadModifier) return QWidget::keyPressEvent(e);
  switch (e->key()) {
    case Qt::Key_Escape:
      if (FBusy)
        CancelRun();
      else
        close();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (!FBusy) btnRunClick();
      return;
    default: QWidget::keyPressEvent(e);
  }
}

void TfrmBrel::SetStartupPaths(const std::vector<std::string>& Paths) { FStartupPaths = Paths; }

void TfrmBrel::UpdateUpxControls() {
  const bool on = chkUseUPX->isChecked();
  for (QWidget* w :
       std::initializer_list<QWidget*>{rbtCmp01, rbtCmp02, rbtCmp03, rbtCmp04, chkBackup, chkCompIco, lblComp, cmbComp})
    w->setEnabled(on);
  QPalette pal = cmbComp->palette();
  const QColor text = on ? QColor(Qt::black) : ToQColor(clSilver);
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
    for (auto role : {QPalette::Text, QPalette::ButtonText}) pal.setColor(group, role, text);
  cmbComp->setPalette(pal);
}

void TfrmBrel::BringToFront() {
  if (isMinimized()) showNormal();
  raise();
  activateWindow();
}

void TfrmBrel::btnRunClick() {
  if (FBusy)
    CancelRun();  // the button reads "Cancel" during a run
  else
    RunJobs();
}

void TfrmBrel::btnCloseClick() { close(); }

void TfrmBrel::btnVerClick() {
  if (FExpanded) {
    ResizeOutput(1);
    return;
  }
  ResizeOutput(2);
  RunUpx(0, 0, {}, "-V", false, false);
  QThread::msleep(100);
  PGB1->setValue(0);
  PGB2->setValue(0);
  AddPendingPaths();
}

void TfrmBrel::lblOutClick() { ResizeOutput(0); }

void TfrmBrel::lblURLClick() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  QDesktopServices::openUrl(QUrl(kUpxHomePage));
  QApplication::restoreOverrideCursor();
}

void TfrmBrel::chkUseUPXClick() { UpdateUpxControls(); }

void TfrmBrel::rbtCmp01Click(int Tag) { UpxMode = Tag; }

void TfrmBrel::rbtZIPClick(int Tag) { ArchiveKind = Tag; }

void TfrmBrel::cmbCompCloseUp() { lstFile->setFocus(); }

void TfrmBrel::mmMSGEnter() { lstFile->setFocus(); }

std::vector<std::string> TfrmBrel::DialogPaths(bool Folder) {
  QStringList chosen;
  if (Folder) {
    const QString dir = QFileDialog::getExistingDirectory(this, tr("Add folder"), QDir::homePath());
    if (!dir.isEmpty()) chosen << dir;
  } else {
    chosen = QFileDialog::getOpenFileNames(this, tr("Add files"), QDir::homePath());
  }
  std::vector<std::string> paths;
  for (const QString& p : chosen) paths.push_back(QDir::cleanPath(p).toStdString());
  return paths;
}

void TfrmBrel::add_FilesClick() {
  if (const std::vector<std::string> paths = ChoosePaths(false); !paths.empty()) AddFiles(paths);
}

void TfrmBrel::add_FolderClick() {
  if (const std::vector<std::string> paths = ChoosePaths(true); !paths.empty()) AddFiles(paths);
}

void TfrmBrel::FileDrop1FileDrop(TFileDrop*, int, const std::vector<std::string>& Files, int, int) {
  BringToFront();
  AddFiles(Files);
}
