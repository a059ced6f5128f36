// brel: start-up of the desktop program.
#include "app/Main.h"
#include "app/SingleInstance.h"
#include "archive/core/qrvStreams.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QIcon>

#include <cstdio>
#include <cstring>

namespace {

const char* const kUsage =
    "Usage: brel [PATH...]\n"
    "Lists the paths in the window; \"Execute\" then packs them, extracts the archives among\n"
    "them, or runs UPX on one executable. A running window takes the paths of a later start.\n"
    "  --version  print the version and exit\n"
    "  --help     print this help and exit\n"
    "  --         every argument after it is a path\n";

// Answers --version and --help (before any window exists, so also without a display). True when
// the program is done.
bool AnswerOption(int argc, char** argv)
{
    if (argc < 2)
        return false;
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("brel %s\n", FileVersionText().c_str());
        return true;
    }
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return true;
    }
    return false;
}

// The path arguments, absolute: a later start may run in another folder than the first.
std::vector<std::string> PathArguments(const QStringList& arguments)
{
    std::vector<std::string> paths;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (i == 1 && arguments[i] == "--")
            continue;
        paths.push_back(QDir::cleanPath(QFileInfo(arguments[i]).absoluteFilePath()).toStdString());
    }
    return paths;
}

}  // namespace

int main(int argc, char** argv)
{
    if (AnswerOption(argc, argv))
        return 0;
    QApplication app(argc, argv);
    QApplication::setApplicationName("brel");
    QApplication::setApplicationVersion(QString::fromStdString(FileVersionText()));
    QApplication::setDesktopFileName("brel");
    // Outside a desktop session there may be no icon theme: the list then uses Adwaita's icons.
    if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == "hicolor")
        QIcon::setFallbackThemeName("Adwaita");

    const std::vector<std::string> paths = PathArguments(QApplication::arguments());
    TSingleInstance instance("MutexObjectForVidUdaRedero");
    switch (instance.Start(paths)) {
    case isFirst:
        break;
    case isHandedOver:
        return 0;  // the running window lists the paths
    case isNoAnswer:
        std::fputs("brel: another brel runs but did not answer; nothing was added to its list\n", stderr);
        return 1;
    }

    // Long archive work keeps the window responsive: the components pump between blocks.
    ProcessMessagesHook = [] { QCoreApplication::processEvents(); };

    TfrmBrel form;
    instance.OnActivate = [&form](const std::vector<std::string>& handed) { form.OpenPaths(handed); };
    form.SetStartupPaths(paths);
    form.show();
    return QApplication::exec();
}
