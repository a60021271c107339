// The hand-driven back end of the tests: see scripted_backend.hpp for the rules it keeps.
#include "wave/scripted_backend.hpp"

#include <algorithm>
#include <cstring>

#include "wave/wave_checks.hpp"

namespace wave {

namespace {
// Fake handles: far from any real allocation, 16 apart, never reused within a process.
constexpr uintptr_t kFirstHandle = 0x7E5700000000ull;
}  // namespace

ScriptedBackend::ScriptedBackend() = default;
ScriptedBackend::~ScriptedBackend() = default;

void ScriptedBackend::setDevices(bool capture, std::vector<std::string> names) {
  std::lock_guard lock(mutex_);
  dir(capture).names = std::move(names);
}

void ScriptedBackend::setMapperName(bool capture, std::optional<std::string> name) {
  std::lock_guard lock(mutex_);
  dir(capture).mapperName = std::move(name);
}

void ScriptedBackend::setCapsResult(bool capture, int32_t id, MMRESULT code) {
  std::lock_guard lock(mutex_);
  if (code == MMSYSERR_NOERROR) {
    dir(capture).capsResults.erase(id);
  } else {
    dir(capture).capsResults[id] = code;
  }
}

void ScriptedBackend::failNext(const std::string& call, MMRESULT code) {
  std::lock_guard lock(mutex_);
  once_[call].push_back(code);
}

void ScriptedBackend::failAlways(const std::string& call, MMRESULT code) {
  std::lock_guard lock(mutex_);
  always_[call] = code;
}

void ScriptedBackend::clearResults() {
  std::lock_guard lock(mutex_);
  once_.clear();
  always_.clear();
}

void ScriptedBackend::setAutoOpenClose(bool on) {
  std::lock_guard lock(mutex_);
  autoOpenClose_ = on;
}

bool ScriptedBackend::autoOpenClose() const {
  std::lock_guard lock(mutex_);
  return autoOpenClose_;
}

void ScriptedBackend::setAutoHandBack(bool on) {
  std::lock_guard lock(mutex_);
  autoHandBack_ = on;
}

std::vector<ScriptedBackend::CallRecord> ScriptedBackend::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<ScriptedBackend::CallRecord> ScriptedBackend::callsNamed(const std::string& name) const {
  std::lock_guard lock(mutex_);
  std::vector<CallRecord> out;
  for (const auto& c : calls_) {
    if (c.name == name) out.push_back(c);
  }
  return out;
}

size_t ScriptedBackend::countCalls(const std::string& name) const {
  std::lock_guard lock(mutex_);
  return static_cast<size_t>(std::count_if(calls_.begin(), calls_.end(), [&](const CallRecord& c) { return c.name == name; }));
}

std::vector<std::string> ScriptedBackend::callNames() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& c : calls_) out.push_back(c.name);
  return out;
}

void ScriptedBackend::clearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

HWAVEIN ScriptedBackend::captureHandle() const {
  std::lock_guard lock(mutex_);
  return static_cast<HWAVEIN>(capture_.current);
}

HWAVEOUT ScriptedBackend::playbackHandle() const {
  std::lock_guard lock(mutex_);
  return static_cast<HWAVEOUT>(playback_.current);
}

bool ScriptedBackend::isOpen(const void* handle) const {
  std::lock_guard lock(mutex_);
  auto it = devices_.find(handle);
  return it != devices_.end() && it->second.open;
}

bool ScriptedBackend::isStarted(HWAVEIN handle) const {
  std::lock_guard lock(mutex_);
  auto it = devices_.find(handle);
  return it != devices_.end() && it->second.open && it->second.started;
}

size_t ScriptedBackend::openCount(bool capture) const {
  std::lock_guard lock(mutex_);
  return static_cast<size_t>(std::count_if(devices_.begin(), devices_.end(), [&](const auto& entry) {
    return entry.second.open && entry.second.capture == capture;
  }));
}

std::vector<WAVEHDR*> ScriptedBackend::queued(bool capture) const {
  std::lock_guard lock(mutex_);
  auto it = devices_.find(dir(capture).current);
  return it == devices_.end() ? std::vector<WAVEHDR*>{} : it->second.queue;
}

std::vector<WAVEHDR*> ScriptedBackend::lastReset(bool capture) const {
  std::lock_guard lock(mutex_);
  return dir(capture).lastReset;
}

// ---------------------------------------------------------------------------------------
// Notices

void ScriptedBackend::post(const std::vector<Notice>& notices) {
  for (const auto& n : notices) {
    if (n.target) n.target->postWaveNotice(n.message, n.device, n.header, n.error);
  }
}

ScriptedBackend::Notice ScriptedBackend::completion(Device& device, void* handle, WAVEHDR* header) {
  header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
  return Notice{device.target, device.capture ? MM_WIM_DATA : MM_WOM_DONE, handle, header, MMSYSERR_NOERROR};
}

bool ScriptedBackend::deliverOpen(bool capture) {
  void* handle;
  {
    std::lock_guard lock(mutex_);
    handle = dir(capture).current;
  }
  return handle != nullptr && deliverOpen(handle);
}

bool ScriptedBackend::deliverOpen(void* handle) {
  Notice n{};
  {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(handle);
    if (it == devices_.end()) return false;
    n = Notice{it->second.target, it->second.capture ? MM_WIM_OPEN : MM_WOM_OPEN, handle, nullptr, 0};
  }
  post({n});
  return true;
}

bool ScriptedBackend::deliverClose(bool capture) {
  void* handle;
  {
    std::lock_guard lock(mutex_);
    handle = dir(capture).lastClosed ? dir(capture).lastClosed : dir(capture).current;
  }
  return handle != nullptr && deliverClose(handle);
}

bool ScriptedBackend::deliverClose(void* handle) {
  Notice n{};
  {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(handle);
    if (it == devices_.end()) return false;
    n = Notice{it->second.target, it->second.capture ? MM_WIM_CLOSE : MM_WOM_CLOSE, handle, nullptr, 0};
  }
  post({n});
  return true;
}

WAVEHDR* ScriptedBackend::deliverData(const void* bytes, uint32_t count) {
  Notice n{};
  {
    std::lock_guard lock(mutex_);
    void* handle = capture_.current;
    auto it = devices_.find(handle);
    if (it == devices_.end() || it->second.queue.empty()) return nullptr;
    Device& device = it->second;
    WAVEHDR* header = device.queue.front();
    device.queue.erase(device.queue.begin());
    const uint32_t n_bytes = std::min(count, header->dwBufferLength);
    if (bytes != nullptr) std::memcpy(header->lpData, bytes, n_bytes);
    header->dwBytesRecorded = n_bytes;
    n = completion(device, handle, header);
  }
  post({n});
  return n.header;
}

WAVEHDR* ScriptedBackend::deliverData(uint32_t bytesRecorded) { return deliverData(static_cast<const void*>(nullptr), bytesRecorded); }

bool ScriptedBackend::deliverData(WAVEHDR* header, uint32_t bytesRecorded) {
  Notice n{};
  {
    std::lock_guard lock(mutex_);
    void* handle = capture_.current;
    auto it = devices_.find(handle);
    if (it == devices_.end() || header == nullptr) return false;
    Device& device = it->second;
    std::erase(device.queue, header);
    header->dwBytesRecorded = std::min(bytesRecorded, header->dwBufferLength);
    n = completion(device, handle, header);
  }
  post({n});
  return true;
}

WAVEHDR* ScriptedBackend::deliverDone() {
  WAVEHDR* head = nullptr;
  {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(playback_.current);
    if (it == devices_.end() || it->second.queue.empty()) return nullptr;
    head = it->second.queue.front();
  }
  return deliverDone(head) ? head : nullptr;
}

bool ScriptedBackend::deliverDone(WAVEHDR* header) {
  Notice n{};
  {
    std::lock_guard lock(mutex_);
    void* handle = playback_.current;
    auto it = devices_.find(handle);
    if (it == devices_.end() || header == nullptr) return false;
    std::erase(it->second.queue, header);
    n = completion(it->second, handle, header);
  }
  post({n});
  return true;
}

size_t ScriptedBackend::handBackAll(bool capture) {
  std::vector<Notice> notices;
  {
    std::lock_guard lock(mutex_);
    void* handle = dir(capture).current;
    auto it = devices_.find(handle);
    if (it == devices_.end()) return 0;
    for (WAVEHDR* header : it->second.queue) notices.push_back(completion(it->second, handle, header));
    it->second.queue.clear();
  }
  post(notices);
  return notices.size();
}

size_t ScriptedBackend::handBackLastReset(bool capture) {
  std::vector<Notice> notices;
  {
    std::lock_guard lock(mutex_);
    Direction& d = dir(capture);
    void* handle = d.current ? d.current : d.lastClosed;
    auto it = devices_.find(handle);
    if (it == devices_.end()) return 0;
    for (WAVEHDR* header : d.lastReset) notices.push_back(completion(it->second, handle, header));
    d.lastReset.clear();
  }
  post(notices);
  return notices.size();
}

bool ScriptedBackend::deliverFailed(bool capture, MMRESULT code) {
  Notice n{};
  {
    std::lock_guard lock(mutex_);
    void* handle = dir(capture).current;
    auto it = devices_.find(handle);
    if (it == devices_.end()) return false;
    n = Notice{it->second.target, capture ? MM_WIM_FAILED : MM_WOM_FAILED, handle, nullptr, code};
  }
  post({n});
  return true;
}

// ---------------------------------------------------------------------------------------
// The calls

std::optional<MMRESULT> ScriptedBackend::programmed(const std::string& name) {
  auto once = once_.find(name);
  if (once != once_.end() && !once->second.empty()) {
    MMRESULT code = once->second.front();
    once->second.erase(once->second.begin());
    return code;
  }
  auto always = always_.find(name);
  if (always != always_.end()) return always->second;
  return std::nullopt;
}

MMRESULT ScriptedBackend::record(CallRecord rec) {
  calls_.push_back(std::move(rec));
  return calls_.back().result;
}

ScriptedBackend::Device* ScriptedBackend::findOpen(const void* handle, bool capture) {
  auto it = devices_.find(handle);
  if (it == devices_.end() || !it->second.open || it->second.capture != capture) return nullptr;
  return &it->second;
}

uint32_t ScriptedBackend::numDevs(bool capture, const char* name) {
  std::lock_guard lock(mutex_);
  CallRecord rec{.name = name};
  record(rec);
  return static_cast<uint32_t>(dir(capture).names.size());
}

MMRESULT ScriptedBackend::devCaps(bool capture, int32_t id, std::string* out, const char* name) {
  std::lock_guard lock(mutex_);
  CallRecord rec{.name = name, .deviceId = id};
  const Direction& d = dir(capture);
  if (auto code = programmed(name)) {
    rec.result = *code;
  } else if (out == nullptr) {
    rec.result = MMSYSERR_INVALPARAM;
  } else if (auto failed = d.capsResults.find(id); failed != d.capsResults.end()) {
    rec.result = failed->second;
  } else if (id == WAVE_MAPPER) {
    if (d.mapperName) {
      *out = *d.mapperName;
    } else {
      rec.result = MMSYSERR_NODRIVER;
    }
  } else if (id < 0 || static_cast<size_t>(id) >= d.names.size()) {
    rec.result = MMSYSERR_BADDEVICEID;
  } else {
    *out = d.names[static_cast<size_t>(id)];
  }
  return record(rec);
}

MMRESULT ScriptedBackend::open(bool capture, void*& handle, bool hasOut, int32_t id, const WAVEFORMATEX* format,
                               NoticeTarget* target, uintptr_t instance, uint32_t flags, const char* name) {
  std::lock_guard lock(mutex_);
  CallRecord rec{.name = name, .deviceId = id, .flags = flags, .instance = instance, .target = target};
  if (format) {
    rec.hasFormat = true;
    rec.format = *format;
  }
  const size_t count = dir(capture).names.size();
  if (auto code = programmed(name)) {
    rec.result = *code;
  } else if (MMRESULT args = detail::checkOpenArgs(hasOut ? &handle : nullptr, target, flags);
             args != MMSYSERR_NOERROR) {
    rec.result = args;
  } else if (MMRESULT fmt = detail::checkFormat(format); fmt != MMSYSERR_NOERROR) {
    rec.result = fmt;
  } else if (id < WAVE_MAPPER || count == 0 || (id >= 0 && static_cast<size_t>(id) >= count)) {
    rec.result = MMSYSERR_BADDEVICEID;
  }
  if (rec.result == MMSYSERR_NOERROR) {
    void* h = reinterpret_cast<void*>(kFirstHandle + 16 * nextHandle_++);
    devices_[h] = Device{.capture = capture,
                         .target = target,
                         .frameBytes = format ? static_cast<uint32_t>(format->nChannels) * format->wBitsPerSample / 8u : 2u,
                         .queue = {}};
    dir(capture).current = h;
    handle = h;
    rec.handle = h;
  } else {
    handle = nullptr;
  }
  return record(rec);
}

MMRESULT ScriptedBackend::prepare(bool capture, void* handle, WAVEHDR* header, uint32_t size, const char* name) {
  std::lock_guard lock(mutex_);
  CallRecord rec{.name = name, .handle = handle, .header = header, .size = size};
  if (header) {
    rec.bufferLength = header->dwBufferLength;
    rec.data = header->lpData;
  }
  Device* device = findOpen(handle, capture);
  if (auto code = programmed(name)) {
    rec.result = *code;
  } else if (device == nullptr) {
    rec.result = MMSYSERR_INVALHANDLE;
  } else if (MMRESULT bad = detail::checkHeader(header, size, device->frameBytes); bad != MMSYSERR_NOERROR) {
    rec.result = bad;
  } else {
    header->dwFlags |= WHDR_PREPARED;
  }
  return record(rec);
}

MMRESULT ScriptedBackend::enqueue(bool capture, void* handle, WAVEHDR* header, uint32_t size, const char* name) {
  std::lock_guard lock(mutex_);
  CallRecord rec{.name = name, .handle = handle, .header = header, .size = size};
  if (header) {
    rec.bufferLength = header->dwBufferLength;
    rec.data = header->lpData;
  }
  Device* device = findOpen(handle, capture);
  if (auto code = programmed(name)) {
    rec.result = *code;
  } else if (device == nullptr) {
    rec.result = MMSYSERR_INVALHANDLE;
  } else if (MMRESULT bad = detail::checkHeader(header, size, device->frameBytes); bad != MMSYSERR_NOERROR) {
    rec.result = bad;
  } else if ((header->dwFlags & WHDR_PREPARED) == 0) {
    rec.result = WAVERR_UNPREPARED;
  } else if (std::find(device->queue.begin(), device->queue.end(), header) != device->queue.end()) {
    rec.result = WAVERR_STILLPLAYING;  // already queued: queueing it twice would hand it back twice
  } else {
    header->dwFlags = (header->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
    if (capture) header->dwBytesRecorded = 0;
    device->queue.push_back(header);
  }
  return record(rec);
}

MMRESULT ScriptedBackend::reset(bool capture, void* handle, const char* name) {
  std::vector<Notice> notices;
  MMRESULT result;
  {
    std::lock_guard lock(mutex_);
    CallRecord rec{.name = name, .handle = handle};
    Device* device = findOpen(handle, capture);
    if (auto code = programmed(name)) {
      rec.result = *code;
    } else if (device == nullptr) {
      rec.result = MMSYSERR_INVALHANDLE;
    } else {
      device->started = false;
      dir(capture).lastReset = device->queue;
      if (autoHandBack_) {
        for (WAVEHDR* header : device->queue) notices.push_back(completion(*device, handle, header));
        dir(capture).lastReset.clear();
      }
      device->queue.clear();
    }
    result = record(rec);
  }
  post(notices);
  return result;
}

MMRESULT ScriptedBackend::close(bool capture, void* handle, const char* name) {
  std::vector<Notice> notices;
  MMRESULT result;
  {
    std::lock_guard lock(mutex_);
    CallRecord rec{.name = name, .handle = handle};
    Device* device = findOpen(handle, capture);
    if (auto code = programmed(name)) {
      rec.result = *code;
    } else if (device == nullptr) {
      rec.result = MMSYSERR_INVALHANDLE;
    } else {
      Direction& d = dir(capture);
      if (!device->queue.empty()) {
        d.lastReset = device->queue;
        if (autoHandBack_) {
          for (WAVEHDR* header : device->queue) notices.push_back(completion(*device, handle, header));
          d.lastReset.clear();
        }
        device->queue.clear();
      }
      device->open = false;
      device->started = false;
      d.lastClosed = handle;
      if (d.current == handle) d.current = nullptr;
      if (autoOpenClose_) {
        notices.push_back(Notice{device->target, capture ? MM_WIM_CLOSE : MM_WOM_CLOSE, handle, nullptr, 0});
      }
    }
    result = record(rec);
  }
  post(notices);
  return result;
}

uint32_t ScriptedBackend::waveInGetNumDevs() { return numDevs(true, "waveInGetNumDevs"); }
MMRESULT ScriptedBackend::waveInGetDevCaps(int32_t id, WAVEINCAPS* caps) {
  return devCaps(true, id, caps ? &caps->szPname : nullptr, "waveInGetDevCaps");
}
MMRESULT ScriptedBackend::waveInOpen(HWAVEIN* handle, int32_t id, const WAVEFORMATEX* format, NoticeTarget* target,
                                     uintptr_t instance, uint32_t flags) {
  void* h = nullptr;
  MMRESULT result = open(true, h, handle != nullptr, id, format, target, instance, flags, "waveInOpen");
  if (handle) *handle = static_cast<HWAVEIN>(h);
  // The open notice goes out only once the caller can see the handle.
  if (result == MMSYSERR_NOERROR && autoOpenClose()) deliverOpen(h);
  return result;
}
MMRESULT ScriptedBackend::waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size) {
  return prepare(true, handle, header, size, "waveInPrepareHeader");
}
MMRESULT ScriptedBackend::waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, uint32_t size) {
  return enqueue(true, handle, header, size, "waveInAddBuffer");
}
MMRESULT ScriptedBackend::waveInStart(HWAVEIN handle) {
  std::lock_guard lock(mutex_);
  CallRecord rec{.name = "waveInStart", .handle = handle};
  Device* device = findOpen(handle, true);
  if (auto code = programmed(rec.name)) {
    rec.result = *code;
  } else if (device == nullptr) {
    rec.result = MMSYSERR_INVALHANDLE;
  } else {
    device->started = true;
  }
  return record(rec);
}
MMRESULT ScriptedBackend::waveInReset(HWAVEIN handle) { return reset(true, handle, "waveInReset"); }
MMRESULT ScriptedBackend::waveInClose(HWAVEIN handle) { return close(true, handle, "waveInClose"); }

uint32_t ScriptedBackend::waveOutGetNumDevs() { return numDevs(false, "waveOutGetNumDevs"); }
MMRESULT ScriptedBackend::waveOutGetDevCaps(int32_t id, WAVEOUTCAPS* caps) {
  return devCaps(false, id, caps ? &caps->szPname : nullptr, "waveOutGetDevCaps");
}
MMRESULT ScriptedBackend::waveOutOpen(HWAVEOUT* handle, int32_t id, const WAVEFORMATEX* format, NoticeTarget* target,
                                      uintptr_t instance, uint32_t flags) {
  void* h = nullptr;
  MMRESULT result = open(false, h, handle != nullptr, id, format, target, instance, flags, "waveOutOpen");
  if (handle) *handle = static_cast<HWAVEOUT>(h);
  // The open notice goes out only once the caller can see the handle.
  if (result == MMSYSERR_NOERROR && autoOpenClose()) deliverOpen(h);
  return result;
}
MMRESULT ScriptedBackend::waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  return prepare(false, handle, header, size, "waveOutPrepareHeader");
}
MMRESULT ScriptedBackend::waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  return enqueue(false, handle, header, size, "waveOutWrite");
}
MMRESULT ScriptedBackend::waveOutReset(HWAVEOUT handle) { return reset(false, handle, "waveOutReset"); }
MMRESULT ScriptedBackend::waveOutClose(HWAVEOUT handle) { return close(false, handle, "waveOutClose"); }

}  // namespace wave
