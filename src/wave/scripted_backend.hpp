#pragma once
// A back end that tests drive by hand: programmable devices and results, a log of every
// call, and notices delivered only when the test says so.
//
// Typical use:
//   wave::ScriptedBackend audio;
//   audio.setDevices(true, {"Line In", "Mic"});       // capture ids 0 and 1
//   audio.setMapperName(true, "Default In");          // name of id -1 (nullopt: query fails)
//   wave::setBackend(&audio);                         // ... and setBackend(nullptr) after
//   window.click();                                   // calls waveInOpen etc.
//   audio.deliverOpen(true);                          // posts MM_WIM_OPEN now
//   audio.deliverData(bytes, 65536);                  // fills the head capture buffer, posts MM_WIM_DATA
//
// Rules the back end keeps (the same as the sound server's back end):
// - Open checks, in this order: a programmed result for the call; flags must include
//   CALLBACK_WINDOW (MMSYSERR_INVALFLAG), handle out-parameter and target non-null
//   (MMSYSERR_INVALPARAM); the format is 16-bit PCM, 1 or 2 channels, 1..384000 Hz
//   (WAVERR_BADFORMAT); the id is -1 or below the device count, and -1 needs at least one
//   device (MMSYSERR_BADDEVICEID). On failure *handle is set to null.
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
    std::string name;              // "waveInOpen", "waveOutWrite", ... (the function's name)
    int32_t deviceId = 0;          // GetDevCaps and Open
    uint32_t flags = 0;            // Open
    uintptr_t instance = 0;        // Open
    NoticeTarget* target = nullptr;  // Open
    void* handle = nullptr;        // handle passed in; for Open the handle given out (null on failure)
    WAVEHDR* header = nullptr;     // header calls
    uint32_t bufferLength = 0;     // header->dwBufferLength at the time of the call
    char* data = nullptr;          // header->lpData at the time of the call
    uint32_t size = 0;             // header size argument
    bool hasFormat = false;        // Open with a non-null format
    WAVEFORMATEX format{};         // copy of *format
    MMRESULT result = MMSYSERR_NOERROR;  // what the call returned
  };

  ScriptedBackend();
  ~ScriptedBackend() override;

  // --- devices ------------------------------------------------------------------------
  // Device names of one direction (capture = true); the count is names.size().
  void setDevices(bool capture, std::vector<std::string> names);
  // Name of the mapper (id -1); nullopt makes its caps query fail. Default: nullopt.
  void setMapperName(bool capture, std::optional<std::string> name);
  // The caps query of this id (may be -1) returns `code` (non-zero) until cleared with 0.
  void setCapsResult(bool capture, int32_t id, MMRESULT code);

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
  size_t openCount(bool capture) const;
  // Queued headers of the current device of a direction, head first.
  std::vector<WAVEHDR*> queued(bool capture) const;
  // Headers that the last Reset (or Close) of a direction took off the queue, in queue
  // order, and not yet handed back; handBackLastReset posts them.
  std::vector<WAVEHDR*> lastReset(bool capture) const;

  // --- notices ---------------------------------------------------------------------------------
  // These act on the current device of a direction (most recently opened, still open);
  // the ones with a handle argument act on that device, open or closed. Each returns
  // false (and posts nothing) when there is no such device or header.
  bool deliverOpen(bool capture);
  bool deliverOpen(void* handle);
  // Posts the close notice for the most recently closed (or current) device of a direction.
  bool deliverClose(bool capture);
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
  size_t handBackAll(bool capture);
  // Posts the buffers taken off by the last Reset/Close of a direction. Returns how many.
  size_t handBackLastReset(bool capture);
  // Posts MM_WIM_FAILED / MM_WOM_FAILED with `code` for the current device.
  bool deliverFailed(bool capture, MMRESULT code);

  // --- Backend ------------------------------------------------------------------------------
  uint32_t waveInGetNumDevs() override;
  MMRESULT waveInGetDevCaps(int32_t id, WAVEINCAPS* caps) override;
  MMRESULT waveInOpen(HWAVEIN* handle, int32_t id, const WAVEFORMATEX* format, NoticeTarget* target,
                      uintptr_t instance, uint32_t flags) override;
  MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size) override;
  MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, uint32_t size) override;
  MMRESULT waveInStart(HWAVEIN handle) override;
  MMRESULT waveInReset(HWAVEIN handle) override;
  MMRESULT waveInClose(HWAVEIN handle) override;

  uint32_t waveOutGetNumDevs() override;
  MMRESULT waveOutGetDevCaps(int32_t id, WAVEOUTCAPS* caps) override;
  MMRESULT waveOutOpen(HWAVEOUT* handle, int32_t id, const WAVEFORMATEX* format, NoticeTarget* target,
                       uintptr_t instance, uint32_t flags) override;
  MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) override;
  MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t size) override;
  MMRESULT waveOutReset(HWAVEOUT handle) override;
  MMRESULT waveOutClose(HWAVEOUT handle) override;

 private:
  struct Device {
    bool capture = true;
    bool open = true;
    bool started = false;
    NoticeTarget* target = nullptr;
    uint32_t frameBytes = 2;  // bytes per frame of the opened format
    std::vector<WAVEHDR*> queue;
  };
  struct Direction {
    std::vector<std::string> names;
    std::optional<std::string> mapperName;
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
  Direction& dir(bool capture) { return capture ? capture_ : playback_; }
  const Direction& dir(bool capture) const { return capture ? capture_ : playback_; }
  // Programmed result for a call, if any (consumes a failNext entry). Lock held.
  std::optional<MMRESULT> programmed(const std::string& name);
  MMRESULT record(CallRecord rec);  // lock held; returns rec.result
  Device* findOpen(const void* handle, bool capture);  // lock held
  void post(const std::vector<Notice>& notices);       // lock NOT held
  Notice completion(Device& device, void* handle, WAVEHDR* header);  // lock held

  uint32_t numDevs(bool capture, const char* name);
  MMRESULT devCaps(bool capture, int32_t id, std::string* out, const char* name);
  MMRESULT open(bool capture, void*& handle, bool hasOut, int32_t id, const WAVEFORMATEX* format, NoticeTarget* target,
                uintptr_t instance, uint32_t flags, const char* name);
  MMRESULT prepare(bool capture, void* handle, WAVEHDR* header, uint32_t size, const char* name);
  MMRESULT enqueue(bool capture, void* handle, WAVEHDR* header, uint32_t size, const char* name);
  MMRESULT reset(bool capture, void* handle, const char* name);
  MMRESULT close(bool capture, void* handle, const char* name);

  mutable std::mutex mutex_;
  Direction capture_;
  Direction playback_;
  std::map<std::string, std::vector<MMRESULT>> once_;
  std::map<std::string, MMRESULT> always_;
  bool autoOpenClose_ = false;
  bool autoHandBack_ = false;
  std::vector<CallRecord> calls_;
  std::map<const void*, Device> devices_;  // every device ever opened, closed ones included
  uintptr_t nextHandle_ = 0;
};

}  // namespace wave
