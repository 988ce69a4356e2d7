// The live status line: while a person watches the terminal (standard
// error a terminal, standard output not: `slotrec > run.log`), one line on
// standard error, rewritten in place about once a second, as ffmpeg's
// `frame= fps= size=` line is:
//
//   frame=  1234 fps= 20.0 time=00:01:01 segments=   31 size=    9.6MiB lost=0 free=  12.3GiB
//
// It runs on a thread of its own at the recorder's idle priority and reads
// only what the recorder publishes for it; the frame path pays one relaxed
// store a frame. Nothing is written when standard error is not a terminal.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

struct Recorder;

struct StatusLine {
  // Written by the main thread after each tick, read by the status thread.
  std::atomic<std::int32_t> frames{0};
  const Recorder* recorder = nullptr;  // for its losses, under its own lock

  // Between the status thread and StopStatusLine.
  std::mutex lock;
  std::condition_variable stop_asked;
  bool stopping = false;  // under lock
  bool shown = false;     // a line is on the terminal, not yet ended (status thread, then joined)
  std::thread thread;

  // On every way out of the run, an escaping exception included.
  ~StatusLine();
};

// Whether a status line is wanted: standard error a terminal and standard
// output not one.
bool StatusLineWanted();

// Starts the status thread for `recorder`, recording into the working
// directory. Main thread, once the recorder runs.
void StartStatusLine(StatusLine* status, const Recorder* recorder);

// Stops it and ends its line, so that what follows starts a line of its
// own. Safe when it never started. Main thread.
void StopStatusLine(StatusLine* status);
