// The file list of TfrmBrel: adding paths, reading them back, deleting items.
#include "app/Main.h"

#include "app/TextUtils.h"

#include <QFileInfo>
#include <QHeaderView>
#include <QIcon>
#include <QMimeDatabase>
#include <QPlainTextEdit>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QThreadPool>
#include <QTreeWidget>
#include <algorithm>

namespace {

constexpr int kRowHeight = 17;
constexpr int kNameWidth = 170;
constexpr int kNameWidthWithScrollBar = 153;

// Every row of the list has the same height, so that the visible row count is known before the
// list is laid out.
class TRowDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return QSize(QStyledItemDelegate::sizeHint(option, index).width(), kRowHeight);
  }
};

}  // namespace

QString IconNameFor(const std::string& Path) {
  const QString path = QString::fromStdString(Path);
  if (QFileInfo(path).isDir()) return "folder";
  // By name only: the file is not opened.
  return QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension).iconName();
}

static QIcon IconFor(const std::string& Path, const QStyle* style) {
  const QString name = IconNameFor(Path);
  const bool folder = name == "folder";
  QIcon icon = QIcon::fromTheme(name);
  if (icon.isNull() && !folder) {
    const QString path = QString::fromStdString(Path);
    icon = QIcon::fromTheme(QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension).genericIconName());
  }
  if (icon.isNull()) icon = style->standardIcon(folder ? QStyle::SP_DirIcon : QStyle::SP_FileIcon);
  return icon;
}

void TfrmBrel::SetupList() {
  lstFile->setColumnCount(3);
  lstFile->setHeaderHidden(true);
  lstFile->setRootIsDecorated(false);
  lstFile->setSelectionMode(QAbstractItemView::SingleSelection);
  lstFile->setSelectionBehavior(QAbstractItemView::SelectRows);
  lstFile->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lstFile->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  lstFile->setUniformRowHeights(true);
  lstFile->setItemDelegate(new TRowDelegate(lstFile));
  lstFile->setIconSize(QSize(16, 16));
  lstFile->header()->setStretchLastSection(false);
  lstFile->setColumnWidth(0, kNameWidth);
  lstFile->setColumnWidth(1, 60);
  lstFile->setColumnWidth(2, 0);
  lstFile->setColumnHidden(2, true);
  lstFile->setContextMenuPolicy(Qt::CustomContextMenu);
  lstFile->setTextElideMode(Qt::ElideMiddle);  // both ends of a long name stay readable
  // The selection stays as visible when the list has no focus.
  QPalette pal = lstFile->palette();
  pal.setColor(QPalette::Inactive, QPalette::Highlight, pal.color(QPalette::Active, QPalette::Highlight));
  pal.setColor(QPalette::Inactive, QPalette::HighlightedText, pal.color(QPalette::Active, QPalette::HighlightedText));
  lstFile->setPalette(pal);
}

int TfrmBrel::VisibleRowCount() const { return (lstFile->height() - 2 * lstFile->frameWidth()) / kRowHeight; }

void TfrmBrel::SetColumn0Width(int Rows) {
  // The name column takes what the list gains or loses against its design width (235).
  const int grown = lstFile->width() - 235;
  lstFile->setColumnWidth(0, std::max(60, grown + (VisibleRowCount() < Rows ? kNameWidthWithScrollBar : kNameWidth)));
}

void TfrmBrel::AddFiles(const std::vector<std::string>& Paths) {
  SetColumn0Width(int(Paths.size()) + lstFile->topLevelItemCount());
  QStringList known;
  for (int i = 0; i < lstFile->topLevelItemCount(); ++i) known << lstFile->topLevelItem(i)->text(0);
  for (const std::string& path : Paths) {
    const QString name = QString::fromStdString(ExtractFileName(path));
    if (known.contains(name, Qt::CaseInsensitive)) continue;
    auto* item = new QTreeWidgetItem(lstFile);
    item->setText(0, name);
    item->setText(1, QString::fromStdString(FormatGrouped(FileSizeKB(path)) + "KB"));
    item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    item->setText(2, QString::fromStdString(path));
    item->setToolTip(0, item->text(2));
    item->setIcon(0, IconFor(path, style()));
    if (QFileInfo(item->text(2)).isDir()) {
      item->setText(1, QString::fromUtf8("…KB"));
      StartFolderSize(path);
    }
  }
  if (const int count = lstFile->topLevelItemCount(); count > 0) {
    QTreeWidgetItem* last = lstFile->topLevelItem(count - 1);
    lstFile->setCurrentItem(last);
    last->setSelected(true);
    lstFile->scrollToItem(last);
  }
  mmMSG->hide();
}

void TfrmBrel::StartFolderSize(const std::string& Path) {
  // Summed beside the window, which stays responsive on a large tree; the row shows the total
  // when it is known and is still listed.
  FSizePool->start([this, Path, gone = FGone] {
    const int64_t kb = FolderSizeKB(Path, *gone);
    if (kb < 0) return;
    QMetaObject::invokeMethod(this, [this, Path, kb] {
      const QString path = QString::fromStdString(Path);
      for (int i = 0; i < lstFile->topLevelItemCount(); ++i)
        if (QTreeWidgetItem* item = lstFile->topLevelItem(i); item->text(2) == path)
          item->setText(1, QString::fromStdString(FormatGrouped(kb) + "KB"));
    });
  });
}

void TfrmBrel::CollectPaths(std::vector<std::string>& Target) const {
  for (int i = 0; i < lstFile->topLevelItemCount(); ++i)
    Target.push_back(lstFile->topLevelItem(i)->text(2).toStdString());
}

void TfrmBrel::del_FileClick() {
  // The selection is taken first: the view moves it on by itself while rows go.
  std::vector<int> selected;
  for (int i = 0; i < lstFile->topLevelItemCount(); ++i)
    if (lstFile->topLevelItem(i)->isSelected()) selected.push_back(i);
  int last = -1;
  for (size_t n = 0; n < selected.size(); ++n) {
    last = selected[n] - int(n);  // earlier deletions moved it up
    delete lstFile->takeTopLevelItem(last);
  }
  const int count = lstFile->topLevelItemCount();
  last = std::min(last, count - 1);
  lstFile->clearSelection();
  if (last >= 0) {
    QTreeWidgetItem* item = lstFile->topLevelItem(last);
    lstFile->setCurrentItem(item);
    item->setSelected(true);
  }
  SetColumn0Width(count);
}

void TfrmBrel::del_AllClick() { lstFile->clear(); }

void TfrmBrel::lstFileKeyDown(int Key, Qt::KeyboardModifiers Shift) {
  if (Key != Qt::Key_Delete) return;
  if ((Shift & ~Qt::KeypadModifier) == Qt::ControlModifier)
    del_AllClick();
  else
    del_FileClick();
}
