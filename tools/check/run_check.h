// slotrec-check's judgement of one run directory: every segment pair (the
// AVI opens and decodes, as many frames as its .meta lists, the .meta whole
// and in time order), and the run as a whole (timeslots without a segment,
// segments without frames, achieved against nominal frame rate, gaps and
// late frames, duration, size).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace check {

struct CheckOptions {
  bool decode = true;       // decode every frame (false: count the packets only)
  std::int64_t slot_ms = 0; // timeslot length; 0: read it from the segment names
  bool keep_frames = false; // keep every timed frame in RunCheck::frames (for the HTML report)
};

// One frame of the run's time line, as the .meta gives it.
struct FramePoint {
  std::int64_t ms = 0;        // after the run's first frame
  std::int32_t x = 0, y = 0;  // cursor position, screen coordinates
  std::uint32_t segment = 0;  // index into RunCheck::segments
};

// One thing wrong with a run, named for a person (`text`) and for a script
// (`kind`, one of a fixed set of words; see the manual page).
struct Problem {
  std::string segment;  // stem, or empty for the run as a whole
  std::string kind;
  std::string text;
  std::int64_t start_ms = 0;  // of the segment's timeslot: problems are listed in time order
};

struct SegmentCheck {
  std::string stem;
  std::int64_t start_ms = 0;     // of its timeslot, from its name
  std::int64_t avi_frames = -1;  // pictures decoded (packets with decode off); -1: not read
  std::int64_t meta_frames = -1; // well-formed frame lines; -1: not read
  double nominal_fps = 0;        // the AVI's declared rate; 0: unknown
  std::int64_t first_ms = -1;    // first frame's time after the run's first frame; -1: none
  std::int64_t span_ms = 0;      // first to last frame
  double achieved_fps = 0;       // frame intervals per second within the segment; 0: too few
  std::int64_t late_frames = 0;  // frames more than one frame interval later than due
  std::int64_t largest_gap_ms = 0;  // largest step to a frame of this segment
  std::int64_t bytes = 0;
  bool unused = false;           // an empty pair prepared when the run stopped
  int problems = 0;
};

struct RunCheck {
  std::string directory;
  bool run_directory = false;   // false: exit status 2, `not_run` says why
  std::string not_run;
  std::vector<SegmentCheck> segments;
  std::vector<Problem> problems;
  std::vector<std::string> ignored_files;  // names that are no segment file

  // The run as a whole.
  std::int64_t frames = 0;          // frame lines of every .meta
  std::int64_t unused_segments = 0;
  std::int64_t duration_ms = 0;     // first frame to the end of the last one
  double nominal_fps = 0;           // the first segment's declared rate
  double achieved_fps = 0;
  std::int64_t largest_gap_ms = 0;
  std::string largest_gap_at;       // "000-03 line 6"
  std::int64_t late_frames = 0;
  std::int64_t slot_ms = 0;         // timeslot length; 0: unknown (one segment)
  std::int64_t missing_timeslots = 0;
  std::int64_t bytes = 0;

  // The wall clock: the run's start from its directory's name (ms since
  // 1970 UTC; nothing when the name is no run's name), and the timeslot
  // start of the segment whose frame is the run's first (time 0 of the
  // frame times; 0 unless the first segments have no capture times).
  std::optional<std::int64_t> start_epoch_ms;
  std::int64_t origin_ms = 0;
  std::vector<FramePoint> frames_kept;  // CheckOptions::keep_frames: every timed frame, in order

  // When a frame `ms` after the run's first was taken, in ms since 1970 UTC.
  std::optional<std::int64_t> WallClock(std::int64_t ms) const {
    if (!start_epoch_ms) return std::nullopt;
    return *start_epoch_ms + origin_ms + ms;
  }

  // 0 whole, 1 problems found, 2 not a run directory.
  int status() const { return !run_directory ? 2 : problems.empty() ? 0 : 1; }
};

RunCheck CheckRun(const std::string& directory, const CheckOptions& options);

}  // namespace check
