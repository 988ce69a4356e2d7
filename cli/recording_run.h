// The program's single recording run.
#pragma once

#include <cstdint>

// Records with the scanned options until the frame cap: lowers the calling
// thread to idle priority, then creates the directory named after the local
// start time in the working directory and makes it the working directory.
// Called once, by main, on the main thread. Returns 0.
int RunRecording(int32_t fps, int32_t slotsecs, int32_t withmouse, int32_t totalcapture);
