// A status bar that keeps itself at the bottom of its parent, shows text panels and holds child
// controls (gauges, pictures) at fixed places.
#pragma once

#include "ui/Colors.h"

#include <QWidget>
#include <string>
#include <vector>

struct TStatusPanel {
  int Width = 50;
  std::string Text;
  std::string Hint;  // tooltip of the panel; none when empty
};

class TAdvStatus : public QWidget {
  Q_OBJECT
 public:
  explicit TAdvStatus(QWidget* parent = nullptr);

  TColor Color() const { return FColor; }
  void SetColor(TColor v);

  int PanelCount() const { return int(FPanels.size()); }
  void AddPanel(int Width, const std::string& Text = std::string());
  std::string PanelText(int Index) const;
  void SetPanelText(int Index, const std::string& Text);
  std::string PanelHint(int Index) const;
  void SetPanelHint(int Index, const std::string& Hint);
  // Index of the panel under x (client coordinates), -1 when none.
  int PanelAt(int X) const;

 protected:
  void paintEvent(QPaintEvent*) override;
  bool event(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void AlignBottom();
  int PanelWidth(size_t Index) const;

  TColor FColor = clBtnFace;
  std::vector<TStatusPanel> FPanels;
};
