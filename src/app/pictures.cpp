#include "app/pictures.hpp"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <algorithm>
#include <cmath>

namespace app {

namespace {

const QColor kFace(170, 162, 146);
const QColor kLight(236, 232, 224);
const QColor kShadow(96, 90, 80);
const QColor kDark(40, 36, 30);

void drawBevel(QPainter& p, const QRect& r, bool sunken) {
  const QColor topLeft = sunken ? kDark : kLight;
  const QColor bottomRight = sunken ? kLight : kDark;
  p.setPen(topLeft);
  p.drawLine(r.left(), r.top(), r.right() - 1, r.top());
  p.drawLine(r.left(), r.top(), r.left(), r.bottom() - 1);
  p.setPen(bottomRight);
  p.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
  p.drawLine(r.right(), r.top(), r.right(), r.bottom());
  p.setPen(kShadow);
  if (sunken) {
    p.drawLine(r.left() + 1, r.top() + 1, r.right() - 2, r.top() + 1);
    p.drawLine(r.left() + 1, r.top() + 1, r.left() + 1, r.bottom() - 2);
  } else {
    p.drawLine(r.left() + 1, r.bottom() - 1, r.right() - 1, r.bottom() - 1);
    p.drawLine(r.right() - 1, r.top() + 1, r.right() - 1, r.bottom() - 1);
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

std::array<QImage, 4> SpeedButtonFaces(ButtonGlyph glyph, QSize size) {
  std::array<QImage, 4> faces;
  for (int face = 0; face < 4; ++face) {
    QImage image(size, QImage::Format_RGB32);
    const bool disabled = face == 1;
    const bool down = face >= 2;
    const bool held = face == 3;
    image.fill(held ? kFace.darker(115) : kFace);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);
    drawBevel(p, image.rect(), down);
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
    faces[face] = image;
  }
  return faces;
}

int ScaleTickX(double dbfs) {
  const double blocks = 50.0 * std::pow(10.0, dbfs / 20.0);
  // Block k covers meter columns 3k-2 and 3k-1; the scale starts a pixel to the right
  // of the meter, so the end of block k is scale column 3k-2.
  const int x = static_cast<int>(std::lround(3.0 * blocks)) - 2;
  return std::clamp(x, 0, kScaleSize.width() - 1);
}

QImage ScalePicture(bool ticksBothWays) {
  QImage image(kScaleSize, QImage::Format_RGB32);
  image.fill(Qt::black);
  QPainter p(&image);
  const QColor ink(192, 192, 192);
  p.setPen(ink);
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(8);
  p.setFont(font);
  struct Mark {
    double db;
    const char* text;
  };
  constexpr Mark marks[] = {{-20, "-20"}, {-12, "-12"}, {-6, "-6"}, {-3, "-3"}, {0, "0"}};
  for (const Mark& m : marks) {
    const int x = ScaleTickX(m.db);
    p.drawLine(x, 0, x, 3);
    if (ticksBothWays) p.drawLine(x, kScaleSize.height() - 4, x, kScaleSize.height() - 1);
    const QString text = QString::fromLatin1(m.text);
    const int w = p.fontMetrics().horizontalAdvance(text);
    const int left = std::clamp(x - w / 2, 0, kScaleSize.width() - w);
    p.drawText(QRect(left, 4, w, 10), Qt::AlignCenter, text);
  }
  return image;
}

QImage ClipMarkPicture() {
  QImage image(kClipMarkSize, QImage::Format_RGB32);
  image.fill(QColor(200, 0, 0));
  QPainter p(&image);
  p.setPen(QColor(255, 120, 100));
  p.drawLine(0, 0, kClipMarkSize.width() - 1, 0);
  p.drawLine(0, 0, 0, kClipMarkSize.height() - 1);
  p.setPen(QColor(110, 0, 0));
  p.drawLine(1, kClipMarkSize.height() - 1, kClipMarkSize.width() - 1, kClipMarkSize.height() - 1);
  p.drawLine(kClipMarkSize.width() - 1, 1, kClipMarkSize.width() - 1, kClipMarkSize.height() - 1);
  return image;
}

QImage RunningIndicatorPicture() {
  QImage image(kRunningIndicatorSize, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, true);
  QPolygonF arrow;
  arrow << QPointF(3, 15) << QPointF(24, 15) << QPointF(24, 7) << QPointF(39, 20) << QPointF(24, 33) << QPointF(24, 25)
        << QPointF(3, 25);
  p.setPen(QPen(QColor(0, 90, 0), 1.5));
  p.setBrush(QColor(0, 200, 0));
  p.drawPolygon(arrow);
  return image;
}

}  // namespace app
