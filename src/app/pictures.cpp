#include "app/pictures.hpp"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <algorithm>
#include <cmath>

#include "display/led_display.hpp"

namespace app {

namespace {

const QColor kFace(170, 162, 146);
const QColor kLight(236, 232, 224);
const QColor kShadow(96, 90, 80);
const QColor kDark(40, 36, 30);

// A picture of `size` pixels at `ratio` device pixels each, still unscaled: what is drawn
// on it now is in device pixels. setDevicePixelRatio(ratio) then lets a painter draw in pixels.
QImage deviceImage(QSize size, qreal ratio, QImage::Format format) { return QImage(size * ratio, format); }

// One pixel of a line in whole device pixels, at least one.
int lineWidth(qreal ratio) { return std::max(1, static_cast<int>(display::DevicePixels(1, ratio))); }

// In device pixels, lines `t` wide.
void drawBevel(QPainter& p, const QRect& r, bool sunken, int t) {
  const QColor topLeft = sunken ? kDark : kLight;
  const QColor bottomRight = sunken ? kLight : kDark;
  const int w = r.width(), h = r.height();
  p.fillRect(0, 0, w - t, t, topLeft);
  p.fillRect(0, 0, t, h - t, topLeft);
  p.fillRect(0, h - t, w, t, bottomRight);
  p.fillRect(w - t, 0, t, h, bottomRight);
  if (sunken) {
    p.fillRect(t, t, w - 3 * t, t, kShadow);
    p.fillRect(t, t, t, h - 3 * t, kShadow);
  } else {
    p.fillRect(t, h - 2 * t, w - 2 * t, t, kShadow);
    p.fillRect(w - 2 * t, t, t, h - 2 * t, kShadow);
  }
}

void drawMicrophone(QPainter& p, QPointF c, const QColor& ink, const QColor& fill) {
  p.setPen(QPen(ink, 1.5));
  p.setBrush(fill);
  p.drawRoundedRect(QRectF(c.x() - 4, c.y() - 13, 8, 15), 4, 4);
  p.setBrush(Qt::NoBrush);
  QPainterPath cup;
  cup.moveTo(c.x() - 7, c.y() - 3);
  cup.cubicTo(c.x() - 7, c.y() + 7, c.x() + 7, c.y() + 7, c.x() + 7, c.y() - 3);
  p.drawPath(cup);
  p.drawLine(QPointF(c.x(), c.y() + 5), QPointF(c.x(), c.y() + 10));
  p.drawLine(QPointF(c.x() - 5, c.y() + 10), QPointF(c.x() + 5, c.y() + 10));
}

void drawSpeaker(QPainter& p, QPointF c, const QColor& ink, const QColor& fill) {
  p.setPen(QPen(ink, 1.5));
  p.setBrush(fill);
  QPolygonF cone;
  cone << QPointF(c.x() - 11, c.y() - 4) << QPointF(c.x() - 6, c.y() - 4) << QPointF(c.x() + 1, c.y() - 10)
       << QPointF(c.x() + 1, c.y() + 10) << QPointF(c.x() - 6, c.y() + 4) << QPointF(c.x() - 11, c.y() + 4);
  p.drawPolygon(cone);
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(c.x() - 3, c.y() - 6, 10, 12), -50 * 16, 100 * 16);
  p.drawArc(QRectF(c.x() - 3, c.y() - 11, 18, 22), -50 * 16, 100 * 16);
}

}  // namespace

std::array<QImage, 4> SpeedButtonFaces(ButtonGlyph glyph, qreal ratio, QSize size) {
  std::array<QImage, 4> faces;
  for (int face = 0; face < 4; ++face) {
    QImage image = deviceImage(size, ratio, QImage::Format_RGB32);
    const bool disabled = face == 1;
    const bool down = face >= 2;
    const bool held = face == 3;
    image.fill(held ? kFace.darker(115) : kFace);
    {
      QPainter p(&image);
      drawBevel(p, image.rect(), down, lineWidth(ratio));
    }
    image.setDevicePixelRatio(ratio);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    // A pressed face shifts its glyph by a pixel, as a pushed-in button does.
    const QPointF centre(size.width() / 2.0 - 8 + (down ? 1 : 0), size.height() / 2.0 + (down ? 1 : 0));
    const QColor ink = disabled ? kShadow.lighter(130) : kDark;
    const QColor fill = disabled ? kFace : (down ? QColor(220, 40, 30) : QColor(120, 120, 120));
    if (glyph == ButtonGlyph::Microphone)
      drawMicrophone(p, centre, ink, fill);
    else
      drawSpeaker(p, centre, ink, fill);
    // A lamp beside the glyph: lit while the button is down.
    const QRectF lamp(size.width() - 22, size.height() / 2.0 - 4 + (down ? 1 : 0), 8, 8);
    p.setPen(QPen(ink, 1));
    p.setBrush(down ? QColor(255, 60, 40) : (disabled ? kFace : QColor(90, 20, 15)));
    p.drawEllipse(lamp);
    p.end();
    faces[face] = image;
  }
  return faces;
}

int ScaleTickX(double dbfs, qreal ratio) {
  const double blocks = 50.0 * std::pow(10.0, dbfs / 20.0);
  // Block k ends at device column k * pitch - 1 of the meter. The scale starts a pixel to
  // the right of the meter, which Qt puts at whole device pixels by rounding: round(ratio)
  // device pixels further on, as the meter itself stands on a whole device pixel at the
  // usual ratios. At 1 the end of block k is scale column 3k - 2.
  const auto pitch = static_cast<double>(display::DevicePixels(3, ratio));
  const int x = static_cast<int>(std::lround(pitch * blocks)) - 1 - static_cast<int>(std::lround(ratio));
  return std::clamp(x, 0, (kScaleSize * ratio).width() - lineWidth(ratio));
}

QImage ScalePicture(bool ticksBothWays, qreal ratio) {
  QImage image = deviceImage(kScaleSize, ratio, QImage::Format_RGB32);
  image.fill(Qt::black);
  const QColor ink(192, 192, 192);
  struct Mark {
    double db;
    const char* text;
  };
  constexpr Mark marks[] = {{-20, "-20"}, {-12, "-12"}, {-6, "-6"}, {-3, "-3"}, {0, "0"}};
  {
    // The ticks in device pixels, on the columns where the meter's blocks end.
    QPainter p(&image);
    const int t = lineWidth(ratio);
    const int tick = static_cast<int>(display::DevicePixels(4, ratio));
    for (const Mark& m : marks) {
      const int x = ScaleTickX(m.db, ratio);
      p.fillRect(x, 0, t, tick, ink);
      if (ticksBothWays) p.fillRect(x, image.height() - tick, t, tick, ink);
    }
  }
  image.setDevicePixelRatio(ratio);
  QPainter p(&image);
  p.setPen(ink);
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(8);
  p.setFont(font);
  for (const Mark& m : marks) {
    const int x = static_cast<int>(ScaleTickX(m.db, ratio) / ratio);
    const QString text = QString::fromLatin1(m.text);
    const int w = p.fontMetrics().horizontalAdvance(text);
    const int left = std::clamp(x - w / 2, 0, kScaleSize.width() - w);
    p.drawText(QRect(left, 4, w, 10), Qt::AlignCenter, text);
  }
  p.end();
  return image;
}

QImage ClipMarkPicture(qreal ratio) {
  QImage image = deviceImage(kClipMarkSize, ratio, QImage::Format_RGB32);
  image.fill(QColor(200, 0, 0));
  {
    QPainter p(&image);
    const int t = lineWidth(ratio), w = image.width(), h = image.height();
    const QColor light(255, 120, 100), dark(110, 0, 0);
    p.fillRect(0, 0, w, t, light);
    p.fillRect(0, 0, t, h, light);
    p.fillRect(t, h - t, w - t, t, dark);
    p.fillRect(w - t, t, t, h - t, dark);
  }
  image.setDevicePixelRatio(ratio);
  return image;
}

QImage RunningIndicatorPicture(qreal ratio) {
  QImage image = deviceImage(kRunningIndicatorSize, ratio, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  image.setDevicePixelRatio(ratio);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, true);
  QPolygonF arrow;
  arrow << QPointF(3, 15) << QPointF(24, 15) << QPointF(24, 7) << QPointF(39, 20) << QPointF(24, 33) << QPointF(24, 25)
        << QPointF(3, 25);
  p.setPen(QPen(QColor(0, 90, 0), 1.5));
  p.setBrush(QColor(0, 200, 0));
  p.drawPolygon(arrow);
  p.end();
  return image;
}

}  // namespace app
