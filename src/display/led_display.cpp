#include "display/led_display.hpp"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace display {

QColor toQColor(TColor c) {
  if ((c >> 24) == 0xFF) {
    // System colours in their classic desktop values, so the meter looks the same on
    // every theme and its frames are reproducible off screen.
    switch (c & 0xFFu) {
      case 5: return QColor(255, 255, 255);   // window
      case 8: return QColor(0, 0, 0);         // window text
      case 15: return QColor(192, 192, 192);  // button face
      case 16: return QColor(128, 128, 128);  // button shadow
      case 20: return QColor(255, 255, 255);  // button highlight
      default: return QColor(0, 0, 0);
    }
  }
  return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

TLedDisplay::TLedDisplay(QWidget* parent) : QWidget(parent) {
  // We paint every pixel ourselves from surface_, so Qt need not erase first.
  setAttribute(Qt::WA_OpaquePaintEvent);
  resize(30, 200);
  fullRepaint();
}

// ---- property setters ---------------------------------------------------------------

void TLedDisplay::setOrientation(TLedDisplayOrientation v) {
  if (v == orientation_) return;
  orientation_ = v;
  fullRepaint();
}

void TLedDisplay::setCtl3D(bool v) {
  if (v == ctl3d_) return;
  ctl3d_ = v;
  fullRepaint();
}

void TLedDisplay::setSpacing(int32_t v) {
  if (v == spacing_) return;
  spacing_ = v;
  fullRepaint();
}

void TLedDisplay::setMax(int32_t v) {
  if (v == max_) return;
  max_ = v;
  fullRepaint();
}

void TLedDisplay::setPosition(int32_t v) {
  if (v == position_) return;
  position_ = v;
  PaintLEDs();
}

void TLedDisplay::setBlockACount(int32_t v) {
  if (v == blockA_) return;
  blockA_ = v <= 0 ? 1 : v;
  fullRepaint();
}

void TLedDisplay::setBlockBCount(int32_t v) {
  if (v == blockB_) return;
  blockB_ = v <= 0 ? 1 : v;
  fullRepaint();
}

void TLedDisplay::setBlockCCount(int32_t v) {
  if (v == blockC_) return;
  blockC_ = v <= 0 ? 1 : v;
  fullRepaint();
}

// Colour setters repaint even when the value is unchanged: callers use that to refresh the bar.
void TLedDisplay::setActiveColor1(TColor v) {
  active_[0] = v;
  PaintLEDs();
}
void TLedDisplay::setActiveColor2(TColor v) {
  active_[1] = v;
  PaintLEDs();
}
void TLedDisplay::setActiveColor3(TColor v) {
  active_[2] = v;
  PaintLEDs();
}
void TLedDisplay::setDeadColor1(TColor v) {
  dead_[0] = v;
  PaintLEDs();
}
void TLedDisplay::setDeadColor2(TColor v) {
  dead_[1] = v;
  PaintLEDs();
}
void TLedDisplay::setDeadColor3(TColor v) {
  dead_[2] = v;
  PaintLEDs();
}

// ---- drawing --------------------------------------------------------------------------

int32_t TLedDisplay::litCount() {
  if (max_ == 0) setMax(1);  // repaints, then the count goes on with 1
  const int64_t n = blockCount();
  // The product is taken modulo 2^32 as a signed 32-bit value (computed unsigned, so huge
  // block counts cannot overflow); the quotient is taken in 64 bits so that INT_MIN / -1
  // cannot trap.
  const auto product = static_cast<int32_t>(
      static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(position_)) * static_cast<uint64_t>(n)));
  int64_t lit = static_cast<int64_t>(product) / max_;
  if (lit > n) lit = n;
  return static_cast<int32_t>(std::max<int64_t>(lit, INT32_MIN));
}

QColor TLedDisplay::backgroundColour() const {
  // The control shows its parent's colour, as a control without its own colour does.
  const QWidget* p = parentWidget();
  return (p ? p->palette() : palette()).color(QPalette::Window);
}

void TLedDisplay::fillRect(int64_t left, int64_t top, int64_t right, int64_t bottom, QRgb colour) {
  // Half-open rectangle in device pixels, clipped to the surface; an inverted rectangle
  // draws nothing.
  left = std::max<int64_t>(left, 0);
  top = std::max<int64_t>(top, 0);
  right = std::min<int64_t>(right, surface_.width());
  bottom = std::min<int64_t>(bottom, surface_.height());
  for (int64_t y = top; y < bottom; ++y) {
    auto* row = reinterpret_cast<QRgb*>(surface_.scanLine(int(y)));
    std::fill(row + left, row + std::max(left, right), colour);
  }
}

void TLedDisplay::drawSunkenFrame(int64_t left, int64_t top, int64_t right, int64_t bottom) {
  if (right <= left || bottom <= top) return;
  const QRgb shadow = toQColor(clBtnShadow).rgb();
  const QRgb highlight = toQColor(clBtnHighlight).rgb();
  // Lines one pixel wide in whole device pixels: as wide on every side at any ratio.
  const int64_t line = std::max<int64_t>(1, DevicePixels(1, ratio_));
  fillRect(left, top, right - line, top + line, shadow);    // top row but its rightmost pixel
  fillRect(left, top, left + line, bottom - line, shadow);  // left column but its bottom pixel
  fillRect(right - line, top, right, bottom, highlight);    // right column
  fillRect(left, bottom - line, right, bottom, highlight);  // bottom row
}

QSize TLedDisplay::deviceSize() const { return size().isEmpty() ? QSize(0, 0) : size() * devicePixelRatio(); }

bool TLedDisplay::surfaceStale() const {
  // A hidden widget gets its resize event only when shown, and a window moved to a screen
  // with another ratio may paint before anything else tells; catch both here.
  return surface_.size() != deviceSize() || ratio_ != devicePixelRatio();
}

namespace {

// Visits the slots 0 .. n-1 in increasing or decreasing order, but of each run of slots that
// start at the same pixel (p * length div n) only the last one visited: its rectangle is the
// same and covers the others completely. So a bar of millions of blocks costs at most
// `length` rectangles instead of a loop over every block.
template <typename Visit>
void forEachVisibleSlot(int64_t n, int64_t length, bool increasing, Visit visit) {
  if (n <= 0 || length <= 0) return;
  // First slot whose start is at least t: ceil(t * n / length).
  auto firstSlotFrom = [&](int64_t t) { return (t * n + length - 1) / length; };
  if (increasing) {
    for (int64_t p = 0; p < n;) {
      const int64_t next = std::min(n, firstSlotFrom(p * length / n + 1));
      visit(next - 1);
      p = next;
    }
  } else {
    for (int64_t p = n - 1; p >= 0;) {
      const int64_t first = firstSlotFrom(p * length / n);
      visit(first);
      p = first - 1;
    }
  }
}

// Where a bar's slots fall in device pixels. At a ratio of 1 slot p starts at
// p * length div n, as it always has. At other ratios the whole-pixel part of that pitch
// becomes one whole number of device pixels for every slot, so no block or gap comes out a
// pixel wider than the others; only the remainder is spread as it is at 1. A bar whose
// pitch is no whole number of device pixels ends short of the control's far end.
class SlotLayout {
 public:
  SlotLayout(int64_t n, int64_t length, qreal ratio)
      : n_(n), spare_(length % n), devicePitch_(DevicePixels(length / n, ratio)), ratio_(ratio) {}
  // Device position of `offset` pixels into slot p.
  int64_t at(int64_t p, int64_t offset) const {
    return p * devicePitch_ + DevicePixels(p * spare_ / n_, ratio_) + DevicePixels(offset, ratio_);
  }

 private:
  int64_t n_, spare_, devicePitch_;
  qreal ratio_;
};

}  // namespace

int64_t DevicePixels(int64_t logical, qreal ratio) {
  if (ratio == 1) return logical;
  // The small bias keeps products such as 3 x 1.1 from landing just below a whole pixel.
  return static_cast<int64_t>(std::floor(static_cast<double>(logical) * ratio + 1e-6));
}

void TLedDisplay::PaintLEDs() {
  if (surfaceStale()) {
    fullRepaint();
    return;
  }
  drawBlocks();
}

void TLedDisplay::drawBlocks() {
  const int32_t lit = litCount();
  ++blockPaints_;
  if (surface_.isNull()) return;
  const int64_t n = blockCount();
  const int64_t w = width(), h = height();
  const bool vertical = orientation_ == loVertical;
  const int64_t length = vertical ? h : w;
  const int64_t slot = length / n;
  const SlotLayout along(n, length, ratio_);
  auto across = [this](int64_t x) { return DevicePixels(x, ratio_); };
  // Filled band by band from the low end up, block k = 1..N: bottom to top (slots N-1 .. 0)
  // when vertical, left to right (slots 0 .. N-1) when horizontal.
  forEachVisibleSlot(n, length, !vertical, [&](int64_t p) {
    const int64_t k = vertical ? n - p : p + 1;
    const int band = k <= blockA_ ? 0 : (k <= int64_t(blockA_) + blockB_ ? 1 : 2);
    const QRgb colour = toQColor(k <= lit ? active_[band] : dead_[band]).rgb();
    const int64_t first = along.at(p, 1), last = along.at(p, slot - spacing_ - 1);
    if (vertical)
      fillRect(across(2), first, across(w - 2), last, colour);
    else
      fillRect(first, across(2), last, across(h - 2), colour);
  });
  update();
}

void TLedDisplay::Paint() {
  if (ctl3d_ && !surface_.isNull()) {
    const int64_t n = blockCount();
    const int64_t w = width(), h = height();
    auto across = [this](int64_t x) { return DevicePixels(x, ratio_); };
    // Frames top to bottom when vertical, right to left when horizontal; the later wins.
    if (orientation_ == loVertical) {
      const int64_t slot = h / n;
      const SlotLayout along(n, h, ratio_);
      forEachVisibleSlot(n, h, true, [&](int64_t p) {
        drawSunkenFrame(across(1), along.at(p, 0), across(w - 1), along.at(p, slot - spacing_));
      });
    } else {
      const int64_t slot = w / n;
      const SlotLayout along(n, w, ratio_);
      forEachVisibleSlot(n, w, false, [&](int64_t p) {
        drawSunkenFrame(along.at(p, 0), across(1), along.at(p, slot - spacing_), across(h - 1));
      });
    }
  }
  // The blocks straight away: the surface was just made for this size (or could not be made,
  // and asking for a full repaint again would only recurse).
  drawBlocks();
}

void TLedDisplay::fullRepaint() {
  if (surfaceStale()) {
    // Drawn in the screen's own pixels: a picture drawn at 1 and enlarged would be soft.
    ratio_ = devicePixelRatio();
    const QSize device = deviceSize();
    surface_ = device.isEmpty() ? QImage() : QImage(device, QImage::Format_RGB32);
    surface_.setDevicePixelRatio(ratio_);
  }
  ++fullPaints_;
  if (!surface_.isNull()) surface_.fill(backgroundColour());
  Paint();
  update();
}

void TLedDisplay::paintEvent(QPaintEvent* event) {
  if (surfaceStale()) fullRepaint();
  QPainter painter(this);
  painter.setClipRect(event->rect());
  painter.drawImage(QPointF(0, 0), surface_);
}

void TLedDisplay::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  fullRepaint();
}

void TLedDisplay::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // A new parent or a changed parent colour changes our background.
  if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ParentChange) fullRepaint();
}

}  // namespace display
