// Dispatch of the classic calls to the installed back end, and the result-code texts.
#include "wave/wave.hpp"

#include <atomic>
#include <memory>

#include "wave/pulse_backend.hpp"
#include "wave/wave_checks.hpp"

namespace wave {

namespace {

std::atomic<Backend*> g_installed{nullptr};

Backend& defaultBackend() {
  // Created on first use, so a program or test that never touches sound never connects.
  static std::unique_ptr<Backend> backend = makePulseBackend();
  return *backend;
}

}  // namespace

Backend& currentBackend() {
  Backend* installed = g_installed.load(std::memory_order_acquire);
  return installed ? *installed : defaultBackend();
}

void setBackend(Backend* backend) { g_installed.store(backend, std::memory_order_release); }

namespace {

// The open notice goes out only once the caller's handle is set.
template <typename Handle>
MMRESULT openDevice(Direction direction, Handle* handle, int32_t id, const WAVEFORMATEX* format, NoticeTarget* target,
                    uintptr_t instance, uint32_t flags) {
  Backend& backend = currentBackend();
  void* opened = nullptr;
  const MMRESULT result = backend.open(direction, handle ? &opened : nullptr, id, format, target, instance, flags);
  if (handle) *handle = static_cast<Handle>(opened);
  if (result == MMSYSERR_NOERROR) backend.announceOpen(opened);
  return result;
}

constexpr Direction kIn = Direction::Capture;
constexpr Direction kOut = Direction::Playback;

}  // namespace

uint32_t waveGetNumDevs(Direction direction) { return currentBackend().getNumDevs(direction); }
MMRESULT waveGetDevCaps(Direction direction, int32_t id, WAVECAPS* caps) {
  return currentBackend().getDevCaps(direction, id, caps);
}
uint32_t waveGetDeviceRate(Direction direction, void* handle) { return currentBackend().deviceRate(direction, handle); }
std::string waveRemoveOwnDevices() { return currentBackend().removeOwnDevices(); }

namespace {
std::string& profileName() {
  static std::string name;
  return name;
}
}  // namespace

void waveSetProfile(const std::string& profile) { profileName() = profile; }
const std::string& waveProfile() { return profileName(); }

uint32_t waveInGetNumDevs() { return waveGetNumDevs(kIn); }
uint32_t waveOutGetNumDevs() { return waveGetNumDevs(kOut); }
MMRESULT waveInGetDevCaps(int32_t id, WAVEINCAPS* caps) { return waveGetDevCaps(kIn, id, caps); }
MMRESULT waveOutGetDevCaps(int32_t id, WAVEOUTCAPS* caps) { return waveGetDevCaps(kOut, id, caps); }
MMRESULT waveInOpen(HWAVEIN* handle, int32_t id, const WAVEFORMATEX* format, NoticeTarget* target, uintptr_t instance,
                    uint32_t flags) {
  return openDevice(kIn, handle, id, format, target, instance, flags);
}
MMRESULT waveOutOpen(HWAVEOUT* handle, int32_t id, const WAVEFORMATEX* format, NoticeTarget* target, uintptr_t instance,
                     uint32_t flags) {
  return openDevice(kOut, handle, id, format, target, instance, flags);
}
MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size) {
  return currentBackend().prepareHeader(kIn, handle, header, size);
}
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  return currentBackend().prepareHeader(kOut, handle, header, size);
}
MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, uint32_t size) {
  return currentBackend().queueBuffer(kIn, handle, header, size);
}
MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  return currentBackend().queueBuffer(kOut, handle, header, size);
}
MMRESULT waveInStart(HWAVEIN handle) { return currentBackend().start(handle); }
MMRESULT waveInReset(HWAVEIN handle) { return currentBackend().reset(kIn, handle); }
MMRESULT waveOutReset(HWAVEOUT handle) { return currentBackend().reset(kOut, handle); }
MMRESULT waveInClose(HWAVEIN handle) { return currentBackend().close(kIn, handle); }
MMRESULT waveOutClose(HWAVEOUT handle) { return currentBackend().close(kOut, handle); }

std::string WaveErrorText(MMRESULT code) {
  switch (static_cast<uint16_t>(code & 0xFFFFu)) {
    case 0: return "no error";
    case 1: return "unspecified error";
    case 2: return "device ID out of range";
    case 3: return "driver failed enable";
    case 4: return "device already allocated";
    case 5: return "device handle is invalid";
    case 6: return "no device driver present";
    case 7: return "memory allocation error";
    case 8: return "function isn't supported";
    case 9: return "error value out of range";
    case 10: return "invalid flag passed";
    case 11: return "invalid parameter passed";
    case 32: return "unsupported wave format";
    case 33: return "still something playing";
    case 34: return "header not prepared";
    case 35: return "device is synchronous";
    case 64: return "header not prepared";
    case 65: return "still something playing";
    case 66: return "no current map";
    case 67: return "hardware is still busy";
    case 68: return "port no longer connected";
    case 69: return "invalid setup";
    case 97: return "request not completed";
    case 129: return "time struct size";
    case 165: return "bad parameters";
    case 166: return "request not completed";
    case 167: return "joystick is unplugged";
    case 257: return "file not found";
    case 258: return "out of memory";
    case 259: return "cannot open";
    case 260: return "cannot close";
    case 261: return "cannot read";
    case 262: return "cannot write";
    case 263: return "cannot seek";
    case 264: return "cannot expand file";
    case 265: return "chunk not found";
    case 266: return "file is unbuffered";
    default: return "invalid parameter passed to error translation routine!";
  }
}

namespace detail {

MMRESULT checkFormat(const WAVEFORMATEX* format) {
  if (format == nullptr) return MMSYSERR_INVALPARAM;
  if (format->wFormatTag != dsp::WAVE_FORMAT_PCM || format->wBitsPerSample != 16) return WAVERR_BADFORMAT;
  if (format->nChannels != 1 && format->nChannels != 2) return WAVERR_BADFORMAT;
  if (format->nSamplesPerSec < 1 || format->nSamplesPerSec > kMaxSampleRate) return WAVERR_BADFORMAT;
  return MMSYSERR_NOERROR;
}

MMRESULT checkOpenArgs(const void* handleOut, const NoticeTarget* target, uint32_t flags) {
  if ((flags & CALLBACK_WINDOW) == 0) return MMSYSERR_INVALFLAG;
  if (handleOut == nullptr || target == nullptr) return MMSYSERR_INVALPARAM;
  return MMSYSERR_NOERROR;
}

MMRESULT checkHeader(const WAVEHDR* header, uint32_t size, uint32_t frameBytes) {
  if (header == nullptr || size != kWaveHdrSize) return MMSYSERR_INVALPARAM;
  if (header->lpData == nullptr || header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
  if (frameBytes == 0 || header->dwBufferLength % frameBytes != 0) return MMSYSERR_INVALPARAM;
  return MMSYSERR_NOERROR;
}

}  // namespace detail

}  // namespace wave
