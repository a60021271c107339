#include "app/globals.hpp"

int32_t SAMode = 1;
int32_t Phase = 0;
int32_t SampleRate = 48000;
