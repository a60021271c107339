#pragma once
#include <QImage>
#include <QPainter>
#include <QSize>
#include <cstdint>

#include "dsp/stream_config.hpp"

namespace display {

// The scrolling input spectrogram: one column per block, newest at the right edge.
class SpectrumDisplay {
 public:
  // Creates SpectrumView (RGB16, `viewSize`, black), SpectrumColumn (1 x 1) and
  // ScaledColumn (1 x view height), in this order.
  void create(QSize viewSize);

  // Windows the first SpectrumLength samples of `workBuffer`, transforms them in
  // stream.SpectrumBuffer, scrolls the view one pixel left and draws the new column.
  void RenderSpectrumColumn(dsp::StreamConfig& stream, bool logScale);

  // Fills SpectrumView black again: its columns were drawn at another rate and would show
  // at the wrong frequencies beside the new ruler.
  void clear();

  // Copies SpectrumView onto a paint box `paintBoxWidth` wide, right-aligned, at full size.
  void paintView(QPainter& painter, int paintBoxWidth) const;

  QImage SpectrumView;
  QImage SpectrumColumn;
  QImage ScaledColumn;
};

// Magnitude of one bin as the column shows it: |re| + |im|, log-scaled on request, clamped.
double SpectrumMagnitude(float re, float im, bool logScale);

}  // namespace display
