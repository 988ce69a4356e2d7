// Every text slotrec-check prints, in one place. Problem texts are printf
// formats; the first %s is always the segment's stem.
#pragma once

namespace check_text {

inline constexpr const char* kProgram = "slotrec-check";
inline constexpr const char* kUsage =
    "Usage: slotrec-check [--json] [--no-decode] [--repair] [--slotsecs N] [--html REPORT [--origin X,Y]] RUNDIR...\n"
    "Checks that each run directory recorded by slotrec is whole: every segment's AVI\n"
    "opens and decodes, with as many frames as its .meta lists, every .meta is whole\n"
    "and in time order, and no timeslot is missing. Exit status: 0 whole, 1 problems\n"
    "found, 2 not a run directory (or a command-line error).\n"
    "  --json        one JSON document on standard output instead of the table\n"
    "  --no-decode   count the AVI's frames without decoding them (faster)\n"
    "  --repair      first make whole what a killed recorder left unfinished, then check\n"
    "  --slotsecs N  the run's timeslot length, when its segment names cannot show it\n"
    "  --html REPORT also write a report of the run (one directory) for a browser: a time\n"
    "                line in wall-clock time, pictures of the screen, the cursor\n"
    "  --origin X,Y  for the report's cursor: the recorded frame's top-left corner in\n"
    "                screen coordinates (-totalcapture with monitors left or above)\n";

inline constexpr const char* kCannotWrite = "the report could not be written to standard output";

// Problems of one segment.
inline constexpr const char* kAviUnpaired = "%s.avi has no %s.meta beside it: its frames have no capture times";
inline constexpr const char* kMetaUnpaired = "%s.meta has no %s.avi beside it: %lld frame%s lost";
inline constexpr const char* kNotAFile = "%s%s is not a regular file";
inline constexpr const char* kEmptyFile = "%s%s is empty (0 bytes)";
inline constexpr const char* kMetaUnreadable = "%s.meta cannot be read: %s";
inline constexpr const char* kMetaForeign =
    "%s.meta is not a .meta file: no header and not one frame line in its %s";
inline constexpr const char* kMetaNoHeader =
    "%s.meta does not begin with the header (<?xml version=\"1.0\"?> and <frames>)";
inline constexpr const char* kMetaBadLines =
    "%s.meta: %lld %s not a frame line, the first is line %lld: %s";
inline constexpr const char* kMetaLfLines =
    "%s.meta: %lld %s in LF alone, not CR LF (was it rewritten by a text tool?)";
inline constexpr const char* kMetaCut = "%s.meta is cut off in the middle of line %lld (after %lld frame line%s)";
inline constexpr const char* kMetaNoFooter =
    "%s.meta has no closing </frames>: the segment was never finished (the recorder was ended before "
    "it could finish it)";
inline constexpr const char* kMetaTimeBack = "%s.meta: the time at line %lld is %lld ms earlier than the line before";
inline constexpr const char* kAviNotAvi = "%s.avi is not an AVI file (no RIFF AVI header)";
inline constexpr const char* kAviUnreadable = "%s.avi cannot be read: %s";
inline constexpr const char* kAviCutShort = "%s.avi is cut short: %s missing from its end";
inline constexpr const char* kAviUnfinished =
    "%s.avi was never completed (no index, sizes never filled in): the recorder was ended before it "
    "finished the file; its frames are read by scanning";
inline constexpr const char* kAviNoIndex =
    "%s.avi was closed early, without an index (the recorder could write no more: a full disk or a "
    "file size limit); the rest of its timeslot was not recorded";
inline constexpr const char* kAviDamaged = "%s.avi: %lld %s not decode cleanly";
inline constexpr const char* kAviReadError = "%s.avi: reading stopped after %lld frame%s: %s";
inline constexpr const char* kAviNoDecoder = "%s.avi: its video cannot be decoded: %s";
inline constexpr const char* kFrameCount = "%s: %lld frame%s in the AVI, %lld frame line%s in the .meta";
inline constexpr const char* kRate = "%s.avi declares %s fps, the run's first segment %s fps";
inline constexpr const char* kTimeBackBetween =
    "%s: its first frame is %lld ms earlier than the last frame of %s";
inline constexpr const char* kNoFrames = "%s holds no frames: its timeslot was not recorded";
inline constexpr const char* kMissingOne = "%s: no segment for this timeslot%s";
inline constexpr const char* kMissingRange = "%s to %s: no segment for these %lld timeslots%s";
inline constexpr const char* kJump = " (the frames jump %s s there)";

// The two forms of the words a count governs.
inline const char* Plural(long long n) { return n == 1 ? "" : "s"; }
inline const char* FrameDoes(long long n) { return n == 1 ? "frame does" : "frames do"; }
inline const char* LineIs(long long n) { return n == 1 ? "line is" : "lines are"; }
inline const char* LineEnds(long long n) { return n == 1 ? "line ends" : "lines end"; }

// Problem kinds, for scripts.
inline constexpr const char* kKindUnpaired = "unpaired";
inline constexpr const char* kKindNotAFile = "not_a_file";
inline constexpr const char* kKindEmptyFile = "empty_file";
inline constexpr const char* kKindMetaUnreadable = "meta_unreadable";
inline constexpr const char* kKindMetaForeign = "meta_foreign";
inline constexpr const char* kKindMetaNoHeader = "meta_no_header";
inline constexpr const char* kKindMetaBadLines = "meta_bad_lines";
inline constexpr const char* kKindMetaLfLines = "meta_lf_lines";
inline constexpr const char* kKindMetaCut = "meta_cut";
inline constexpr const char* kKindMetaNoFooter = "meta_no_footer";
inline constexpr const char* kKindMetaTimeBack = "meta_time_back";
inline constexpr const char* kKindAviNotAvi = "avi_not_avi";
inline constexpr const char* kKindAviUnreadable = "avi_unreadable";
inline constexpr const char* kKindAviCutShort = "avi_cut_short";
inline constexpr const char* kKindAviUnfinished = "avi_unfinished";
inline constexpr const char* kKindAviNoIndex = "avi_no_index";
inline constexpr const char* kKindAviDamaged = "avi_damaged";
inline constexpr const char* kKindFrameCount = "frame_count";
inline constexpr const char* kKindRate = "rate";
inline constexpr const char* kKindTimeBack = "time_back";
inline constexpr const char* kKindNoFrames = "no_frames";
inline constexpr const char* kKindMissing = "missing_timeslots";

// The table.
inline constexpr const char* kRow = "%-8s %6s  %-12s  %-23s %7s %6s %5s %11s  %9s  %s\n";
inline constexpr const char* kHeads[] = {"segment", "frames", "start", "wall clock", "span s", "fps", "late",
                                         "largest gap", "size", "verdict"};
inline constexpr const char* kVerdictOk = "ok";
inline constexpr const char* kVerdictUnused = "unused (prepared when the run stopped)";
inline constexpr const char* kSummaryRun = "run: %lld segment%s%s, %lld frame%s, %s, %s\n";
inline constexpr const char* kSummaryUnused = " (%lld unused)";
inline constexpr const char* kSummaryRate =
    "rate: nominal %s fps, achieved %s fps; %lld frame%s late by more than a frame interval; "
    "largest gap %lld ms%s\n";
inline constexpr const char* kSummarySlots = "timeslots: %s s, %lld without a segment\n";
inline constexpr const char* kSummarySlotsUnknown = "timeslots: length unknown (one segment; see --slotsecs)\n";
inline constexpr const char* kWhole = "%s: whole\n";
inline constexpr const char* kNotWhole = "%s: NOT WHOLE, %lld problem%s:\n";
inline constexpr const char* kNotRun = "%s: %s\n";
inline constexpr const char* kIgnored = "ignored (not segment files): %s\n";

}  // namespace check_text
