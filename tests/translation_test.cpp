// The window's language: which one a locale gets, every text of the English window (no
// Russian left, none wider than its control, at each screen ratio), and the Russian window
// exactly as without any translation. The tests of one locale run in a process started
// with that locale (tests/app.cmake), as the program reads it once at start.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QLocale>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <memory>

#include "app/main_form.hpp"
#include "app/translation.hpp"
#include "display/ruler.hpp"
#include "offscreen_screens.hpp"
#include "window_test_support.hpp"

namespace {

using app::WindowLanguage;

TEST(WindowLanguage, RussianUnderRussianAndCEnglishUnderAnyOther) {
  const struct {
    const char* uiLanguages;  // as QLocale::uiLanguages() gives them
    WindowLanguage language;
  } cases[] = {
      {"ru-RU,ru-Cyrl-RU,ru", WindowLanguage::Russian},
      {"C", WindowLanguage::Russian},
      {"POSIX", WindowLanguage::Russian},
      {"en-US,en-Latn-US,en", WindowLanguage::English},
      {"en-GB,en-Latn-GB", WindowLanguage::English},
      {"de-DE,de-Latn-DE,de", WindowLanguage::English},
      {"uk-UA,uk-Cyrl-UA,uk", WindowLanguage::English},
      {"xx-YY", WindowLanguage::English},  // a language Qt does not know is no C locale
      // LANGUAGE=de:ru and ru:en: the first language the window speaks.
      {"de,de-Latn-DE,de-DE,ru,ru-Cyrl-RU,ru-RU", WindowLanguage::Russian},
      {"ru,ru-Cyrl-RU,ru-RU,en,en-Latn-US,en-US", WindowLanguage::Russian},
  };
  for (const auto& c : cases)
    EXPECT_EQ(app::LanguageFor(QString::fromLatin1(c.uiLanguages).split(',')), c.language) << c.uiLanguages;
}

// The scripted devices, the last playback device standing for Tovrel's own.
class WithOwnDevice : public wave::ScriptedBackend {
 public:
  wave::MMRESULT getDevCaps(wave::Direction direction, int32_t id, wave::WAVECAPS* caps) override {
    const wave::MMRESULT result = ScriptedBackend::getDevCaps(direction, id, caps);
    if (result == wave::MMSYSERR_NOERROR && direction == wave::Direction::Playback &&
        id + 1 == static_cast<int32_t>(getNumDevs(direction)))
      caps->ownDevice = true;
    return result;
  }
};

bool hasCyrillic(const QString& text) {
  static const QRegularExpression cyrillic(QStringLiteral("\\p{Cyrillic}"));
  return text.contains(cyrillic);
}

class TranslationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config_.isValid());
    qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
    // The last playback entry is Tovrel's own device, listed in the window's language.
    useScriptedDevices(audio, {"Line In", "Monitor of Speakers"}, {"Speakers", "Tovrel I/Q sink"});
    app::setBoxPresenter([](const app::BoxRequest&) {});
  }

  void TearDown() override {
    form.reset();
    drain();
    app::UseWindowLanguage(WindowLanguage::Russian);
    app::setBoxPresenter({});
    wave::setBackend(nullptr);
  }

  TMainForm& showForm(QScreen* screen = nullptr) {
    form.reset();
    form = std::make_unique<TMainForm>();
    if (screen) {
      form->setScreen(screen);
      form->ScreenArea = [screen] { return screen->availableGeometry(); };
    }
    form->show();
    drain();
    return *form;
  }

  // Every text the window shows is English and fits its control.
  void expectEnglishThatFits(TMainForm& f, const char* where) {
    for (QLabel* label : f.findChildren<QLabel*>()) {
      if (label->text().isEmpty()) continue;  // a picture
      EXPECT_FALSE(hasCyrillic(label->text())) << where << " " << label->text().toStdString();
      EXPECT_LE(label->sizeHint().width(), label->width()) << where << " " << label->text().toStdString();
    }
    for (QCheckBox* box : f.findChildren<QCheckBox*>()) {
      EXPECT_FALSE(hasCyrillic(box->text())) << where << " " << box->text().toStdString();
      EXPECT_LE(box->sizeHint().width(), box->width()) << where << " " << box->text().toStdString();
      EXPECT_LE(box->x() + box->width(), 242) << where << " " << box->text().toStdString();
    }
    for (QComboBox* box : f.findChildren<QComboBox*>()) {
      for (int i = 0; i < box->count(); ++i)
        EXPECT_FALSE(hasCyrillic(box->itemText(i))) << where << " " << box->itemText(i).toStdString();
      // Wide enough for its longest entry, as its size hint measures them all.
      EXPECT_LE(box->sizeHint().width(), box->width()) << where;
    }
    EXPECT_LE(6 + QFontMetrics(display::RulerFont()).horizontalAdvance(display::RulerUnit()), display::kRulerWidth)
        << where;
    EXPECT_FALSE(hasCyrillic(display::RulerUnit()));
    EXPECT_FALSE(hasCyrillic(f.windowTitle()));
    EXPECT_EQ(f.size(), QSize(482, 453)) << where;
  }

  WithOwnDevice audio;
  std::unique_ptr<TMainForm> form;

 private:
  QTemporaryDir config_;
};

// Run once per locale, with TOVREL_EXPECTED_LANGUAGE (en or ru) saying what it must give.
TEST_F(TranslationTest, TheWindowSpeaksTheLanguageOfTheLocale) {
  const QByteArray expected = qgetenv("TOVREL_EXPECTED_LANGUAGE");
  if (expected.isEmpty()) GTEST_SKIP() << "run by tests/app.cmake under each locale";
  const WindowLanguage language = app::LanguageFor(QLocale::system().uiLanguages());
  ASSERT_EQ(language, expected == "en" ? WindowLanguage::English : WindowLanguage::Russian)
      << QLocale::system().uiLanguages().join(',').toStdString();
  ASSERT_TRUE(app::UseWindowLanguage(language));

  if (language == WindowLanguage::English) {
    for (qreal ratio : {1.0, 1.5, 2.0}) {
      QScreen* screen = screenWithRatio(ratio);
      ASSERT_NE(screen, nullptr) << ratio;
      TMainForm& f = showForm(screen);
      const std::string where = "at " + std::to_string(ratio);
      expectEnglishThatFits(f, where.c_str());
      // The device labels after a change of rate: the longest rate, and one with decimals.
      for (int index : {0, 9}) {
        f.CbBitrate->setCurrentIndex(index);
        f.CbBitrateChange();
        expectEnglishThatFits(f, where.c_str());
      }
    }
    EXPECT_EQ(form->CbWaveOutDevice->itemText(form->CbWaveOutDevice->count() - 1), "Tovrel I/Q virtual cable");
    const QList<QAction*> menu = contextMenuActions(form.get());
    ASSERT_EQ(menu.size(), 1);
    EXPECT_EQ(menu[0]->text(), "Continuous stream (low latency)");
    for (const QString& title : {app::StreamTitle(5, 1, 2, 3, 120), app::StreamLostTitle()})
      EXPECT_FALSE(hasCyrillic(title)) << title.toStdString();
    return;
  }

  // Russian: the window as it is without any translation, pixel for pixel.
  const QImage shown = showForm().grab().toImage();
  const QString title = app::StreamTitle(5, 1, 2, 3, 120);
  const QString menuText = contextMenuActions(form.get()).value(0)->text();
  ASSERT_TRUE(app::UseWindowLanguage(WindowLanguage::Russian));
  EXPECT_TRUE(shown == showForm().grab().toImage());
  EXPECT_EQ(title, app::StreamTitle(5, 1, 2, 3, 120));
  EXPECT_EQ(menuText, contextMenuActions(form.get()).value(0)->text());
  EXPECT_EQ(form->CbWaveOutDevice->itemText(form->CbWaveOutDevice->count() - 1), app::kOwnDeviceEntryText);
}

}  // namespace
