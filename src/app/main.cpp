// Program entry: the command line, the FFT engine's tables around the application's life,
// then the window.
#include <cstdio>

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QIcon>

#include "app/main_form.hpp"
#include "app/message_boxes.hpp"
#include "app/startup_check.hpp"
#include "dsp/fft.hpp"
#include "headless/headless_main.hpp"

namespace {

// Ours, not the parser's: the parser's own lists the toolkit's options, which a user never
// needs, and cannot list --headless, which another parser takes. At most 80 columns.
const char kHelp[] =
    "Usage: tovrel [--help | --version]\n"
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
    "  --headless     run without a window or a display, e.g. as a service;\n"
    "                 tovrel --headless --help lists its options\n"
    "\n"
    "Exit status: 0 when the window was closed, 1 when the command line could not\n"
    "be used (2 with --headless). See man tovrel.\n";

void describe(QCommandLineParser& parser) {
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
    if (parser.isSet(QStringLiteral("help"))) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (parser.isSet(QStringLiteral("help-all")) || parser.isSet(QStringLiteral("version"))) {
      QCoreApplication core(argc, argv);
      nameApplication();
      parser.process(core);  // prints and exits
    }
  }

  dsp::InitFFT();
  app::InitDeviceLibrary();
  int result = 0;
  {
    QApplication application(argc, argv);
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
    window.show();
    result = QApplication::exec();
  }
  dsp::DoneFFT();
  return result;
}
