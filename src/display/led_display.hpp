#pragma once
#include <QColor>
#include <QWidget>
#include <cstdint>

namespace display {

// TColor: $00BBGGRR; a top byte of $FF names a system colour by index.
using TColor = uint32_t;
constexpr TColor clLime = 0x0000FF00, clYellow = 0x0000FFFF, clRed = 0x000000FF;
constexpr TColor clGreen = 0x00008000, clOlive = 0x00008080, clMaroon = 0x00000080;
constexpr TColor clBlack = 0x00000000, clSilver = 0x00C0C0C0, clWhite = 0x00FFFFFF;
// System colours by index; the meter's sunken frames use the button shadow and highlight.
constexpr TColor clBtnFace = 0xFF00000F, clBtnShadow = 0xFF000010, clBtnHighlight = 0xFF000014;
// Maps a TColor (including the system colours the program uses) onto a QColor.
QColor toQColor(TColor c);

enum TLedDisplayOrientation : uint8_t { loHorizontal = 0, loVertical = 1 };

// A length of `logical` pixels in whole device pixels at `ratio`; every block pitch of a bar
// drawn at that ratio is this many device pixels, so its blocks and gaps keep one width.
int64_t DevicePixels(int64_t logical, qreal ratio);

// A bar of LED blocks in three colour bands. A changed Position or any colour setter
// repaints only the blocks, at once; the other setters repaint the whole control.
class TLedDisplay : public QWidget {
  Q_OBJECT
 public:
  explicit TLedDisplay(QWidget* parent = nullptr);

  TLedDisplayOrientation Orientation() const { return orientation_; }
  bool Ctl3D() const { return ctl3d_; }
  int32_t Spacing() const { return spacing_; }
  int32_t Max() const { return max_; }
  int32_t Position() const { return position_; }
  int32_t BlockACount() const { return blockA_; }
  int32_t BlockBCount() const { return blockB_; }
  int32_t BlockCCount() const { return blockC_; }
  TColor ActiveColor1() const { return active_[0]; }
  TColor ActiveColor2() const { return active_[1]; }
  TColor ActiveColor3() const { return active_[2]; }
  TColor DeadColor1() const { return dead_[0]; }
  TColor DeadColor2() const { return dead_[1]; }
  TColor DeadColor3() const { return dead_[2]; }

  void setOrientation(TLedDisplayOrientation v);
  void setCtl3D(bool v);
  void setSpacing(int32_t v);
  void setMax(int32_t v);
  void setPosition(int32_t v);
  void setBlockACount(int32_t v);
  void setBlockBCount(int32_t v);
  void setBlockCCount(int32_t v);
  void setActiveColor1(TColor v);
  void setActiveColor2(TColor v);
  void setActiveColor3(TColor v);
  void setDeadColor1(TColor v);
  void setDeadColor2(TColor v);
  void setDeadColor3(TColor v);

  // Paints every block in its lit or dark colour (no background, no frames).
  void PaintLEDs();
  // Number of blocks that the current Position lights (may be negative: none lit).
  int32_t litCount();

  // The control's picture: what the last full paint plus later block paints left, in
  // device pixels at the widget's device pixel ratio.
  const QImage& surface() const { return surface_; }
  // How often the blocks and the whole control were drawn so far (for tests and diagnostics).
  int blockPaintCount() const { return blockPaints_; }
  int fullPaintCount() const { return fullPaints_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void Paint();
  void drawBlocks();  // PaintLEDs on a surface of the current size
  void fullRepaint();
  bool surfaceStale() const;
  QColor backgroundColour() const;
  QSize deviceSize() const;
  void fillRect(int64_t left, int64_t top, int64_t right, int64_t bottom, QRgb colour);
  void drawSunkenFrame(int64_t left, int64_t top, int64_t right, int64_t bottom);
  // In 64 bits: three counts near INT32_MAX must not wrap (to 0, or below).
  int64_t blockCount() const { return int64_t(blockA_) + blockB_ + blockC_; }

  TLedDisplayOrientation orientation_ = loVertical;
  bool ctl3d_ = true;
  int32_t spacing_ = 2;
  int32_t max_ = 10;
  int32_t position_ = 0;
  int32_t blockA_ = 7;
  int32_t blockB_ = 3;
  int32_t blockC_ = 1;
  TColor active_[3] = {clLime, clYellow, clRed};
  TColor dead_[3] = {clGreen, clOlive, clMaroon};
  QImage surface_;   // the control draws here and shows it on paint, so block-only paints stick
  qreal ratio_ = 1;  // device pixels per pixel of surface_
  int blockPaints_ = 0;
  int fullPaints_ = 0;
};

}  // namespace display
