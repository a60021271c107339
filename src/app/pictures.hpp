#pragma once
// The window's drawn pictures: speed-button faces, the meter scales, the clip marks and
// the running indicator. Drawn with QPainter at the sizes the layout needs.
#include <QImage>
#include <QSize>
#include <array>

namespace app {

enum class ButtonGlyph { Microphone, Speaker };

constexpr QSize kSpeedButtonSize{75, 40};
constexpr QSize kScaleSize{164, 18};
constexpr QSize kClipMarkSize{14, 8};
constexpr QSize kRunningIndicatorSize{42, 40};

// Every picture is drawn at `ratio` device pixels per pixel (the screen's device pixel
// ratio), so it stays as sharp as the text beside it; its size in pixels stays the one
// named here. Lines of one pixel become whole device pixels.

// The four faces of a speed button, in strip order: up, disabled, down, held down.
std::array<QImage, 4> SpeedButtonFaces(ButtonGlyph glyph, qreal ratio = 1, QSize size = kSpeedButtonSize);

// A dBFS scale for a 50-block meter 150 pixels long that starts one pixel left of the
// scale. Ticks point up (under a meter) or both ways (between two meters).
QImage ScalePicture(bool ticksBothWays, qreal ratio = 1);

// The red mark shown beside a meter whose peak clipped.
QImage ClipMarkPicture(qreal ratio = 1);

// The arrow between the two buttons that shows both devices running (transparent
// background).
QImage RunningIndicatorPicture(qreal ratio = 1);

// Device pixel column of a meter scale drawn at `ratio` where the level `dbfs` (<= 0)
// lies: the meter lights block k for an amplitude of k/50 of full scale, blocks 3 pixels
// apart at 1 and a whole number of device pixels apart at any ratio.
int ScaleTickX(double dbfs, qreal ratio = 1);

}  // namespace app
