// The wave layer's result texts, argument checks and the scripted back end that the
// window's tests drive.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "wave/scripted_backend.hpp"
#include "wave/wave.hpp"

namespace {

using namespace wave;

struct Notice {
  uint32_t message;
  void* device;
  WAVEHDR* header;
  MMRESULT error;
};

// Collects notices as the window's event queue would.
class NoticeQueue : public NoticeTarget {
 public:
  void postWaveNotice(uint32_t message, void* device, WAVEHDR* header, MMRESULT error) override {
    std::lock_guard lock(mutex_);
    notices_.push_back({message, device, header, error});
  }
  std::vector<Notice> take() {
    std::lock_guard lock(mutex_);
    std::vector<Notice> out(notices_.begin(), notices_.end());
    notices_.clear();
    return out;
  }

 private:
  std::mutex mutex_;
  std::deque<Notice> notices_;
};

WAVEFORMATEX pcm(uint16_t channels, uint32_t rate) { return dsp::Pcm16Format(channels, rate); }

constexpr uint32_t kOpenFlags = CALLBACK_WINDOW | WAVE_MAPPED;
const char* const kUnknownText = "invalid parameter passed to error translation routine!";

// ---------------------------------------------------------------------------------------

TEST(WaveErrorText, EveryListedCodeHasItsText) {
  const std::vector<std::pair<MMRESULT, const char*>> table = {
      {0, "no error"},
      {1, "unspecified error"},
      {2, "device ID out of range"},
      {3, "driver failed enable"},
      {4, "device already allocated"},
      {5, "device handle is invalid"},
      {6, "no device driver present"},
      {7, "memory allocation error"},
      {8, "function isn't supported"},
      {9, "error value out of range"},
      {10, "invalid flag passed"},
      {11, "invalid parameter passed"},
      {32, "unsupported wave format"},
      {33, "still something playing"},
      {34, "header not prepared"},
      {35, "device is synchronous"},
      {64, "header not prepared"},
      {65, "still something playing"},
      {66, "no current map"},
      {67, "hardware is still busy"},
      {68, "port no longer connected"},
      {69, "invalid setup"},
      {97, "request not completed"},
      {129, "time struct size"},
      {165, "bad parameters"},
      {166, "request not completed"},
      {167, "joystick is unplugged"},
      {257, "file not found"},
      {258, "out of memory"},
      {259, "cannot open"},
      {260, "cannot close"},
      {261, "cannot read"},
      {262, "cannot write"},
      {263, "cannot seek"},
      {264, "cannot expand file"},
      {265, "chunk not found"},
      {266, "file is unbuffered"},
  };
  for (const auto& [code, text] : table) EXPECT_EQ(WaveErrorText(code), text) << "code " << code;

  // Every other low-16-bit value falls through to the catch-all text.
  std::vector<bool> listed(65536, false);
  for (const auto& entry : table) listed[entry.first] = true;
  for (uint32_t code = 0; code < 65536; ++code) {
    if (!listed[code]) {
      ASSERT_EQ(WaveErrorText(code), kUnknownText) << "code " << code;
    }
  }
}

TEST(WaveErrorText, SharedTextsAndHighBits) {
  EXPECT_EQ(WaveErrorText(12), kUnknownText);
  EXPECT_EQ(WaveErrorText(33), WaveErrorText(65));
  EXPECT_EQ(WaveErrorText(34), WaveErrorText(64));
  // Only the low 16 bits count, read unsigned.
  EXPECT_EQ(WaveErrorText(0x10020), WaveErrorText(32));
  EXPECT_EQ(WaveErrorText(0xFFFF0002u), WaveErrorText(2));
  EXPECT_EQ(WaveErrorText(0xFFFFFFFFu), kUnknownText);
  EXPECT_EQ(WaveErrorText(0x8000), kUnknownText);
}

TEST(WaveConstants, NumbersOfTheClassicInterface) {
  EXPECT_EQ(MM_WOM_OPEN, 955u);
  EXPECT_EQ(MM_WOM_CLOSE, 956u);
  EXPECT_EQ(MM_WOM_DONE, 957u);
  EXPECT_EQ(MM_WIM_OPEN, 958u);
  EXPECT_EQ(MM_WIM_CLOSE, 959u);
  EXPECT_EQ(MM_WIM_DATA, 960u);
  EXPECT_EQ(static_cast<uint32_t>(WAVE_MAPPER), 0xFFFFFFFFu);
  EXPECT_EQ(CALLBACK_WINDOW | WAVE_MAPPED, 0x00010004u);
}

// ---------------------------------------------------------------------------------------

class ScriptedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    audio.setDevices(wave::Direction::Capture, {"Line In", "Микрофон (USB)"});
    audio.setDevices(wave::Direction::Playback, {"Speakers", "Virtual Cable", "HDMI"});
    setBackend(&audio);
    for (int i = 0; i < 4; ++i) {
      buffers[i].assign(64, 0);
      headers[i].lpData = buffers[i].data();
      headers[i].dwBufferLength = static_cast<uint32_t>(buffers[i].size());
    }
  }
  void TearDown() override { setBackend(nullptr); }

  ScriptedBackend audio;
  NoticeQueue target;
  std::vector<char> buffers[4];
  WAVEHDR headers[4];
};

TEST_F(ScriptedTest, FreeFunctionsReachTheInstalledBackend) {
  EXPECT_EQ(&currentBackend(), &audio);
  EXPECT_EQ(waveInGetNumDevs(), 2u);
  EXPECT_EQ(waveOutGetNumDevs(), 3u);
  WAVEINCAPS in;
  ASSERT_EQ(waveInGetDevCaps(1, &in), MMSYSERR_NOERROR);
  EXPECT_EQ(in.szPname, "Микрофон (USB)");
  WAVEOUTCAPS out;
  ASSERT_EQ(waveOutGetDevCaps(2, &out), MMSYSERR_NOERROR);
  EXPECT_EQ(out.szPname, "HDMI");
  EXPECT_NE(waveOutGetDevCaps(3, &out), MMSYSERR_NOERROR);
  // The mapper fails until it is given a name; a single id can be made to fail.
  EXPECT_NE(waveInGetDevCaps(WAVE_MAPPER, &in), MMSYSERR_NOERROR);
  audio.setMapperName(wave::Direction::Capture, "Default In");
  ASSERT_EQ(waveInGetDevCaps(WAVE_MAPPER, &in), MMSYSERR_NOERROR);
  EXPECT_EQ(in.szPname, "Default In");
  audio.setCapsResult(wave::Direction::Playback, 2, MMSYSERR_NODRIVER);
  EXPECT_EQ(waveOutGetDevCaps(2, &out), MMSYSERR_NODRIVER);
  audio.setCapsResult(wave::Direction::Playback, 2, MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutGetDevCaps(2, &out), MMSYSERR_NOERROR);

  const auto names = audio.callNames();
  ASSERT_EQ(names.size(), 9u);
  EXPECT_EQ(names[0], "waveInGetNumDevs");
  EXPECT_EQ(names[2], "waveInGetDevCaps");
  EXPECT_EQ(audio.calls()[2].deviceId, 1);
}

TEST_F(ScriptedTest, OpenChecksArgumentsAndRecordsThem) {
  const WAVEFORMATEX mono = pcm(1, 48000);
  HWAVEIN in = reinterpret_cast<HWAVEIN>(&target);  // must be overwritten on failure
  EXPECT_EQ(waveInOpen(&in, 2, &mono, &target, 0, kOpenFlags), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(in, nullptr);
  EXPECT_EQ(waveInOpen(&in, -2, &mono, &target, 0, kOpenFlags), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveInOpen(&in, 0, &mono, &target, 0, 0), MMSYSERR_INVALFLAG);
  EXPECT_EQ(waveInOpen(&in, 0, &mono, nullptr, 0, kOpenFlags), MMSYSERR_INVALPARAM);
  WAVEFORMATEX bad = mono;
  bad.wBitsPerSample = 8;
  EXPECT_EQ(waveInOpen(&in, 0, &bad, &target, 0, kOpenFlags), WAVERR_BADFORMAT);
  bad = pcm(3, 48000);
  EXPECT_EQ(waveInOpen(&in, 0, &bad, &target, 0, kOpenFlags), WAVERR_BADFORMAT);
  bad = pcm(2, 384001);
  EXPECT_EQ(waveInOpen(&in, 0, &bad, &target, 0, kOpenFlags), WAVERR_BADFORMAT);
  bad = pcm(2, 0);
  EXPECT_EQ(waveInOpen(&in, 0, &bad, &target, 0, kOpenFlags), WAVERR_BADFORMAT);
  EXPECT_EQ(audio.openCount(wave::Direction::Capture), 0u);

  ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &mono, &target, 7, kOpenFlags), MMSYSERR_NOERROR);
  EXPECT_NE(in, nullptr);
  EXPECT_EQ(audio.captureHandle(), in);
  EXPECT_TRUE(target.take().empty()) << "open posts nothing by itself";
  const auto rec = audio.callsNamed("waveInOpen").back();
  EXPECT_EQ(rec.deviceId, WAVE_MAPPER);
  EXPECT_EQ(rec.flags, 0x00010004u);
  EXPECT_EQ(rec.instance, 7u);
  EXPECT_EQ(rec.target, &target);
  EXPECT_EQ(rec.handle, in);
  ASSERT_TRUE(rec.hasFormat);
  EXPECT_EQ(rec.format.nSamplesPerSec, 48000u);
  EXPECT_EQ(rec.format.nChannels, 1u);

  // A second open gets a different handle; a closed handle is dead.
  HWAVEIN second = nullptr;
  ASSERT_EQ(waveInOpen(&second, 0, &mono, &target, 0, kOpenFlags), MMSYSERR_NOERROR);
  EXPECT_NE(second, in);
  EXPECT_EQ(waveInClose(second), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(second), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInStart(second), MMSYSERR_INVALHANDLE);
  // A capture handle is no playback handle.
  EXPECT_EQ(waveOutReset(reinterpret_cast<HWAVEOUT>(in)), MMSYSERR_INVALHANDLE);
  EXPECT_TRUE(target.take().empty());
}

TEST_F(ScriptedTest, CaptureQueueAndDeliveries) {
  const WAVEFORMATEX mono = pcm(1, 48000);
  HWAVEIN in = nullptr;
  ASSERT_EQ(waveInOpen(&in, 0, &mono, &target, 0, kOpenFlags), MMSYSERR_NOERROR);
  ASSERT_TRUE(audio.deliverOpen(wave::Direction::Capture));
  auto notices = target.take();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].message, MM_WIM_OPEN);
  EXPECT_EQ(notices[0].device, in);

  EXPECT_EQ(waveInAddBuffer(in, &headers[0], kWaveHdrSize), WAVERR_UNPREPARED);
  EXPECT_EQ(waveInPrepareHeader(in, &headers[0], 32 + 1), MMSYSERR_INVALPARAM);
  for (auto& h : headers) {
    ASSERT_EQ(waveInPrepareHeader(in, &h, kWaveHdrSize), MMSYSERR_NOERROR);
    EXPECT_TRUE(h.dwFlags & WHDR_PREPARED);
    h.dwBytesRecorded = 99;
    ASSERT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), MMSYSERR_NOERROR);
    EXPECT_TRUE(h.dwFlags & WHDR_INQUEUE);
    EXPECT_EQ(h.dwBytesRecorded, 0u);
  }
  EXPECT_EQ(waveInAddBuffer(in, &headers[1], kWaveHdrSize), WAVERR_STILLPLAYING) << "queued twice";
  ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
  EXPECT_TRUE(audio.isStarted(in));
  EXPECT_EQ(audio.queued(wave::Direction::Capture),
            (std::vector<WAVEHDR*>{&headers[0], &headers[1], &headers[2], &headers[3]}));

  const char bytes[] = "0123456789";
  EXPECT_EQ(audio.deliverData(bytes, 10), &headers[0]);
  EXPECT_EQ(std::memcmp(buffers[0].data(), bytes, 10), 0);
  EXPECT_EQ(headers[0].dwBytesRecorded, 10u);
  EXPECT_TRUE(headers[0].dwFlags & WHDR_DONE);
  EXPECT_FALSE(headers[0].dwFlags & WHDR_INQUEUE);
  EXPECT_TRUE(audio.deliverData(&headers[2], 1000));
  EXPECT_EQ(headers[2].dwBytesRecorded, 64u) << "clamped to the buffer's length";
  notices = target.take();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].message, MM_WIM_DATA);
  EXPECT_EQ(notices[0].header, &headers[0]);
  EXPECT_EQ(notices[1].header, &headers[2]);
  EXPECT_EQ(audio.queued(wave::Direction::Capture), (std::vector<WAVEHDR*>{&headers[1], &headers[3]}));

  // Reset takes the queue off; the test hands it back when it likes.
  ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
  EXPECT_TRUE(audio.queued(wave::Direction::Capture).empty());
  EXPECT_TRUE(target.take().empty());
  EXPECT_EQ(audio.handBackLastReset(wave::Direction::Capture), 2u);
  notices = target.take();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].header, &headers[1]);
  EXPECT_EQ(notices[1].header, &headers[3]);
  EXPECT_EQ(audio.handBackLastReset(wave::Direction::Capture), 0u) << "each buffer comes back once";

  ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);
  EXPECT_EQ(audio.captureHandle(), nullptr);
  EXPECT_TRUE(audio.deliverClose(wave::Direction::Capture));
  notices = target.take();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].message, MM_WIM_CLOSE);
  EXPECT_EQ(notices[0].device, in);
}

// Both back ends refuse the same headers: a length that ends inside a frame (it would
// split the frame between two buffers), no data, no length, a wrong record size.
TEST_F(ScriptedTest, HeadersMustHoldWholeFrames) {
  const WAVEFORMATEX mono = pcm(1, 48000);
  const WAVEFORMATEX stereo = pcm(2, 24000);
  HWAVEIN in = nullptr;
  HWAVEOUT out = nullptr;
  ASSERT_EQ(waveInOpen(&in, 0, &mono, &target, 0, kOpenFlags), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutOpen(&out, 1, &stereo, &target, 0, kOpenFlags), MMSYSERR_NOERROR);
  WAVEHDR& h = headers[0];
  for (uint32_t length : {1u, 2u, 6u, 63u}) {
    h.dwBufferLength = length;
    EXPECT_EQ(waveOutPrepareHeader(out, &h, kWaveHdrSize), MMSYSERR_INVALPARAM) << length;
  }
  h.dwBufferLength = 64;
  ASSERT_EQ(waveOutPrepareHeader(out, &h, kWaveHdrSize), MMSYSERR_NOERROR);
  h.dwBufferLength = 62;
  EXPECT_EQ(waveOutWrite(out, &h, kWaveHdrSize), MMSYSERR_INVALPARAM);
  EXPECT_FALSE(h.dwFlags & WHDR_INQUEUE);
  EXPECT_EQ(waveInPrepareHeader(in, &h, kWaveHdrSize), MMSYSERR_NOERROR) << "62 bytes are 31 mono frames";
  h.dwBufferLength = 63;
  EXPECT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), MMSYSERR_INVALPARAM);
  h.dwBufferLength = 0;
  EXPECT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), MMSYSERR_INVALPARAM);
  h.dwBufferLength = 64;
  h.lpData = nullptr;
  EXPECT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveInAddBuffer(in, nullptr, kWaveHdrSize), MMSYSERR_INVALPARAM);
  h.lpData = buffers[0].data();
  EXPECT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize - 1), MMSYSERR_INVALPARAM);
  EXPECT_TRUE(audio.queued(wave::Direction::Capture).empty());
  EXPECT_TRUE(audio.queued(wave::Direction::Playback).empty());
  EXPECT_EQ(waveInAddBuffer(in, &h, kWaveHdrSize), MMSYSERR_NOERROR);
  EXPECT_EQ(audio.queued(wave::Direction::Capture), std::vector<WAVEHDR*>{&h});
}

TEST_F(ScriptedTest, AutomaticNoticesAndPlayback) {
  audio.setAutoOpenClose(true);
  audio.setAutoHandBack(true);
  const WAVEFORMATEX stereo = pcm(2, 24000);
  HWAVEOUT out = nullptr;
  ASSERT_EQ(waveOutOpen(&out, 1, &stereo, &target, 0, kOpenFlags), MMSYSERR_NOERROR);
  auto notices = target.take();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].message, MM_WOM_OPEN);
  EXPECT_EQ(notices[0].device, out);
  for (auto& h : headers) {
    ASSERT_EQ(waveOutPrepareHeader(out, &h, kWaveHdrSize), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &h, kWaveHdrSize), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(audio.deliverDone(), &headers[0]);
  EXPECT_TRUE(audio.deliverFailed(wave::Direction::Playback, MMSYSERR_NODRIVER));
  ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
  notices = target.take();
  std::vector<uint32_t> messages;
  for (const auto& n : notices) messages.push_back(n.message);
  EXPECT_EQ(messages,
            (std::vector<uint32_t>{MM_WOM_DONE, MM_WOM_FAILED, MM_WOM_DONE, MM_WOM_DONE, MM_WOM_DONE, MM_WOM_CLOSE}));
  EXPECT_EQ(notices[1].error, MMSYSERR_NODRIVER);
  EXPECT_EQ(notices[2].header, &headers[1]);
  EXPECT_EQ(notices[4].header, &headers[3]);
}

TEST_F(ScriptedTest, ProgrammedResults) {
  const WAVEFORMATEX mono = pcm(1, 48000);
  HWAVEIN in = nullptr;
  audio.failNext("waveInOpen", MMSYSERR_ALLOCATED);
  EXPECT_EQ(waveInOpen(&in, 0, &mono, &target, 0, kOpenFlags), MMSYSERR_ALLOCATED);
  EXPECT_EQ(in, nullptr);
  ASSERT_EQ(waveInOpen(&in, 0, &mono, &target, 0, kOpenFlags), MMSYSERR_NOERROR) << "once only";

  audio.failNext("waveInPrepareHeader", MMSYSERR_NOMEM);
  audio.failNext("waveInPrepareHeader", MMSYSERR_ERROR);
  EXPECT_EQ(waveInPrepareHeader(in, &headers[0], kWaveHdrSize), MMSYSERR_NOMEM);
  EXPECT_FALSE(headers[0].dwFlags & WHDR_PREPARED) << "a failed call has no effect";
  EXPECT_EQ(waveInPrepareHeader(in, &headers[0], kWaveHdrSize), MMSYSERR_ERROR);
  EXPECT_EQ(waveInPrepareHeader(in, &headers[0], kWaveHdrSize), MMSYSERR_NOERROR);

  audio.failAlways("waveInAddBuffer", WAVERR_UNPREPARED);
  EXPECT_EQ(waveInAddBuffer(in, &headers[0], kWaveHdrSize), WAVERR_UNPREPARED);
  EXPECT_EQ(waveInAddBuffer(in, &headers[0], kWaveHdrSize), WAVERR_UNPREPARED);
  EXPECT_TRUE(audio.queued(wave::Direction::Capture).empty());
  audio.clearResults();
  EXPECT_EQ(waveInAddBuffer(in, &headers[0], kWaveHdrSize), MMSYSERR_NOERROR);

  const auto adds = audio.callsNamed("waveInAddBuffer");
  ASSERT_EQ(adds.size(), 3u);
  EXPECT_EQ(adds[0].result, WAVERR_UNPREPARED);
  EXPECT_EQ(adds[2].result, MMSYSERR_NOERROR);
  EXPECT_EQ(adds[2].header, &headers[0]);
  EXPECT_EQ(adds[2].data, buffers[0].data());
  EXPECT_EQ(adds[2].bufferLength, 64u);
  EXPECT_EQ(adds[2].size, kWaveHdrSize);
  EXPECT_EQ(adds[2].handle, in);

  // Close with a buffer queued takes it off the queue too (handed back on request).
  ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);
  EXPECT_EQ(audio.lastReset(wave::Direction::Capture), std::vector<WAVEHDR*>{&headers[0]});
  EXPECT_EQ(audio.handBackLastReset(wave::Direction::Capture), 1u);
  const auto notices = target.take();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].message, MM_WIM_DATA);
  audio.clearCalls();
  EXPECT_TRUE(audio.calls().empty());
}

}  // namespace
