// tovrel-convert end to end: WAV files made here with libsndfile, the built tool run as
// a child process, its output compared with the converter applied block by block.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/converter.hpp"
#include "dsp/fft.hpp"
#include "dsp/stream_config.hpp"
#include "dsp/stream_converter.hpp"
#include "emulator.hpp"
#include "wav_limits.hpp"

namespace {

namespace fs = std::filesystem;
using dsp::Sample;

class FftEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { dsp::InitFFT(); }
  void TearDown() override { dsp::DoneFFT(); }
};
[[maybe_unused]] const auto* const kFftEnvironment = ::testing::AddGlobalTestEnvironment(new FftEnvironment);

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct WavData {
  SF_INFO info{};
  std::vector<Sample> samples;
};

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

class ConvertTool : public ::testing::Test {
 protected:
  void SetUp() override {
    // The tool is built beside the test binaries when the environment does not name the folder.
    const char* binaryDir = std::getenv("TOVREL_BINARY_DIR");
    tool_ = (binaryDir ? fs::path(binaryDir) : fs::read_symlink("/proc/self/exe").parent_path()) / "tovrel-convert";
    ASSERT_TRUE(fs::exists(tool_)) << tool_;
    const char* tmp = std::getenv("TOVREL_TEST_TMP");
    fs::path base = tmp ? fs::path(tmp) : fs::temp_directory_path();
    fs::create_directories(base);
    std::string pattern = (base / "convert-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    work_ = dir_ / "work";
    fs::create_directories(work_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Runs the tool with its output streams captured; fileLimit > 0 caps the size of any
  // file it writes (the tool itself must turn the limit into a failed write); piped bytes
  // come through a pipe as its standard input.
  RunResult run(const std::vector<std::string>& args, rlim_t fileLimit = 0,
                const std::optional<std::string>& piped = {}) {
    const fs::path outPath = dir_ / "stdout.txt", errPath = dir_ / "stderr.txt";
    int pipeEnds[2] = {-1, -1};
    pid_t writer = -1;
    if (piped) {
      EXPECT_EQ(pipe(pipeEnds), 0);
      writer = fork();
      if (writer == 0) {
        close(pipeEnds[0]);
        for (size_t done = 0; done < piped->size();) {
          const ssize_t n = write(pipeEnds[1], piped->data() + done, piped->size() - done);
          if (n <= 0) _exit(1);
          done += size_t(n);
        }
        _exit(0);
      }
    }
    const pid_t pid = fork();
    if (pid == 0) {
      FILE* o = std::freopen(outPath.c_str(), "w", stdout);
      FILE* e = std::freopen(errPath.c_str(), "w", stderr);
      if (!o || !e) _exit(120);
      if (piped) {
        dup2(pipeEnds[0], STDIN_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
      }
      if (fileLimit > 0) {
        std::signal(SIGXFSZ, SIG_DFL);
        const rlimit limit{fileLimit, fileLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
      }
      execTool(args);
    }
    if (piped) {
      close(pipeEnds[0]);
      close(pipeEnds[1]);
    }
    RunResult result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (writer > 0) waitpid(writer, nullptr, 0);
    result.out = slurp(outPath);
    result.err = slurp(errPath);
    return result;
  }

  // Runs the tool with stderr on a terminal and returns what the terminal showed. With
  // whileHeld, the terminal's output is held (XOFF) so that the tool stops at its first
  // progress line, mid-run with its output open; whileHeld runs then, and output is released.
  RunResult runOnTerminal(const std::vector<std::string>& args, const std::function<void(pid_t)>& whileHeld = {}) {
    RunResult result;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return result;
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    EXPECT_GE(slave, 0);
    const char stop = 0x13, start = 0x11;
    if (whileHeld) {
      EXPECT_EQ(write(master, &stop, 1), 1);
      EXPECT_TRUE(waitUntilHeld(master));
    }
    const pid_t pid = fork();
    if (pid == 0) {
      if (dup2(slave, STDERR_FILENO) < 0) _exit(120);
      close(master);
      close(slave);
      execTool(args);
    }
    close(slave);
    if (whileHeld && pid > 0) {
      EXPECT_TRUE(waitUntilWritingToStderr(pid));
      whileHeld(pid);
      EXPECT_EQ(write(master, &start, 1), 1);
    }
    char chunk[256];
    for (ssize_t got; (got = read(master, chunk, sizeof chunk)) > 0;) result.err.append(chunk, size_t(got));
    close(master);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
  }

  // The terminal takes the XOFF in its own time (a busy machine may let a fast run finish
  // first): probe bytes get through until it holds output.
  static bool waitUntilHeld(int master) {
    const int probe = open(ptsname(master), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    if (probe < 0) return false;
    bool held = false;
    for (int i = 0; i < 10000 && !held; ++i) {
      const char nul = 0;
      if (write(probe, &nul, 1) == 1) {
        char back;
        if (read(master, &back, 1) != 1) break;
        usleep(1000);
      } else {
        held = errno == EAGAIN;
      }
    }
    close(probe);
    return held;
  }

  // In a forked child: becomes the tool (under the emulator when there is one).
  [[noreturn]] void execTool(const std::vector<std::string>& args) const {
    const std::vector<std::string> words = test_support::commandLine(tool_, args);
    std::vector<char*> argv;
    for (const auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(121);
  }

  static bool waitUntilWritingToStderr(pid_t pid) {
    const std::string blocked = std::to_string(test_support::kStartedProgramWriteCall) + " 0x2 ";
    for (int i = 0; i < 10000; ++i) {
      if (slurp("/proc/" + std::to_string(pid) + "/syscall").rfind(blocked, 0) == 0) return true;
      usleep(1000);
    }
    return false;
  }

  std::set<std::string> listing(const fs::path& folder) const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
  }
  std::set<std::string> workListing() const { return listing(work_); }

  fs::path tool_, dir_, work_;
};

void writeWav(const fs::path& path, int format, int channels, int rate, const std::vector<Sample>& samples) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  EXPECT_EQ(sf_write_short(file, samples.data(), sf_count_t(samples.size())), sf_count_t(samples.size()));
  sf_close(file);
}

WavData readWav(const fs::path& path) {
  WavData wav;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &wav.info);
  EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
  if (!file) return wav;
  wav.samples.resize(size_t(wav.info.frames * wav.info.channels));
  EXPECT_EQ(sf_readf_short(file, wav.samples.data(), wav.info.frames), wav.info.frames);
  sf_close(file);
  return wav;
}

// A 16-bit mono WAV file's bytes as a recorder writes them; dataSize replaces the size the
// header gives (a recorder that died leaves 0, a streaming one a size past the end), and
// tail follows the data chunk.
std::string rawWav(const std::vector<Sample>& samples, std::uint32_t rate, std::optional<std::uint32_t> dataSize = {},
                   const std::string& tail = "") {
  auto bytes = [](std::uint64_t value, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += char(value >> (8 * i));
    return out;
  };
  std::string data;
  for (const Sample s : samples) data += bytes(std::uint16_t(s), 2);
  const std::string body = "WAVEfmt " + bytes(16, 4) + bytes(1, 2) + bytes(1, 2) + bytes(rate, 4) +
                           bytes(2ull * rate, 4) + bytes(2, 2) + bytes(16, 2) + "data" +
                           bytes(dataSize.value_or(std::uint32_t(data.size())), 4) + data + tail;
  return "RIFF" + bytes(body.size(), 4) + body;
}

// A strong tone at 0.19 of the input rate over noise.
std::vector<Sample> testSignal(size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(-2000, 2000);
  std::vector<Sample> x(count);
  for (size_t n = 0; n < count; ++n)
    x[n] = Sample(std::lround(12000 * std::cos(2 * M_PI * 0.19 * double(n))) + dist(rng));
  return x;
}

// What the live program plays for this input: whole blocks, the last one padded with
// silence, n/2 frames in all.
std::vector<Sample> convertLikeTheProgram(const std::vector<Sample>& input, const dsp::ConverterSwitches& switches) {
  static dsp::StreamConfig stream;
  std::vector<Sample> out;
  const size_t block = size_t(stream.BlockSamples);
  for (size_t start = 0; start < input.size(); start += block) {
    const size_t got = std::min(block, input.size() - start);
    std::fill(stream.WorkBuffer.begin(), stream.WorkBuffer.end(), 0);
    std::copy_n(input.begin() + long(start), got, stream.WorkBuffer.begin());
    dsp::ConvertBlock(stream, switches);
    out.insert(out.end(), stream.WorkBuffer.begin(), stream.WorkBuffer.begin() + long(got / 2 * 2));
  }
  return out;
}

void expectStereoOutput(const WavData& wav, int rate, const std::vector<Sample>& expected) {
  EXPECT_EQ(wav.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_EQ(wav.info.channels, 2);
  EXPECT_EQ(wav.info.samplerate, rate);
  ASSERT_EQ(wav.samples.size(), expected.size());
  EXPECT_TRUE(wav.samples == expected);
}

TEST_F(ConvertTool, ConvertsBlockByBlockLikeTheLiveProgram) {
  const auto input = testSignal(2 * 32768 + 12345, 1);  // odd length, partial last block
  writeWav(work_ / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, input);
  const auto r = run({(work_ / "in.wav").string(), (work_ / "out.wav").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  const auto wav = readWav(work_ / "out.wav");
  EXPECT_EQ(wav.info.frames, sf_count_t(input.size() / 2));
  expectStereoOutput(wav, 24000, convertLikeTheProgram(input, {}));
  EXPECT_EQ(workListing(), (std::set<std::string>{"in.wav", "out.wav"}));
}

TEST_F(ConvertTool, OptionsSelectTheConverterSwitches) {
  const auto input = testSignal(32768 + 5001, 2);
  writeWav(work_ / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 11025, input);
  struct Case {
    std::vector<std::string> options;
    dsp::ConverterSwitches switches;
  };
  for (const Case& c : {Case{{"--no-iq"}, {false, false, false}}, Case{{"--invert"}, {true, false, true}},
                        Case{{"--edge-filter"}, {true, true, false}},
                        Case{{"--edge-filter", "--no-iq", "--invert"}, {false, true, true}}}) {
    SCOPED_TRACE(testing::Message() << c.options.front() << " +" << c.options.size() - 1);
    auto args = c.options;
    args.push_back((work_ / "in.wav").string());
    args.push_back((work_ / "out.wav").string());
    const auto r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    // 11025 Hz halves to 5512 Hz, as for the live devices.
    expectStereoOutput(readWav(work_ / "out.wav"), 5512, convertLikeTheProgram(input, c.switches));
  }
  // Without conversion the mono samples simply pair up as frames; the odd last one goes.
  const auto passThrough = readWav(work_ / "out.wav");
  EXPECT_EQ(run({"--no-iq", (work_ / "in.wav").string(), (work_ / "out.wav").string()}).status, 0);
  const auto pairs = readWav(work_ / "out.wav");
  ASSERT_EQ(pairs.samples.size(), input.size() - 1);
  EXPECT_TRUE(std::equal(pairs.samples.begin(), pairs.samples.end(), input.begin()));
}

TEST_F(ConvertTool, ShortInputsExtremeRatesAndExtensibleWav) {
  struct Case {
    size_t samples;
    int rate;
    int major;
  };
  for (const Case c :
       {Case{0, 48000, SF_FORMAT_WAV}, Case{1, 48000, SF_FORMAT_WAV}, Case{3, 8000, SF_FORMAT_WAV},
        Case{5, 2, SF_FORMAT_WAV}, Case{40001, 1000000, SF_FORMAT_WAVEX}, Case{1001, 48000, SF_FORMAT_RF64}}) {
    SCOPED_TRACE(testing::Message() << c.samples << " samples at " << c.rate);
    const auto input = testSignal(c.samples, 3);
    writeWav(work_ / "in.wav", c.major | SF_FORMAT_PCM_16, 1, c.rate, input);
    const auto r = run({(work_ / "in.wav").string(), (work_ / "out.wav").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto wav = readWav(work_ / "out.wav");
    EXPECT_EQ(wav.info.frames, sf_count_t(c.samples / 2));
    expectStereoOutput(wav, c.rate / 2, convertLikeTheProgram(input, {}));
  }
}

// A pipe gives the same samples as the file it carries, in every container and both modes.
TEST_F(ConvertTool, PipedInputGivesTheSamplesOfTheFile) {
  const auto input = testSignal(40000, 14);
  for (const int major : {SF_FORMAT_WAV, SF_FORMAT_WAVEX, SF_FORMAT_RF64}) {
    writeWav(work_ / "in.wav", major | SF_FORMAT_PCM_16, 1, 48000, input);
    for (const char* mode : {"--no-iq", "--stream"}) {
      SCOPED_TRACE(testing::Message() << "format 0x" << std::hex << major << " " << mode);
      ASSERT_EQ(run({mode, (work_ / "in.wav").string(), (work_ / "file.wav").string()}).status, 0);
      const auto r = run({mode, "/dev/stdin", (work_ / "pipe.wav").string()}, 0, slurp(work_ / "in.wav"));
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.err, "");
      const auto fromFile = readWav(work_ / "file.wav"), fromPipe = readWav(work_ / "pipe.wav");
      EXPECT_EQ(fromPipe.info.frames, sf_count_t(input.size() / 2));
      EXPECT_TRUE(fromPipe.samples == fromFile.samples);
    }
  }
}

TEST_F(ConvertTool, HelpAndVersionPrintAndTouchNoFile) {
  writeWav(work_ / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, testSignal(1000, 11));
  struct Case {
    std::string option;
    std::string printed;  // the start of standard output
  };
  for (const Case& c : {Case{"--help", "Usage: tovrel-convert [--stream] [--no-iq] [--invert] [--edge-filter] [--]\n"},
                        Case{"--version", "tovrel-convert " TOVREL_VERSION "\n"}}) {
    SCOPED_TRACE(c.option);
    const auto r = run({(work_ / "in.wav").string(), c.option, (work_ / "out.wav").string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(c.printed, 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(workListing(), std::set<std::string>{"in.wav"});
  }
}

// Stream mode: the converter's delay taken out and its tail flushed, n/2 frames in all.
TEST_F(ConvertTool, StreamModeWritesTheDelayCompensatedStream) {
  const auto input = testSignal(2 * 32768 + 12345, 6);
  writeWav(work_ / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 44100, input);
  const auto r =
      run({"--stream", "--invert", "--edge-filter", (work_ / "in.wav").string(), (work_ / "out.wav").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  dsp::StreamConverter converter;
  converter.Configure(44100, dsp::ConverterSwitches{true, true, true});
  std::vector<Sample> expected(input.size() + 2 * converter.MaxOutputFrames(0) + 2 * converter.MaxFinishFrames());
  size_t frames = converter.Process(input.data(), input.size(), expected.data());
  frames += converter.Finish(expected.data() + 2 * frames);
  expected.resize(2 * frames);
  EXPECT_EQ(frames, input.size() / 2);
  expectStereoOutput(readWav(work_ / "out.wav"), 22050, expected);
}

TEST_F(ConvertTool, ReplacesAnExistingOutputOnSuccess) {
  const auto input = testSignal(1000, 4);
  writeWav(work_ / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, input);
  writeText(work_ / "out.wav", "an older file");
  chmod((work_ / "out.wav").c_str(), 0640);
  ASSERT_EQ(run({(work_ / "in.wav").string(), (work_ / "out.wav").string()}).status, 0);
  expectStereoOutput(readWav(work_ / "out.wav"), 24000, convertLikeTheProgram(input, {}));
  struct stat st {};
  ASSERT_EQ(stat((work_ / "out.wav").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // the replaced file keeps its permissions
  EXPECT_EQ(workListing(), (std::set<std::string>{"in.wav", "out.wav"}));
}

TEST_F(ConvertTool, BadInputExitsWithStatus2AndTouchesNothing) {
  const auto mono = testSignal(40000, 5);
  const fs::path good = work_ / "good.wav";
  writeWav(good, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, mono);
  writeText(work_ / "text.wav", "RIFF? not really, just some text\n");
  writeWav(work_ / "aiff.wav", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1, 48000, mono);
  writeWav(work_ / "deep.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, 48000, mono);
  writeWav(work_ / "stereo.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 48000, mono);
  writeWav(work_ / "rate1.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 1, mono);
  writeWav(work_ / "fast.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 1000001, mono);
  fs::create_directories(work_ / "folder.wav");
  const std::string recorded = rawWav(testSignal(100, 5), 48000);
  writeText(work_ / "rate0.wav", rawWav(testSignal(100, 5), 0));
  writeText(work_ / "rate2g.wav", rawWav(testSignal(100, 5), 1u << 31));
  writeText(work_ / "twodata.wav", rawWav(testSignal(100, 5), 48000, {}, "data" + std::string(4, '\0')));
  writeText(work_ / "cutheader.wav", recorded.substr(0, 42));  // inside the data chunk's header
  writeText(work_ / "nosamples.wav", recorded.substr(0, 44));  // header promises 200 bytes
  // An RF64 file whose ds64 chunk is too short to hold its sizes.
  std::string shortDs64 = rawWav(testSignal(100, 5), 48000, 0xFFFFFFFFu);
  shortDs64.replace(0, 8, "RF64\xff\xff\xff\xff");
  shortDs64.insert(12, "ds64" + std::string("\x08\0\0\0", 4) + std::string(8, '\0'));
  writeText(work_ / "shortds64.wav", shortDs64);
  const std::string goodBytes = slurp(good);

  struct Case {
    std::vector<std::string> args;  // "OUT" stands for the output path
    std::string problem;            // part of the message
    std::string piped = {};         // a file given through a pipe as /dev/stdin
  };
  const std::string w = work_.string() + "/";
  const std::vector<Case> cases = {
      {{w + "missing.wav", "OUT"}, "No such file"},
      {{w + "text.wav", "OUT"}, "not a readable WAV file"},
      {{w + "aiff.wav", "OUT"}, "not a WAV file"},
      {{w + "deep.wav", "OUT"}, "not 16-bit PCM"},
      {{w + "stereo.wav", "OUT"}, "not mono (2 channels)"},
      {{w + "rate1.wav", "OUT"}, "sample rate 1 Hz out of range"},
      {{w + "fast.wav", "OUT"}, "sample rate 1000001 Hz out of range"},
      {{w + "folder.wav", "OUT"}, "is a directory"},
      {{w + "rate0.wav", "OUT"}, "sample rate 0 Hz out of range"},
      {{w + "rate2g.wav", "OUT"}, "sample rate 2147483648 Hz out of range"},
      {{w + "twodata.wav", "OUT"}, "two data chunks"},
      {{w + "cutheader.wav", "OUT"}, "ends inside a chunk header"},
      {{w + "nosamples.wav", "OUT"}, "ends before its first sample"},
      {{w + "shortds64.wav", "OUT"}, "its ds64 chunk is 8 bytes"},
      {{"/dev/stdin", "OUT"}, "sample rate 0 Hz out of range", "rate0.wav"},
      {{"/dev/stdin", "OUT"}, "sample rate 2147483648 Hz out of range", "rate2g.wav"},
      {{"/dev/stdin", "OUT"}, "two data chunks", "twodata.wav"},
      {{"/dev/stdin", "OUT"}, "its ds64 chunk is 8 bytes", "shortds64.wav"},
      {{w + "good.wav", ""}, "empty name"},
      {{"--fast", w + "good.wav", "OUT"}, "unknown option '--fast'"},
      {{w + "good.wav"}, "expected INPUT.wav and OUTPUT.wav"},
      {{w + "good.wav", "OUT", w + "extra.wav"}, "expected INPUT.wav and OUTPUT.wav"},
      {{w + "good.wav", w + "good.wav"}, "same file"},
      {{w + "good.wav", w + "./good.wav"}, "same file"},
      {{w + "good.wav", w + "folder.wav"}, "is a directory"},
  };
  for (const bool outputExists : {false, true}) {
    const fs::path out = work_ / "out.wav";
    if (outputExists) writeText(out, "precious");
    const auto before = workListing();
    for (const Case& c : cases) {
      std::vector<std::string> args;
      for (const auto& a : c.args) args.push_back(a == "OUT" ? out.string() : a);
      SCOPED_TRACE(testing::Message() << args.front() << " " << c.piped
                                      << (outputExists ? " over an existing output" : ""));
      const auto r = c.piped.empty() ? run(args) : run(args, 0, slurp(work_ / c.piped));
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err.rfind("tovrel-convert: ", 0), 0u) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_EQ(r.err.back(), '\n');
      EXPECT_NE(r.err.find(c.problem), std::string::npos) << r.err;
      EXPECT_EQ(workListing(), before);
      if (outputExists) {
        EXPECT_EQ(slurp(out), "precious");
      }
      EXPECT_EQ(slurp(good), goodBytes);
    }
  }
}

TEST_F(ConvertTool, WriteFailureLeavesNoFileAndKeepsTheOldOutput) {
  const auto input = testSignal(3 * 32768, 6);  // about 196 KB of output
  writeWav(work_ / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, input);
  writeText(work_ / "out.wav", "precious");
  const auto r = run({(work_ / "in.wav").string(), (work_ / "out.wav").string()}, 64 * 1024);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("write failed"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_EQ(slurp(work_ / "out.wav"), "precious");
  EXPECT_EQ(workListing(), (std::set<std::string>{"in.wav", "out.wav"}));

  // A link loop as the output is an output fault too.
  fs::create_symlink("loop-b.wav", work_ / "loop-a.wav");
  fs::create_symlink("loop-a.wav", work_ / "loop-b.wav");
  const auto loop = run({(work_ / "in.wav").string(), (work_ / "loop-a.wav").string()});
  EXPECT_EQ(loop.status, 1);
  EXPECT_NE(loop.err.find("too many levels of symbolic links"), std::string::npos) << loop.err;
  EXPECT_EQ(workListing(), (std::set<std::string>{"in.wav", "out.wav", "loop-a.wav", "loop-b.wav"}));

  // An output folder that does not exist: nothing can be created there.
  const auto missing = run({(work_ / "in.wav").string(), (work_ / "nowhere" / "out.wav").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("nowhere"), std::string::npos) << missing.err;
  EXPECT_FALSE(fs::exists(work_ / "nowhere"));
}

// A device node or a named pipe as OUTPUT is refused: renaming the finished file over it
// would destroy the node (as root, "OUTPUT = /dev/null" would replace the device).
TEST_F(ConvertTool, OutputThatIsNotARegularFileIsRefusedAndKept) {
  const auto input = testSignal(1000, 8);
  writeWav(work_ / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, input);
  ASSERT_EQ(mkfifo((work_ / "pipe.wav").c_str(), 0600), 0);
  const auto before = workListing();
  const auto r = run({(work_ / "in.wav").string(), (work_ / "pipe.wav").string()});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  struct stat st {};
  ASSERT_EQ(lstat((work_ / "pipe.wav").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the named pipe was replaced";
  EXPECT_EQ(workListing(), before);

  // A symbolic link stays a link: the file it points to (in another folder here) is replaced,
  // and nothing is left in either folder.
  fs::create_directories(dir_ / "elsewhere");
  fs::create_symlink("../elsewhere/target.wav", work_ / "link.wav");
  writeText(dir_ / "elsewhere" / "target.wav", "old");
  EXPECT_EQ(run({(work_ / "in.wav").string(), (work_ / "link.wav").string()}).status, 0);
  EXPECT_TRUE(fs::is_symlink(work_ / "link.wav"));
  expectStereoOutput(readWav(dir_ / "elsewhere" / "target.wav"), 24000, convertLikeTheProgram(input, {}));
  EXPECT_EQ(listing(dir_ / "elsewhere"), std::set<std::string>{"target.wav"});
}

// An output name near the file system's limit (255 bytes) still works: the temporary file
// beside it must not need a longer name than the output itself.
TEST_F(ConvertTool, LongestOutputNameStillWorks) {
  const auto input = testSignal(3000, 9);
  writeWav(work_ / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, input);
  const std::string name = std::string(251, 'n') + ".wav";
  const auto r = run({(work_ / "in.wav").string(), (work_ / name).string()});
  ASSERT_EQ(r.status, 0) << r.err;
  expectStereoOutput(readWav(work_ / name), 24000, convertLikeTheProgram(input, {}));
  EXPECT_EQ(workListing(), (std::set<std::string>{"in.wav", name}));
}

// Progress is for a person watching: on a terminal it counts up to 100 % and then clears its
// line; into a file or pipe nothing is written.
TEST_F(ConvertTool, ProgressOnATerminalOnlyAndClearedAtTheEnd) {
  const auto input = testSignal(9 * 32768 + 100, 10);
  writeWav(work_ / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, input);

  const std::string in = (work_ / "in.wav").string(), out = (work_ / "out.wav").string();
  const auto r = runOnTerminal({in, out});
  const std::string& shown = r.err;
  EXPECT_EQ(r.status, 0) << shown;
  expectStereoOutput(readWav(work_ / "out.wav"), 24000, convertLikeTheProgram(input, {}));

  EXPECT_EQ(shown.rfind("\rtovrel-convert: ", 0), 0u) << shown;
  EXPECT_NE(shown.find("\rtovrel-convert: 100%"), std::string::npos) << shown;
  const std::string cleared = "\r" + std::string(20, ' ') + "\r";
  ASSERT_GE(shown.size(), cleared.size());
  EXPECT_EQ(shown.substr(shown.size() - cleared.size()), cleared) << "the last line is not cleared";
  int last = -1;
  for (size_t at = shown.find("tovrel-convert: "); at != std::string::npos;
       at = shown.find("tovrel-convert: ", at + 1)) {
    const int percent = std::atoi(shown.c_str() + at + 16);
    EXPECT_GT(percent, last);
    last = percent;
  }
  EXPECT_EQ(last, 100);

  const auto piped = run({in, out});
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.err, "");
}

// A run that dies or whose input is cut while it is read leaves the old output and no file
// beside it: the output is unnamed until it is complete.
TEST_F(ConvertTool, RunStoppedMidwayLeavesNoFileAndKeepsTheOldOutput) {
  const auto input = testSignal(9 * 32768, 12);
  const fs::path in = work_ / "in.wav";
  const size_t headerBytes = 44;
  struct Case {
    const char* what;
    std::function<void(pid_t)> act;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"killed", [](pid_t pid) { kill(pid, SIGKILL); }, 128 + SIGKILL, ""},
      {"SIGUSR1", [](pid_t pid) { kill(pid, SIGUSR1); }, 128 + SIGUSR1, ""},
      {"input cut while read", [&](pid_t) { fs::resize_file(in, headerBytes + 3 * 32768); }, 2,
       "the file ended after 49152 of the 294912 samples"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeWav(in, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, input);
    ASSERT_EQ(fs::file_size(in), headerBytes + 2 * input.size());
    writeText(work_ / "out.wav", "precious");
    const auto r = runOnTerminal({in.string(), (work_ / "out.wav").string()}, [&](pid_t pid) {
      EXPECT_EQ(workListing(), (std::set<std::string>{"in.wav", "out.wav"})) << "a partial file is visible";
      c.act(pid);
    });
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(slurp(work_ / "out.wav"), "precious");
    EXPECT_EQ(workListing(), (std::set<std::string>{"in.wav", "out.wav"}));
  }
}

// Where the folder has no unnamed files, the hidden temporary file is removed on every signal
// that ends the process and can be caught (only SIGKILL leaves it).
TEST_F(ConvertTool, HiddenTemporaryIsRemovedOnEveryCatchableSignal) {
  const auto input = testSignal(9 * 32768, 15);
  writeWav(work_ / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, input);
  writeText(work_ / "out.wav", "precious");
  const rlimit noCore{0, 0};
  ASSERT_EQ(setrlimit(RLIMIT_CORE, &noCore), 0);  // SIGQUIT, SIGSYS and the like dump none here
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asanOptions = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
  const auto [preloadName, preloadValue] = test_support::preloadVariable(TOVREL_NO_TMPFILE_PRELOAD);
  setenv(preloadName.c_str(), preloadValue.c_str(), 1);
  setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
  for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM,
                        SIGPROF, SIGIO, SIGPWR, SIGSYS, SIGTRAP, SIGRTMIN, SIGRTMAX}) {
    // qemu keeps the last real-time signal for itself and never passes it to the program.
    if (sig == SIGRTMAX && test_support::underEmulator()) continue;
    SCOPED_TRACE(strsignal(sig));
    size_t hidden = 0;
    const auto r = runOnTerminal({(work_ / "in.wav").string(), (work_ / "out.wav").string()}, [&](pid_t pid) {
      hidden = workListing().size() - 2;  // the run's hidden file beside in.wav and out.wav
      kill(pid, sig);
    });
    EXPECT_EQ(hidden, 1u) << "the run did not use a hidden file";
    EXPECT_EQ(r.status, 128 + sig) << r.err;
    EXPECT_EQ(slurp(work_ / "out.wav"), "precious");
    EXPECT_EQ(workListing(), (std::set<std::string>{"in.wav", "out.wav"}));
  }
  unsetenv(preloadName.c_str());
  if (asan) {
    setenv("ASAN_OPTIONS", asan, 1);
  } else {
    unsetenv("ASAN_OPTIONS");
  }
}

// A recorder that died before writing its sizes leaves 0, a streaming one a size past the
// end: the samples the file holds are converted, with a note.
TEST_F(ConvertTool, UnclosedRecordingIsConvertedAsFarAsItGoes) {
  const auto input = testSignal(8000, 13);
  for (const std::uint32_t dataSize : {0u, 0xFFFFFFFFu, 20000u}) {
    SCOPED_TRACE(dataSize);
    writeText(work_ / "in.wav", rawWav(input, 48000, dataSize));
    const auto r = run({(work_ / "in.wav").string(), (work_ / "out.wav").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("converting the 8000 samples present"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    expectStereoOutput(readWav(work_ / "out.wav"), 24000, convertLikeTheProgram(input, {}));
  }
}

// An output's RIFF size is 32 bits; a larger output must go to RF64 instead of wrapping.
TEST(ConvertToolLimits, OutputsThatDoNotFitAWavFileGoToRf64) {
  constexpr std::int64_t kRiffSizeOfEmptyWav = 36;  // "WAVE", fmt chunk, data chunk header
  EXPECT_LE(kRiffSizeOfEmptyWav + 4 * convert::kWavMaxStereo16Frames, std::int64_t{UINT32_MAX});
  EXPECT_TRUE(convert::fitsInWav(0));
  EXPECT_TRUE(convert::fitsInWav(convert::kWavMaxStereo16Frames));
  // 4 GiB of mono input: 2^31 samples, 2^30 frames, 4 GiB of output.
  EXPECT_FALSE(convert::fitsInWav(std::int64_t{1} << 30));
  EXPECT_FALSE(convert::fitsInWav(convert::kWavMaxStereo16Frames + 1));
}

}  // namespace
