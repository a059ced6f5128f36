// TfrmBrel's texts in the user's language, the places of its controls as the window is resized
// or the output pane shown, and the keyboard order.
#include "app/Main.h"

#include "ui/AdvStatus.h"
#include "ui/LbSpeedButton.h"
#include "ui/xxComboBox.h"

#include <QAction>
#include <QCheckBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QTreeWidget>
#include <algorithm>
#include <iterator>

namespace {

constexpr int kClientWidth = 492;
constexpr int kListHeight = 106;  // at the design size
constexpr int kMemoHeight = 278;
constexpr int kMinMemoHeight = 60;
constexpr int kMinListWidth = 150;
// Client height without the list's growth: the list's top (40) and what lies below it (47).
constexpr int kCollapsedRest = kCollapsedHeight - kListHeight;
// The output pane's top below the list, and the status bar's room below the pane.
constexpr int kMemoGap = 171 - 40 - kListHeight;
constexpr int kBelowMemo = kExpandedHeight - 171 - kMemoHeight;

// A label at its design place, widened when its text needs more room.
void FitLabel(QLabel* label, int x, int y, int w, int h) {
  label->setGeometry(x, y, std::max(w, label->sizeHint().width()), h);
}

}  // namespace

void TfrmBrel::Retranslate() {
  lblFile0->setText(tr("Files to work on"));
  lblFile1->setText(tr("UPX (.exe .com .dll .sys .src) / archive (other files)"));
  btnRun->SetCaption((FBusy ? tr("Cancel") : tr("Execute")).toStdString());
  btnClose->SetCaption(tr("close").toStdString());
  add_Files->setText(tr("Add files…"));
  add_Folder->setText(tr("Add folder…"));
  del_File->setText(tr("Remove from list"));
  del_All->setText(tr("Clear list"));
  mmMSG->setPlainText(
      tr("[ Description ]\n\nUPX works on one executable file alone.\n\n"
         "Other files go into or come out of archives (zip, lzh, cab, tar)."));
  const QString modes[] = {tr("automatic"), tr("compress"), tr("decompress"), tr("test")};
  QRadioButton* modeButtons[] = {rbtCmp01, rbtCmp02, rbtCmp03, rbtCmp04};
  for (int i = 0; i < 4; ++i) modeButtons[i]->setText(modes[i]);
  chkUseUPX->setText(tr("Use UPX"));
  chkBackup->setText(tr("backup"));
  chkCompIco->setText(tr("compress icons"));
  lblComp->setText(tr("level : "));
  for (int level = 1; level <= 9; ++level) cmbComp->setItemText(level - 1, tr("Level %1").arg(level));
  cmbComp->setItemText(9, tr("Best !!"));
  lblOut->setText(tr("UPX Output"));
  lblURL->setText(tr("UPX HomePage"));
  btnVer->SetCaption(tr("UPX ver").toStdString());
  if (!FBusy && StatusText().empty()) SetStatus(ReadyText().toStdString());
  LayoutControls();
}

QString TfrmBrel::ReadyText() { return "     " + tr("Ready"); }

void TfrmBrel::changeEvent(QEvent* e) {
  if (e->type() == QEvent::LanguageChange) Retranslate();
  QWidget::changeEvent(e);
}

void TfrmBrel::SetTabOrder() {
  QWidget* order[] = {lstFile, rbtCmp01, rbtCmp02, rbtCmp03, rbtCmp04, chkUseUPX, chkBackup, chkCompIco,
                      cmbComp, rbtZIP,   rbtLZH,   rbtCAB,   rbtTAR,   btnRun,    btnClose};
  for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
}

int TfrmBrel::ClientHeightFor(bool Expanded) const {
  const int collapsed = kCollapsedRest + FListHeight;
  return Expanded ? collapsed + kExpandedHeight - kCollapsedHeight + FMemoHeight - kMemoHeight : collapsed;
}

void TfrmBrel::ResizeOutput(int Kind) {
  FExpanded = Kind == 2 || (Kind == 0 && !FExpanded);
  const int h = ClientHeightFor(FExpanded);
  setMinimumHeight(FExpanded ? h - FMemoHeight + kMinMemoHeight : kCollapsedHeight);
  resize(width(), h);
  LayoutControls();
}

void TfrmBrel::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  if (!FLaidOut)  // the design size before the first collapse holds no choice of the user
    return LayoutControls();
  // The growth goes to the list while the pane is hidden, to the pane while it shows.
  if (FExpanded)
    FMemoHeight = std::max(kMinMemoHeight, height() - kBelowMemo - (40 + FListHeight + kMemoGap));
  else
    FListHeight = std::max(kListHeight, height() - kCollapsedRest);
  LayoutControls();
}

void TfrmBrel::LayoutControls() {
  // The UPX options widen when their texts need it (English ones are longer); the room comes
  // from the list, then from a wider window.
  int modeW = 55, checkW = 96;
  for (QWidget* w : std::initializer_list<QWidget*>{rbtCmp01, rbtCmp02, rbtCmp03, rbtCmp04})
    modeW = std::max(modeW, w->sizeHint().width());
  for (QWidget* w : std::initializer_list<QWidget*>{chkUseUPX, chkBackup, chkCompIco})
    checkW = std::max(checkW, w->sizeHint().width());
  const int checkX = 11 + modeW + 5;
  const int groupW = checkX + checkW + 3;
  const int wider = groupW - 170;
  setMinimumWidth(kClientWidth + std::max(0, wider - (235 - kMinListWidth)));
  const int dx = std::max(0, width() - kClientWidth);
  const int dy = FListHeight - kListHeight;
  const int listW = std::max(kMinListWidth, 235 + dx - wider);
  FitLabel(lblFile0, 8, 7, 155, 12);
  FitLabel(lblFile1, 8, 21, 311, 12);
  btnRun->setGeometry(335 + dx, 5, 80, 22);
  btnClose->setGeometry(419 + dx, 5, 69, 22);
  lstFile->setGeometry(5, 40, listW, FListHeight);
  mmMSG->setGeometry(lstFile->geometry());
  grpUPX->setGeometry(5 + listW + 4, 36, groupW, 111);
  for (QRadioButton* b : {rbtCmp01, rbtCmp02, rbtCmp03, rbtCmp04}) b->resize(modeW, 17);
  for (QCheckBox* b : {chkUseUPX, chkBackup, chkCompIco}) b->setGeometry(checkX, b->y(), checkW, 17);
  cmbComp->setGeometry(checkX - 1, 82, checkW - 3, 22);
  grpZIP->move(grpUPX->geometry().right() + 4, 36);
  FitLabel(lblComp, 15, 88, 52, 12);
  FitLabel(lblOut, 8, 154 + dy, 70, 12);
  FitLabel(lblURL, std::max(85, lblOut->geometry().right() + 7), 154 + dy, 80, 12);
  btnVer->setGeometry(422 + dx, 149 + dy, 65, 19);
  Memo1->setGeometry(5, 171 + dy, 482 + dx, FMemoHeight);
  SetColumn0Width(lstFile->topLevelItemCount());
}
