#include "display/ruler.hpp"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLocale>
#include <cmath>

namespace display {

std::vector<RulerLabel> RulerLabels(uint32_t rate, int height) {
  // Values and positions are running sums in double (the labels shown as 32-bit floats),
  // so a label may differ from top * (24 - k) / 24 in its last bits.
  const double top = rate / 2000.0;
  float values[24];
  double a = 0;
  for (int i = 0; i < 24; ++i) {
    values[i] = static_cast<float>(top - a);
    a += top / 24;
  }
  const double step = height / 24.0;
  double y = step - 6;
  std::vector<RulerLabel> labels;
  labels.reserve(23);
  const QString separator = QLocale().decimalPoint();
  for (int k = 1; k <= 23; ++k) {
    // Two decimals with the user's decimal separator, as the rate in the device labels.
    QString number = QString::asprintf("%2.2f", static_cast<double>(values[k]));
    number.replace(QLatin1Char('.'), separator);
    labels.push_back({static_cast<int>(std::nearbyint(y)), QStringLiteral("- ") + number});
    y += step;
  }
  return labels;
}

QColor RulerColour() { return QColor(81, 81, 81); }

QFont RulerFont() {
  QFont font;
  if (QFontDatabase::families().contains(QStringLiteral("DejaVu Serif")))
    font.setFamily(QStringLiteral("DejaVu Serif"));
  else
    font.setStyleHint(QFont::Serif);
  font.setPixelSize(11);
  // Condensed to 70 %, so that the widest label ("- 92.00") fits the ruler's 29 pixels.
  font.setStretch(70);
  return font;
}

namespace {

// Text with its cell's top-left corner at (x, y), on an opaque cell of the ruler colour.
void drawCellText(QPainter& painter, int x, int y, const QString& text) {
  const QFontMetrics metrics(painter.font());
  painter.fillRect(QRect(x, y, metrics.horizontalAdvance(text), metrics.height()), RulerColour());
  painter.drawText(x, y + metrics.ascent(), text);
}

}  // namespace

QString RulerUnit() { return QCoreApplication::translate("display::Ruler", "кГц"); }

void PaintRuler(QPainter& painter, uint32_t rate, int height, bool spectrumOn) {
  painter.save();
  painter.setFont(RulerFont());
  painter.setPen(Qt::white);
  if (spectrumOn) {
    for (const RulerLabel& label : RulerLabels(rate, height)) drawCellText(painter, 0, label.y, label.text);
  }
  drawCellText(painter, 6, 0, RulerUnit());
  painter.restore();
}

}  // namespace display
