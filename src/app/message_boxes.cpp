#include "app/message_boxes.hpp"

#include <QCoreApplication>
#include <QMessageBox>
#include <utility>

namespace app {

namespace {

BoxPresenter& presenter() {
  static BoxPresenter installed;
  return installed;
}

void present(BoxKind kind, const QString& caption, const QString& text, QWidget* parent) {
  if (presenter()) {
    presenter()(BoxRequest{kind, caption, text});
    return;
  }
  QMessageBox box(kind == BoxKind::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, caption, text, QMessageBox::Ok,
                  parent);
  // A nested loop: device notices keep being handled while the box is open.
  box.exec();
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
