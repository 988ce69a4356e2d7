// Every text the recorder prints, in one place. What it writes into its
// files (the segment names, the .meta text) is in formats/.
#pragma once

namespace log_text {

// Diagnostic log (one line per event on standard output).
inline constexpr const char* kSleepMs = " sleepMS = ";
inline constexpr const char* kSleep1 = " sleep1= ";
inline constexpr const char* kSleep2 = " sleep2= ";
inline constexpr const char* kCurAvi = " curAvi: frameCount= ";
inline constexpr const char* kStartTime = " startTime= ";
inline constexpr const char* kSleepShare = " sleep= ";
inline constexpr const char* kTryingPrepare = "Trying prepare ";
inline constexpr const char* kFileOpenFailed = " AVIFileOpen failed! ";
inline constexpr const char* kMetaOpenFailed = " MetaFileOpen failed! ";
inline constexpr const char* kCreateStreamFailed = " AVIFileCreateStream failed! ";
inline constexpr const char* kMakeCompressedFailed = " AVIMakeCompressedStream failed! ";
inline constexpr const char* kSetFormatFailed = " AVIStreamSetFormat failed! ";
inline constexpr const char* kStreamWriteFailed = " AVIStreamWrite failed! ";
inline constexpr const char* kCookStreams = " CookStreams! ";
inline constexpr const char* kKernelPanic = " Kernel Panic! ";
inline constexpr const char* kShiftAvi = " ShiftAVI! startTime= ";

// Printed by formatted output when the compressor faults inside a write.
inline constexpr const char* kWriteException = "Exception in AVIStreamWrite!\n";

}  // namespace log_text

// What the recorder says on standard error: one line per event, each a
// printf format for ReportProblem (which adds "slotrec: " and the line end).
namespace report_text {

inline constexpr const char* kCannotPrepare =
    "%s could not be prepared (code %ld); trying again every %lu ms";
inline constexpr const char* kPreparedAgain = "segments are prepared again, from %s on";
inline constexpr const char* kSpaceLow =
    "only %lu MiB free for the recording, less than the %lu MiB kept free; "
    "no new segment is opened until there is more";
inline constexpr const char* kSpaceBack = "%lu MiB free again; new segments are opened again";
inline constexpr const char* kSegmentClosed =
    "%s: a frame could not be written (code %ld); the segment is closed and the rest of "
    "its timeslot is not recorded";
inline constexpr const char* kScreenUnreadable =
    "%s: the screen cannot be read (the workstation locked, or another desktop or session "
    "in front); the frames go on with what it last showed";
inline constexpr const char* kScreenReadable = "%s: the screen can be read again, after %ld frames";
inline constexpr const char* kCookLeftBehind =
    "the segment thread did not finish within %d s; the segments in its hands are left "
    "unfinished";

}  // namespace report_text
