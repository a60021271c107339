// Entry of the test programs that create windows: a Qt application (offscreen unless a
// platform is set, since test discovery runs these binaries on machines without a
// display; with a dense screen beside the ordinary one) and the FFT engine's tables
// around the whole run.
#include <gtest/gtest.h>

#include <QApplication>

#include "dsp/fft.hpp"
#include "offscreen_screens.hpp"

int main(int argc, char** argv) {
  useOffscreenScreens();
  dsp::InitFFT();
  int result = 0;
  {
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    result = RUN_ALL_TESTS();
  }
  dsp::DoneFFT();
  return result;
}
