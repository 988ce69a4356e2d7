// Every text slotrec-join prints, in one place. Each is one line on
// standard error after "slotrec-join: ".
#pragma once

namespace join_text {

inline constexpr const char* kProgram = "slotrec-join";
inline constexpr const char* kUsage =
    "Usage: slotrec-join [--from TIME] [--to TIME] RUNDIR OUT\n"
    "Joins the segments of a run recorded by slotrec into one file, without re-encoding:\n"
    "Matroska, or MP4 when OUT ends in .mp4. Every frame is stamped with its capture time\n"
    "from the .meta files (after the run's first frame), and every segment starts a chapter.\n"
    "  --from TIME  start at the key frame at or before TIME after the run's first frame\n"
    "  --to TIME    end with the last frame before TIME\n"
    "TIME is seconds (90, 90.5), MM:SS or HH:MM:SS[.mmm]. Exit status: 0 joined with\n"
    "every frame at its capture time, 3 joined but some segments were left out or joined\n"
    "at the nominal rate (each is named), 1 nothing joined, 2 RUNDIR is no run directory.\n";

// Command line and paths.
inline constexpr const char* kBadTime = "%s takes a time such as 90, 1:30 or 0:01:30.250, not \"%s\"";
inline constexpr const char* kToBeforeFrom = "--to (%s) must come after --from (%s)";
inline constexpr const char* kNotRun = "%s: %s";
inline constexpr const char* kOutIsSegment = "%s is a file of the run itself; give another name for the joined file";

// Segments that are not joined as their .meta says.
inline constexpr const char* kNominalCount =
    "%s: %lld frame%s in the AVI but %lld frame line%s in the .meta: joined at the nominal rate of %s fps "
    "from %s";
inline constexpr const char* kNominalNoMeta = "%s: no usable .meta (%s): joined at the nominal rate of %s fps from %s";
inline constexpr const char* kLeftOut = "%s: left out: %s";
inline constexpr const char* kMoved =
    "%s: %lld frame%s would not come after the frame before; each is stamped 1 ms after it";
inline constexpr const char* kNoMetaFile = "there is no .meta file";
inline constexpr const char* kMetaDamaged = "its .meta is damaged";
inline constexpr const char* kNoAviFile = "there is no .avi file";
inline constexpr const char* kNoFramesInAvi = "its AVI holds no frames";
inline constexpr const char* kEmptyAvi = "its AVI is empty";
inline constexpr const char* kAviNotAFile = "its AVI is not a regular file";
inline constexpr const char* kMetaNotAFile = "its .meta is not a regular file";
inline constexpr const char* kMetaUnreadable = "its .meta cannot be read: %s";
inline constexpr const char* kAviUnreadable = "its AVI cannot be read: %s";
inline constexpr const char* kOtherVideo = "its video (%s %dx%d) differs from the run's (%s %dx%d)";
inline constexpr const char* kChangedUnderneath = "%s.avi changed while it was being joined";

// Cuts.
inline constexpr const char* kFromKey =
    "--from %s: starting at the key frame at %s (%s), the last at or before it: a stream copy can "
    "start only at a key frame; times in %s count from there";
inline constexpr const char* kToLast = "--to %s: ending with the frame at %s, the last before it";
inline constexpr const char* kNothingInCut = "no frames between --from and --to; nothing written";
inline constexpr const char* kNothingToJoin = "%s: no segment has frames that can be joined; nothing written";

// Writing.
inline constexpr const char* kCannotWrite = "%s: cannot be written: %s";
inline constexpr const char* kProgressRead = "reading segment %lld of %lld";
inline constexpr const char* kProgressWrite = "writing %s of %s (%d %%)";
inline constexpr const char* kDone = "%s: %lld frame%s from %lld segment%s, %s, %s";
inline constexpr const char* kDoneNotes = "; %lld segment%s at the nominal rate, %lld left out";

inline const char* Plural(long long n) { return n == 1 ? "" : "s"; }

}  // namespace join_text
