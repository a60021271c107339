#pragma once
// Shared by the window test programs: handling the window's posted notices and a scripted
// sound system with named devices behind both boxes.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QList>
#include <QMenu>
#include <QTimer>
#include <string>
#include <vector>

#include "app/message_boxes.hpp"
#include "wave/scripted_backend.hpp"

// Handles every posted event, including those posted while handling others.
inline void drain() {
  for (int i = 0; i < 3; ++i) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
  }
}

// The actions of `window`'s context menu, opened as the keyboard's menu key opens it, then
// closed.
inline QList<QAction*> contextMenuActions(QWidget* window) {
  QList<QAction*> shown;
  QTimer::singleShot(0, [&] {
    if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
      shown = menu->actions();
      menu->close();
    }
  });
  QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(10, 10), window->mapToGlobal(QPoint(10, 10)));
  QApplication::sendEvent(window, &key);
  return shown;
}

// Named capture and playback devices with a named default (the mapper) on each side,
// installed as the back end every wave call goes to.
inline void useScriptedDevices(wave::ScriptedBackend& audio, const std::vector<std::string>& capture,
                               const std::vector<std::string>& playback) {
  audio.setDevices(wave::Direction::Capture, capture);
  audio.setMapperName(wave::Direction::Capture, "Default Source");
  audio.setDevices(wave::Direction::Playback, playback);
  audio.setMapperName(wave::Direction::Playback, "Default Sink");
  wave::setBackend(&audio);
}

// No box when `part` is null; otherwise exactly one warning box, whose text holds `part`.
inline void expectWarningWith(const std::vector<app::BoxRequest>& boxes, const char* part) {
  if (part == nullptr) {
    EXPECT_TRUE(boxes.empty());
    return;
  }
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].kind, app::BoxKind::Warning);
  EXPECT_TRUE(boxes[0].text.contains(part)) << boxes[0].text.toStdString();
}
