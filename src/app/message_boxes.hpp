#pragma once
// The two modal boxes the program shows: the warning box for wave-device failures and
// the plain error box for playback priming and re-queueing failures. Tests install a
// presenter to record boxes instead of running a blocking dialog.
#include <QString>
#include <functional>

class QWidget;

namespace app {

enum class BoxKind {
  Warning,  // caption "Warning", warning icon, one "OK" button
  Error,    // caption "Error", no icon, one OK button
};

struct BoxRequest {
  BoxKind kind = BoxKind::Warning;
  QString caption;
  QString text;
};

// Called instead of the real dialog while installed. An empty function restores the
// real modal boxes.
using BoxPresenter = std::function<void(const BoxRequest&)>;
void setBoxPresenter(BoxPresenter presenter);

// Names the application "Tovrel" (its title on the taskbar) and sets no display name:
// the window system appends a display name to every window title, and the boxes'
// captions must read exactly "Warning" and "Error".
void NameApplication();

// Modal warning box: caption "Warning", warning icon, `text`, one "OK" button.
void ShowWarningBox(const QString& text, QWidget* parent = nullptr);
// Modal error box: caption "Error", no icon, `text`, one OK button.
void ShowErrorBox(const QString& text, QWidget* parent = nullptr);

}  // namespace app
