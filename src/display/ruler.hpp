#pragma once
#include <QColor>
#include <QFont>
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

// The ruler's cell colour (the panel's dark grey) and font (a serif face 11 pixels high,
// condensed so that every label fits the ruler's width of kRulerWidth pixels).
constexpr int kRulerWidth = 29;
QColor RulerColour();
QFont RulerFont();

// The unit at the ruler's top: "кГц", or its translation in the window's language.
QString RulerUnit();

// Draws the ruler: the labels (only when spectrumOn) and RulerUnit() at the top, white text on
// opaque cells of RulerColour(), in RulerFont(); each text's cell has its top-left corner at
// the label's position. The rest of the box is left to the caller (the panel's colour).
void PaintRuler(QPainter& painter, uint32_t rate, int height, bool spectrumOn);

}  // namespace display
