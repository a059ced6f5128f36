// brel: start-up of the desktop program.
#include "app/Main.h"
#include "app/SingleInstance.h"
#include "archive/core/qrvStreams.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QIcon>

static std::vector<std::string> PathArguments(const QStringList& arguments)
{
    std::vector<std::string> paths;
    for (qsizetype i = 1; i < arguments.size(); ++i)
        paths.push_back(QDir::cleanPath(QFileInfo(arguments[i]).absoluteFilePath()).toStdString());
    return paths;
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("brel");
    QApplication::setApplicationVersion(QString::fromStdString(FileVersionText()));
    // Outside a desktop session there may be no icon theme: the list then uses Adwaita's icons.
    if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == "hicolor")
        QIcon::setFallbackThemeName("Adwaita");

    TSingleInstance instance("MutexObjectForVidUdaRedero");
    if (!instance.Start())
        return 0;  // the running copy has been brought forward; these arguments are dropped

    // Long archive work keeps the window responsive: the components pump between blocks.
    ProcessMessagesHook = [] { QCoreApplication::processEvents(); };

    TfrmBrel form;
    instance.OnActivate = [&form] { form.BringToFront(); };
    form.SetStartupPaths(PathArguments(QApplication::arguments()));
    form.show();
    return QApplication::exec();
}
