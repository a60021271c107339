#pragma once
#include <QPainter>
#include <QString>
#include <cstdint>
#include <vector>

namespace display {

struct RulerLabel {
  int y = 0;
  QString text;  // "- " followed by the frequency in kHz with two decimals
};

// The 23 kHz labels of a ruler `height` pixels high for the input rate `rate`.
std::vector<RulerLabel> RulerLabels(uint32_t rate, int height);

// Draws the ruler: the labels (only when spectrumOn) and "кГц" at the top, white text on
// opaque cells of `background`, in `font`.
void PaintRuler(QPainter& painter, uint32_t rate, int height, bool spectrumOn);

}  // namespace display
