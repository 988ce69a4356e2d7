// The recorder: the recording state of one run, its three segment slots and
// the frame clock that drives them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/screen_grabber.h"
#include "formats/run_account.h"  // RecorderLosses, the recorder's share of the account
#include "platform/platform.h"

// One AVI segment with its .meta file.
struct SegmentSlot {
  PAVIFILE avi_file;              // null when none
  PAVISTREAM raw_stream;          // the video stream in the file
  PAVISTREAM compressed_stream;   // wraps raw_stream; frames are written here
  int32_t frames;                 // frames written; also the next write position
  int32_t slot_index;             // timeslot covered; -1: empty or unusable
  uint32_t start_ms;              // start in ms after start_tick
  uint32_t end_tick;              // timer reading at which the timeslot ends
  uint32_t sleep_ms;              // ms the tick slept while this was current
  std::FILE* meta_file;           // the open .meta file; null when none
};

// Forgets the slot's handles without releasing them; start_ms and end_tick
// stay as they were.
void EmptySlot(SegmentSlot* slot);

// True when the slot still holds something to release.
bool SlotHoldsSegment(const SegmentSlot& slot);

struct Recorder {
  // Set before the cook thread starts, only read afterwards.
  int32_t slot_ms = 0;
  int32_t frame_interval_ms = 0;
  uint32_t start_tick = 0;
  ICINFO* codec_info = nullptr;         // borrowed from the grabber
  ScreenGrabber* grabber = nullptr;     // borrowed
  BITMAPINFOHEADER frame_format{};      // the grabber's DIB header, fixed once opened
  int32_t fps = 0;
  // Auto-reset event, set by PrepareSegment when it has installed a
  // prepared segment in pending; a tick without a segment waits on it.
  HANDLE segment_ready = nullptr;
  // Auto-reset event, set by StopRecorder: the cook thread's pause between
  // cycles ends at once. A platform event, like segment_ready, so that the
  // pause runs on whatever clock the platform keeps.
  HANDLE cook_wake = nullptr;

  // Written by PrepareSegment only (on the main thread before the cook
  // thread starts, on the cook thread afterwards): the highest timeslot
  // whose files a preparation has created; -1 before the first.
  int64_t last_opened_slot = -1;
  // Also PrepareSegment's own: the timeslot of the last failed preparation
  // (a retry for the same timeslot is not another lost segment), whether the
  // last preparation failed, whether free space is below the floor. And the
  // most a finalised segment has taken on disk, which the cook cycle notes
  // after finalising one (on the same thread) and PrepareSegment reads.
  int64_t last_failed_slot = -1;
  bool preparing_fails = false;
  bool space_low = false;
  uint64_t largest_segment_bytes = 0;

  // Main thread only.
  SegmentSlot current{};
  int32_t total_frames = 0;
  uint32_t previous_tick_end = 0;  // timer reading at the end of the last tick

  // Shared under hand_over_lock. Writers: ShiftAVI (main thread) moves
  // current into retiring and pending into current; the cook thread installs
  // prepared segments in pending and takes retired ones out to finalise them.
  // No file work is ever done while the lock is held.
  std::mutex hand_over_lock;
  SegmentSlot retiring{};
  SegmentSlot pending{};
  // Retired segments that a shift found still waiting in retiring, oldest
  // first, and segments the main thread closed early; the cook thread
  // finalises them before retiring.
  std::vector<SegmentSlot> retired_backlog;
  bool cook_stop = false;      // set by StopRecorder
  bool cook_finished = false;  // set by the cook thread as it ends
  std::condition_variable cook_done;  // cook_finished was set
  // Written by the main thread (writes) and the cook thread (preparations)
  // under the lock; read at the end.
  RecorderLosses losses;

  // Stored by the tick and ShiftAVI (main thread) and by PrepareSegment
  // (either thread); read by the tick and the cook cycle's log line.
  std::atomic<uint32_t> last_tick{0};

  // Main thread only: the frames written since the screen last could be
  // read, while it cannot (said once when that begins, once when it ends).
  bool screen_unreadable = false;
  long unreadable_run = 0;

  std::thread cook_thread;
};

// Sets the recorder up and makes the segment of timeslot 0 current, on the
// calling (main) thread, without starting the cook thread. Unit tests drive
// the cook cycle themselves after this.
void InitRecorder(Recorder* recorder, int32_t slotsecs, ScreenGrabber* grabber, int32_t fps);

// InitRecorder, then starts the cook thread. Returns `recorder`. Main thread.
Recorder* StartRecorder(Recorder* recorder, int32_t slotsecs, ScreenGrabber* grabber,
                        int32_t fps);

// One tick of the frame clock: grabs and writes a frame into the current
// segment (when it can take one), sleeps until the next frame is due or the
// timeslot ends, logs, and shifts segments at a timeslot boundary. Always
// returns 0. Main thread.
int32_t RecorderTick(Recorder* recorder);

// Ends the cook thread (it finishes the cycle it is in), finalises every
// segment still held, and shuts the AVIFile library down. A cook thread that
// has not ended within a few seconds (stuck in a file operation) is left
// behind, and so are the segments in its hands; everything else is still
// finalised. Returns whether the cook thread ended. Main thread, once.
bool StopRecorder(Recorder* recorder);

// What the run has lost so far, for its account. Main thread; after
// StopRecorder, or while the cook thread runs (the figures are then a
// moment's).
RecorderLosses RecorderLossesSoFar(Recorder* recorder);

// Like StopRecorder for a recorder that InitRecorder set up without a cook
// thread.
void FinishRecorder(Recorder* recorder);
