// Window position in the settings file.
#pragma once

#include <QRect>
#include <string>

class QWidget;

// The available area of the screen that holds the window (the primary screen before it is shown):
// the screen without panels and docks.
QRect GetWorkArea(const QWidget* Window);

// Top-left at which a window of the given outer size sits centred in the work area.
QPoint CentredPos(const QRect& WorkArea, const QSize& OuterSize);

// Places the window's client area at Prefix + "Top" and Prefix + "Left" of Section. Without stored
// values the window is centred in the work area (Centre) or put at 0, 0. A stored place where the
// window would be on no screen at all counts as missing; one partly off a screen is moved onto it.
void LoadFormPos(const std::string& Base, const std::string& Section, const std::string& Prefix, bool Centre,
                 QWidget* Window);
// Writes the top, then the left of the window's client area.
void SaveFormPos(const std::string& Base, const std::string& Section, const std::string& Prefix, const QWidget* Window);
