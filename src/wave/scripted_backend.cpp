// The hand-driven back end of the tests: see scripted_backend.hpp for the rules it keeps.
#include "wave/scripted_backend.hpp"

#include <algorithm>
#include <cstring>

#include "wave/wave_checks.hpp"

namespace wave {

namespace {
// Fake handles: far from any real allocation, 16 apart, never reused within a process.
constexpr uintptr_t kFirstHandle = 0x7E5700000000ull;

uint32_t closeMessage(Direction direction) { return direction == Direction::Capture ? MM_WIM_CLOSE : MM_WOM_CLOSE; }

ScriptedBackend::CallRecord headerCall(const char* name, void* handle, WAVEHDR* header, uint32_t size) {
  ScriptedBackend::CallRecord rec{.name = name, .handle = handle, .header = header, .size = size};
  if (header) {
    rec.bufferLength = header->dwBufferLength;
    rec.data = header->lpData;
  }
  return rec;
}

}  // namespace

// Capture's name, then playback's.
const char* ScriptedBackend::classicName(Direction direction, Call call) {
  static constexpr const char* kNames[][2] = {
      {"waveInGetNumDevs", "waveOutGetNumDevs"},
      {"waveInGetDevCaps", "waveOutGetDevCaps"},
      {"waveInOpen", "waveOutOpen"},
      {"waveInPrepareHeader", "waveOutPrepareHeader"},
      {"waveInAddBuffer", "waveOutWrite"},
      {"waveInStart", nullptr},
      {"waveInReset", "waveOutReset"},
      {"waveInClose", "waveOutClose"},
  };
  return kNames[static_cast<int>(call)][direction == Direction::Capture ? 0 : 1];
}

ScriptedBackend::ScriptedBackend() = default;
ScriptedBackend::~ScriptedBackend() = default;

void ScriptedBackend::setDevices(Direction direction, std::vector<std::string> names) {
  std::lock_guard lock(mutex_);
  side(direction).names = std::move(names);
}

void ScriptedBackend::setDeviceRate(Direction direction, uint32_t rate) {
  std::lock_guard lock(mutex_);
  side(direction).rate = rate;
}

void ScriptedBackend::setMonitors(std::map<std::string, std::string> monitors) {
  std::lock_guard lock(mutex_);
  monitors_ = std::move(monitors);
}

void ScriptedBackend::setMapperFollows(Direction direction, std::string name) {
  std::lock_guard lock(mutex_);
  side(direction).mapperFollows = std::move(name);
}

std::string ScriptedBackend::monitorOf(const std::string& captureName) const {
  const auto it = monitors_.find(captureName);
  return it == monitors_.end() ? std::string() : it->second;
}

void ScriptedBackend::setMapperName(Direction direction, std::optional<std::string> name) {
  std::lock_guard lock(mutex_);
  side(direction).mapperName = std::move(name);
}

void ScriptedBackend::setCapsResult(Direction direction, int32_t id, MMRESULT code) {
  std::lock_guard lock(mutex_);
  if (code == MMSYSERR_NOERROR) {
    side(direction).capsResults.erase(id);
  } else {
    side(direction).capsResults[id] = code;
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
  return static_cast<size_t>(
      std::count_if(calls_.begin(), calls_.end(), [&](const CallRecord& c) { return c.name == name; }));
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

size_t ScriptedBackend::openCount(Direction direction) const {
  std::lock_guard lock(mutex_);
  return static_cast<size_t>(std::count_if(devices_.begin(), devices_.end(), [&](const auto& entry) {
    return entry.second.open && entry.second.direction == direction;
  }));
}

std::vector<WAVEHDR*> ScriptedBackend::queued(Direction direction) const {
  std::lock_guard lock(mutex_);
  auto it = devices_.find(side(direction).current);
  return it == devices_.end() ? std::vector<WAVEHDR*>{} : it->second.queue;
}

std::vector<WAVEHDR*> ScriptedBackend::lastReset(Direction direction) const {
  std::lock_guard lock(mutex_);
  return side(direction).lastReset;
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
  return Notice{device.target, device.direction == Direction::Capture ? MM_WIM_DATA : MM_WOM_DONE, handle, header,
                MMSYSERR_NOERROR};
}

bool ScriptedBackend::deliverOpen(Direction direction) {
  void* handle;
  {
    std::lock_guard lock(mutex_);
    handle = side(direction).current;
  }
  return handle != nullptr && deliverOpen(handle);
}

bool ScriptedBackend::deliverOpen(void* handle) { return deliverState(handle, MM_WIM_OPEN, MM_WOM_OPEN); }

// The open or close notice of a device, open or closed.
bool ScriptedBackend::deliverState(void* handle, uint32_t captureMessage, uint32_t playbackMessage) {
  Notice n{};
  {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(handle);
    if (it == devices_.end()) return false;
    const bool capture = it->second.direction == Direction::Capture;
    n = Notice{it->second.target, capture ? captureMessage : playbackMessage, handle, nullptr, 0};
  }
  post({n});
  return true;
}

bool ScriptedBackend::deliverClose(Direction direction) {
  void* handle;
  {
    std::lock_guard lock(mutex_);
    handle = side(direction).lastClosed ? side(direction).lastClosed : side(direction).current;
  }
  return handle != nullptr && deliverClose(handle);
}

bool ScriptedBackend::deliverClose(void* handle) { return deliverState(handle, MM_WIM_CLOSE, MM_WOM_CLOSE); }

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

WAVEHDR* ScriptedBackend::deliverData(uint32_t bytesRecorded) {
  return deliverData(static_cast<const void*>(nullptr), bytesRecorded);
}

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

size_t ScriptedBackend::handBackAll(Direction direction) {
  std::vector<Notice> notices;
  {
    std::lock_guard lock(mutex_);
    void* handle = side(direction).current;
    auto it = devices_.find(handle);
    if (it == devices_.end()) return 0;
    for (WAVEHDR* header : it->second.queue) notices.push_back(completion(it->second, handle, header));
    it->second.queue.clear();
  }
  post(notices);
  return notices.size();
}

size_t ScriptedBackend::handBackLastReset(Direction direction) {
  std::vector<Notice> notices;
  {
    std::lock_guard lock(mutex_);
    Side& d = side(direction);
    void* handle = d.current ? d.current : d.lastClosed;
    auto it = devices_.find(handle);
    if (it == devices_.end()) return 0;
    for (WAVEHDR* header : d.lastReset) notices.push_back(completion(it->second, handle, header));
    d.lastReset.clear();
  }
  post(notices);
  return notices.size();
}

bool ScriptedBackend::deliverFailed(Direction direction, MMRESULT code) {
  Notice n{};
  {
    std::lock_guard lock(mutex_);
    void* handle = side(direction).current;
    auto it = devices_.find(handle);
    if (it == devices_.end()) return false;
    n = Notice{it->second.target, direction == Direction::Capture ? MM_WIM_FAILED : MM_WOM_FAILED, handle, nullptr,
               code};
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

ScriptedBackend::Device* ScriptedBackend::findOpen(const void* handle, Direction direction) {
  auto it = devices_.find(handle);
  if (it == devices_.end() || !it->second.open || it->second.direction != direction) return nullptr;
  return &it->second;
}

uint32_t ScriptedBackend::getNumDevs(Direction direction) {
  std::lock_guard lock(mutex_);
  record(CallRecord{.name = classicName(direction, Call::GetNumDevs)});
  Side& d = side(direction);
  d.listed = d.names;
  return static_cast<uint32_t>(d.names.size());
}

MMRESULT ScriptedBackend::getDevCaps(Direction direction, int32_t id, WAVECAPS* caps) {
  std::lock_guard lock(mutex_);
  const char* name = classicName(direction, Call::GetDevCaps);
  CallRecord rec{.name = name, .deviceId = id};
  const Side& d = side(direction);
  if (auto code = programmed(name)) {
    rec.result = *code;
  } else if (caps == nullptr) {
    rec.result = MMSYSERR_INVALPARAM;
  } else if (auto failed = d.capsResults.find(id); failed != d.capsResults.end()) {
    rec.result = failed->second;
  } else if (id == WAVE_MAPPER) {
    if (d.mapperName) {
      *caps = WAVECAPS{};
      caps->szPname = *d.mapperName;
      caps->follows = d.mapperFollows;
      caps->monitorOf = monitorOf(d.mapperFollows);
    } else {
      rec.result = MMSYSERR_NODRIVER;
    }
  } else if (const auto& ids = d.listed ? *d.listed : d.names; id < 0 || static_cast<size_t>(id) >= ids.size()) {
    rec.result = MMSYSERR_BADDEVICEID;
  } else {
    *caps = WAVECAPS{};
    caps->szPname = caps->serverName = ids[static_cast<size_t>(id)];
    caps->monitorOf = direction == Direction::Capture ? monitorOf(caps->serverName) : std::string();
  }
  return record(rec);
}

MMRESULT ScriptedBackend::open(Direction direction, void** handle, int32_t id, const WAVEFORMATEX* format,
                               NoticeTarget* target, uintptr_t instance, uint32_t flags) {
  std::lock_guard lock(mutex_);
  const char* name = classicName(direction, Call::Open);
  CallRecord rec{.name = name, .deviceId = id, .flags = flags, .instance = instance, .target = target};
  if (format) {
    rec.hasFormat = true;
    rec.format = *format;
  }
  const Side& d = side(direction);
  const auto& ids = d.listed ? *d.listed : d.names;
  if (id >= 0 && static_cast<size_t>(id) < ids.size()) rec.deviceName = ids[static_cast<size_t>(id)];
  const bool gone = id >= 0 && std::find(d.names.begin(), d.names.end(), rec.deviceName) == d.names.end();
  if (auto code = programmed(name)) {
    rec.result = *code;
  } else if (MMRESULT args = detail::checkOpenArgs(handle, target, flags); args != MMSYSERR_NOERROR) {
    rec.result = args;
  } else if (MMRESULT fmt = detail::checkFormat(format); fmt != MMSYSERR_NOERROR) {
    rec.result = fmt;
  } else if (id < WAVE_MAPPER || d.names.empty() || gone) {
    rec.result = MMSYSERR_BADDEVICEID;
  }
  void* opened = nullptr;
  if (rec.result == MMSYSERR_NOERROR) {
    opened = reinterpret_cast<void*>(kFirstHandle + 16 * nextHandle_++);
    devices_[opened] = Device{.direction = direction,
                              .target = target,
                              .frameBytes = static_cast<uint32_t>(format->nChannels) * format->wBitsPerSample / 8u,
                              .queue = {}};
    side(direction).current = opened;
    rec.handle = opened;
  }
  if (handle) *handle = opened;
  return record(rec);
}

void ScriptedBackend::announceOpen(void* handle) {
  if (autoOpenClose()) deliverOpen(handle);
}

// Lock held. What every call on a device checks first: a programmed result, then the
// handle. Returns the device when the call goes on; otherwise rec.result says why not.
ScriptedBackend::Device* ScriptedBackend::deviceFor(CallRecord& rec, Direction direction) {
  if (auto code = programmed(rec.name)) {
    rec.result = *code;
    return nullptr;
  }
  Device* device = findOpen(rec.handle, direction);
  if (device == nullptr) rec.result = MMSYSERR_INVALHANDLE;
  return device;
}

MMRESULT ScriptedBackend::prepareHeader(Direction direction, void* handle, WAVEHDR* header, uint32_t size) {
  std::lock_guard lock(mutex_);
  CallRecord rec = headerCall(classicName(direction, Call::PrepareHeader), handle, header, size);
  if (Device* device = deviceFor(rec, direction)) {
    rec.result = detail::checkHeader(header, size, device->frameBytes);
    if (rec.result == MMSYSERR_NOERROR) header->dwFlags |= WHDR_PREPARED;
  }
  return record(rec);
}

MMRESULT ScriptedBackend::queueBuffer(Direction direction, void* handle, WAVEHDR* header, uint32_t size) {
  std::lock_guard lock(mutex_);
  CallRecord rec = headerCall(classicName(direction, Call::QueueBuffer), handle, header, size);
  Device* device = deviceFor(rec, direction);
  if (device == nullptr) {
  } else if (MMRESULT bad = detail::checkHeader(header, size, device->frameBytes); bad != MMSYSERR_NOERROR) {
    rec.result = bad;
  } else if ((header->dwFlags & WHDR_PREPARED) == 0) {
    rec.result = WAVERR_UNPREPARED;
  } else if (std::find(device->queue.begin(), device->queue.end(), header) != device->queue.end()) {
    rec.result = WAVERR_STILLPLAYING;  // already queued: queueing it twice would hand it back twice
  } else {
    header->dwFlags = (header->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
    if (direction == Direction::Capture) header->dwBytesRecorded = 0;
    device->queue.push_back(header);
  }
  return record(rec);
}

MMRESULT ScriptedBackend::start(void* handle) {
  std::lock_guard lock(mutex_);
  CallRecord rec{.name = classicName(Direction::Capture, Call::Start), .handle = handle};
  if (Device* device = deviceFor(rec, Direction::Capture)) device->started = true;
  return record(rec);
}

// Lock held: takes the device's queue off; with auto hand-back the notices to post.
std::vector<ScriptedBackend::Notice> ScriptedBackend::takeQueue(Side& d, Device& device, void* handle) {
  std::vector<Notice> notices;
  d.lastReset = device.queue;
  if (autoHandBack_) {
    for (WAVEHDR* header : device.queue) notices.push_back(completion(device, handle, header));
    d.lastReset.clear();
  }
  device.queue.clear();
  return notices;
}

MMRESULT ScriptedBackend::reset(Direction direction, void* handle) { return stop(direction, handle, Call::Reset); }
MMRESULT ScriptedBackend::close(Direction direction, void* handle) { return stop(direction, handle, Call::Close); }

// Reset and Close: the queue comes off (Close only when it holds buffers); Close also
// forgets the handle.
MMRESULT ScriptedBackend::stop(Direction direction, void* handle, Call call) {
  std::vector<Notice> notices;
  MMRESULT result;
  {
    std::lock_guard lock(mutex_);
    CallRecord rec{.name = classicName(direction, call), .handle = handle};
    if (Device* device = deviceFor(rec, direction)) {
      Side& d = side(direction);
      device->started = false;
      if (call == Call::Reset || !device->queue.empty()) notices = takeQueue(d, *device, handle);
      if (call == Call::Close) {
        device->open = false;
        d.lastClosed = handle;
        if (d.current == handle) d.current = nullptr;
        if (autoOpenClose_) notices.push_back(Notice{device->target, closeMessage(direction), handle, nullptr, 0});
      }
    }
    result = record(rec);
  }
  post(notices);
  return result;
}

uint32_t ScriptedBackend::deviceRate(Direction direction, void* handle) {
  std::lock_guard lock(mutex_);
  return findOpen(handle, direction) ? side(direction).rate : 0;
}

}  // namespace wave
