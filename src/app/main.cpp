// Program entry: the FFT engine's tables around the application's life, then the window.
#include <QApplication>
#include <QIcon>

#include "app/main_form.hpp"
#include "app/message_boxes.hpp"
#include "app/startup_check.hpp"
#include "dsp/fft.hpp"

int main(int argc, char* argv[]) {
  dsp::InitFFT();
  app::InitDeviceLibrary();
  int result = 0;
  {
    QApplication application(argc, argv);
    app::NameApplication();
    // The desktop file's id lets Wayland compositors match the window to its menu entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.tovrel.Tovrel"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/io.github.tovrel.Tovrel.png")));
    TMainForm window;
    window.show();
    result = QApplication::exec();
  }
  dsp::DoneFFT();
  return result;
}
