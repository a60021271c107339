#pragma once
// The run without a window: opens both devices, converts until asked to stop, and opens
// them again on its own when a device or the sound server goes away and comes back.
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "headless/block_path.hpp"
#include "headless/headless_options.hpp"
#include "live/live_engine.hpp"
#include "wave/wave.hpp"

namespace headless {

// Besides its server name and description, Tovrel's own I/Q device answers to this short
// name and to the window's entry text for it.
constexpr const char* kOwnDeviceShortName = "tovrel";
bool NamesOwnDevice(const std::string& name);

// The device id a wish names in the server's current list, and the name to show for it;
// nullopt when the named device is not listed (or no server answers).
struct FoundDevice {
  int32_t id = -1;
  std::string shown;
};
std::optional<FoundDevice> FindDevice(wave::Direction direction, const DeviceWish& wish);

// Prints the server's capture and playback devices (server name, then description) to
// stdout; false, printing nothing, when no server answers.
bool ListDevices();

class Service final : public wave::NoticeTarget {
 public:
  Service(const RunConfig& config, bool verbose);
  ~Service() override;
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Runs until SIGTERM or SIGINT arrives on `signalFd` (a signalfd for SIGTERM, SIGINT and
  // SIGHUP); returns the exit status.
  int run(int signalFd);

  // Device workers and the engine: queued for the service's thread.
  void postWaveNotice(uint32_t message, void* device, wave::WAVEHDR* header, wave::MMRESULT error) override;

 private:
  struct Notice {
    uint32_t message;
    void* device;
    wave::WAVEHDR* header;
    wave::MMRESULT error;
  };

  bool open(std::string* failure);
  std::string chooseUnstoredDevices(int32_t outputId, int32_t* inputId);
  void close();
  void handleNotices();
  void deviceFailed(const std::string& what);
  void reportStart();
  void reportCounters();
  std::string latencyText() const;

  RunConfig config_;
  bool verbose_;
  std::unique_ptr<live::LiveEngine> engine_;
  std::unique_ptr<BlockPath> block_;
  wave::WAVEFORMATEX captureFormat_{};
  wave::WAVEFORMATEX playbackFormat_{};
  wave::HWAVEIN capture_ = nullptr;
  wave::HWAVEOUT playback_ = nullptr;
  std::string inputShown_;
  std::string outputShown_;
  std::string choiceNote_;  // why the devices are the ones taken, when nobody chose them

  int eventFd_ = -1;
  std::mutex noticesMutex_;
  std::deque<Notice> notices_;

  bool running_ = false;
  bool started_ = false;       // the start line was printed
  bool failureShown_ = false;  // one line per outage
  int failedAttempts_ = 0;
  uint64_t reopens_ = 0;
  std::chrono::steady_clock::time_point downSince_{};
  std::chrono::steady_clock::time_point nextAttempt_{};
  std::chrono::steady_clock::time_point nextReport_{};
};

}  // namespace headless
