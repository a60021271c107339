#include "app/translation.hpp"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>
#include <memory>

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
  static std::unique_ptr<QTranslator> installed;
  if (installed) {
    QCoreApplication::removeTranslator(installed.get());
    installed.reset();
  }
  if (language == WindowLanguage::Russian) return true;
  auto english = std::make_unique<QTranslator>();
  if (!english->load(QStringLiteral(":/i18n/tovrel_en.qm"))) return false;
  QCoreApplication::installTranslator(english.get());
  installed = std::move(english);
  return true;
}

}  // namespace app
