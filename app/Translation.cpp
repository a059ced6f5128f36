#include "app/Translation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <memory>

bool InstallTranslation(const QLocale& Locale) {
  // Ours, and Qt's own for the standard dialogs when the system carries it.
  static std::unique_ptr<QTranslator> own, qt;
  for (auto* t : {&own, &qt})
    if (*t) {
      QCoreApplication::removeTranslator(t->get());
      t->reset();
    }
  // The first language the user reads (LANGUAGE, LC_MESSAGES, LANG for the system locale).
  if (!Locale.uiLanguages().value(0).startsWith("ja")) return false;
  own = std::make_unique<QTranslator>();
  if (!own->load(":/i18n/brel_ja.qm")) {
    own.reset();
    return false;
  }
  QCoreApplication::installTranslator(own.get());
  qt = std::make_unique<QTranslator>();
  if (qt->load(Locale, "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QCoreApplication::installTranslator(qt.get());
  else
    qt.reset();
  return true;
}
