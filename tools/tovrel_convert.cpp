// tovrel-convert: offline conversion of a mono 16-bit WAV file into an I/Q stereo WAV
// file at half the rate, through the same converter as the live program.
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dsp/converter.hpp"
#include "dsp/fft.hpp"
#include "dsp/stream_config.hpp"
#include "dsp/stream_converter.hpp"
#include "output_file.hpp"
#include "tool_error.hpp"
#include "wav_input.hpp"
#include "wav_limits.hpp"

#ifndef TOVREL_VERSION
#error "TOVREL_VERSION must be defined by the build"
#endif

namespace {

using namespace convert;

constexpr sf_count_t kProgressMinFrames = 8 * 32768;
constexpr sf_count_t kUnknownLength = sf_count_t{1} << 48;

const char kUsage[] =
    "Usage: tovrel-convert [--stream] [--no-iq] [--invert] [--edge-filter] [--]\n"
    "                      INPUT.wav OUTPUT.wav\n"
    "       tovrel-convert --help | --version\n"
    "\n"
    "Converts a 16-bit PCM mono WAV file (2 ... 1000000 Hz) the way Tovrel converts\n"
    "live audio with its inversion off (--invert: on, Tovrel's default): the band\n"
    "0 ... rate/2 is shifted down by rate/4 into a complex I/Q signal, written as a\n"
    "16-bit PCM stereo WAV file at rate/2 (integer halving), left I, right Q. The\n"
    "output has n/2 frames for n input samples. An output over 4 GiB is written as\n"
    "RF64; RF64 inputs are read as well.\n"
    "\n"
    "Block mode (the default) converts every 32768 samples on their own, exactly as\n"
    "the live program does: clean to within about 50 Hz of the band ends inside a\n"
    "block, but every block edge carries a transient. Stream mode runs one\n"
    "continuous filter instead: no block edges, flat and image-free from 100 Hz\n"
    "inside each band end (1.25 % of the rate below 8000 Hz); its fixed delay (about\n"
    "19 ms) is taken out, so output frame k stands for input samples 2k and 2k+1.\n"
    "Pick stream mode for recordings; each mode gives what the live program plays in\n"
    "that mode.\n"
    "\n"
    "  --stream       stream mode instead of block mode\n"
    "  --no-iq        no conversion: the input samples are written in pairs as stereo\n"
    "                 frames\n"
    "  --invert       invert the output spectrum (the two halves of the band swap\n"
    "                 places; no mirror: to mirror the spectrum, swap I and Q in the\n"
    "                 SDR program)\n"
    "  --edge-filter  taper both ends of the band, DC and rate/2 removed (block mode:\n"
    "                 45 bins; stream mode: at least 200 Hz, or 2.5 % of the rate\n"
    "                 below 8000 Hz)\n"
    "  -h, --help     show this text\n"
    "  --version      show the program's version\n"
    "  --             end of options: the words after it are file names\n"
    "\n"
    "An input whose header gives a data size of 0, or one past the end of the file\n"
    "(a recording that was never closed), is read as far as the file goes, as is a\n"
    "pipe that ends early, with a note on stderr; a file that shrinks while it is\n"
    "read is an error. OUTPUT.wav is replaced only when the conversion succeeds; no\n"
    "partial file is left beside it. A link as OUTPUT.wav keeps pointing to the file\n"
    "it names, which is the one replaced. Exit status: 0 success, 2 bad command line\n"
    "or input file (nothing written), 1 the output could not be written.\n";

const char kVersion[] = "tovrel-convert " TOVREL_VERSION "\n";

struct Options {
  dsp::ConverterSwitches switches;
  bool stream = false;
  std::string input;
  std::string output;
};

// The options that shape a run; a new one is one more row.
struct Switch {
  const char* name;
  void (*apply)(Options&);
};
constexpr Switch kSwitches[] = {
    {"--stream", [](Options& o) { o.stream = true; }},
    {"--no-iq", [](Options& o) { o.switches.IQ = false; }},
    {"--invert", [](Options& o) { o.switches.InvertSpectrum = true; }},
    {"--edge-filter", [](Options& o) { o.switches.EdgeFilter = true; }},
};

// The options that print and exit without reading or writing any file.
struct InfoOption {
  const char* name;
  const char* shortName;
  const char* text;
};
constexpr InfoOption kInfoOptions[] = {
    {"--help", "-h", kUsage},
    {"--version", nullptr, kVersion},
};

Options parseArguments(int argc, char** argv) {
  Options options;
  std::vector<std::string> files;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        optionsEnded = true;
        continue;
      }
      const auto known =
          std::find_if(std::begin(kSwitches), std::end(kSwitches), [&](const Switch& s) { return arg == s.name; });
      if (known == std::end(kSwitches)) throw ToolError{kExitBadInput, "unknown option '" + arg + "' (see --help)"};
      known->apply(options);
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) throw ToolError{kExitBadInput, "expected INPUT.wav and OUTPUT.wav (see --help)"};
  options.input = files[0];
  options.output = files[1];
  if (options.output.empty()) throw ToolError{kExitBadInput, "OUTPUT.wav is an empty name"};
  return options;
}

class Progress {
 public:
  // Only for a person watching, and only when the length is known (not for a pipe).
  explicit Progress(sf_count_t total)
      : total_(total), shown_(isatty(STDERR_FILENO) && total >= kProgressMinFrames && total < kUnknownLength) {}
  // The line is cleared however the run ends, so that a message starts on a clean line.
  ~Progress() {
    if (shown_ && last_ >= 0) std::fprintf(stderr, "\r%*s\r", 20, "");
  }
  void update(sf_count_t done) {
    if (!shown_) return;
    const int percent = static_cast<int>(100 * std::min(done, total_) / total_);
    if (percent == last_) return;
    last_ = percent;
    std::fprintf(stderr, "\rtovrel-convert: %3d%%", percent);
    std::fflush(stderr);
  }

 private:
  sf_count_t total_;
  bool shown_;
  int last_ = -1;
};

// libsndfile's writer on the output file: plain WAV when the output fits one, RF64 when its
// sizes need 64 bits. A pipe's length is not known up front, so its output stays WAV and is
// refused once it would no longer fit.
class SoundWriter {
 public:
  SoundWriter(const OutputFile& file, const InputFile& input, const std::string& output)
      : output_(output), lengthKnown_(input.lengthKnown()) {
    SF_INFO info{};
    info.samplerate = input.info().samplerate / 2;  // integer halving, as for the live devices
    info.channels = 2;
    const bool wav = !lengthKnown_ || convert::fitsInWav(input.promisedSamples() / 2);
    info.format = (wav ? SF_FORMAT_WAV : SF_FORMAT_RF64) | SF_FORMAT_PCM_16;
    file_ = sf_open_fd(file.fd(), SFM_WRITE, &info, SF_FALSE);
    if (!file_) fail(std::string("cannot write: ") + sf_strerror(nullptr));
  }
  ~SoundWriter() {
    if (file_) sf_close(file_);
  }
  SoundWriter(const SoundWriter&) = delete;
  SoundWriter& operator=(const SoundWriter&) = delete;

  void write(const short* frames, sf_count_t count, const std::string& input) {
    if (!lengthKnown_ && !convert::fitsInWav(written_ + count))
      throw ToolError{kExitBadInput, input +
                                         ": the output would pass the 4 GiB a WAV file holds; "
                                         "convert the input from a file (not a pipe), which is written as RF64"};
    if (count > 0 && sf_writef_short(file_, frames, count) != count)
      fail(std::string("write failed: ") + sf_strerror(file_));
    written_ += count;
  }

  // Writes the header's final sizes.
  void finish() {
    if (sf_error(file_) != SF_ERR_NO_ERROR) fail(std::string("write failed: ") + sf_strerror(file_));
    const int result = sf_close(file_);
    file_ = nullptr;
    if (result != 0) fail(std::string("write failed: ") + sf_error_number(result));
  }

 private:
  [[noreturn]] void fail(const std::string& problem) { throw ToolError{kExitWriteFailed, output_ + ": " + problem}; }

  std::string output_;
  bool lengthKnown_;
  SNDFILE* file_ = nullptr;
  sf_count_t written_ = 0;
};

// Block mode converts whole blocks, as the live program does; the tail is padded with
// silence, which is also what the converter assumes beyond the block's ends. Stream mode
// runs the input through one continuous filter and flushes its tail at the end. Either way
// n samples give n/2 frames.
void convertBlocks(InputFile& input, SoundWriter& writer, const Options& options) {
  dsp::StreamConfig stream;
  stream.Configure(input.info().samplerate);
  const sf_count_t block = stream.BlockSamples;
  dsp::StreamConverter streamer;
  std::vector<dsp::Sample> streamed;
  if (options.stream) {
    streamer.Configure(input.info().samplerate, options.switches);
    streamed.resize(2 * std::max(streamer.MaxOutputFrames(block), streamer.MaxFinishFrames()));
  }
  Progress progress(input.promisedSamples());
  sf_count_t done = 0;
  for (;;) {
    const sf_count_t got = input.read(stream.WorkBuffer.data(), block);
    if (got <= 0) break;
    if (options.stream) {
      const size_t frames = streamer.Process(stream.WorkBuffer.data(), static_cast<size_t>(got), streamed.data());
      writer.write(streamed.data(), static_cast<sf_count_t>(frames), options.input);
    } else {
      std::fill(stream.WorkBuffer.begin() + got, stream.WorkBuffer.end(), 0);
      dsp::ConvertBlock(stream, options.switches);
      writer.write(stream.WorkBuffer.data(), got / 2, options.input);
    }
    done += got;
    progress.update(done);
    if (got < block) break;
  }
  input.checkComplete(done);
  if (options.stream) {
    const size_t frames = streamer.Finish(streamed.data());  // the filter's tail
    writer.write(streamed.data(), static_cast<sf_count_t>(frames), options.input);
  }
}

void convertFile(const Options& options) {
  InputFile input(options.input);
  const std::filesystem::path target = resolveLinks(options.output);
  OutputFile output(target, options.output, checkOutputTarget(options.input, target, options.output));
  SoundWriter writer(output, input, options.output);
  convertBlocks(input, writer, options);
  writer.finish();
  output.commit();
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    for (const InfoOption& option : kInfoOptions) {
      if (std::strcmp(argv[i], option.name) == 0 || (option.shortName && std::strcmp(argv[i], option.shortName) == 0)) {
        std::fputs(option.text, stdout);
        return 0;
      }
    }
  }
  removeTemporaryOnSignals();
  // A file-size limit then fails the write, which takes the normal error path.
  std::signal(SIGXFSZ, SIG_IGN);

  dsp::InitFFT();
  int status = 0;
  try {
    convertFile(parseArguments(argc, argv));
  } catch (const ToolError& e) {
    std::fprintf(stderr, "tovrel-convert: %s\n", e.message.c_str());
    status = e.status;
  }
  dsp::DoneFFT();
  return status;
}
