#pragma once
// The window's language. Its texts are written in Russian, its own language, which shows
// under a Russian locale and under C/POSIX; every other locale gets the English
// translation compiled into the program (src/app/translations/tovrel_en.ts).
#include <QStringList>

namespace app {

enum class WindowLanguage { Russian, English };

// The language for the user's languages in order of preference (QLocale::uiLanguages(),
// which follows LANGUAGE, LC_ALL, LC_MESSAGES and LANG): the first of them that the
// window speaks (Russian, English, or C/POSIX, which keeps Russian); English when it
// speaks none of them.
WindowLanguage LanguageFor(const QStringList& uiLanguages);

// Installs the translation for `language` into the application (none for Russian) and
// removes the one installed before. Returns false when the built-in English translation
// cannot be loaded; the window then stays Russian.
bool UseWindowLanguage(WindowLanguage language);

}  // namespace app
