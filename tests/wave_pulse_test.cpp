// The sound server's back end against a private headless server.
#include <gtest/gtest.h>

#include <cstdlib>

TEST(WavePulse, NeedsServer) {
  if (std::getenv("TOVREL_AUDIO_SERVER") == nullptr) GTEST_SKIP() << "no private audio server";
  SUCCEED();
}
