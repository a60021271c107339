// The start-up version check: which versions warn, the narrow fallback, and the
// platform default that has no version query.
#include <gtest/gtest.h>

#include <QString>
#include <string>
#include <vector>

#include "app/startup_check.hpp"

using app::AnsiOsVersionRecord;
using app::InitDeviceLibrary;
using app::OsVersionRecord;
using app::VersionQueries;

namespace {

struct Box {
  QString caption;
  QString text;
};

class StartupCheckTest : public ::testing::Test {
 protected:
  app::ErrorBoxPresenter recorder() {
    return [this](const QString& caption, const QString& text) { boxes.push_back({caption, text}); };
  }
  static VersionQueries wideGives(uint32_t major, uint32_t minor = 0) {
    VersionQueries q;
    q.wide = [=]() -> std::optional<OsVersionRecord> {
      OsVersionRecord r;
      r.MajorVersion = major;
      r.MinorVersion = minor;
      r.BuildNumber = 1381;
      r.PlatformId = 2;
      return r;
    };
    // The narrow query must not be asked when the wide one answers.
    q.ansi = []() -> std::optional<AnsiOsVersionRecord> {
      ADD_FAILURE() << "narrow query asked although the wide one answered";
      return std::nullopt;
    };
    return q;
  }
  std::vector<Box> boxes;
};

const QString kText = QString::fromLatin1(
    "This code was compiled with no ANSI API support, and it seems that you are running the ANSI version "
    "of Windows.\r\nThere could be some compatibility issues, so it is recommended that you contact your "
    "software vendor to resolve this problem.");

TEST_F(StartupCheckTest, OlderMajorVersionsWarnOnce) {
  for (uint32_t major : {0u, 3u, 4u}) {
    for (uint32_t minor : {0u, 10u, 90u}) {
      boxes.clear();
      InitDeviceLibrary(wideGives(major, minor), recorder());
      ASSERT_EQ(boxes.size(), 1u) << major << "." << minor;
      EXPECT_EQ(boxes[0].caption, "Incompatible OS version.");
      EXPECT_EQ(boxes[0].text, kText);
    }
  }
}

TEST_F(StartupCheckTest, SupportedMajorVersionsDoNotWarn) {
  for (uint32_t major : {5u, 6u, 10u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    InitDeviceLibrary(wideGives(major, 1), recorder());
    EXPECT_TRUE(boxes.empty()) << major;
    ASSERT_TRUE(app::DeviceLibraryVersion().has_value());
    EXPECT_EQ(app::DeviceLibraryVersion()->MajorVersion, major);
  }
}

TEST_F(StartupCheckTest, NarrowQueryStandsInWhenTheWideOneFails) {
  int wideCalls = 0;
  int narrowCalls = 0;
  VersionQueries q;
  q.wide = [&]() -> std::optional<OsVersionRecord> {
    ++wideCalls;
    return std::nullopt;
  };
  q.ansi = [&]() -> std::optional<AnsiOsVersionRecord> {
    ++narrowCalls;
    AnsiOsVersionRecord r;
    r.MajorVersion = 4;
    r.MinorVersion = 10;
    r.BuildNumber = 67766446;
    r.PlatformId = 1;
    r.CSDVersion = std::string(200, 'A');  // longer than the wide record holds
    return r;
  };
  InitDeviceLibrary(q, recorder());
  EXPECT_EQ(wideCalls, 1);
  EXPECT_EQ(narrowCalls, 1);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "Incompatible OS version.");
  const auto& v = app::DeviceLibraryVersion();
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->MajorVersion, 4u);
  EXPECT_EQ(v->MinorVersion, 10u);
  EXPECT_EQ(v->BuildNumber, 67766446u);
  EXPECT_EQ(v->PlatformId, 1u);
  EXPECT_EQ(v->CSDVersion, QString(127, 'A'));

  // The same fallback on a supported version stays silent.
  boxes.clear();
  q.ansi = []() -> std::optional<AnsiOsVersionRecord> {
    AnsiOsVersionRecord r;
    r.MajorVersion = 5;
    r.CSDVersion = "Service Pack 4";
    return r;
  };
  InitDeviceLibrary(q, recorder());
  EXPECT_TRUE(boxes.empty());
  ASSERT_TRUE(app::DeviceLibraryVersion().has_value());
  EXPECT_EQ(app::DeviceLibraryVersion()->CSDVersion, "Service Pack 4");
}

TEST_F(StartupCheckTest, WideServicePackTextIsCutTo127Characters) {
  VersionQueries q;
  q.wide = []() -> std::optional<OsVersionRecord> {
    OsVersionRecord r;
    r.MajorVersion = 6;
    r.CSDVersion = QString(300, QChar(0x0416));
    return r;
  };
  InitDeviceLibrary(q, recorder());
  ASSERT_TRUE(app::DeviceLibraryVersion().has_value());
  EXPECT_EQ(app::DeviceLibraryVersion()->CSDVersion, QString(127, QChar(0x0416)));
  EXPECT_TRUE(boxes.empty());
}

TEST_F(StartupCheckTest, BothQueriesFailingShowsNothing) {
  VersionQueries q;
  q.wide = []() -> std::optional<OsVersionRecord> { return std::nullopt; };
  q.ansi = []() -> std::optional<AnsiOsVersionRecord> { return std::nullopt; };
  InitDeviceLibrary(q, recorder());
  EXPECT_TRUE(boxes.empty());
  EXPECT_FALSE(app::DeviceLibraryVersion().has_value());

  // Absent queries count as failed ones.
  InitDeviceLibrary(VersionQueries{}, recorder());
  EXPECT_TRUE(boxes.empty());
  EXPECT_FALSE(app::DeviceLibraryVersion().has_value());
}

TEST_F(StartupCheckTest, ThisPlatformHasNoVersionQuery) {
  const VersionQueries platform = app::PlatformVersionQueries();
  const bool wideAnswers = platform.wide && platform.wide().has_value();
  const bool narrowAnswers = platform.ansi && platform.ansi().has_value();
  EXPECT_FALSE(wideAnswers);
  EXPECT_FALSE(narrowAnswers);
  InitDeviceLibrary(platform, recorder());
  EXPECT_TRUE(boxes.empty());
  // The program's own entry point uses the real box; with no version it must not show
  // one (a box here would block the test run).
  app::InitDeviceLibrary();
  EXPECT_FALSE(app::DeviceLibraryVersion().has_value());
}

}  // namespace
