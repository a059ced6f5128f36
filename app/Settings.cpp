#include "app/Settings.h"

#include "app/IniFile.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

QRect GetWorkArea(const QWidget* Window)
{
    const QScreen* screen = Window && Window->isVisible() ? Window->screen() : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
}

QPoint CentredPos(const QRect& WorkArea, const QSize& OuterSize)
{
    return QPoint(WorkArea.left() + (WorkArea.width() - OuterSize.width()) / 2,
                  WorkArea.top() + (WorkArea.height() - OuterSize.height()) / 2);
}

static bool OnSomeScreen(const QRect& r)
{
    for (const QScreen* screen : QGuiApplication::screens())
        if (screen->geometry().intersects(r))
            return true;
    return false;
}

void LoadFormPos(const std::string& Base, const std::string& Section, const std::string& Prefix,
                 bool Centre, QWidget* Window)
{
    const QSize outer = Window->frameGeometry().size();
    const QPoint fallback = Centre ? CentredPos(GetWorkArea(Window), outer) : QPoint(0, 0);
    const int top = ReadIniInt(Base, Section, Prefix + "Top", fallback.y());
    const int left = ReadIniInt(Base, Section, Prefix + "Left", fallback.x());
    const QPoint pos(left, top);
    Window->move(OnSomeScreen(QRect(pos, outer)) ? pos : fallback);
}

void SaveFormPos(const std::string& Base, const std::string& Section, const std::string& Prefix,
                 const QWidget* Window)
{
    WriteIniInt(Base, Section, Prefix + "Top", Window->y());
    WriteIniInt(Base, Section, Prefix + "Left", Window->x());
}
