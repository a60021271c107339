#pragma once
// The command line of a run without a window, and how it combines with the stored settings.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/settings_store.hpp"
#include "dsp/converter.hpp"

namespace headless {

// What the command line asked for; an unset field keeps the stored choice.
struct Options {
  bool help = false;
  bool version = false;
  bool listDevices = false;
  bool verbose = false;
  std::optional<int32_t> rate;
  std::optional<std::string> input;
  std::optional<std::string> output;
  std::optional<std::string> profile;  // unset: the default settings and device
  std::optional<bool> block;
  std::optional<bool> iq;
  std::optional<bool> invert;
  std::optional<bool> edgeFilter;
};

struct ParsedOptions {
  Options options;
  std::string error;  // empty when the command line was understood
};

// `arguments` are the words after the program's name; "--headless" itself is skipped.
ParsedOptions ParseOptions(const std::vector<std::string>& arguments);

std::string HelpText();

// The input rates the window offers, in the order its rate box lists them.
const std::vector<int32_t>& InputRates();

// A device as chosen: by name (the server's name, or the description it lists) when one
// is given, else by the stored index (-1: the server's default).
struct DeviceWish {
  std::string name;
  int32_t id = -1;
  // Neither stored nor named: the server's default, and for capture never what Tovrel plays.
  bool serverDefault = false;
  std::string describe() const;
};

struct RunConfig {
  int32_t rate = 48000;
  DeviceWish input;
  DeviceWish output;
  bool stream = true;
  dsp::ConverterSwitches switches;
};

// Which device choices the settings file holds; the rest read as the store's defaults.
struct HeldChoices {
  bool input = true;
  bool output = true;
};

// The stored settings with the command line's choices laid over them. Stream mode unless
// the command line asks for block mode. A device neither held nor named is the server's
// default, as --list-devices says, not the store's default index.
RunConfig Resolve(const app::StoredSettings& stored, const Options& options, HeldChoices held = {});

}  // namespace headless
