// Segment rotation: preparing the next segment, shifting segments at a
// timeslot boundary, finalising retired ones on the cook thread; writing a
// segment's .meta file (its names and text are in formats/).
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/run_names.h"  // FormatSegmentName
#include "platform/platform.h"
#include "recording/recorder.h"

// How a preparation went.
enum class Preparation {
  kAlready,  // pending was prepared already; nothing was done
  kDone,     // the segment is prepared in pending
  kNoFile,   // no AVI file could be opened (or there was no room for one)
  kFailed,   // a later step failed
};

// Prepares the segment of the next timeslot (timeslot 0 when `first_slot`)
// into `pending` unless one is prepared already: opens the AVI file, creates
// the .meta file with its header, the video stream and the compressing
// stream. Not when the run's file system has less room than the floor kept
// free. A preparation that fails removes what it made, leaves pending empty
// (with the timeslot's times) and is tried again by the next cook cycle.
// `result` is 0 or the code of the call that failed. Either thread (the main
// thread only before the cook thread exists).
Preparation PrepareSegment(Recorder* recorder, bool first_slot, HRESULT* result);

// PrepareSegment's result code alone.
HRESULT PrepareAVI(Recorder* recorder, bool first_slot);

// At a timeslot boundary: current goes to retiring, pending becomes current,
// pending is emptied. No file work. Main thread.
void ShiftAVI(Recorder* recorder);

// One cook cycle: prepare the next segment, finalise every retired one, log.
void CookCycle(Recorder* recorder);

// The cook thread's body: a cook cycle every 0.8 timeslot until StopRecorder
// asks it to end; then it says it has finished (cook_finished).
void CookStreams(Recorder* recorder);

// The cook thread's start routine: idle priority, then CookStreams.
void CookThreadProc(Recorder* recorder);

// Releases the slot's streams and file (completing the AVI), writes the
// footer to its .meta file and closes it, then empties the slot.
void FinaliseSegment(const Recorder* r, SegmentSlot* slot);

// Milliseconds the cook thread waits between cycles: 0.8 timeslot.
uint32_t CookSleepMs(int32_t slot_ms);

// Appends one frame line to a .meta file (unbuffered: it reaches the file
// system at once). Returns false when the file system took it not at all or
// only in part; the caller then takes it back with UnwriteFrameLine.
bool WriteFrameLine(std::FILE* meta_file, uint32_t time, int32_t x, int32_t y);

// Cuts the .meta file of the segment of `slot_index` back to `length` bytes
// (where it was before a frame line whose frame did not make it into the
// AVI), so lines and frames stay one to one. Main thread.
void UnwriteFrameLine(const Recorder* recorder, std::FILE* meta_file, int32_t slot_index,
                      long length);
