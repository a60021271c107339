// ProcessBlock on the main window as the pipeline runs it for every captured block:
// input meter, conversion, inversion and the two output meters (and, in the second
// variant, the spectrum column too), beside the converter alone in the same run.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCheckBox>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

#include "app/globals.hpp"
#include "app/main_form.hpp"
#include "dsp/converter.hpp"
#include "dsp/fft.hpp"

namespace {

std::vector<dsp::Sample> toneBlock(size_t count) {
  std::vector<dsp::Sample> x(count);
  for (size_t n = 0; n < count; ++n) x[n] = static_cast<dsp::Sample>(std::lround(20000 * std::cos(0.37 * n)));
  return x;
}

// The window lives on an offscreen Qt platform; it is never shown, so no sound device
// is listed or opened.
TMainForm& window() {
  static std::unique_ptr<QApplication> application;
  static std::unique_ptr<TMainForm> form;
  if (!form) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "tovrel-bench";
    static char* argv[] = {name, nullptr};
    application = std::make_unique<QApplication>(argc, argv);
    dsp::InitFFT();
    form = std::make_unique<TMainForm>();
    form->ConfigureStream(48000);
    form->cbIQ->setChecked(true);
    form->cbInvertSpectr->setChecked(true);
    form->cbInvertOut->setChecked(false);
  }
  return *form;
}

void BM_ConvertBlockAlone(benchmark::State& state) {
  TMainForm& form = window();
  const auto block = toneBlock(form.Stream.WorkBuffer.size());
  const dsp::ConverterSwitches switches{true, false, true};
  for (auto _ : state) {
    std::copy(block.begin(), block.end(), form.Stream.WorkBuffer.begin());
    benchmark::DoNotOptimize(dsp::ConvertBlock(form.Stream, switches));
  }
}

void BM_ProcessBlockOnWindow(benchmark::State& state) {
  TMainForm& form = window();
  const bool withSpectrum = state.range(0) != 0;
  form.CaptureOpen = withSpectrum;  // the spectrum column is drawn only while capture is open
  SAMode = withSpectrum ? 1 : 0;
  const auto block = toneBlock(form.Stream.WorkBuffer.size());
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    std::copy(block.begin(), block.end(), form.Stream.WorkBuffer.begin());
    form.ProcessBlock();
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  form.CaptureOpen = false;
  // Share of one block's duration at the highest rate (32768 samples at 192000 Hz).
  constexpr double kBlockSeconds = 32768.0 / 192000.0;
  state.counters["block_percent_192k"] =
      100.0 * elapsed.count() / static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1)) /
      kBlockSeconds;
}

}  // namespace

BENCHMARK(BM_ConvertBlockAlone)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessBlockOnWindow)->ArgName("spectrum")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
