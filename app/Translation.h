// The window's texts in the user's language. The texts in the code are English; a Japanese
// locale gets the translation compiled into the program (the labels the window has always shown
// in Japan), every other locale the English texts.
#pragma once

class QLocale;

// Installs the translation for Locale in place of the one installed before; false when the
// locale keeps the English texts.
bool InstallTranslation(const QLocale& Locale);
