#pragma once
// The wave-audio layer: the classic capture/playback calls, records, result codes and
// notices, served by a back end (the sound server, or a scripted one in tests).
#include <cstdint>
#include <string>

#include "dsp/wave_format.hpp"

namespace wave {

using dsp::WAVEFORMATEX;
using MMRESULT = uint32_t;

// Which side of the layer a device, a list or a back-end call is about.
enum class Direction { Capture, Playback };

// Result codes of the classic multimedia set.
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

// Notices posted to the target given at open.
constexpr uint32_t MM_WOM_OPEN = 0x3BB;
constexpr uint32_t MM_WOM_CLOSE = 0x3BC;
constexpr uint32_t MM_WOM_DONE = 0x3BD;
constexpr uint32_t MM_WIM_OPEN = 0x3BE;
constexpr uint32_t MM_WIM_CLOSE = 0x3BF;
constexpr uint32_t MM_WIM_DATA = 0x3C0;
// Our own additions: a device that failed while running (server gone, card unplugged).
// Posted once the layer has stopped the device, which still holds its queued buffers
// until the caller's reset or close hands them back; the error argument carries the
// result code. The device still needs reset and close.
constexpr uint32_t MM_WIM_FAILED = 0x3C8;
constexpr uint32_t MM_WOM_FAILED = 0x3C9;
// The sound server cut the playback stream's path to its device while it ran (a device
// suspended under it) and the layer has connected the stream again; the queued buffers
// stay queued and play on. What was held in the server is lost: an audible break.
constexpr uint32_t MM_WOM_INTERRUPTED = 0x3CA;
// The server played silence on the playback stream: its buffer ran low while no queued
// buffer was left to write (the layer then writes silence to keep the stream going), or it
// ran out altogether. An audible break once the stream has played; posted once per such
// stretch, without a header.
constexpr uint32_t MM_WOM_STARVED = 0x3CB;

constexpr int32_t WAVE_MAPPER = -1;
constexpr uint32_t CALLBACK_WINDOW = 0x00010000;
constexpr uint32_t WAVE_MAPPED = 0x0004;
// Our addition, for a playback device: the caller is after low delay, so the sound server
// may resample the stream with a shorter filter (a little less clean at the band's top).
constexpr uint32_t WAVE_LOW_DELAY = 0x00100000;

// Header flags set by the layer.
constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_INQUEUE = 0x10;

struct WAVEHDR {
  char* lpData = nullptr;
  uint32_t dwBufferLength = 0;
  uint32_t dwBytesRecorded = 0;
  uintptr_t dwUser = 0;
  uint32_t dwFlags = 0;
  uint32_t dwLoops = 0;
  WAVEHDR* lpNext = nullptr;
  uintptr_t reserved = 0;
};

// Every header call passes the record's size, as the classic interface does.
constexpr uint32_t kWaveHdrSize = sizeof(WAVEHDR);

struct WaveInDevice;
struct WaveOutDevice;
using HWAVEIN = WaveInDevice*;
using HWAVEOUT = WaveOutDevice*;

// Where a device's notices go. postWaveNotice is called from device worker threads
// (and from the calling thread for open/close); it must only queue the notice and
// return at once. `header` is null for open/close/failed; `error` is 0 except for failed.
class NoticeTarget {
 public:
  virtual ~NoticeTarget() = default;
  virtual void postWaveNotice(uint32_t message, void* device, WAVEHDR* header, MMRESULT error) = 0;
};

// Capabilities: the product name is what the boxes show; on Linux it is the server's whole
// description in UTF-8. The rest are our additions. serverName is the name the server knows
// the device by, which stays the same when the server's order changes; empty for the
// mapper. monitorOf: for a capture device that records what a playback device plays (a
// monitor, or a source made from one), that playback device's server name; for the mapper,
// that of the device it follows. follows: for the mapper, the server name of the device it
// stands for now. ownDevice: playback only, Tovrel's own I/Q device, which the back end
// makes on the server when it is opened (see Backend::removeOwnDevices).
struct WAVECAPS {
  std::string szPname;
  std::string serverName;
  std::string monitorOf;
  std::string follows;
  bool ownDevice = false;
};
using WAVEINCAPS = WAVECAPS;
using WAVEOUTCAPS = WAVECAPS;

// A back end implements every call once, for either direction. The program uses the sound
// server's; tests install a scripted one. What every back end keeps to, beyond the
// classic meanings:
// - Device ids name the devices of the back end's latest list (the latest getNumDevs):
//   opening id k opens exactly the device listed k-th then, found by its server name, or
//   fails with MMSYSERR_BADDEVICEID when that device has gone; never another in its place.
// - A handle that was not given out by open, or is already closed, gives
//   MMSYSERR_INVALHANDLE; handles are never reused, so a stale one is never taken for a
//   newer device. On a failed open *handle is set to null.
// - open() posts nothing; the caller then hands the new handle to announceOpen(), which
//   posts the open notice, so the notice never comes before the caller holds the handle.
//   The close notice comes after every buffer of the device has come back. Reset posts
//   one data/done notice for every queued buffer before it returns.
// - Close with buffers still queued hands them back first (as Reset does) and closes,
//   instead of refusing with WAVERR_STILLPLAYING and keeping the caller's buffers.
// - After MM_WIM_FAILED / MM_WOM_FAILED the sound server's device holds the buffers it
//   had and takes more (AddBuffer/Write return 0), filling or playing none, until Reset or
//   Close hands them back; waveInStart returns the failure's code.
// - Queueing a header again while it is still in the device's queue returns
//   WAVERR_STILLPLAYING and leaves the queue as it was (it would come back twice). (The
//   scripted back end posts the failure only; the test decides the rest.)
// - Never call a device's Reset or Close from inside postWaveNotice: notices come from the
//   device's own worker, which Close joins.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual uint32_t getNumDevs(Direction direction) = 0;
  virtual MMRESULT getDevCaps(Direction direction, int32_t id, WAVECAPS* caps) = 0;
  virtual MMRESULT open(Direction direction, void** handle, int32_t id, const WAVEFORMATEX* format,
                        NoticeTarget* target, uintptr_t instance, uint32_t flags) = 0;
  virtual void announceOpen(void* handle) = 0;
  virtual MMRESULT prepareHeader(Direction direction, void* handle, WAVEHDR* header, uint32_t size) = 0;
  // waveInAddBuffer / waveOutWrite: a buffer to fill or to play.
  virtual MMRESULT queueBuffer(Direction direction, void* handle, WAVEHDR* header, uint32_t size) = 0;
  // Capture only: recording starts; playback plays as soon as buffers are queued.
  virtual MMRESULT start(void* handle) = 0;
  virtual MMRESULT reset(Direction direction, void* handle) = 0;
  virtual MMRESULT close(Direction direction, void* handle) = 0;
  // The rate the open device itself runs at on the server, which resamples the stream to
  // it; 0 when not known (then it is taken to be the rate asked for).
  virtual uint32_t deviceRate(Direction direction, void* handle) = 0;
  // Removes from the server what this back end made there for its own device, when it
  // made or took one over; nothing otherwise. The program calls it when it closes. A device
  // that a reader (an SDR program) still records stays, carrying silence, so the reader
  // is not moved to another source; the result is then its source's description, else
  // empty.
  virtual std::string removeOwnDevices() { return {}; }
};

// The back end the free functions below call. Defaults to the sound server's.
Backend& currentBackend();
// Installs `backend` (not owned) for the calls below; nullptr restores the default.
void setBackend(Backend* backend);

// The classic calls, each capture call beside its playback twin.
uint32_t waveInGetNumDevs();
uint32_t waveOutGetNumDevs();
MMRESULT waveInGetDevCaps(int32_t id, WAVEINCAPS* caps);
MMRESULT waveOutGetDevCaps(int32_t id, WAVEOUTCAPS* caps);
MMRESULT waveInOpen(HWAVEIN* handle, int32_t id, const WAVEFORMATEX* format, NoticeTarget* target, uintptr_t instance,
                    uint32_t flags);
MMRESULT waveOutOpen(HWAVEOUT* handle, int32_t id, const WAVEFORMATEX* format, NoticeTarget* target, uintptr_t instance,
                     uint32_t flags);
MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size);
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size);
MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, uint32_t size);
MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t size);
MMRESULT waveInStart(HWAVEIN handle);
MMRESULT waveInReset(HWAVEIN handle);
MMRESULT waveOutReset(HWAVEOUT handle);
MMRESULT waveInClose(HWAVEIN handle);
MMRESULT waveOutClose(HWAVEOUT handle);

// Our additions, for either direction: the count and caps by direction, the rate an open
// device runs at on the server (see Backend::deviceRate), and the removal of Tovrel's own
// device (see Backend::removeOwnDevices).
uint32_t waveGetNumDevs(Direction direction);
MMRESULT waveGetDevCaps(Direction direction, int32_t id, WAVECAPS* caps);
uint32_t waveGetDeviceRate(Direction direction, void* handle);
std::string waveRemoveOwnDevices();

// The profile of this instance: its own device is named after it ("Tovrel I/Q (NAME)",
// see the back end); empty for the default instance. Set once at start, before any
// device is listed or opened.
void waveSetProfile(const std::string& profile);
const std::string& waveProfile();

// Fixed English text of a result code (low 16 bits, unsigned).
std::string WaveErrorText(MMRESULT code);

}  // namespace wave
