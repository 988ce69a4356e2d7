// The program's single recording run.
#pragma once

struct StatusLine;

#include <cstdint>

#include "formats/run_account.h"  // kExitLostRecording
#include "platform/platform.h"

struct Recorder;

// Records with the scanned options until the frame cap or a stop from
// outside (Ctrl-C, Ctrl-Break, the console closing, log-off, shut-down; on
// Linux SIGINT, SIGQUIT, SIGHUP, SIGTERM): lowers the calling thread to idle
// priority, creates (or finds) the directory named after the local start
// time in the working directory, holds it and enters it, opens the grabber,
// starts the recorder, ticks, tears down with every segment finalised, and
// gives an account of the run on standard error. Returns 0 when nothing was
// lost, 3 (kExitLostRecording) when frames or segments were lost to errors,
// or 1 (with a message, and no directory left behind) when there is nowhere
// to write, no x264vfw compressor or no screen to capture. Main thread, once.
int RunRecording(int32_t fps, int32_t slotsecs, int32_t withmouse, int32_t totalcapture);

// False when the last run had to leave a thread behind, stuck in a file
// operation; the process must then end without running destructors.
bool RecordingThreadsEnded();

// Frames in 100 hours at `fps`.
int32_t FrameCap(int32_t fps);

// Ticks until the recorder has written `cap` frames or a stop has been
// asked for; the cap is tested before every tick, the first included.
// With a status line, publishes the frame count to it after every tick.
void RunFrameLoop(Recorder* recorder, int32_t cap, StatusLine* status = nullptr);

// What a console control event does to the run: asks the frame loop to stop
// after the current tick and returns TRUE (handled). The platform's handler
// (CatchStopRequests) holds the process for the teardown after close,
// log-off and shut-down. Runs on the thread the platform calls console
// handlers on.
BOOL WINAPI OnConsoleControl(DWORD event);

// For tests: whether a stop has been asked for, and forgetting it.
bool StopRequested();
void ResetStopRequest();
