// The window as a separate process, as a user or a service manager starts and stops it:
// without a display it says how to run without one; a signal closes it like its close
// button, with the warning about the missing sound server open (PULSE_SERVER names no
// socket).
#include <gtest/gtest.h>

#include <signal.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
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

}  // namespace
