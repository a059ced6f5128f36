// brel: start-up of the desktop program.
#include "app/Main.h"
#include "app/SingleInstance.h"
#include "app/Translation.h"
#include "archive/core/qrvStreams.h"
#include "platform/DosTime.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QLocale>
#include <QProcess>

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
bool AnswerOption(int argc, char** argv) {
  if (argc < 2) return false;
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
std::vector<std::string> PathArguments(int argc, char** argv) {
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    if (i == 1 && std::strcmp(argv[i], "--") == 0) continue;
    const QString arg = QFile::decodeName(argv[i]);
    paths.push_back(QFile::encodeName(QDir::cleanPath(QFileInfo(arg).absoluteFilePath())).toStdString());
  }
  return paths;
}

}  // namespace

int main(int argc, char** argv) {
  ReadTimeZoneOnce();
  if (AnswerOption(argc, argv)) return 0;
  // A later start hands its paths over before it would need a display.
  const std::vector<std::string> paths = PathArguments(argc, argv);
  TSingleInstance instance("MutexObjectForVidUdaRedero");
  switch (instance.Claim(paths)) {
    case isFirst: break;
    case isHandedOver: return 0;  // the running window lists the paths
    case isNoAnswer:
    case isQuitting:
      std::fputs("brel: another brel runs but did not answer; nothing was added to its list\n", stderr);
      return 1;
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName("brel");
  QApplication::setApplicationVersion(QString::fromStdString(FileVersionText()));
  QApplication::setDesktopFileName("brel");
  // Outside a desktop session there may be no icon theme: the list then uses Adwaita's icons.
  if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == "hicolor")
    QIcon::setFallbackThemeName("Adwaita");

  instance.Listen();

  // Long archive work keeps the window responsive: the components pump between blocks.
  ProcessMessagesHook = [] { QCoreApplication::processEvents(); };

  InstallTranslation(QLocale::system());
  TfrmBrel form;
  instance.OnActivate = [&form](const std::vector<std::string>& handed) { form.OpenPaths(handed); };
  form.OnQuitting = [&instance] { instance.StopTaking(); };
  form.SetStartupPaths(paths);
  form.show();
  const int status = QApplication::exec();
  // Paths handed over during a run that ended with the window: a new window lists them (it
  // waits for this copy to end).
  if (const std::vector<std::string> left = form.TakeLeftOverPaths(); !left.empty()) {
    QStringList args{"--"};
    for (const std::string& p : left) args << QFile::decodeName(p.c_str());
    QProcess::startDetached(QApplication::applicationFilePath(), args);
  }
  return status;
}
