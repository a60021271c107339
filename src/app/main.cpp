// Program entry: the command line, the FFT engine's tables around the application's life,
// then the window.
#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "app/display_check.hpp"
#include "app/main_form.hpp"
#include "app/message_boxes.hpp"
#include "app/quit_signals.hpp"
#include "app/startup_check.hpp"
#include "dsp/fft.hpp"
#include "headless/headless_main.hpp"

namespace {

void describe(QCommandLineParser& parser) {
  parser.setApplicationDescription(
      QStringLiteral("Records a real signal (a receiver's low IF on line-in), converts it into I/Q at half the rate "
                     "and plays it as stereo (left I, right Q), e.g. into Tovrel's own device (the last playback "
                     "entry), which SDR programs record as the input \"Tovrel I/Q\".\n\n"
                     "\"Инверсия выходного спектра\", on by default, swaps the two halves of the band (at 48000 Hz "
                     "13000 Hz comes out at -11000 Hz); off, the band is shifted down by a quarter of the input rate "
                     "about 0 Hz (13000 Hz at +1000 Hz). To mirror the spectrum, use the SDR program's I/Q swap. "
                     "Stream mode (the window's context menu) has no block edges and a short delay. See man tovrel.\n"
                     "tovrel --headless --help: the options of a run without a window.\n\n"
                     "Exit status: 0 when the window was closed (by its close button, or by SIGTERM, SIGINT or "
                     "SIGHUP); 1 bad command line; 2 no display (tovrel --headless needs none)."));
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
  {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    describe(parser);
    parser.parse(arguments);
    const bool asked = parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")) ||
                       parser.isSet(QStringLiteral("version"));
    if (asked) {
      QCoreApplication core(argc, argv);
      nameApplication();
      parser.process(core);  // prints and exits
    }
  }

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
    // Anything left that is not ours is refused here, before a window or device opens.
    QCommandLineParser parser;
    describe(parser);
    parser.process(application);
    TMainForm window;
    app::QuitSignals quitSignals(&window);
    window.show();
    result = QApplication::exec();
  }
  dsp::DoneFFT();
  return result;
}
