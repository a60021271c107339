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

// The four faces of a speed button, in strip order: up, disabled, down, held down.
std::array<QImage, 4> SpeedButtonFaces(ButtonGlyph glyph, QSize size = kSpeedButtonSize);

// A dBFS scale for a 50-block meter 150 pixels long that starts one pixel left of the
// scale. Ticks point up (under a meter) or both ways (between two meters).
QImage ScalePicture(bool ticksBothWays);

// The red mark shown beside a meter whose peak clipped.
QImage ClipMarkPicture();

// The arrow between the two buttons that shows both devices running (transparent
// background).
QImage RunningIndicatorPicture();

// Pixel column of a meter scale where the level `dbfs` (<= 0) lies: the meter lights
// block k for an amplitude of k/50 of full scale, blocks 3 pixels apart.
int ScaleTickX(double dbfs);

}  // namespace app
