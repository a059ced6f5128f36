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

protected:
    void paintEvent(QPaintEvent*) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void AlignBottom();

    TColor FColor = clBtnFace;
    std::vector<TStatusPanel> FPanels;
};
