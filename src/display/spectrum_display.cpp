#include "display/spectrum_display.hpp"

#include <cassert>
#include <cmath>
#include <cstring>

#include "display/heat_color.hpp"
#include "display/resample.hpp"
#include "dsp/fft.hpp"

namespace display {

namespace {

// The view keeps 5-6-5 pixels; a 24-bit colour is cut to it by dropping low bits.
inline uint16_t toRgb565(const uchar* rgb) {
  return static_cast<uint16_t>(((rgb[0] >> 3) << 11) | ((rgb[1] >> 2) << 5) | (rgb[2] >> 3));
}

}  // namespace

void SpectrumDisplay::clear() {
  if (!SpectrumView.isNull()) SpectrumView.fill(Qt::black);
}

void SpectrumDisplay::create(QSize viewSize) {
  SpectrumView = QImage(viewSize, QImage::Format_RGB16);
  if (!SpectrumView.isNull()) SpectrumView.fill(Qt::black);
  SpectrumColumn = QImage(1, 1, QImage::Format_RGB16);
  SpectrumColumn.fill(Qt::black);
  ScaledColumn = viewSize.height() > 0 ? QImage(1, viewSize.height(), QImage::Format_RGB16) : QImage();
  if (!ScaledColumn.isNull()) ScaledColumn.fill(Qt::black);
}

double SpectrumMagnitude(float re, float im, bool logScale) {
  // The sum of the absolute parts, not the modulus: cheaper, and the colour scale is built on it.
  double m = std::fabs(static_cast<double>(re)) + std::fabs(static_cast<double>(im));
  if (logScale) m = 100000.0 * std::log10(m / 1000.0 + 1.0);
  if (m > 5000000.0) m = 5000000.0;
  return m;
}

void SpectrumDisplay::RenderSpectrumColumn(dsp::StreamConfig& stream, bool logScale) {
  // Sizes are validated where the stream is configured: an unconfigured one fails loudly in
  // debug builds and draws nothing in release builds.
  assert(stream.IsConfigured());
  if (!stream.IsConfigured()) return;
  const int32_t length = stream.SpectrumLength;

  // Window the first SpectrumLength samples of the block.
  float* spectrum = stream.SpectrumBuffer.data();
  for (int32_t i = 0; i < length; ++i) {
    spectrum[2 * i] =
        static_cast<float>(stream.WorkBuffer[static_cast<size_t>(i)]) * stream.BlackmanWindow[static_cast<size_t>(i)];
    spectrum[2 * i + 1] = 0.0f;
  }
  dsp::ComplexFFT(spectrum, length, dsp::kForward, dsp::kUnscaled, dsp::kNaturalOrder, nullptr);

  // Scroll the picture one pixel left: one overlapping move per row.
  const int width = SpectrumView.width(), height = SpectrumView.height();
  if (width > 1) {
    for (int y = 0; y < height; ++y) {
      auto* row = reinterpret_cast<uint16_t*>(SpectrumView.scanLine(y));
      std::memmove(row, row + 1, static_cast<size_t>(width - 1) * sizeof(uint16_t));
    }
  }

  // One colour per bin, half the rate at the top row; bin 0 would fall below the image.
  const int32_t rows = length / 2;
  if (SpectrumColumn.size() != QSize(1, rows) || SpectrumColumn.format() != QImage::Format_RGB888)
    SpectrumColumn = QImage(1, rows, QImage::Format_RGB888);
  for (int32_t j = 1; j <= rows; ++j) {
    const double m = SpectrumMagnitude(spectrum[2 * j], spectrum[2 * j + 1], logScale);
    const HeatRgb c = HeatColor(static_cast<float>(m));
    uchar* p = SpectrumColumn.scanLine(rows - j);
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
  }

  if (width < 1 || height < 1) return;
  if (ScaledColumn.size() != QSize(1, height)) ScaledColumn = QImage(1, height, QImage::Format_RGB888);
  ResampleBitmap(SpectrumColumn, ScaledColumn, TriangleKernel, 1.0f);

  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<uint16_t*>(SpectrumView.scanLine(y));
    row[width - 1] = toRgb565(ScaledColumn.constScanLine(y));
  }
}

void SpectrumDisplay::paintView(QPainter& painter, int paintBoxWidth) const {
  if (SpectrumView.isNull()) return;
  painter.drawImage(paintBoxWidth - SpectrumView.width(), 0, SpectrumView);
}

}  // namespace display
