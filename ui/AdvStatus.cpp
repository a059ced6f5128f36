#include "ui/AdvStatus.h"

#include <QEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>
#include <qdrawutil.h>

TAdvStatus::TAdvStatus(QWidget* parent) : QWidget(parent) {
  resize(parent ? parent->width() : 200, 22);
  if (parent) parent->installEventFilter(this);
  AlignBottom();
}

void TAdvStatus::SetColor(TColor v) {
  FColor = v;
  update();
}

void TAdvStatus::AddPanel(int Width, const std::string& Text) {
  FPanels.push_back({Width, Text, std::string()});
  update();
}

std::string TAdvStatus::PanelText(int Index) const {
  return Index >= 0 && Index < PanelCount() ? FPanels[size_t(Index)].Text : std::string();
}

void TAdvStatus::SetPanelText(int Index, const std::string& Text) {
  if (Index < 0 || Index >= PanelCount()) return;
  FPanels[size_t(Index)].Text = Text;
  update();
}

std::string TAdvStatus::PanelHint(int Index) const {
  return Index >= 0 && Index < PanelCount() ? FPanels[size_t(Index)].Hint : std::string();
}

void TAdvStatus::SetPanelHint(int Index, const std::string& Hint) {
  if (Index >= 0 && Index < PanelCount()) FPanels[size_t(Index)].Hint = Hint;
}

int TAdvStatus::PanelWidth(size_t Index) const {
  // The last panel takes what is left of the bar.
  int used = 0;
  for (size_t i = 0; i < Index; ++i) used += FPanels[i].Width;
  return Index + 1 == FPanels.size() ? width() - used : FPanels[Index].Width;
}

int TAdvStatus::PanelAt(int X) const {
  int x = 0;
  for (size_t i = 0; i < FPanels.size(); ++i) {
    const int w = PanelWidth(i);
    if (X >= x && X < x + w) return int(i);
    x += w;
  }
  return -1;
}

bool TAdvStatus::event(QEvent* e) {
  if (e->type() != QEvent::ToolTip) return QWidget::event(e);
  const auto* help = static_cast<QHelpEvent*>(e);
  const std::string hint = PanelHint(PanelAt(help->pos().x()));
  if (hint.empty())
    QToolTip::hideText();
  else
    QToolTip::showText(help->globalPos(), QString::fromStdString(hint), this);
  return true;
}

void TAdvStatus::AlignBottom() {
  if (QWidget* p = parentWidget()) setGeometry(0, p->height() - height(), p->width(), height());
}

bool TAdvStatus::eventFilter(QObject* watched, QEvent* e) {
  if (watched == parentWidget() && (e->type() == QEvent::Resize || e->type() == QEvent::Show)) AlignBottom();
  return QWidget::eventFilter(watched, e);
}

void TAdvStatus::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), ToQColor(FColor));
  int x = 0;
  for (size_t i = 0; i < FPanels.size(); ++i) {
    const int w = PanelWidth(i);
    const QRect cell(x, 2, w - 2, height() - 2);
    qDrawShadePanel(&p, cell, palette(), true, 1);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(cell.adjusted(2, 0, -2, 0), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
               QString::fromStdString(FPanels[i].Text));
    x += w;
  }
}
