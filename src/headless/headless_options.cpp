#include "headless/headless_options.hpp"

#include <algorithm>
#include <charconv>

namespace headless {

namespace {

// A switch pair: "--iq" sets the field true, "--no-iq" false.
struct Switch {
  const char* name;
  std::optional<bool> Options::*field;
};

constexpr Switch kSwitches[] = {
    {"iq", &Options::iq},
    {"invert", &Options::invert},
    {"edge-filter", &Options::edgeFilter},
};

std::optional<int32_t> parseRate(const std::string& text) {
  int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  const auto& rates = InputRates();
  if (std::find(rates.begin(), rates.end(), value) == rates.end()) return std::nullopt;
  return value;
}

// The rates, comma-separated; with `indent`, the list starts at that column and wraps into
// help lines of at most 80 columns.
std::string rateList(std::size_t indent = 0) {
  std::string text;
  std::size_t column = indent;
  for (const int32_t rate : InputRates()) {
    const std::string word = std::to_string(rate);
    if (!text.empty()) {
      text += ',';
      ++column;
      if (indent && column + 1 + word.size() + 1 > 80) {
        text += '\n' + std::string(indent, ' ');
        column = indent;
      } else {
        text += ' ';
        ++column;
      }
    }
    text += word;
    column += word.size();
  }
  return text;
}

}  // namespace

const std::vector<int32_t>& InputRates() {
  static const std::vector<int32_t> rates{192000, 96000, 48000, 44100, 32000, 24000, 22050, 16000,
                                          12000,  11025, 8000,  7000,  6000,  5000,  4000};
  return rates;
}

ParsedOptions ParseOptions(const std::vector<std::string>& arguments) {
  ParsedOptions result;
  Options& o = result.options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string word = arguments[i];
    std::optional<std::string> value;
    if (const auto eq = word.find('='); word.starts_with("--") && eq != std::string::npos) {
      value = word.substr(eq + 1);
      word.resize(eq);
    }
    // Options that take a value take the next word when it was not given after '='.
    auto takeValue = [&]() -> std::optional<std::string> {
      if (value) return value;
      if (i + 1 < arguments.size()) return arguments[++i];
      return std::nullopt;
    };
    auto fail = [&](const std::string& text) {
      result.error = text;
      return result;
    };
    if (word == "--headless") continue;
    if (word == "--rate" || word == "--input" || word == "--output" || word == "--profile") {
      const auto text = takeValue();
      if (!text) return fail(word + " needs a value");
      if (word == "--rate") {
        o.rate = parseRate(*text);
        if (!o.rate) return fail("--rate " + *text + ": not an input rate Tovrel offers (" + rateList() + ")");
      } else if (word == "--profile") {
        o.profile = *text;
      } else {
        (word == "--input" ? o.input : o.output) = *text;
      }
      continue;
    }
    if (value) return fail(word + " takes no value");
    if (word == "--help" || word == "-h") {
      o.help = true;
    } else if (word == "--version") {
      o.version = true;
    } else if (word == "--list-devices") {
      o.listDevices = true;
    } else if (word == "--verbose") {
      o.verbose = true;
    } else if (word == "--block" || word == "--stream") {
      o.block = word == "--block";
    } else {
      const auto known = std::find_if(std::begin(kSwitches), std::end(kSwitches), [&](const Switch& s) {
        return word == std::string("--") + s.name || word == std::string("--no-") + s.name;
      });
      if (known == std::end(kSwitches)) return fail("unknown option " + word + " (see tovrel --headless --help)");
      o.*(known->field) = !word.starts_with("--no-");
    }
  }
  return result;
}

std::string HelpText() {
  return "Usage: tovrel --headless [OPTION]...\n"
         "\n"
         "Runs Tovrel without a window (no display needed): records the input device,\n"
         "converts it into I/Q at half the rate and plays it on the output device until\n"
         "SIGTERM or SIGINT. The stored settings of the window (rate, devices, switches)\n"
         "are read, never written; each option below overrides one of them for this run.\n"
         "Stream mode is the default without a window, whatever the stored mode; --block\n"
         "gives block mode.\n"
         "\n"
         "  --rate HZ                 input sample rate, one of\n"
         "                            " +
         rateList(28) +
         "\n"
         "  --input NAME              capture device, by server name or description\n"
         "  --output NAME             playback device, by server name or description;\n"
         "                            \"tovrel\": Tovrel's own I/Q device, made for the run\n"
         "                            (SDR programs record its source \"Tovrel I/Q\") and\n"
         "                            removed at its end unless an SDR program records it\n"
         "  --profile NAME            settings and own device of their own (\"Tovrel I/Q\n"
         "                            (NAME)\"), for two receivers on one computer\n"
         "  --stream                  stream mode: continuous, about 0.1 s delay (default)\n"
         "  --block                   block mode: 32768-sample blocks, as in the window\n"
         "  --iq, --no-iq             I/Q conversion on, or the mono samples out in pairs\n"
         "  --invert, --no-invert     output spectrum inversion on or off\n"
         "  --edge-filter, --no-edge-filter\n"
         "                            taper the two ends of the band, or not\n"
         "  --list-devices            list the server's capture and playback devices, exit\n"
         "  --verbose                 levels and counters on stderr once a minute\n"
         "  --help                    show this text\n"
         "  --version                 show the program's version\n"
         "\n"
         "One line on stderr at start, then only failures: a device or server that goes\n"
         "away is reported once and opened again, with pauses growing to 5 s, until it is\n"
         "back. SIGHUP opens the devices again.\n"
         "\n"
         "Exit status: 0 after SIGTERM or SIGINT (or --help, --version, or --list-devices\n"
         "that listed); 1 no sound server answers (--list-devices), the signals cannot be\n"
         "taken, or another Tovrel of the same profile runs; 2 bad command line or\n"
         "profile name.\n";
}

std::string DeviceWish::describe() const {
  if (!name.empty()) return name;
  return id < 0 ? std::string("the server's default") : "#" + std::to_string(id);
}

RunConfig Resolve(const app::StoredSettings& stored, const Options& options, HeldChoices held) {
  RunConfig config;
  const auto& rates = InputRates();
  // The store has already replaced an index outside the list with 48000's.
  const auto index = std::clamp<int32_t>(stored.Bitrate, 0, static_cast<int32_t>(rates.size()) - 1);
  config.rate = options.rate.value_or(rates[static_cast<std::size_t>(index)]);
  auto wish = [](const std::optional<std::string>& named, bool isHeld, const std::string& name, int32_t id) {
    if (named) return DeviceWish{*named, -1, false};
    return isHeld ? DeviceWish{name, id, false} : DeviceWish{{}, -1, true};
  };
  config.input = wish(options.input, held.input, stored.InDeviceName, stored.InDevice);
  config.output = wish(options.output, held.output, stored.OutDeviceName, stored.OutDevice);
  config.stream = !options.block.value_or(false);
  config.switches = {.IQ = options.iq.value_or(stored.Mono),
                     .EdgeFilter = options.edgeFilter.value_or(stored.InvertOut),
                     .InvertSpectrum = options.invert.value_or(stored.Spectr)};
  return config;
}

}  // namespace headless
