// The window's side of the spectrum display and the frequency ruler.
#include <QCheckBox>
#include <QFrame>
#include <QPainter>

#include "app/globals.hpp"
#include "app/main_form.hpp"
#include "display/ruler.hpp"

void TMainForm::cbSpectrClick() {
  SAMode = cbSpectr->isChecked() ? 1 : 0;
  if (SAMode != 0) {
    setClientWidth(482);
    PanelSA->show();
    RulerPaintBox->update();
  } else {
    setClientWidth(242);
    PanelSA->hide();
  }
  cbLog->setEnabled(cbSpectr->isChecked());
}

void TMainForm::pbssPaint(QPainter& painter) {
  // Painting shows the stored picture; it never recomputes it.
  Spectrum.paintView(painter, pbss->width());
}

void TMainForm::RulerPaintBoxPaint(QPainter& painter) {
  painter.fillRect(RulerPaintBox->rect(), RulerPaintBox->palette().window());
  display::PaintRuler(painter, Stream.CaptureFormat.nSamplesPerSec, RulerPaintBox->height(), SAMode != 0);
}
