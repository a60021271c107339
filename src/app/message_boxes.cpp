#include "app/message_boxes.hpp"

#include <QCoreApplication>
#include <QMessageBox>
#include <utility>
#include <vector>

namespace app {

namespace {

BoxPresenter& presenter() {
  static BoxPresenter installed;
  return installed;
}

// The boxes open now, innermost last.
std::vector<BoxRequest>& openBoxes() {
  static std::vector<BoxRequest> open;
  return open;
}

void present(BoxKind kind, const QString& caption, const QString& text, QWidget* parent) {
  // One fault often reaches the window twice while its box is open (both devices lose the
  // server, or a failed call and the device's failure notice): it is told once.
  for (const BoxRequest& open : openBoxes())
    if (open.kind == kind && open.caption == caption && open.text == text) return;
  const BoxRequest request{kind, caption, text};
  openBoxes().push_back(request);
  if (presenter()) {
    presenter()(request);
  } else {
    QMessageBox box(kind == BoxKind::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, caption, text,
                    QMessageBox::Ok, parent);
    // A nested loop: device notices keep being handled while the box is open.
    box.exec();
  }
  openBoxes().pop_back();
}

}  // namespace

void NameApplication() { QCoreApplication::setApplicationName(QStringLiteral("Tovrel")); }

void setBoxPresenter(BoxPresenter p) { presenter() = std::move(p); }

void ShowWarningBox(const QString& text, QWidget* parent) {
  present(BoxKind::Warning, QStringLiteral("Warning"), text, parent);
}

void ShowErrorBox(const QString& text, QWidget* parent) {
  present(BoxKind::Error, QStringLiteral("Error"), text, parent);
}

}  // namespace app
