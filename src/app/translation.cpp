#include "app/translation.hpp"

#include <QCoreApplication>
#include <QLocale>
#include <QPointer>
#include <QTranslator>

namespace app {

WindowLanguage LanguageFor(const QStringList& uiLanguages) {
  for (const QString& name : uiLanguages) {
    if (name == QLatin1String("C") || name == QLatin1String("POSIX")) return WindowLanguage::Russian;
    // A name Qt does not know comes back as the C locale: it is a language we lack.
    const QLocale::Language language = QLocale(name).language();
    if (language == QLocale::Russian) return WindowLanguage::Russian;
    if (language == QLocale::English) return WindowLanguage::English;
  }
  return WindowLanguage::English;
}

bool UseWindowLanguage(WindowLanguage language) {
  // At most one, owned by the application so that it goes with it; deleting it takes it
  // out of the application's translators.
  static QPointer<QTranslator> installed;
  delete installed;
  if (language == WindowLanguage::Russian) return true;
  auto* english = new QTranslator(QCoreApplication::instance());
  if (!english->load(QStringLiteral(":/i18n/tovrel_en.qm"))) {
    delete english;
    return false;
  }
  QCoreApplication::installTranslator(english);
  installed = english;
  return true;
}

}  // namespace app
