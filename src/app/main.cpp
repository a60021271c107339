// Program entry: the command line, the FFT engine's tables around the application's life,
// then the window.
#include <cstdio>

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QIcon>
#include <QLocale>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "app/display_check.hpp"
#include "app/instance.hpp"
#include "app/main_form.hpp"
#include "app/message_boxes.hpp"
#include "app/quit_signals.hpp"
#include "app/startup_check.hpp"
#include "app/translation.hpp"
#include "dsp/fft.hpp"
#include "headless/headless_main.hpp"

namespace {

// Ours, not the parser's: the parser's own lists the toolkit's options, which a user never
// needs, and cannot list --headless, which another parser takes. At most 80 columns.
const char kHelp[] =
    "Usage: tovrel [--profile NAME]\n"
    "       tovrel --help | --version\n"
    "       tovrel --headless [OPTION]...\n"
    "\n"
    "Records a real signal (a receiver's low IF on line-in), converts it into I/Q at\n"
    "half the rate and plays it as stereo (left I, right Q), e.g. into Tovrel's own\n"
    "device (the last playback entry), which SDR programs record as the input\n"
    "\"Tovrel I/Q\".\n"
    "\n"
    "\"Инверсия выходного спектра\" (output spectrum inversion), on by default, swaps\n"
    "the two halves of the band (at 48000 Hz 13000 Hz comes out at -11000 Hz); off,\n"
    "the band is shifted down by a quarter of the input rate to lie about 0 Hz\n"
    "(13000 Hz at +1000 Hz). To mirror the spectrum, use the SDR program's I/Q swap.\n"
    "Stream mode (the window's context menu) has no block edges and a short delay.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this text\n"
    "  -v, --version  show the program's version\n"
    "  --profile NAME settings and own I/Q device of their own, \"Tovrel I/Q (NAME)\",\n"
    "                 for two receivers on one computer\n"
    "  --headless     run without a window or a display, e.g. as a service;\n"
    "                 tovrel --headless --help lists its options\n"
    "\n"
    "Exit status: 0 when the window was closed (or stopped by SIGTERM, SIGINT or\n"
    "SIGHUP), 1 when the command line could not be used or the profile already\n"
    "runs, 2 for a bad profile name or without a display. See man tovrel.\n";

void describe(QCommandLineParser& parser) {
  parser.addOption(QCommandLineOption(QStringLiteral("profile"), QStringLiteral("settings and device of their own"),
                                      QStringLiteral("NAME")));
  parser.addHelpOption();
  parser.addVersionOption();
}

void nameApplication() {
  app::NameApplication();
  QCoreApplication::setApplicationVersion(QStringLiteral(TOVREL_VERSION));
}

}  // namespace

int main(int argc, char* argv[]) {
  // Without a window nothing of Qt's GUI starts, so no display is needed.
  if (headless::Requested(argc, argv)) return headless::Main(argc, argv);

  // --help and --version print and exit before anything needs a display or a sound server.
  // Qt's own options (-platform, ...) are left for the application object to take.
  QString profile;
  {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    describe(parser);
    parser.parse(arguments);
    if (parser.isSet(QStringLiteral("help"))) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (parser.isSet(QStringLiteral("help-all")) || parser.isSet(QStringLiteral("version"))) {
      QCoreApplication core(argc, argv);
      nameApplication();
      parser.process(core);  // prints and exits
    }
    if (parser.isSet(QStringLiteral("profile"))) {
      profile = parser.value(QStringLiteral("profile"));
      if (const QString error = app::ProfileNameError(profile); !error.isEmpty()) {
        std::fprintf(stderr, "tovrel: %s\n", qPrintable(error));
        return 2;
      }
    }
  }
  app::SetProfile(profile);

  // Without a display Qt would abort; the user is told of the run without a window instead.
  if (const auto missing = app::MissingDisplay(argc, argv, [](const char* name) { return std::getenv(name); })) {
    std::fprintf(stderr, "%s\n", missing->c_str());
    return 2;
  }

  app::InstallQuitSignalHandlers();
  dsp::InitFFT();
  app::InitDeviceLibrary();
  int result = 0;
  {
    std::optional<app::PlatformFailureGuard> guard(std::in_place);
    QApplication application(argc, argv);
    guard.reset();
    nameApplication();
    // The desktop file's id lets Wayland compositors match the window to its menu entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.tovrel.Tovrel"));
    // Two sizes, so a title bar or switcher at a device pixel ratio of 2 need not enlarge one.
    QIcon icon(QStringLiteral(":/icons/io.github.tovrel.Tovrel.png"));
    icon.addFile(QStringLiteral(":/icons/io.github.tovrel.Tovrel-96.png"));
    QApplication::setWindowIcon(icon);
    // The window speaks the user's language: Russian, its own, or English (see translation.hpp).
    app::UseWindowLanguage(app::LanguageFor(QLocale::system().uiLanguages()));
    // Anything left that is not ours is refused here, before a window or device opens.
    QCommandLineParser parser;
    describe(parser);
    parser.process(application);
    // A second window of the same profile would write the same settings and play into the
    // same device: it goes before it opens anything.
    const app::InstanceLock lock(profile);
    if (!lock.refusal().isEmpty()) {
      app::ShowWarningBox(lock.refusal());
      result = 1;
    } else {
      TMainForm window;
      app::QuitSignals quitSignals(&window);
      window.show();
      result = QApplication::exec();
    }
  }
  dsp::DoneFFT();
  return result;
}
