// Program entry: the FFT engine's tables around the application's life, then the window.
#include <QApplication>

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
    TMainForm window;
    window.show();
    result = QApplication::exec();
  }
  dsp::DoneFFT();
  return result;
}
