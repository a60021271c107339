// The window as a separate process, as a user or a service manager starts and stops it:
// without a display it says how to run without one; a signal closes it like its close
// button; a window manager that comes late still frames it on the screen. No sound server
// answers (PULSE_SERVER names no socket), so its warning is open when the signals come.
#include <gtest/gtest.h>

#include <signal.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

namespace {

const QString kTovrel = QStringLiteral(TOVREL_BINARY_TREE "/tovrel");

class WindowProcess : public ::testing::Test {
 protected:
  // No display and no sound server; Qt's platform as `platform` says (empty: Qt's choice).
  QProcessEnvironment environment(const QString& platform) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
    if (!platform.isEmpty()) env.insert("QT_QPA_PLATFORM", platform);
    env.insert("XDG_RUNTIME_DIR", dir_.path());
    env.insert("XDG_CONFIG_HOME", dir_.path());
    env.insert("PULSE_SERVER", "unix:" + dir_.filePath("no-server"));
    return env;
  }

  // Runs tovrel to its end; its stderr lines.
  QStringList runToEnd(const QProcessEnvironment& env) {
    tovrel_.setProcessEnvironment(env);
    tovrel_.start(kTovrel, {});
    EXPECT_TRUE(tovrel_.waitForFinished(10000));
    return QString::fromUtf8(tovrel_.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
  }

  QTemporaryDir dir_;
  QProcess tovrel_;
};

// Qt would abort (status 134) with advice to reinstall; the user is told of --headless.
TEST_F(WindowProcess, WithoutADisplaySaysToRunHeadlessAndExits2) {
  const struct {
    const char* name;
    const char* display;
  } cases[] = {{"nothing set", nullptr}, {"a display that does not answer", ":987"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QProcessEnvironment env = environment({});
    if (c.display) env.insert("DISPLAY", c.display);
    const QStringList lines = runToEnd(env);
    EXPECT_EQ(tovrel_.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(tovrel_.exitCode(), 2);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_TRUE(lines.last().contains("tovrel --headless")) << lines.join('\n').toStdString();
    if (!c.display) {
      EXPECT_EQ(lines.size(), 1) << lines.join('\n').toStdString();
    }
  }
}

// Each signal closes the window as its close button does: the settings are written (every
// value, the stored rate kept) and the exit status is 0. A platform the user forced that
// needs no display still runs.
TEST_F(WindowProcess, ASignalClosesTheWindowAndWritesTheSettings) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    QFile::remove(dir_.filePath("ZEM/Varnex.conf"));
    ASSERT_TRUE(QDir(dir_.path()).mkpath("ZEM"));
    QFile settings(dir_.filePath("ZEM/Varnex.conf"));
    ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
    settings.write("[Varnex]\nBitrate=3\n");
    settings.close();

    tovrel_.setProcessEnvironment(environment("offscreen"));
    tovrel_.start(kTovrel, {});
    ASSERT_TRUE(tovrel_.waitForStarted(5000));
    QThread::msleep(1500);
    ASSERT_EQ(tovrel_.state(), QProcess::Running) << tovrel_.readAllStandardError().toStdString();
    QElapsedTimer t;
    t.start();
    ::kill(static_cast<pid_t>(tovrel_.processId()), signal);
    ASSERT_TRUE(tovrel_.waitForFinished(5000));
    EXPECT_LT(t.elapsed(), 1000);
    EXPECT_EQ(tovrel_.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(tovrel_.exitCode(), 0);
    ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
    const QByteArray written = settings.readAll();
    settings.close();
    EXPECT_TRUE(written.contains("Bitrate=3") && written.contains("StreamMode=")) << written.toStdString();
    // The missing server was told at start (and in a box, which the signal dismissed).
    const QStringList lines = QString::fromUtf8(tovrel_.readAllStandardError()).split('\n');
    EXPECT_EQ(lines.filter("tovrel: no sound server answers").size(), 1) << lines.join('\n').toStdString();
  }
}

// Runs `program` to its end; its stdout.
QString output(const QString& program, const QStringList& args, const QString& display) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("DISPLAY", display);
  p.setProcessEnvironment(env);
  p.start(program, args);
  p.waitForFinished(5000);
  return QString::fromUtf8(p.readAllStandardOutput());
}

// The window stored far off a 1280 x 1024 screen, on a display whose window manager
// (openbox) takes it over only after it was shown, as one still starting with a session
// does: the frame still ends at the screen's right edge and 30 pixels above its bottom.
TEST_F(WindowProcess, TheFrameIsKeptOnTheScreenWhenTheWindowManagerComesLate) {
  for (const char* tool : {"Xvfb", "openbox", "xwininfo", "xprop"})
    if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool << " not installed";
  QProcess xvfb;
  xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
  ASSERT_TRUE(xvfb.waitForReadyRead(10000));
  const QString display = ":" + QString::fromUtf8(xvfb.readLine()).trimmed();
  ASSERT_TRUE(QDir(dir_.path()).mkpath("ZEM"));
  QFile settings(dir_.filePath("ZEM/Varnex.conf"));
  ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
  settings.write("[Varnex]\nLeft=5000\nTop=5000\n");
  settings.close();

  QProcessEnvironment env = environment("xcb");
  env.insert("DISPLAY", display);
  tovrel_.setProcessEnvironment(env);
  tovrel_.start(kTovrel, {});
  QString window;
  QElapsedTimer t;
  t.start();
  while (window.isEmpty() && t.elapsed() < 10000) {
    for (const QString& line : output("xwininfo", {"-root", "-tree"}, display).split('\n'))
      if (line.contains("\" Tovrel\"")) window = line.simplified().section(' ', 0, 0);
    QThread::msleep(100);
  }
  ASSERT_FALSE(window.isEmpty()) << "no window";
  QProcess openbox;
  openbox.setProcessEnvironment(env);
  openbox.start("openbox", {});
  // Framed, then left time to move.
  QString extents;
  t.restart();
  while (!extents.contains('=') && t.elapsed() < 10000) {
    extents = output("xprop", {"-id", window, "_NET_FRAME_EXTENTS"}, display);
    QThread::msleep(100);
  }
  QThread::msleep(1500);
  const QStringList margins = extents.section('=', 1).split(',');
  ASSERT_EQ(margins.size(), 4) << extents.toStdString();
  const QString info = output("xwininfo", {"-id", window}, display);
  auto field = [&](const QString& name) { return info.section(name + ":", 1).section('\n', 0, 0).trimmed().toInt(); };
  EXPECT_EQ(field("Absolute upper-left X") + field("Width") + margins[1].trimmed().toInt(), 1280) << info.toStdString();
  EXPECT_EQ(field("Absolute upper-left Y") + field("Height") + margins[3].trimmed().toInt(), 1024 - 30)
      << info.toStdString();

  ::kill(static_cast<pid_t>(tovrel_.processId()), SIGTERM);
  tovrel_.waitForFinished(5000);
  openbox.terminate();
  openbox.waitForFinished(3000);
  xvfb.terminate();
  xvfb.waitForFinished(3000);
}

}  // namespace
