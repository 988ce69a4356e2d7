// Compressor lookup: finds the x264vfw video compressor among the installed
// ones and writes its two settings in the current user's settings key.
#pragma once

#include "platform/platform.h"

// Enumerates the installed video compressors, filling `info` with each one's
// information in turn, until one's description contains "x264vfw". Then
// writes "encoding_type" = 3 and "log_level" = 0 under
// HKEY_CURRENT_USER\Software\GNU\x264, whether or not one matched.
// Returns `info`, describing the chosen compressor, or null when no
// installed compressor matched (`info` then holds whatever the enumeration
// left in it). Main thread, once per run.
ICINFO* FindCompressor(ICINFO* info);

// True when the UTF-16 description (at most 128 characters, terminated or
// not) contains "x264vfw", letter case counting.
bool DescribesX264vfw(const WCHAR* description);
