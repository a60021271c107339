#pragma once
// `tovrel --headless`: the whole program without a window or a display.

namespace headless {

// True when the command line asks for a run without a window.
bool Requested(int argc, char* argv[]);

// Reads the options and the stored settings, then converts until SIGTERM or SIGINT.
int Main(int argc, char* argv[]);

}  // namespace headless
