#pragma once
// Qt's offscreen platform with three screens of device pixel ratio 1 (the primary), 2 and
// 1.5 (offscreen_screens.json), for the tests of drawing at a screen's ratio.
#include <QByteArray>
#include <QGuiApplication>
#include <QScreen>

// Before the application object: the offscreen platform (unless another one is set) with
// those screens.
inline void useOffscreenScreens() {
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if (platform.isEmpty() || platform == "offscreen")
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" TOVREL_SOURCE_TREE "/tests/offscreen_screens.json");
}

// The screen of that device pixel ratio; null on another platform.
inline QScreen* screenWithRatio(qreal ratio) {
  for (QScreen* screen : QGuiApplication::screens())
    if (screen->devicePixelRatio() == ratio) return screen;
  return nullptr;
}
