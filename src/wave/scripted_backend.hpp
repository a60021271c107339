#pragma once
// A back end that tests drive by hand: programmable devices and results, a log of every
// call, and notices delivered only when the test says so.
//
// Typical use:
//   wave::ScriptedBackend audio;
//   audio.setDevices(Direction::Capture, {"Line In", "Mic"});  // capture ids 0 and 1
//   audio.setMapperName(Direction::Capture, "Default In");     // name of id -1 (nullopt: query fails)
//   wave::setBackend(&audio);                         // ... and setBackend(nullptr) after
//   window.click();                                   // calls waveInOpen etc.
//   audio.deliverOpen(Direction::Capture);            // posts MM_WIM_OPEN now
//   audio.deliverData(bytes, 65536);                  // fills the head capture buffer, posts MM_WIM_DATA
//
// Rules the back end keeps (the same as the sound server's back end):
// - Open checks, in this order: a programmed result for the call; flags must include
//   CALLBACK_WINDOW (MMSYSERR_INVALFLAG), handle out-parameter and target non-null
//   (MMSYSERR_INVALPARAM); the format is 16-bit PCM, 1 or 2 channels, 1..384000 Hz
//   (WAVERR_BADFORMAT); the id is -1 or names a listed device that is still there, and -1
//   needs at least one device (MMSYSERR_BADDEVICEID). On failure *handle is set to null.
// - Handles are unique opaque values, never reused and never dereferenced; a handle that
//   was not opened here or is already closed gives MMSYSERR_INVALHANDLE.
// - Header calls need size kWaveHdrSize, a header with lpData and a non-zero length that
//   is a whole number of the device's frames (MMSYSERR_INVALPARAM). Prepare sets WHDR_PREPARED; AddBuffer/Write need it
//   (WAVERR_UNPREPARED), set WHDR_INQUEUE, clear WHDR_DONE, set dwBytesRecorded to 0 and
//   append the header to the device's queue.
// - Reset empties the queue. By default it posts nothing: the test hands the buffers back
//   with handBackAll() (call it before Reset, or use takeLastReset()). With
//   setAutoHandBack(true) Reset (and Close with buffers queued) posts a MM_WIM_DATA /
//   MM_WOM_DONE for every queued header at once, in queue order.
// - Close forgets the handle. It posts MM_WIM_CLOSE/MM_WOM_CLOSE only with
//   setAutoOpenClose(true), which also makes Open post its open notice; otherwise use
//   deliverOpen()/deliverClose(). Close with buffers queued behaves like Reset then Close.
// - A programmed result makes the call return it and have no other effect (it is still
//   recorded, with that result).
//
// Every deliver...() calls target->postWaveNotice synchronously on the calling thread,
// with the device's handle, outside the back end's lock. The back end is thread-safe.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "wave/wave.hpp"

namespace wave {

class ScriptedBackend : public Backend {
 public:
  // One call as it was made. Fields that the call has no argument for stay at their defaults.
  struct CallRecord {
    std::string name;                    // "waveInOpen", "waveOutWrite", ... (the function's name)
    int32_t deviceId = 0;                // GetDevCaps and Open
    std::string deviceName{};            // Open: the device opened (empty for the mapper)
    uint32_t flags = 0;                  // Open
    uintptr_t instance = 0;              // Open
    NoticeTarget* target = nullptr;      // Open
    void* handle = nullptr;              // handle passed in; for Open the handle given out (null on failure)
    WAVEHDR* header = nullptr;           // header calls
    uint32_t bufferLength = 0;           // header->dwBufferLength at the time of the call
    char* data = nullptr;                // header->lpData at the time of the call
    uint32_t size = 0;                   // header size argument
    bool hasFormat = false;              // Open with a non-null format
    WAVEFORMATEX format{};               // copy of *format
    MMRESULT result = MMSYSERR_NOERROR;  // what the call returned
  };

  ScriptedBackend();
  ~ScriptedBackend() override;

  // --- devices ------------------------------------------------------------------------
  // Devices of one direction as the server has them now, in its order; the count is
  // names.size(). Each name is both what the user sees and the server name. As with the
  // sound server, ids keep naming the devices of the latest count: opening id k opens the
  // device that stood k-th then, by name, and fails with MMSYSERR_BADDEVICEID when it is
  // no longer among the names (before any count, ids index the names as they are).
  void setDevices(Direction direction, std::vector<std::string> names);
  // The rate the devices of a direction run at on the server (deviceRate); 0: as asked.
  void setDeviceRate(Direction direction, uint32_t rate);
  // Name of the mapper (id -1); nullopt makes its caps query fail. Default: nullopt.
  void setMapperName(Direction direction, std::optional<std::string> name);
  // The device the mapper of a direction stands for (its caps' `follows`). Default: none.
  void setMapperFollows(Direction direction, std::string name);
  // Capture device name -> the playback device whose sound it records (caps' monitorOf,
  // for the mapper through the device it follows). Default: none records any.
  void setMonitors(std::map<std::string, std::string> monitors);
  // The caps query of this id (may be -1) returns `code` (non-zero) until cleared with 0.
  void setCapsResult(Direction direction, int32_t id, MMRESULT code);

  // --- programmed results ---------------------------------------------------------------
  // The next call of that name returns `code` (several failNext calls queue up in order).
  void failNext(const std::string& call, MMRESULT code);
  // Every call of that name returns `code` until clearResults(); failNext ones go first.
  void failAlways(const std::string& call, MMRESULT code);
  void clearResults();

  // --- switches ---------------------------------------------------------------------------
  void setAutoOpenClose(bool on);
  void setAutoHandBack(bool on);

  // --- the log ----------------------------------------------------------------------------
  std::vector<CallRecord> calls() const;
  std::vector<CallRecord> callsNamed(const std::string& name) const;
  size_t countCalls(const std::string& name) const;
  // Names only, in order: handy for checking the order of calls.
  std::vector<std::string> callNames() const;
  void clearCalls();

  // --- devices opened -----------------------------------------------------------------------
  // The most recently opened handle of a direction that is still open, or null.
  HWAVEIN captureHandle() const;
  HWAVEOUT playbackHandle() const;
  bool isOpen(const void* handle) const;
  bool isStarted(HWAVEIN handle) const;
  size_t openCount(Direction direction) const;
  // Queued headers of the current device of a direction, head first.
  std::vector<WAVEHDR*> queued(Direction direction) const;
  // Headers that the last Reset (or Close) of a direction took off the queue, in queue
  // order, and not yet handed back; handBackLastReset posts them.
  std::vector<WAVEHDR*> lastReset(Direction direction) const;

  // --- notices ---------------------------------------------------------------------------------
  // These act on the current device of a direction (most recently opened, still open);
  // the ones with a handle argument act on that device, open or closed. Each returns
  // false (and posts nothing) when there is no such device or header.
  bool deliverOpen(Direction direction);
  bool deliverOpen(void* handle);
  // Posts the close notice for the most recently closed (or current) device of a direction.
  bool deliverClose(Direction direction);
  bool deliverClose(void* handle);
  // Completes the head capture buffer: copies min(count, length) bytes of `bytes` (may be
  // null: the buffer is left as it is) into it, sets dwBytesRecorded, WHDR_DONE, clears
  // WHDR_INQUEUE, takes it off the queue and posts MM_WIM_DATA. Returns the header or null.
  WAVEHDR* deliverData(const void* bytes, uint32_t count);
  // The same with the buffer's contents untouched and dwBytesRecorded = bytesRecorded.
  WAVEHDR* deliverData(uint32_t bytesRecorded);
  // Completes a given header (queued or not) of the current capture device.
  bool deliverData(WAVEHDR* header, uint32_t bytesRecorded);
  // Completes the head playback buffer (or a given header) and posts MM_WOM_DONE.
  WAVEHDR* deliverDone();
  bool deliverDone(WAVEHDR* header);
  // Hands back every queued buffer of the current device (DATA with its dwBytesRecorded,
  // or DONE), in queue order, and empties the queue. Returns how many.
  size_t handBackAll(Direction direction);
  // Posts the buffers taken off by the last Reset/Close of a direction. Returns how many.
  size_t handBackLastReset(Direction direction);
  // Posts MM_WIM_FAILED / MM_WOM_FAILED with `code` for the current device.
  bool deliverFailed(Direction direction, MMRESULT code);

  // --- Backend ------------------------------------------------------------------------------
  // Each call is logged under its classic name ("waveInOpen", "waveOutWrite", ...).
  uint32_t getNumDevs(Direction direction) override;
  MMRESULT getDevCaps(Direction direction, int32_t id, WAVECAPS* caps) override;
  MMRESULT open(Direction direction, void** handle, int32_t id, const WAVEFORMATEX* format, NoticeTarget* target,
                uintptr_t instance, uint32_t flags) override;
  void announceOpen(void* handle) override;
  MMRESULT prepareHeader(Direction direction, void* handle, WAVEHDR* header, uint32_t size) override;
  MMRESULT queueBuffer(Direction direction, void* handle, WAVEHDR* header, uint32_t size) override;
  MMRESULT start(void* handle) override;
  MMRESULT reset(Direction direction, void* handle) override;
  MMRESULT close(Direction direction, void* handle) override;
  uint32_t deviceRate(Direction direction, void* handle) override;

 private:
  enum class Call { GetNumDevs, GetDevCaps, Open, PrepareHeader, QueueBuffer, Start, Reset, Close };
  // The classic name of a call, as the log records it.
  static const char* classicName(Direction direction, Call call);
  struct Device {
    Direction direction = Direction::Capture;
    bool open = true;
    bool started = false;
    NoticeTarget* target = nullptr;
    uint32_t frameBytes = 2;  // bytes per frame of the opened format
    std::vector<WAVEHDR*> queue;
  };
  struct Side {
    std::vector<std::string> names;
    std::optional<std::vector<std::string>> listed;  // the names at the latest count
    uint32_t rate = 0;
    std::optional<std::string> mapperName;
    std::string mapperFollows;
    std::map<int32_t, MMRESULT> capsResults;
    void* current = nullptr;     // most recently opened, still open
    void* lastClosed = nullptr;  // most recently closed
    std::vector<WAVEHDR*> lastReset;
  };
  struct Notice {
    NoticeTarget* target;
    uint32_t message;
    void* device;
    WAVEHDR* header;
    MMRESULT error;
  };

  bool autoOpenClose() const;
  std::string monitorOf(const std::string& captureName) const;  // lock held
  Side& side(Direction direction) { return direction == Direction::Capture ? capture_ : playback_; }
  const Side& side(Direction direction) const { return direction == Direction::Capture ? capture_ : playback_; }
  // Programmed result for a call, if any (consumes a failNext entry). Lock held.
  std::optional<MMRESULT> programmed(const std::string& name);
  MMRESULT record(CallRecord rec);                                       // lock held; returns rec.result
  Device* findOpen(const void* handle, Direction direction);             // lock held
  void post(const std::vector<Notice>& notices);                         // lock NOT held
  Notice completion(Device& device, void* handle, WAVEHDR* header);      // lock held
  std::vector<Notice> takeQueue(Side& d, Device& device, void* handle);  // lock held
  Device* deviceFor(CallRecord& rec, Direction direction);               // lock held
  MMRESULT stop(Direction direction, void* handle, Call call);
  bool deliverState(void* handle, uint32_t captureMessage, uint32_t playbackMessage);

  mutable std::mutex mutex_;
  Side capture_;
  Side playback_;
  std::map<std::string, std::vector<MMRESULT>> once_;
  std::map<std::string, MMRESULT> always_;
  std::map<std::string, std::string> monitors_;
  bool autoOpenClose_ = false;
  bool autoHandBack_ = false;
  std::vector<CallRecord> calls_;
  std::map<const void*, Device> devices_;  // every device ever opened, closed ones included
  uintptr_t nextHandle_ = 0;
};

}  // namespace wave
