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

std::string rateList() {
  std::string text;
  for (const int32_t rate : InputRates()) text += (text.empty() ? "" : ", ") + std::to_string(rate);
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
    if (word == "--rate" || word == "--input" || word == "--output") {
      const auto text = takeValue();
      if (!text) return fail(word + " needs a value");
      if (word == "--rate") {
        o.rate = parseRate(*text);
        if (!o.rate) return fail("--rate " + *text + ": not an input rate Tovrel offers (" + rateList() + ")");
      } else {
        (word == "--input" ? o.input : o.output) = *text;
      }
      continue;
    }
    if (value) return fail(word + " takes no value");
    if (word == "--help" || word == "-h") {
      o.help = true;
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
         "Runs Tovrel without a window (no display needed): records the input device, converts\n"
         "it into I/Q at half the rate and plays it on the output device until SIGTERM or SIGINT.\n"
         "The stored settings of the window (rate, devices, switches) are read, never written;\n"
         "each option below overrides one of them for this run. Stream mode is the default\n"
         "without a window, whatever the stored mode; --block gives block mode.\n"
         "\n"
         "  --rate HZ                 input sample rate (" +
         rateList() +
         ")\n"
         "  --input NAME              capture device, by server name or description\n"
         "  --output NAME             playback device, by server name or description; \"tovrel\" is\n"
         "                            Tovrel's own I/Q device, made for the run (SDR programs\n"
         "                            record its source \"Tovrel I/Q\") and removed at its end\n"
         "  --stream                  stream mode: continuous conversion, about 0.1 s delay (default)\n"
         "  --block                   block mode: blocks of 32768 samples, as the window converts them\n"
         "  --iq, --no-iq             I/Q conversion on, or the mono samples out in pairs\n"
         "  --invert, --no-invert     output spectrum inversion on or off\n"
         "  --edge-filter, --no-edge-filter\n"
         "                            taper the two ends of the band, or not\n"
         "  --list-devices            list the server's capture and playback devices and exit\n"
         "  --verbose                 levels and counters on stderr once a minute\n"
         "  --help                    show this text\n"
         "\n"
         "One line on stderr at start, then only failures: a device or server that goes away is\n"
         "reported once and opened again, with pauses growing to 5 s, until it is back. SIGHUP\n"
         "opens the devices again.\n"
         "\n"
         "Exit status: 0 after SIGTERM or SIGINT (or --help, or --list-devices that listed);\n"
         "1 no sound server answers (--list-devices), or the signals cannot be taken;\n"
         "2 bad command line.\n";
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
