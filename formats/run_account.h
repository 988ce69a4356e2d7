// The account of a run: the one line on standard error at its end, with the
// run's directory, what it holds, what was lost and why the run stopped,
// and the exit status that follows from it. The recorder counts its losses
// into the record as it records, the platform adds its own, the run counts
// the files; the tests read the line back into the same record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Exit status of a run that lost frames or segments to errors.
inline constexpr int kExitLostRecording = 3;

// Why a run stopped.
enum class RunStop {
  kFrameCap,
  kInterrupt,      // Ctrl-C, SIGINT
  kBreak,          // Ctrl-Break, SIGQUIT
  kConsoleClosed,  // SIGHUP
  kSessionEnded,   // log-off, or the display lost
  kShutdown,       // SIGTERM
};

// What the recorder lost to errors and stalls, counted as it records.
struct RecorderLosses {
  std::int32_t failed_writes = 0;        // frames whose write failed or faulted
  std::int32_t unprepared_segments = 0;  // timeslots whose segment could not be opened
  std::uint32_t no_segment_ms = 0;       // time the ticks had no segment to write to
  // Segments closed early because their file took no more (a full disk, a
  // file size limit): the rest of each one's timeslot is lost. The line does
  // not print it (its text is fixed): every such segment is closed by a
  // write that failed, so failed_writes is above 0 with it, and the time
  // left of its timeslot is in no_segment_ms. The exit rule still reads it,
  // so that a segment cut short can never end a run with status 0.
  std::int32_t closed_segments = 0;
  // Frames written while the screen could not be read (a locked
  // workstation, the secure desktop, a disconnected session): each holds
  // what the screen last showed. The desktop's doing, not a fault of the
  // run, so the exit rule leaves it out.
  std::int32_t unreadable_frames = 0;
};

struct RunAccount {
  std::string directory;  // the run's directory, by name
  // What the directory holds at the end, counted there.
  std::int32_t segments = 0;  // .avi files
  std::uint64_t bytes = 0;    // .avi and .meta files; printed in MiB to 0.1
  std::int32_t frames = 0;    // frames the recorder wrote
  RecorderLosses losses;
  // The platform's: AVI files whose last release could not complete them.
  std::uint32_t incomplete_files = 0;
  RunStop stop = RunStop::kFrameCap;
  // Not printed: false when the segment thread was left behind, stuck in a
  // file operation, with the segments in its hands unfinished; that has its
  // own line on standard error when it happens.
  bool threads_ended = true;
};

// The account line, its line end included.
std::string FormatRunAccount(const RunAccount& account);

// The record an account line gives back, for a line (its line end
// included) exactly as FormatRunAccount writes it; nothing otherwise. Sizes
// and times are as exact as the line prints them (0.1 MiB, 0.1 s); the
// fields the line does not print keep their defaults.
std::optional<RunAccount> ParseRunAccount(std::string_view line);

// The first account line in a text of several lines (a run's standard
// error); nothing when there is none.
std::optional<RunAccount> FindRunAccount(std::string_view text);

// The exit status the account calls for: 0 when nothing was lost to an
// error, else kExitLostRecording.
int RunAccountExitStatus(const RunAccount& account);
